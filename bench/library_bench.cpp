#include "app/appstate.h"
#include "benchsupport.h"
#include "model/plan.h"
#include "settings/appsettings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

constexpr int plans = 1000;

// An output folder of 1,000 copies of the example plan, with settings that
// point the application state at it.
struct Library {
    Library()
    {
        qputenv("QUARRYSTONE_SUPPORT", dir.filePath("support").toUtf8());
        QFile sample(QStringLiteral(QUARRYSTONE_SOURCE_DIR "/examples/sample-plan/plan.json"));
        if (!sample.open(QIODevice::ReadOnly))
            qFatal("cannot read the example plan");
        const QByteArray bytes = sample.readAll();
        output = dir.filePath("plans");
        for (int n = 0; n < plans; ++n) {
            const QString folder = output + QStringLiteral("/plan-%1").arg(n);
            QDir().mkpath(folder);
            QFile file(folder + QStringLiteral("/plan.json"));
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                qFatal("cannot write the library");
            files.append(file.fileName());
        }
        AppSettings settings;
        settings.outputDir = output;
        settings.userName = QStringLiteral("bench");
        settings.claudePath = QStringLiteral("/bin/true");
        settings.setupDone = true;
        settings.save();
    }

    QTemporaryDir dir;
    QString output;
    QStringList files;
};

Library &library()
{
    static Library instance;
    return instance;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The floor: every plan.json read and parsed as JSON, nothing more.
void BM_ReadAndParse(benchmark::State &state)
{
    const QStringList &files = library().files;
    for (auto _ : state)
        for (const QString &file : files)
            benchmark::DoNotOptimize(QJsonDocument::fromJson(readAll(file)));
}

// What a scan would cost with a whole plan decode per folder.
void BM_ReadAndDecodePlan(benchmark::State &state)
{
    const QStringList &files = library().files;
    for (auto _ : state)
        for (const QString &file : files)
            benchmark::DoNotOptimize(Plan::decode(readAll(file)));
}

void BM_Refresh(benchmark::State &state)
{
    library();
    AppState appState;
    if (appState.plans().size() != plans)
        qFatal("the scan missed plans");
    for (auto _ : state)
        appState.refresh();
}

// Selecting a plan: one read of its plan.json and one whole decode.
void BM_SelectPlan(benchmark::State &state)
{
    const Library &lib = library();
    AppState appState;
    const QString first = lib.output + QStringLiteral("/plan-0");
    const QString second = lib.output + QStringLiteral("/plan-1/");
    bool flip = false;
    for (auto _ : state) {
        appState.setSelection(Selection::plan(flip ? first : second));
        flip = !flip;
    }
    if (!appState.planDir())
        qFatal("the plan did not load");
}

} // namespace

BENCHMARK(BM_SelectPlan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReadAndParse)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_ReadAndDecodePlan)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Refresh)->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
