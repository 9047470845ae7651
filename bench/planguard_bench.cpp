#include "benchsupport.h"

#include "model/planguard.h"
#include "settings/appsettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <cstdio>

// The development guard of a plan folder that holds 50 MB, 500 MB or 2 GB
// of pictures (5 MB each): the snapshot at the start of a run and the put
// back at its end, after the run rewrote plan.json and replaced one
// picture. Each round runs in a process of its own (this executable with
// "--guard <folder>"), so its peak resident memory is the guard's alone.
namespace {

constexpr qint64 pictureBytes = qint64(5) << 20;

QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

void write(const QString &path, QByteArrayView bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), bytes.size()) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A plan folder with its pages and `megabytes` of pictures, made once.
QString planFolder(qint64 megabytes)
{
    const QString dir = scratch().path() + QStringLiteral("/plan-%1").arg(megabytes);
    if (QFileInfo::exists(dir))
        return dir;
    QDir().mkpath(dir + QStringLiteral("/img"));
    QDir().mkpath(dir + QStringLiteral("/history"));
    BenchSupport::renderedFolder(dir, 12, RenderGen::smallImages);
    for (int number = 0; qint64(number) * pictureBytes < (megabytes << 20); ++number)
        write(dir + QStringLiteral("/img/screen-%1.png").arg(number), RenderGen::image(number, pictureBytes));
    return dir;
}

// The child's round: prints the seconds of the snapshot and of the put back.
int guardRound(const QString &dir)
{
    const AppSettings settings;
    QElapsedTimer timer;
    timer.start();
    const std::shared_ptr<PlanGuard> guard = PlanGuard::take(dir, settings);
    const double taking = BenchSupport::seconds(timer);
    write(dir + QStringLiteral("/plan.json"), "{}");
    QFile::remove(dir + QStringLiteral("/img/screen-0.png"));
    write(dir + QStringLiteral("/img/screen-0.png"), "not the picture");
    timer.restart();
    const QString line = guard->putBackChanges(settings);
    const double puttingBack = BenchSupport::seconds(timer);
    std::printf("%f %f\n", taking, puttingBack);
    return line.startsWith(QStringLiteral("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요")) ? 0 : 1;
}

void BM_GuardOfPictures(benchmark::State &state)
{
    const QString dir = planFolder(state.range(0));
    const QString out = scratch().path() + QStringLiteral("/times");
    for (auto _ : state) {
        const BenchSupport::Measured measured =
            BenchSupport::measure(QCoreApplication::applicationFilePath(), {QStringLiteral("--guard"), dir}, {}, out);
        if (!measured.ok)
            state.SkipWithError("the guard did not put the folder back");
        QFile times(out);
        times.open(QIODevice::ReadOnly);
        const QList<QByteArray> words = times.readAll().trimmed().split(' ');
        state.SetIterationTime(measured.seconds);
        state.counters["peak_MB"] = measured.peakBytes / (1 << 20);
        state.counters["take_s"] = words.value(0).toDouble();
        state.counters["putback_s"] = words.value(1).toDouble();
    }
    // Kept copies of what the rounds changed do not pile up.
    QDir(dir + QStringLiteral("/history")).removeRecursively();
}

} // namespace

BENCHMARK(BM_GuardOfPictures)->Arg(50)->Arg(500)->Arg(2048)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

int main(int argc, char **argv)
{
    if (argc == 3 && QByteArrayView(argv[1]) == "--guard") {
        QCoreApplication app(argc, argv);
        return guardRound(QString::fromLocal8Bit(argv[2]));
    }
    return BenchSupport::run(argc, argv);
}
