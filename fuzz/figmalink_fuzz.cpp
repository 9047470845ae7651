// A design link as pasted or typed: parsed into a file key and node id.
#include "fuzzsupport.h"

#include "figma/figmalink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(Fuzz::bytes(data, size));
    const std::optional<FigmaLink> link = FigmaLink::parse(text);
    if (!link)
        return 0;
    if (link->fileKey.isEmpty() || link->nodeId.isEmpty())
        Fuzz::broken("a parsed link without a file key or node id", text.toUtf8());
    // What a link writes, it reads.
    const QJsonObject json = link->toJson();
    try {
        if (!(FigmaLink::read(json) == *link))
            Fuzz::broken("a link does not read back as written", text.toUtf8());
    } catch (const JSONDecodeError &) {
        Fuzz::broken("a written link fails to read", text.toUtf8());
    }
    return 0;
}
