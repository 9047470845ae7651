#include "benchsupport.h"

#include "claude/clauderunner.h"
#include "model/prompts.h"
#include "model/reviser.h"
#include "settings/appsettings.h"
#include "support/fakeclaude.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <benchmark/benchmark.h>

// A revision and an undo of the render benchmark's plan folder (300
// screens, 100 images), each against the folder writer alone on the same
// folder. The revision's Claude is the fake tool answering at once, so what
// remains of a revision after the same fake run alone is the reviser's own
// work; a 10 ms timer on the main thread measures how long that work holds
// the event loop. QUARRYSTONE_BENCH_SCREENS makes a plan of that many
// screens with a small picture each instead (a page of many screens, whose
// plan.json is large beside it).
namespace {

const int screens = qEnvironmentVariableIsSet("QUARRYSTONE_BENCH_SCREENS")
    ? qEnvironmentVariableIntValue("QUARRYSTONE_BENCH_SCREENS")
    : 300;
const RenderGen::Images images =
    qEnvironmentVariableIsSet("QUARRYSTONE_BENCH_SCREENS") ? RenderGen::smallImages : RenderGen::largeImages;

struct Bench {
    Bench()
    {
        qputenv("QUARRYSTONE_SUPPORT", (scratch.path() + QStringLiteral("/support")).toUtf8());
        dir = scratch.path() + QStringLiteral("/plan");
        plan = BenchSupport::renderedFolder(dir, screens, images);
        // Claude edits the title, as asked: a plan.json that kept its bytes
        // would be no revision to save.
        Plan edited = plan;
        edited.meta.title += QStringLiteral(" 고침");
        fake.setScenario({{QStringLiteral("steps"),
                           QJsonArray{FakeClaude::writePlan(QJsonDocument(edited.toJson()).toJson()),
                                      FakeClaude::resultEvent(QStringLiteral("고쳤어요"))}}});
        alone = scratch.path() + QStringLiteral("/alone");
        QDir().mkpath(alone);
        settings.claudePath = FakeClaude::path();
        settings.userName = QStringLiteral("bench");
    }

    // Leaves only the folder's own files, so each run starts alike and no
    // backup name of the same second is taken.
    void clearHistory() const { QDir(dir + QStringLiteral("/history")).removeRecursively(); }

    QTemporaryDir scratch;
    FakeClaude fake;
    QString dir;
    // Where the fake run alone writes its plan.json, leaving the revision's.
    QString alone;
    Plan plan;
    AppSettings settings;
};

Bench &bench()
{
    static Bench instance;
    return instance;
}

using BenchSupport::median;
using BenchSupport::seconds;

double writeAllOnce()
{
    const Bench &b = bench();
    Plan copy = b.plan;
    QElapsedTimer timer;
    timer.start();
    Exporter::writeAll(copy, b.dir, Conventions::builtIn());
    return seconds(timer);
}

QCoro::Task<> runFake(ClaudeRunner runner, QString prompt, QStringList tools, QString dir, QEventLoop *loop,
                      bool *failed)
{
    const QStringList dirs{dir, QString(), QString()};
    try {
        co_await runner.run(prompt, tools, dirs, dir, false, [](const QString &) {});
    } catch (...) {
        *failed = true;
    }
    loop->quit();
}

// The Claude run a revision makes, alone: same prompt, tools, folders.
double fakeRunOnce()
{
    const Bench &b = bench();
    const ClaudeRunner runner{b.settings.claudePath, std::nullopt, QString()};
    const QString prompt = Prompts::revise(QStringLiteral("제목을 고쳐 줘"), b.settings.userName,
                                           QStringLiteral("2026-12-07T00:00:00Z"), {});
    const QStringList tools{QStringLiteral("Read"), QStringLiteral("Edit"), QStringLiteral("Grep"),
                            QStringLiteral("Glob")};
    QEventLoop loop;
    QElapsedTimer timer;
    timer.start();
    bool failed = false;
    QCoro::Task<> run = runFake(runner, prompt, tools, b.alone, &loop, &failed);
    if (!run.isReady())
        loop.exec();
    if (failed)
        qFatal("the fake run failed");
    return seconds(timer);
}

struct Revision {
    double seconds = 0;
    double longestGap = 0;
};

Revision reviseOnce(Reviser &reviser)
{
    const Bench &b = bench();
    Revision result;
    QEventLoop loop;
    QElapsedTimer sinceTick;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        result.longestGap = std::max(result.longestGap, seconds(sinceTick));
        sinceTick.restart();
    });
    const QMetaObject::Connection ended = QObject::connect(&reviser, &Reviser::phaseChanged, [&] {
        if (!reviser.phase().isRunning())
            loop.quit();
    });
    QElapsedTimer timer;
    timer.start();
    sinceTick.start();
    ticker.start();
    if (!reviser.revise(QStringLiteral("제목을 고쳐 줘"), {}, b.dir, b.settings))
        qFatal("the revision did not start");
    if (reviser.phase().isRunning())
        loop.exec();
    result.seconds = seconds(timer);
    ticker.stop();
    QObject::disconnect(ended);
    if (reviser.phase().kind != Reviser::Phase::Kind::done)
        qFatal("the revision failed: %s", qPrintable(reviser.phase().text));
    return result;
}

