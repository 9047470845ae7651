// The strictly read documents: a generation request (request.json) and a
// design section (figma-section.json). Either reads whole or fails with a
// decode error; what reads is written back and must read the same.
#include "fuzzsupport.h"

#include "figma/figmasection.h"
#include "model/generateinput.h"

namespace {

template<typename Document>
void readAndRewrite(const QByteArray &json, const char *what)
{
    Document document;
    try {
        document = Document::decode(json);
    } catch (const JSONDecodeError &) {
        return;
    }
    QByteArray first;
    try {
        first = JSONCoding::pretty(document);
    } catch (const JSONCoding::EncodeError &) {
        return;
    }
    try {
        if (JSONCoding::pretty(Document::decode(first)) != first)
            Fuzz::broken(what, first);
    } catch (const JSONDecodeError &error) {
        Fuzz::broken(what, error.message.toUtf8() + '\n' + first);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json = Fuzz::bytes(data, size);
    readAndRewrite<GenerateInput>(json, "request.json does not read back as written");
    readAndRewrite<FigmaSection>(json, "figma-section.json does not read back as written");
    return 0;
}
