#include "benchsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <map>

// What a render, an import and the start of the program cost against the
// least the same bytes can cost, side by side in one run: `quarrystone
// --render` of plans with a small picture on every screen against `base64`
// of the same picture bytes, and against the render's reads and writes
// done with no formatting (`bytes_alone`); `quarrystone --import` of the page it wrote
// against `base64 -d` of the pictures' text and against writing one file
// per picture (`split`); the start of a `--render` of ten screens against a
// bare QCoreApplication (a program of Qt Core alone). Each command runs in turn with its baseline (pairs
// A B A B …) and the medians are compared. With QUARRYSTONE_BENCH_BEFORE
// naming another build's executable, it runs in the same pairs too, so that
// before and after come from one run.
namespace {

QTemporaryDir &scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bytecost-XXXXXX"));
    return dir;
}

QString before()
{
    return qEnvironmentVariable("QUARRYSTONE_BENCH_BEFORE");
}

QProcessEnvironment isolated()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), scratch().filePath(QStringLiteral("home")));
    env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), scratch().filePath(QStringLiteral("home/support")));
    return env;
}

// One run of a command with its peak memory as its own: a child's count
// of its largest size starts at the size of the process it was forked
// from, and this benchmark grows as it makes its folders, so the command
// is started by the time tool, a small process, which counts it afresh.
BenchSupport::Measured measure(const QString &program, const QStringList &arguments, const QString &in = {},
                               const QString &out = {}, std::vector<int> alsoFine = {})
{
    const QString peak = scratch().filePath(QStringLiteral("peak.txt"));
    BenchSupport::Measured m = BenchSupport::measure(
        QStringLiteral("/usr/bin/time"),
        QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), peak, program} + arguments, in,
        out, isolated(), alsoFine);
    QFile file(peak);
    m.peakBytes = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().split('\n').last().toDouble() * 1024 : 0;
    return m;
}

// Figures of one command over the iterations.
struct Runs {
    std::vector<double> cpu;
    std::vector<double> wall;
    double peak = 0;
    bool failed = false;

    void add(const BenchSupport::Measured &m)
    {
        cpu.push_back(m.cpuSeconds);
        wall.push_back(m.seconds);
        peak = std::max(peak, m.peakBytes);
        failed = failed || !m.ok;
    }
};

void report(benchmark::State &state, const char *name, const Runs &runs, const Runs &baseline, double page)
{
    using BenchSupport::median;
    const std::string n(name);
    state.counters[n + "_cpu_s"] = median(runs.cpu);
    state.counters[n + "_x_cpu"] = median(runs.cpu) / std::max(1e-6, median(baseline.cpu));
    state.counters[n + "_x_wall"] = median(runs.wall) / std::max(1e-6, median(baseline.wall));
    if (page > 0)
        state.counters[n + "_peak_per_page"] = runs.peak / page;
    if (runs.failed)
        state.SkipWithError((n + " failed").c_str());
}

struct Folder {
    QString dir;
    QString page;
    QString pictures;
    QString picturesText;
    double pageBytes = 0;
};

// A plan folder of `screens` screens, a picture on each, rendered once.
const Folder &folder(int screens)
{
    static std::map<int, Folder> made;
    auto it = made.find(screens);
    if (it != made.end())
        return it->second;
    Folder f;
    f.dir = scratch().filePath(QStringLiteral("plan-%1").arg(screens));
    RenderGen::make(f.dir, screens, RenderGen::smallImages);
    f.page = f.dir + QStringLiteral("/index.html");
    f.pictures = f.dir + QStringLiteral("/images.bin");
    f.picturesText = f.dir + QStringLiteral("/images.b64");
    measure(BenchSupport::binary(), {QStringLiteral("--render"), f.dir}, {}, {}, {2});
    measure(QStringLiteral("base64"), {QStringLiteral("-w0")}, f.pictures, f.picturesText);
    f.pageBytes = double(QFileInfo(f.page).size());
    return made.emplace(screens, f).first->second;
}

BenchSupport::Measured render(const QString &binary, const Folder &f)
{
    return measure(binary, {QStringLiteral("--render"), f.dir}, {}, {}, {2});
}

