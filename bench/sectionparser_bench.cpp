#include "figma/figmasectionparser.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <benchmark/benchmark.h>

namespace {

// A design-service "nodes" answer shaped like a real one: frames in rows
// under label chips, text layers nested in groups and component instances,
// and many shape layers carrying the fills, strokes and bounds the service
// sends with every node. Deterministic, so runs compare.
struct Shape {
    int frames = 50;
    int textsPerFrame = 100;
    int shapesPerFrame = 1300;
};

class Writer
{
public:
    QByteArray take() { return std::move(m_out); }

    void node(const QByteArray &type, double x, double y, double w, double h, const QByteArray &extra = {})
    {
        const QByteArray id = "7:" + QByteArray::number(++m_id);
        m_out += "{\"id\":\"" + id + "\",\"name\":\"" + type + ' ' + QByteArray::number(m_id) + "\",\"type\":\"" + type
            + "\",\"scrollBehavior\":\"SCROLLS\",\"blendMode\":\"PASS_THROUGH\","
              "\"fills\":[{\"blendMode\":\"NORMAL\",\"type\":\"SOLID\",\"color\":{\"r\":0.12156862745098039,"
              "\"g\":0.5333333333333333,\"b\":0.9176470588235294,\"a\":1.0}}],"
              "\"strokes\":[{\"blendMode\":\"NORMAL\",\"type\":\"SOLID\",\"color\":{\"r\":0.0,\"g\":0.0,\"b\":0.0,"
              "\"a\":0.08}}],\"strokeWeight\":1.0,\"strokeAlign\":\"INSIDE\",\"cornerRadius\":8.0,"
              "\"absoluteBoundingBox\":"
            + box(x, y, w, h) + ",\"absoluteRenderBounds\":" + box(x, y, w, h)
            + ",\"constraints\":{\"vertical\":\"TOP\",\"horizontal\":\"LEFT\"},\"effects\":[],\"interactions\":[]"
            + extra;
    }

    void text(double x, double y, const QByteArray &characters)
    {
        node("TEXT", x, y, 120, 20,
             ",\"characters\":\"" + characters
                 + "\",\"style\":{\"fontFamily\":\"Pretendard\",\"fontPostScriptName\":\"Pretendard-SemiBold\","
                   "\"fontWeight\":600,\"textAutoResize\":\"WIDTH_AND_HEIGHT\",\"fontSize\":15.0,"
                   "\"textAlignHorizontal\":\"LEFT\",\"textAlignVertical\":\"TOP\",\"letterSpacing\":-0.3,"
                   "\"lineHeightPx\":22.0,\"lineHeightPercentFontSize\":146.67,\"lineHeightUnit\":\"PIXELS\"},"
                   "\"characterStyleOverrides\":[],\"styleOverrideTable\":{},\"lineTypes\":[\"NONE\"],"
                   "\"lineIndentations\":[0]");
        m_out += '}';
    }

    void open(const QByteArray &type, double x, double y, double w, double h)
    {
        node(type, x, y, w, h);
        m_out += ",\"children\":[";
    }

    void close() { m_out += "]}"; }
    void comma() { m_out += ','; }
    void raw(const QByteArray &bytes) { m_out += bytes; }

private:
    static QByteArray box(double x, double y, double w, double h)
    {
        return "{\"x\":" + QByteArray::number(x) + ",\"y\":" + QByteArray::number(y) + ",\"width\":"
            + QByteArray::number(w) + ",\"height\":" + QByteArray::number(h) + '}';
    }

    QByteArray m_out;
    int m_id = 0;
};

void frame(Writer &w, const Shape &shape, int index, double x, double y)
{
    w.open("FRAME", x, y, 360, 780);
    // Text layers sit in cards: an instance holding a group holding texts.
    const int textsPerCard = 5;
    for (int card = 0; card < shape.textsPerFrame / textsPerCard; ++card) {
        if (card > 0)
            w.comma();
        const double cy = y + 40 * card;
        w.open("INSTANCE", x + 16, cy, 328, 36);
        w.open("GROUP", x + 16, cy, 328, 36);
        for (int t = 0; t < textsPerCard; ++t) {
            if (t > 0)
                w.comma();
            w.text(x + 20 + 60 * t, cy + 8,
                   "프레임 " + QByteArray::number(index) + " 카드 " + QByteArray::number(card) + " 글자 "
                       + QByteArray::number(t));
        }
        w.close();
        w.close();
    }
    // Shape layers in nested groups of ten.
    for (int s = 0; s < shape.shapesPerFrame; s += 10) {
        w.comma();
        w.open("GROUP", x, y + s % 700, 200, 40);
        for (int k = 0; k < 10; ++k) {
            if (k > 0)
                w.comma();
            w.node(k % 2 ? "VECTOR" : "RECTANGLE", x + 4 * k, y + s % 700, 24, 24);
            w.raw("}");
        }
        w.close();
    }
    w.close();
}

QByteArray nodesAnswer(const Shape &shape)
{
    Writer w;
    w.raw("{\"name\":\"Quarry\",\"lastModified\":\"2024-05-01T00:00:00Z\",\"version\":\"1\",\"nodes\":{\"1:1\":{"
          "\"components\":{},\"styles\":{},\"document\":");
    w.open("SECTION", 0, 0, 10 * 500, (shape.frames / 10 + 1) * 1000);
    for (int f = 0; f < shape.frames; ++f) {
        const double x = 500.0 * (f % 10);
        const double y = 1000.0 * (f / 10);
        if (f > 0)
            w.comma();
        w.open("GROUP", x, y + 100, 80, 28);
        w.text(x, y + 100, f % 2 ? "TO-BE" : "AS-IS");
        w.comma();
        w.text(x + 40, y + 100, "화면 " + QByteArray::number(f));
        w.close();
        w.comma();
        frame(w, shape, f, x, y + 140);
    }
    w.close();
    w.raw("}}}");
    return w.take();
}

const QByteArray &answer()
{
    static const QByteArray bytes = nodesAnswer(Shape{});
    return bytes;
}

void setCounters(benchmark::State &state)
{
    state.SetBytesProcessed(state.iterations() * answer().size());
    state.counters["MB"] = answer().size() / 1e6;
}

void BM_FromJsonAlone(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(answer()));
    setCounters(state);
}

void BM_ParseAndBuildSection(benchmark::State &state)
{
    qsizetype boxes = 0;
    for (auto _ : state) {
        const QJsonObject root = QJsonDocument::fromJson(answer()).object();
        const QJsonObject document = root.value("nodes").toObject().value("1:1").toObject().value("document").toObject();
        const FigmaSection section = FigmaSectionParser::parse(document, "KEY");
        boxes = 0;
        for (const FigmaFrame &f : section.frames)
            boxes += f.textBoxes ? f.textBoxes->size() : 0;
        benchmark::DoNotOptimize(section);
    }
    setCounters(state);
    state.counters["textBoxes"] = static_cast<double>(boxes);
}

} // namespace

BENCHMARK(BM_FromJsonAlone)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_ParseAndBuildSection)->Unit(benchmark::kMillisecond)->MinTime(3);

BENCHMARK_MAIN();
