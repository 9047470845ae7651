#include "export/exporter.h"
#include "model/conventions.h"
#include "model/importer.h"
#include "rendergen.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

// About 29 MB of page: every third screen has an image of 500 KB.
constexpr int screens = 120;

// A plan folder written by the folder writer, and an ordinary HTML file of
// the same size whose head lacks the marker, made once for every benchmark
// of the run.
struct Files {
    Files()
    {
        const QString folder = dir.filePath(QStringLiteral("plan"));
        images = RenderGen::make(folder, screens).images;
        QFile stored(folder + QStringLiteral("/plan.json"));
        if (!stored.open(QIODevice::ReadOnly))
            qFatal("cannot read the generated plan");
        Plan plan = Plan::decode(stored.readAll());
        Exporter::writeAll(plan, folder, Conventions::builtIn());
        page = folder + QStringLiteral("/index.html");
        other = write("other.html", "<!doctype html>\n<html><body><p>" + QByteArray(29'000'000, 'x') + "</p></body></html>");
        const ImportedPlan imported = Importer::read(page);
        for (const QByteArray &url : imported.assets)
            payloads.append(url.mid(url.indexOf(',') + 1));
    }

    QString write(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the benchmark file");
        return file.fileName();
    }

    QTemporaryDir dir;
    QString page;
    QString other;
    int images = 0;
    QList<QByteArray> payloads;
};

Files &files()
{
    static Files instance;
    return instance;
}

void pageBytes(benchmark::State &state, const QString &path)
{
    const qint64 size = QFile(path).size();
    state.SetBytesProcessed(state.iterations() * size);
    state.counters["MB"] = static_cast<double>(size) / 1e6;
}

// What any import must do at least: read the file and decode its images.
void BM_ReadFileAndDecodeImages(benchmark::State &state)
{
    const Files &f = files();
    for (auto _ : state) {
        QFile file(f.page);
        if (!file.open(QIODevice::ReadOnly))
            state.SkipWithError("cannot open the page");
        benchmark::DoNotOptimize(file.readAll());
        for (const QByteArray &payload : f.payloads)
            benchmark::DoNotOptimize(QByteArray::fromBase64(payload));
    }
    pageBytes(state, f.page);
}

void BM_Read(benchmark::State &state)
{
    const Files &f = files();
    for (auto _ : state)
        benchmark::DoNotOptimize(Importer::read(f.page));
    pageBytes(state, f.page);
}

void BM_ReadAndWriteImages(benchmark::State &state)
{
    const Files &f = files();
    const QString target = f.dir.filePath(QStringLiteral("imported"));
    for (auto _ : state) {
        const ImportedPlan imported = Importer::read(f.page);
        if (Importer::writeAssets(imported.assets, target) != f.images)
            state.SkipWithError("images were not written");
    }
    pageBytes(state, f.page);
}

void BM_IsPlanHTMLOnOtherPage(benchmark::State &state)
{
    const Files &f = files();
    for (auto _ : state)
        if (Importer::isPlanHTML(f.other))
            state.SkipWithError("an ordinary page was taken for a plan page");
    pageBytes(state, f.other);
}

} // namespace

BENCHMARK(BM_ReadFileAndDecodeImages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndWriteImages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IsPlanHTMLOnOtherPage)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
