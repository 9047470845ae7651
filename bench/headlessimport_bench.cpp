#include "benchsupport.h"

#include "model/importer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <map>
#include <unistd.h>

// `quarrystone --import` of the import benchmark's page (about 29 MB, 40
// images) against the least any import does: read the page, decode its
// images, and render the folder it makes with `quarrystone --render`. Then
// the same import --into that folder, which also compares the plans and
// backs up the one it replaces.
namespace {

constexpr int screens = 120;

struct Files {
    Files()
    {
        const QString folder = scratch.filePath(QStringLiteral("source"));
        BenchSupport::renderedFolder(folder, screens);
        page = folder + QStringLiteral("/index.html");
        for (const QByteArray &url : Importer::read(page).assets)
            payloads.append(url.mid(url.indexOf(',') + 1));
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), scratch.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), scratch.filePath(QStringLiteral("home/support")));
        out = scratch.filePath(QStringLiteral("out"));
        imported = out + QStringLiteral("/Bench-plan-imported");
    }

    QTemporaryDir scratch;
    QString page;
    QString out;
    QString imported;
    QList<QByteArray> payloads;
    QProcessEnvironment env;
};

Files &files()
{
    static Files instance;
    return instance;
}

using BenchSupport::median;
using BenchSupport::seconds;

// Runs the executable and gives its time, or a negative time when it failed.
// What earlier steps wrote is flushed first, so that no step pays for the
// write-back of another.
double command(const QStringList &arguments)
{
    ::sync();
    QProcess process;
    process.setProcessEnvironment(files().env);
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(QUARRYSTONE_BINARY), arguments);
    process.waitForFinished(-1);
    const double elapsed = seconds(timer);
    const bool ok = process.exitStatus() == QProcess::NormalExit
        && (process.exitCode() == 0 || (arguments.first() == QLatin1String("--render") && process.exitCode() == 2));
    return ok ? elapsed : -1;
}

double readAndDecode()
{
    ::sync();
    const Files &f = files();
    QElapsedTimer timer;
    timer.start();
    QFile file(f.page);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    benchmark::DoNotOptimize(file.readAll());
    for (const QByteArray &payload : f.payloads)
        benchmark::DoNotOptimize(QByteArray::fromBase64(payload));
    return seconds(timer);
}

void BM_ImportCommand(benchmark::State &state)
{
    const Files &f = files();
    std::vector<double> imports;
    std::vector<double> ratios;
    for (auto _ : state) {
        QDir(f.out).removeRecursively();
        const double import = command({QStringLiteral("--import"), f.page, QStringLiteral("--out"), f.out});
        const double floor = readAndDecode() + command({QStringLiteral("--render"), f.imported});
        if (import < 0 || floor < 0)
            state.SkipWithError("a command failed");
        imports.push_back(import);
        ratios.push_back(import / floor);
        state.SetIterationTime(import);
    }
    state.counters["MB"] = static_cast<double>(QFile(f.page).size()) / 1e6;
    state.counters["images"] = f.payloads.size();
    state.counters["per_read_decode_render"] = median(ratios);
}

void BM_ImportIntoCommand(benchmark::State &state)
{
    const Files &f = files();
    std::vector<double> ratios;
    for (auto _ : state) {
        QDir(f.out).removeRecursively();
        const double import = command({QStringLiteral("--import"), f.page, QStringLiteral("--out"), f.out});
        QDir(f.imported).mkpath(QStringLiteral("history"));
        const double into = command({QStringLiteral("--import"), f.page, QStringLiteral("--into"), f.imported});
        if (import < 0 || into < 0)
            state.SkipWithError("an import failed");
        ratios.push_back(into / import);
        state.SetIterationTime(into);
    }
    state.counters["per_plain_import"] = median(ratios);
}

// A page of many screens with a small image on each, written by the
// render, and the base64 text of all its images back to back.
struct ManyScreens {
    explicit ManyScreens(int screens)
    {
        const QString folder = files().scratch.filePath(QStringLiteral("many-%1").arg(screens));
        BenchSupport::renderedFolder(folder, screens, RenderGen::smallImages);
        page = folder + QStringLiteral("/index.html");
        base64 = folder + QStringLiteral("/images.b64");
        BenchSupport::measure(QStringLiteral("base64"), {QStringLiteral("-w0")}, folder + QStringLiteral("/images.bin"),
                              base64);
        out = files().scratch.filePath(QStringLiteral("many-out-%1").arg(screens));
        decoded = folder + QStringLiteral("/images.decoded");
    }

    QString page;
    QString base64;
    QString out;
    QString decoded;
};

// `quarrystone --import` of such a page against `base64 -d` of the same
// image bytes into a file, and the command's peak memory against the page.
void BM_ImportManyScreens(benchmark::State &state)
{
    const int screens = static_cast<int>(state.range(0));
    static std::map<int, ManyScreens> made;
    if (!made.count(screens))
        made.emplace(screens, screens);
    const ManyScreens &m = made.at(screens);
    std::vector<double> imports;
    std::vector<double> decodes;
    double peak = 0;
    // Each run imports into a folder of its own, whose pictures are removed
    // only at the end: on ext4 a file made within a minute of the removal of
    // thousands takes ten times as long, which would time the file system's
    // bookkeeping of the last run instead of the import. The few files that
    // hold most of the bytes go at once.
    QStringList outs;
    for (auto _ : state) {
        outs.append(m.out + QStringLiteral("-") + QString::number(outs.size()));
        QDir(outs.last()).removeRecursively();
        const BenchSupport::Measured decode =
            BenchSupport::measure(QStringLiteral("base64"), {QStringLiteral("-d")}, m.base64, m.decoded);
        const BenchSupport::Measured import = BenchSupport::measure(
            BenchSupport::binary(), {QStringLiteral("--import"), m.page, QStringLiteral("--out"), outs.last()}, {},
            {}, files().env);
        if (!decode.ok || !import.ok)
            state.SkipWithError("a command failed");
        decodes.push_back(decode.seconds);
        imports.push_back(import.seconds);
        peak = std::max(peak, import.peakBytes);
        state.SetIterationTime(import.seconds);
        for (const char *name : {"index.html", "plan.json", "plan.md"})
            QFile::remove(outs.last() + QStringLiteral("/Bench-plan-imported/") + QLatin1String(name));
    }
    for (const QString &out : outs)
        QDir(out).removeRecursively();
    const double page = static_cast<double>(QFile(m.page).size());
    state.counters["index_MB"] = page / 1e6;
    state.counters["base64d_ms"] = median(decodes) * 1e3;
    state.counters["x_base64d"] = median(imports) / median(decodes);
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["peak_per_index"] = page > 0 ? peak / page : 0;
}

} // namespace

BENCHMARK(BM_ImportManyScreens)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_ImportCommand)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);
BENCHMARK(BM_ImportIntoCommand)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
