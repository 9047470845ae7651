// The claude tool's stream of JSON events, in pieces as a pipe delivers
// them, and the JSON object cut out of its final answer.
#include "fuzzsupport.h"

#include "claude/jsonextract.h"
#include "claude/streamcollector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = Fuzz::bytes(data, size);
    // The first byte says where the pipe splits the rest.
    const qsizetype step = size > 0 ? 1 + data[0] % 64 : 1;
    StreamCollector collector([](const QString &line) { (void)line.size(); },
                              [](const QString &tool, const QJsonObject &input, const QString &text) {
                                  (void)(tool.size() + input.size() + text.size());
                              });
    for (qsizetype at = 1; at < input.size(); at += step)
        collector.feed(input.mid(at, step));
    collector.flush();
    (void)collector.result();
    (void)collector.isError();

    const QString answer = QString::fromUtf8(input);
    // Balanced braces, not validated: the caller's decoding judges them.
    if (const std::optional<QByteArray> object = JSONExtract::object(answer)) {
        if (!object->startsWith('{') || !object->endsWith('}'))
            Fuzz::broken("the extracted text is not brace to brace", *object);
        try {
            (void)Plan::decode(*object);
        } catch (const JSONDecodeError &) {
        }
    }
    return 0;
}
