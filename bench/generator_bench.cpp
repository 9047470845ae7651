// The generation against what it cannot avoid, each run once:
// - EndToEnd: `quarrystone --generate` (100 frames of 300 KB from loopback,
//   stand-in Claude runs of 1 s and 2 s, a 100-screen plan) against the
//   scripted child time plus HttpFetch::get of the 100 images one by one plus
//   `quarrystone --render` of the result; the goal is at most 1.2 times that
//   plus 0.5 s (the printer's tick).
// - EventStream: a draft emitting 100,000 tool events against the same
//   stream through ClaudeRunner::run with a bare queued hop per line (goal:
//   3 times at most), and how often the log was announced (goal: 20 a
//   second at most).
// - Lateness: how late a 10 ms timer beside the generator fires at worst
//   during a run with two 20 MB documents, the largest prompt (200 frames of
//   100 text boxes), a 5 MB answer and 100 image downloads (goal: 50 ms).
#include "benchsupport.h"
#include "core/httpfetch.h"
#include "model/generator.h"
#include "plangen.h"
#include "support/fakeclaude.h"
#include "support/httpserver.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <clocale>

namespace {

using TestFiles::json;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

QByteArray image(int i, qsizetype bytes)
{
    QByteArray data(bytes, '\0');
    for (qsizetype k = 0; k < bytes; ++k)
        data[k] = char((k * 31 + i) & 0xff);
    return data;
}

QString fenced(const QByteArray &plan)
{
    return QStringLiteral("```json\n") + QString::fromUtf8(plan) + QStringLiteral("\n```");
}

// A section of `count` frames "i:1", the first `withImages` with an address.
QJsonObject section(const HttpServer &server, int count, int withImages)
{
    QJsonArray frames;
    for (int i = 0; i < count; ++i) {
        QJsonObject frame{{"id", QStringLiteral("%1:1").arg(i)}, {"name", QStringLiteral("화면 %1").arg(i)},
                          {"x", (i % 10) * 400}, {"y", (i / 10) * 900}, {"w", 360}, {"h", 800}, {"texts", QJsonArray{}}};
        if (i < withImages)
            frame.insert("imageURL", server.base() + QStringLiteral("/img/%1.png").arg(i));
        frames.append(frame);
    }
    return {{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Bench"}, {"frames", frames}, {"notes", QJsonArray{}}};
}

void serveImages(HttpServer &server, int count)
{
    for (int i = 0; i < count; ++i)
        server.serve(QStringLiteral("/img/%1.png").arg(i).toUtf8(), HttpServer::Response::text(200, image(i, 300 * 1024)));
}

QByteArray benchPlan(int screens)
{
    PlanGen::Shape shape;
    shape.screens = screens;
    shape.brokenEvery = 0;
    return PlanGen::json(shape);
}

double waitForProcess(QProcess &process, const QString &program, const QStringList &arguments)
{
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    loop.exec();
    return clock.elapsed() / 1000.0;
}

QProcessEnvironment childEnvironment(const QString &home)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.insert("HOME", home);
    env.insert("QUARRYSTONE_SUPPORT", home + "/support");
    // The command's runs see neither our environment nor our /proc: the
    // stand-in finds its scenario through the home it is given.
    FakeClaude::pointHome(home);
    return env;
}

QCoro::Task<> runBare(ClaudeRunner runner, QString dir, ClaudeRunner::Progress progress, QEventLoop *loop)
{
    const QString prompt = QStringLiteral("bench");
    const QStringList tools{QStringLiteral("Read")};
    const QString answer = co_await runner.run(prompt, tools, QStringList(), dir, false, std::move(progress));
    benchmark::DoNotOptimize(answer.size());
    loop->quit();
}

QCoro::Task<> fetchAll(QStringList urls, QEventLoop *loop)
{
    for (const QString &url : urls) {
        const HttpFetch::Answer answer = co_await HttpFetch::get(QNetworkRequest(QUrl(url)));
        benchmark::DoNotOptimize(answer.body.size());
    }
    loop->quit();
}

Generator::Phase runToEnd(Generator &generator, const std::function<void()> &start)
{
    QEventLoop loop;
    QObject::connect(&generator, &Generator::phaseChanged, &loop, [&] {
        if (generator.phase().kind == Generator::Phase::Kind::done || generator.phase().kind == Generator::Phase::Kind::failed)
            loop.quit();
    });
    start();
    loop.exec();
    return generator.phase();
}

void EndToEnd(benchmark::State &state)
{
    QTemporaryDir home;
    FakeClaude fake;
    HttpServer server;
    constexpr int frames = 100;
    serveImages(server, frames);
    const QString plan = fenced(benchPlan(100));
    const QString figmaAnswer = fenced(json(section(server, frames, frames)));
    fake.setScenario({{"responses", QJsonArray{
                          QJsonObject{{"stdinContains", "Figma MCP 도구로"},
                                      {"steps", QJsonArray{QJsonObject{{"sleep", 1000}}, FakeClaude::resultEvent(figmaAnswer)}}},
                          QJsonObject{{"stdinContains", "## 입력"},
                                      {"steps", QJsonArray{QJsonObject{{"sleep", 2000}}, FakeClaude::resultEvent(plan)}}},
                      }}});
    writeFile(home.filePath("support/settings.json"), json({{"claudePath", FakeClaude::path()}, {"figmaMode", "mcp"}}));
    const QString out = home.filePath("out");

    for (auto _ : state) {
        QProcess generate;
        generate.setProcessEnvironment(childEnvironment(home.path()));
        const double generateSeconds = waitForProcess(
            generate, QStringLiteral(QUARRYSTONE_BINARY),
            {"--generate", "https://www.figma.com/design/KEY/Bench?node-id=1-1", "--feature", "Bench", "--out", out});
        if (generate.exitCode() != 0)
            state.SkipWithError(generate.readAllStandardError().constData());

        QStringList urls;
        for (int i = 0; i < frames; ++i)
            urls.append(server.base() + QStringLiteral("/img/%1.png").arg(i));
        QEventLoop loop;
        QElapsedTimer clock;
        clock.start();
        fetchAll(urls, &loop);
        loop.exec();
        const double fetchSeconds = clock.elapsed() / 1000.0;

        QProcess render;
        render.setProcessEnvironment(childEnvironment(home.path()));
        const double renderSeconds =
            waitForProcess(render, QStringLiteral(QUARRYSTONE_BINARY), {"--render", out + "/Bench-plan"});

        const double floor = 3.0 + fetchSeconds + renderSeconds;
        state.SetIterationTime(generateSeconds);
        state.counters["generate_s"] = generateSeconds;
        state.counters["fetch_s"] = fetchSeconds;
        state.counters["render_s"] = renderSeconds;
        state.counters["goal_s"] = 1.2 * floor + 0.5;
        state.counters["ratio_to_floor"] = generateSeconds / floor;
    }
}

void EventStream(benchmark::State &state)
{
    constexpr int events = 100'000;
    QTemporaryDir out;
    FakeClaude fake;
    const QJsonObject use{{"type", "tool_use"}, {"id", "t"}, {"name", "Read"}, {"input", QJsonObject{{"file_path", "/repo/a.kt"}}}};
    const QJsonObject event{{"type", "assistant"}, {"message", QJsonObject{{"content", QJsonArray{use}}}}};
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"repeat", events}, {"event", event}},
                                           FakeClaude::resultEvent(fenced(benchPlan(1)))}}});
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY/Bench?node-id=1-1");
    input.feature = "Bench";
    const QString dir = out.filePath("plan");
    writeFile(dir + "/figma-section.json", R"({"fileKey":"KEY","nodeId":"1:1","name":"S","frames":[],"notes":[]})");

    for (auto _ : state) {
        Generator generator;
        int notices = 0;
        QObject::connect(&generator, &Generator::logChanged, [&notices] { ++notices; });
        QElapsedTimer clock;
        clock.start();
        const Generator::Phase phase = runToEnd(generator, [&] { generator.run(input, dir, settings, true, {}); });
        const double generatorSeconds = clock.elapsed() / 1000.0;
        const int noticesDuringRun = notices;
        if (phase.kind != Generator::Phase::Kind::done)
            state.SkipWithError(phase.text.toUtf8().constData());

        // The same stream with nothing but a queued hop per line.
        ClaudeRunner runner;
        runner.path = FakeClaude::path();
        auto hops = std::make_shared<std::atomic<int>>(0);
        int handled = 0;
        QEventLoop loop;
        clock.restart();
        runBare(runner, dir, [hops, &handled](const QString &) {
            hops->fetch_add(1);
            QMetaObject::invokeMethod(QCoreApplication::instance(), [&handled] { ++handled; }, Qt::QueuedConnection);
        }, &loop);
        loop.exec();
        while (handled < hops->load())
            QCoreApplication::processEvents();
        const double bareSeconds = clock.elapsed() / 1000.0;

        state.SetIterationTime(generatorSeconds);
        state.counters["generator_s"] = generatorSeconds;
        state.counters["bare_hop_s"] = bareSeconds;
        state.counters["ratio"] = generatorSeconds / bareSeconds;
        state.counters["log_notices_per_s"] = noticesDuringRun / generatorSeconds;
        state.counters["lines"] = hops->load();
    }
}

