#include "benchsupport.h"

#include "model/planhistory.h"

#include <QDir>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

// `quarrystone --revise <folder> --undo` of a plan of five screens: the
// work itself takes a small part of a second, so what the command adds
// after it (waiting to notice that the work is over) shows in its time.
namespace {

constexpr int screens = 5;

struct Folder {
    Folder()
    {
        dir = scratch.filePath(QStringLiteral("plan"));
        BenchSupport::renderedFolder(dir, screens, RenderGen::smallImages);
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), scratch.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), scratch.filePath(QStringLiteral("home/support")));
    }

    QTemporaryDir scratch;
    QString dir;
    QProcessEnvironment env;
};

void BM_UndoCommand(benchmark::State &state)
{
    static Folder folder;
    std::vector<double> times;
    for (auto _ : state) {
        QDir(folder.dir + QStringLiteral("/history")).removeRecursively();
        PlanHistory::backup(folder.dir);
        const BenchSupport::Measured undo = BenchSupport::measure(
            BenchSupport::binary(), {QStringLiteral("--revise"), folder.dir, QStringLiteral("--undo")}, {}, {},
            folder.env);
        if (!undo.ok)
            state.SkipWithError("the undo failed");
        times.push_back(undo.seconds);
        state.SetIterationTime(undo.seconds);
    }
    state.counters["median_ms"] = BenchSupport::median(times) * 1e3;
}

} // namespace

BENCHMARK(BM_UndoCommand)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(15);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
