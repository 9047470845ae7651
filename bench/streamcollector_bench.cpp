// The event collector on a 50-200 MB stream of 10 MB single lines, fed in
// pipe-sized chunks, against QJsonDocument::fromJson alone on the same
// lines. The collector's time per byte should stay flat as the stream
// grows, and within three times the parser's.
#include "claude/streamcollector.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <benchmark/benchmark.h>

namespace {

constexpr qsizetype lineBytes = 10 << 20;
constexpr qsizetype chunkBytes = 64 << 10;

// A text whose JSON form takes about `bytes`, mixing characters that need
// escaping with non-ASCII ones.
QString filler(qsizetype bytes)
{
    const QString unit = QString::fromUtf8("<frame id=\"12:34\" name=\"화면\">\\t텍스트 value\n</frame> ");
    const qsizetype unitBytes = QJsonDocument(QJsonArray{unit}).toJson(QJsonDocument::Compact).size() - 4;
    return unit.repeated(bytes / unitBytes);
}

QByteArray encode(const QJsonObject &event)
{
    return QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
}

// Three kinds of 10 MB line: a tool result, a long assistant text and a
// final result.
const QList<QByteArray> &lines()
{
    static const QList<QByteArray> built = [] {
        const QString text = filler(lineBytes);
        const QJsonObject toolResult{
            {"type", "user"},
            {"message", QJsonObject{{"content", QJsonArray{QJsonObject{
                                                    {"type", "tool_result"}, {"tool_use_id", "t1"}, {"content", text}}}}}}};
        const QJsonObject assistant{
            {"type", "assistant"},
            {"message", QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}}}}};
        const QJsonObject result{{"type", "result"},      {"subtype", "success"},        {"is_error", false},
                                 {"duration_ms", 12345.0}, {"total_cost_usd", 0.0456}, {"result", text}};
        return QList<QByteArray>{encode(toolResult), encode(assistant), encode(result)};
    }();
    return built;
}

qsizetype lineCount(const benchmark::State &state)
{
    return state.range(0) / 10;
}

void Collector(benchmark::State &state)
{
    const QList<QByteArray> &kinds = lines();
    qsizetype bytes = 0;
    for (auto _ : state) {
        qsizetype results = 0;
        StreamCollector collector([](const QString &line) { benchmark::DoNotOptimize(line); },
                                  [&results](const QString &, const QJsonObject &, const QString &text) { results += text.size(); });
        for (qsizetype i = 0; i < lineCount(state); ++i) {
            const QByteArray &line = kinds[i % kinds.size()];
            for (qsizetype at = 0; at < line.size(); at += chunkBytes)
                collector.feed(line.mid(at, chunkBytes));
            bytes += line.size();
        }
        collector.flush();
        benchmark::DoNotOptimize(collector.result());
        benchmark::DoNotOptimize(results);
    }
    state.SetBytesProcessed(bytes);
}

void ParserAlone(benchmark::State &state)
{
    const QList<QByteArray> &kinds = lines();
    qsizetype bytes = 0;
    for (auto _ : state) {
        for (qsizetype i = 0; i < lineCount(state); ++i) {
            const QByteArray &line = kinds[i % kinds.size()];
            benchmark::DoNotOptimize(QJsonDocument::fromJson(line));
            bytes += line.size();
        }
    }
    state.SetBytesProcessed(bytes);
}

} // namespace

// The argument is the stream size in MB.
BENCHMARK(Collector)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(ParserAlone)->Arg(50)->Arg(100)->Arg(200)->Unit(benchmark::kMillisecond)->MinTime(2);

BENCHMARK_MAIN();