void BM_Revise(benchmark::State &state)
{
    Reviser reviser;
    std::vector<double> revisions;
    std::vector<double> runs;
    std::vector<double> writes;
    std::vector<double> gaps;
    // Each iteration times the three side by side and keeps their ratios:
    // on a shared machine the load changes more between runs than within one.
    std::vector<double> ownRatios;
    std::vector<double> gapRatios;
    bool writeFirst = true;
    for (auto _ : state) {
        bench().clearHistory();
        // Each large write slows the next one down while the system flushes
        // it, so the two writes take turns going first.
        if (writeFirst)
            writes.push_back(writeAllOnce());
        runs.push_back(fakeRunOnce());
        const Revision revision = reviseOnce(reviser);
        if (!writeFirst)
            writes.push_back(writeAllOnce());
        writeFirst = !writeFirst;
        revisions.push_back(revision.seconds);
        gaps.push_back(revision.longestGap);
        ownRatios.push_back((revision.seconds - runs.back()) / writes.back());
        gapRatios.push_back(revision.longestGap / writes.back());
        state.SetIterationTime(revision.seconds);
    }
    bench().clearHistory();
    state.counters["writeAll_ms"] = median(writes) * 1e3;
    state.counters["fake_run_ms"] = median(runs) * 1e3;
    state.counters["own_ms"] = (median(revisions) - median(runs)) * 1e3;
    state.counters["own_per_writeAll"] = median(ownRatios);
    state.counters["max_gap_ms"] = *std::max_element(gaps.begin(), gaps.end()) * 1e3;
    state.counters["gap_per_writeAll"] = median(gapRatios);
    state.counters["worst_gap_per_writeAll"] = *std::max_element(gapRatios.begin(), gapRatios.end());
}

void BM_Undo(benchmark::State &state)
{
    const Bench &b = bench();
    Reviser reviser;
    std::vector<double> undos;
    std::vector<double> writes;
    std::vector<double> ratios;
    bool writeFirst = true;
    for (auto _ : state) {
        b.clearHistory();
        if (writeFirst)
            writes.push_back(writeAllOnce());
        Reviser::backup(b.dir);
        QElapsedTimer timer;
        timer.start();
        const bool started = reviser.undo(b.dir, b.settings);
        while (started && reviser.phase().isRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (!started || reviser.phase().kind != Reviser::Phase::Kind::done)
            state.SkipWithError("the undo failed");
        undos.push_back(seconds(timer));
        if (!writeFirst)
            writes.push_back(writeAllOnce());
        writeFirst = !writeFirst;
        ratios.push_back(undos.back() / writes.back());
        state.SetIterationTime(undos.back());
    }
    b.clearHistory();
    state.counters["writeAll_ms"] = median(writes) * 1e3;
    state.counters["undo_per_writeAll"] = median(ratios);
}

// The peak memory of `quarrystone --revise` and of `--revise --undo` of the
// folder, against its page's size. Each command is started by the time
// tool, which counts its peak afresh. With QUARRYSTONE_BENCH_BEFORE naming
// another build's executable, it takes turns with this one, so that before
// and after come from one run.
struct Peaks {
    std::vector<double> revise;
    std::vector<double> undo;
};

QProcessEnvironment commandEnvironment()
{
    const Bench &b = bench();
    const QString home = b.scratch.path() + QStringLiteral("/home");
    QDir().mkpath(home + QStringLiteral("/support"));
    QDir().mkpath(home + QStringLiteral("/repo"));
    // The command's runs see neither our environment nor our /proc: the
    // stand-in finds its scenario through the home it is given.
    FakeClaude::pointHome(home);
    QFile settings(home + QStringLiteral("/support/settings.json"));
    if (!settings.open(QIODevice::WriteOnly))
        qFatal("cannot write the settings");
    settings.write(QJsonDocument(QJsonObject{{QStringLiteral("claudePath"), FakeClaude::path()},
                                             {QStringLiteral("userName"), QStringLiteral("bench")},
                                             {QStringLiteral("androidRepo"), home + QStringLiteral("/repo")},
                                             {QStringLiteral("iosRepo"), home + QStringLiteral("/repo")}})
                       .toJson());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), home + QStringLiteral("/support"));
    return env;
}