void Lateness(benchmark::State &state)
{
    QTemporaryDir out;
    FakeClaude fake;
    HttpServer server;
    constexpr int frames = 200;
    serveImages(server, 100);

    QString outline = R"(<section id="1:1" name="Bench" x="0" y="0" width="4000" height="20000">)";
    for (int i = 0; i < frames; ++i) {
        outline += QStringLiteral(R"(<frame id="%1:1" name="F" x="%2" y="%3" width="360" height="800">)")
                       .arg(i)
                       .arg((i % 10) * 400)
                       .arg((i / 10) * 900);
        for (int t = 0; t < 100; ++t)
            outline += QStringLiteral(R"(<text id="%1:t%2" name="문구 %2 입니다" x="8" y="%3" width="300" height="7" />)")
                           .arg(i)
                           .arg(t)
                           .arg(t * 8);
        outline += "</frame>";
    }
    outline += "</section>";
    const QString figmaAnswer = fenced(json(section(server, frames, 100)));
    Plan big = Plan::decode(benchPlan(100));
    big.meta.summary = QString(5 * 1024 * 1024, u'x');
    const QString answer = fenced(JSONCoding::pretty(big));
    const QJsonObject use{{"type", "tool_use"}, {"id", "m"}, {"name", "mcp__figma__get_metadata"}, {"input", QJsonObject{{"nodeId", "1:1"}}}};
    fake.setScenario({{"responses", QJsonArray{
                          QJsonObject{{"stdinContains", "Figma MCP 도구로"},
                                      {"steps", QJsonArray{FakeClaude::event({{"type", "assistant"}, {"message", QJsonObject{{"content", QJsonArray{use}}}}}),
                                                           QJsonObject{{"savedResult", QJsonObject{{"id", "m"}, {"text", outline}, {"form", "json"}}}},
                                                           FakeClaude::resultEvent(figmaAnswer)}}},
                      }},
                      {"steps", QJsonArray{FakeClaude::resultEvent(answer)}}});
    const QByteArray document = QString(20 * 1024 * 1024 / 3, u'문').toUtf8();
    writeFile(out.filePath("docs/spec.md"), document);
    writeFile(out.filePath("docs/api.md"), document);

    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY/Bench?node-id=1-1");
    input.feature = "Bench";
    input.specDocs = QStringList{out.filePath("docs/spec.md")};
    input.apiDocs = QStringList{out.filePath("docs/api.md")};

    for (auto _ : state) {
        Generator generator;
        QElapsedTimer beat;
        qint64 worst = 0;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            worst = std::max(worst, beat.restart() - 10);
        });
        QElapsedTimer clock;
        clock.start();
        beat.start();
        timer.start(10);
        const Generator::Phase phase =
            runToEnd(generator, [&] { generator.run(input, out.filePath("plan"), settings, false, {}); });
        timer.stop();
        if (phase.kind != Generator::Phase::Kind::done)
            state.SkipWithError(phase.text.toUtf8().constData());
        state.SetIterationTime(clock.elapsed() / 1000.0);
        state.counters["worst_late_ms"] = double(worst);
        state.counters["run_s"] = clock.elapsed() / 1000.0;
    }
}

} // namespace

BENCHMARK(EndToEnd)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(EventStream)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Lateness)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("QUARRYSTONE_SUPPORT", (home.path() + "/support").toUtf8());
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "C.UTF-8");
    std::setlocale(LC_ALL, "C.UTF-8");
    return BenchSupport::run(argc, argv);
}
