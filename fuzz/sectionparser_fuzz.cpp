// The node tree of a design section as the REST API answers it, turned into
// the section model, which is then written and read back whole.
#include "fuzzsupport.h"

#include "figma/figmasection.h"
#include "figma/figmasectionparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QJsonObject node;
    try {
        node = parseObject(Fuzz::bytes(data, size));
    } catch (const JSONDecodeError &) {
        return 0;
    }
    const FigmaSection section = FigmaSectionParser::parse(node, QStringLiteral("KEY"));
    QByteArray written;
    try {
        written = JSONCoding::pretty(section);
    } catch (const JSONCoding::EncodeError &) {
        return 0;
    }
    try {
        if (JSONCoding::pretty(FigmaSection::decode(written)) != written)
            Fuzz::broken("a parsed section does not read back as written", written);
    } catch (const JSONDecodeError &error) {
        Fuzz::broken("a parsed section fails to read", error.message.toUtf8() + '\n' + written);
    }
    return 0;
}
