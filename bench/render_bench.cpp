#include "benchsupport.h"
#include "rendergen.h"

#include "export/exporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sys/resource.h>

// Times the plan folder writer on plans with large embedded images against
// the coreutils base64 tool encoding the same image bytes into a file, and
// measures the writer's peak memory in a process of its own, as a render
// from the command line would run it.
namespace {

const char renderOnceFlag[] = "--render-once";
// Writes the folder of BM_RenderManyScreens to profile it by hand:
// render_bench --make-many-screens <dir> <screens>
const char makeManyFlag[] = "--make-many-screens";

QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

double base64Once(const QString &dir)
{
    QProcess process;
    process.setStandardInputFile(dir + QStringLiteral("/images.bin"));
    process.setStandardOutputFile(dir + QStringLiteral("/images.b64"));
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("base64"), {QStringLiteral("-w0")});
    process.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

const RenderGen::Folder &folder(int screens)
{
    static std::map<int, RenderGen::Folder> made;
    auto it = made.find(screens);
    if (it == made.end())
        it = made.emplace(screens, RenderGen::make(scratch().filePath(QStringLiteral("plan-%1").arg(screens)), screens)).first;
    return it->second;
}

Plan readPlan(const QString &dir)
{
    QFile file(dir + QStringLiteral("/plan.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return Plan::decode(file.readAll());
}

qint64 pageSize(const QString &dir)
{
    return QFileInfo(dir + QStringLiteral("/index.html")).size();
}

// Each iteration also runs the base64 tool on the same image bytes, so
// that both are timed under the same load.
void BM_WriteAll(benchmark::State &state)
{
    const RenderGen::Folder &f = folder(static_cast<int>(state.range(0)));
    const Plan plan = readPlan(f.dir);
    std::vector<double> writes;
    std::vector<double> encodes;
    for (auto _ : state) {
        encodes.push_back(base64Once(f.dir));
        Plan copy = plan;
        QElapsedTimer timer;
        timer.start();
        Exporter::writeAll(copy, f.dir, Conventions::builtIn());
        writes.push_back(timer.nsecsElapsed() / 1e9);
        state.SetIterationTime(writes.back());
    }
    state.counters["images"] = f.images;
    state.counters["index_MB"] = pageSize(f.dir) / 1e6;
    state.counters["base64_ms"] = median(encodes) * 1e3;
    state.counters["x_base64"] = median(writes) / median(encodes);
}

// The whole command as a script would run it: `quarrystone --render`, which
// also reads and checks the plan, timed against base64 in the same run.
void BM_RenderCommand(benchmark::State &state)
{
    const RenderGen::Folder &f = folder(static_cast<int>(state.range(0)));
    std::vector<double> renders;
    std::vector<double> encodes;
    for (auto _ : state) {
        encodes.push_back(base64Once(f.dir));
        QProcess render;
        QElapsedTimer timer;
        timer.start();
        render.start(QStringLiteral(QUARRYSTONE_BINARY), {QStringLiteral("--render"), f.dir});
        render.waitForFinished(-1);
        renders.push_back(timer.nsecsElapsed() / 1e9);
        state.SetIterationTime(renders.back());
        if (render.exitStatus() != QProcess::NormalExit || render.exitCode() > 2)
            state.SkipWithError("quarrystone --render failed");
    }
    state.counters["index_MB"] = pageSize(f.dir) / 1e6;
    state.counters["base64_ms"] = median(encodes) * 1e3;
    state.counters["x_base64"] = median(renders) / median(encodes);
}

// The whole render of a plan without images (plan.json read and checked,
// the three files written), against reading and checking the same plan
// alone: the render should grow like the plan, not with its square.
void BM_RenderWithoutImages(benchmark::State &state)
{
    const int screens = static_cast<int>(state.range(0));
    const QString dir = scratch().filePath(QStringLiteral("plain-%1").arg(screens));
    QDir().mkpath(dir);
    const QByteArray json = PlanGen::json(PlanGen::Shape{.screens = screens});
    std::vector<double> renders;
    std::vector<double> reads;
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const Plan read = Plan::decode(json);
        benchmark::DoNotOptimize(read.problems());
        reads.push_back(timer.nsecsElapsed() / 1e9);

        timer.restart();
        Plan plan = Plan::decode(json);
        Exporter::writeAll(plan, dir, Conventions::builtIn());
        benchmark::DoNotOptimize(plan.problems());
        renders.push_back(timer.nsecsElapsed() / 1e9);
        state.SetIterationTime(renders.back());
    }
    state.counters["read_check_ms"] = median(reads) * 1e3;
    state.counters["x_read_check"] = median(renders) / median(reads);
}

// Plans of many screens with a small image on each: `quarrystone --render`
// against the base64 tool encoding the same image bytes into a file, and
// the command's peak memory against the page it writes.
void BM_RenderManyScreens(benchmark::State &state)
{
    const int screens = static_cast<int>(state.range(0));
    static std::map<int, RenderGen::Folder> made;
    if (!made.count(screens))
        made.emplace(screens, RenderGen::make(scratch().filePath(QStringLiteral("small-%1").arg(screens)), screens,
                                              RenderGen::smallImages));
    const RenderGen::Folder &f = made.at(screens);
    std::vector<double> renders;
    std::vector<double> encodes;
    double peak = 0;
    for (auto _ : state) {
        const BenchSupport::Measured encode = BenchSupport::measure(
            QStringLiteral("base64"), {QStringLiteral("-w0")}, f.dir + QStringLiteral("/images.bin"),
            f.dir + QStringLiteral("/images.b64"));
        const BenchSupport::Measured render =
            BenchSupport::measure(BenchSupport::binary(), {QStringLiteral("--render"), f.dir}, {}, {},
                                  QProcessEnvironment::systemEnvironment(), {2});
        if (!encode.ok || !render.ok)
            state.SkipWithError("a command failed");
        encodes.push_back(encode.seconds);
        renders.push_back(render.seconds);
        peak = std::max(peak, render.peakBytes);
        state.SetIterationTime(render.seconds);
    }
    const double page = static_cast<double>(pageSize(f.dir));
    state.counters["images"] = f.images;
    state.counters["index_MB"] = page / 1e6;
    state.counters["plan_MB"] = QFileInfo(f.dir + QStringLiteral("/plan.json")).size() / 1e6;
    state.counters["base64_ms"] = median(encodes) * 1e3;
    state.counters["x_base64"] = median(renders) / median(encodes);
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["peak_per_index"] = page > 0 ? peak / page : 0;
}

// The writer in a fresh process, so that its peak resident memory is the
// write's own and not the benchmark's.
void BM_WriteAllPeakMemory(benchmark::State &state)
{
    const RenderGen::Folder &f = folder(static_cast<int>(state.range(0)));
    QByteArray report;
    for (auto _ : state) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(renderOnceFlag), f.dir});
        child.waitForFinished(-1);
        report = child.readAllStandardOutput();
    }
    const QList<QByteArray> kilobytes = report.trimmed().split(' ');
    const double maxRss = kilobytes.value(0).toDouble() * 1024;
    const double highWater = kilobytes.value(1).toDouble() * 1024;
    const double page = static_cast<double>(pageSize(f.dir));
    state.counters["index_MB"] = page / 1e6;
    state.counters["maxrss_MB"] = maxRss / 1e6;
    state.counters["maxrss_per_index"] = page > 0 ? maxRss / page : 0;
    state.counters["hwm_per_index"] = page > 0 ? highWater / page : 0;
}

// The peak resident size of this process's own memory, in kB. Unlike
// ru_maxrss it starts afresh at exec, so it holds nothing of the parent.
long highWaterMark()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Prints ru_maxrss and the high-water mark, both in kB.
int renderOnce(const QString &dir)
{
    Plan plan = readPlan(dir);
    Exporter::writeAll(plan, dir, Conventions::builtIn());
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%ld %ld\n", usage.ru_maxrss, highWaterMark());
    return 0;
}

} // namespace

// The memory runs come first: a child's ru_maxrss starts at the size of the
// process it was forked from, which is smallest before any in-process write.
BENCHMARK(BM_WriteAllPeakMemory)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_WriteAll)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);
BENCHMARK(BM_RenderCommand)->Arg(100)->Arg(300)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_RenderManyScreens)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_RenderWithoutImages)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], renderOnceFlag) == 0)
        return renderOnce(QString::fromLocal8Bit(argv[2]));
    if (argc == 4 && std::strcmp(argv[1], makeManyFlag) == 0)
        return RenderGen::make(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]), RenderGen::smallImages).images > 0 ? 0 : 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
