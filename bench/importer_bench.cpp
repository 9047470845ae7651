#include "model/importer.h"
#include "plangen.h"

#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <random>

namespace {

constexpr int imageCount = 300;
constexpr int imageBytes = 70'000;

// Embedded JSON as the page writes it.
QByteArray embedded(QByteArray json)
{
    json.replace("/", "\\/");
    json.replace("<", "\\u003c");
    return json;
}

QByteArray images()
{
    std::mt19937 random(7);
    QByteArray map = "{";
    for (int i = 0; i < imageCount; ++i) {
        QByteArray bytes(imageBytes, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = static_cast<char>(random());
        if (i > 0)
            map += ',';
        map += "\"img\\/node-" + QByteArray::number(i) + ".png\":\"data:image\\/png;base64," + bytes.toBase64() + '"';
    }
    return map + '}';
}

// A page of about 29 MB, and an ordinary HTML file of the same size whose
// head lacks the marker, written once for every benchmark of the run.
struct Files {
    Files()
    {
        const QByteArray plan = embedded(PlanGen::json(PlanGen::Shape{.screens = 300}));
        page = write("index.html", "<!doctype html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n"
                                   "<meta name=\"generator\" content=\"quarrystone\">\n</head>\n<body>\n"
                                   "<script type=\"application/json\" id=\"quarrystone-plan\">"
                                       + plan + "</script>\n<script type=\"application/json\" id=\"quarrystone-img\">"
                                       + images() + "</script>\n</body>\n</html>");
        other = write("other.html", "<!doctype html>\n<html><body><p>" + QByteArray(29'000'000, 'x') + "</p></body></html>");
        const ImportedPlan imported = Importer::read(page);
        for (const QByteArray &url : imported.assets)
            payloads.append(url.mid(url.indexOf(',') + 1));
    }

    QString write(const QString &name, const QByteArray &bytes)
    {
        QFile file(dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write the benchmark page");
        return file.fileName();
    }

    QTemporaryDir dir;
    QString page;
    QString other;
    QList<QByteArray> payloads;
};

Files &files()
{
    static Files instance;
    return instance;
}

void pageBytes(benchmark::State &state, const QString &path)
{
    state.SetBytesProcessed(state.iterations() * QFile(path).size());
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
        if (Importer::writeAssets(imported.assets, target) != imageCount)
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