double peakOf(const QString &binary, const QStringList &arguments, const QProcessEnvironment &env)
{
    const QString peak = bench().scratch.path() + QStringLiteral("/peak.txt");
    const BenchSupport::Measured m = BenchSupport::measure(
        QStringLiteral("/usr/bin/time"), QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), peak, binary} + arguments,
        {}, {}, env);
    if (!m.ok)
        qFatal("%s %s failed", qPrintable(binary), qPrintable(arguments.join(u' ')));
    QFile file(peak);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().split('\n').last().toDouble() * 1024 : 0;
}

// A revision and the undo that puts the folder back for the next.
void revisePeaks(const QString &binary, const QProcessEnvironment &env, Peaks &peaks)
{
    const Bench &b = bench();
    b.clearHistory();
    peaks.revise.push_back(peakOf(
        binary, {QStringLiteral("--revise"), b.dir, QStringLiteral("--request"), QStringLiteral("제목을 고쳐 줘")}, env));
    peaks.undo.push_back(peakOf(binary, {QStringLiteral("--revise"), b.dir, QStringLiteral("--undo")}, env));
}

void BM_RevisePeakMemory(benchmark::State &state)
{
    const QProcessEnvironment env = commandEnvironment();
    const QString before = qEnvironmentVariable("QUARRYSTONE_BENCH_BEFORE");
    const double page = double(QFileInfo(bench().dir + QStringLiteral("/index.html")).size());
    Peaks after;
    Peaks old;
    for (auto _ : state) {
        revisePeaks(BenchSupport::binary(), env, after);
        if (!before.isEmpty())
            revisePeaks(before, env, old);
    }
    bench().clearHistory();
    state.counters["page_MB"] = page / 1e6;
    state.counters["revise_peak_per_page"] = median(after.revise) / page;
    state.counters["undo_peak_per_page"] = median(after.undo) / page;
    if (!before.isEmpty()) {
        state.counters["before_revise_peak_per_page"] = median(old.revise) / page;
        state.counters["before_undo_peak_per_page"] = median(old.undo) / page;
    }
}

// The CPU of `quarrystone --revise` of the folder, its Claude stand-in's
// own left out (the stand-in logs what it used), against that of
// `quarrystone --render` of the same folder: what judging, saving and
// logging a revision costs beside writing the folder's files once. Run with
// QUARRYSTONE_BENCH_SCREENS at 1000, 10000 and 30000.
void BM_ReviseCpu(benchmark::State &state)
{
    const Bench &b = bench();
    const QProcessEnvironment env = commandEnvironment();
    std::vector<double> revisions;
    std::vector<double> standIns;
    std::vector<double> renders;
    std::vector<double> ratios;
    for (auto _ : state) {
        b.clearHistory();
        const qsizetype ended = b.fake.records(QStringLiteral("end")).size();
        const BenchSupport::Measured revision = BenchSupport::measure(
            BenchSupport::binary(), {QStringLiteral("--revise"), b.dir, QStringLiteral("--request"), QStringLiteral("제목을 고쳐 줘")},
            {}, {}, env);
        const QList<QJsonObject> ends = b.fake.records(QStringLiteral("end"));
        if (!revision.ok || ends.size() != ended + 1)
            qFatal("the revision failed");
        const double standIn = ends.last().value(QStringLiteral("cpu")).toDouble();
        if (!BenchSupport::measure(BenchSupport::binary(), {QStringLiteral("--revise"), b.dir, QStringLiteral("--undo")}, {},
                                   {}, env)
                 .ok)
            qFatal("the undo failed");
        const BenchSupport::Measured render =
            BenchSupport::measure(BenchSupport::binary(), {QStringLiteral("--render"), b.dir}, {}, {}, env, {2});
        if (!render.ok)
            qFatal("the render failed");
        revisions.push_back(revision.cpuSeconds - standIn);
        standIns.push_back(standIn);
        renders.push_back(render.cpuSeconds);
        ratios.push_back(revisions.back() / renders.back());
        state.SetIterationTime(revision.seconds);
    }
    b.clearHistory();
    state.counters["screens"] = screens;
    state.counters["revise_cpu_ms"] = median(revisions) * 1e3;
    state.counters["stand_in_cpu_ms"] = median(standIns) * 1e3;
    state.counters["render_cpu_ms"] = median(renders) * 1e3;
    state.counters["revise_cpu_per_render"] = median(ratios);
}

} // namespace

BENCHMARK(BM_ReviseCpu)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_RevisePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Revise)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(9);
BENCHMARK(BM_Undo)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(9);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