// The render's reads and writes with no formatting at all: the pictures
// through `base64`, plan.json read, and the page's text, plan.json and
// plan.md written as copies of what the render wrote, each over the last
// run's file as the render writes over its own. No render, however it is
// written, costs less than this.
BenchSupport::Measured bytesAlone(const Folder &f)
{
    const QString out = scratch().filePath(QStringLiteral("bytes-alone"));
    QDir().mkpath(out);
    const qint64 text = QFileInfo(f.page).size() - QFileInfo(f.picturesText).size();
    const QString script = QStringLiteral(
        "base64 -w0 \"$1/images.bin\" > \"$2/page\" && cat \"$1/plan.json\" > /dev/null"
        " && head -c \"$3\" \"$1/index.html\" > \"$2/text\" && cat \"$1/plan.json\" > \"$2/plan.json\""
        " && cat \"$1/plan.md\" > \"$2/plan.md\"");
    return measure(QStringLiteral("sh"),
                   {QStringLiteral("-c"), script, QStringLiteral("sh"), f.dir, out, QString::number(text)});
}

void BM_Render(benchmark::State &state)
{
    const Folder &f = folder(int(state.range(0)));
    Runs base64, bytes, after, old;
    for (auto _ : state) {
        base64.add(measure(QStringLiteral("base64"), {QStringLiteral("-w0")}, f.pictures, f.picturesText));
        bytes.add(bytesAlone(f));
        const BenchSupport::Measured m = render(BenchSupport::binary(), f);
        after.add(m);
        state.SetIterationTime(m.seconds);
        if (!before().isEmpty())
            old.add(render(before(), f));
    }
    state.counters["page_MB"] = f.pageBytes / 1e6;
    state.counters["base64_cpu_s"] = BenchSupport::median(base64.cpu);
    report(state, "bytes_alone", bytes, base64, 0);
    QDir(scratch().filePath(QStringLiteral("bytes-alone"))).removeRecursively();
    report(state, "after", after, base64, f.pageBytes);
    if (!before().isEmpty())
        report(state, "before", old, base64, f.pageBytes);
}

// An import into a fresh folder each time; the folder goes afterwards.
BenchSupport::Measured import(const QString &binary, const Folder &f)
{
    const QString out = scratch().filePath(QStringLiteral("imports"));
    QDir(out).removeRecursively();
    const BenchSupport::Measured m = measure(
        binary, {QStringLiteral("--import"), f.page, QStringLiteral("--out"), out});
    QDir(out).removeRecursively();
    return m;
}

// The pictures' bytes as one file per picture: the least that writing them
// as files costs.
BenchSupport::Measured onePerPicture(const Folder &f)
{
    const QString out = scratch().filePath(QStringLiteral("split"));
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    const BenchSupport::Measured m =
        measure(QStringLiteral("split"),
                              {QStringLiteral("-a"), QStringLiteral("6"), QStringLiteral("-b"),
                               QString::number(RenderGen::smallImageSize), f.pictures, out + QStringLiteral("/p")});
    QDir(out).removeRecursively();
    return m;
}

void BM_Import(benchmark::State &state)
{
    const Folder &f = folder(int(state.range(0)));
    Runs decode, split, after, old;
    const QString decoded = scratch().filePath(QStringLiteral("decoded.bin"));
    for (auto _ : state) {
        decode.add(measure(QStringLiteral("base64"), {QStringLiteral("-d")}, f.picturesText, decoded));
        split.add(onePerPicture(f));
        const BenchSupport::Measured m = import(BenchSupport::binary(), f);
        after.add(m);
        state.SetIterationTime(m.seconds);
        if (!before().isEmpty())
            old.add(import(before(), f));
    }
    QFile::remove(decoded);
    state.counters["page_MB"] = f.pageBytes / 1e6;
    report(state, "after_vs_base64d", after, decode, f.pageBytes);
    report(state, "after_vs_split", after, split, 0);
    if (!before().isEmpty()) {
        report(state, "before_vs_base64d", old, decode, f.pageBytes);
        report(state, "before_vs_split", old, split, 0);
    }
}

// The start: a render of ten screens against an application that does
// nothing.
void BM_Start(benchmark::State &state)
{
    const Folder &f = folder(10);
    Runs bare, after, old;
    for (auto _ : state) {
        bare.add(measure(QStringLiteral(BARE_APPLICATION), {}));
        const BenchSupport::Measured m = render(BenchSupport::binary(), f);
        after.add(m);
        state.SetIterationTime(m.seconds);
        if (!before().isEmpty())
            old.add(render(before(), f));
    }
    state.counters["bare_ms"] = BenchSupport::median(bare.wall) * 1e3;
    state.counters["after_ms"] = BenchSupport::median(after.wall) * 1e3;
    report(state, "after", after, bare, 0);
    if (!before().isEmpty()) {
        state.counters["before_ms"] = BenchSupport::median(old.wall) * 1e3;
        report(state, "before", old, bare, 0);
    }
}

} // namespace

BENCHMARK(BM_Start)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);
BENCHMARK(BM_Render)->Arg(1000)->Arg(3000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_Import)->Arg(1000)->Arg(3000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
