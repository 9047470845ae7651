#include "benchsupport.h"

#include "settings/updater.h"
#include "support/httpserver.h"
#include "support/zipwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>

// An install of a package of the given size in MB, from download to the
// moment before the swap (work under way stops it there, so nothing is
// swapped and the run cleans up after itself). A 1 ms timer on the main
// thread measures the longest time the install holds the event loop; the
// loopback server runs on a thread of its own so that it does not count.
namespace {

void write(const QString &path, const QByteArray &bytes, QFile::Permissions mode)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    file.setPermissions(mode);
}

QByteArray package(qint64 megabytes)
{
    const QByteArray program = "#!/bin/sh\nexit 0\n";
    ZipWriter zip;
    zip.addFolder(QStringLiteral("Quarrystone.app/"));
    zip.addFolder(QStringLiteral("Quarrystone.app/bin/"));
    zip.addFile(QStringLiteral("Quarrystone.app/bin/quarrystone"), program, 0755);
    zip.addFile(QStringLiteral("Quarrystone.app/bin/quarrystone-window.so"), QByteArray(megabytes << 20, 'q'));
    return zip.bytes();
}

void BM_InstallLongestMainThreadStall(benchmark::State &state)
{
    QTemporaryDir scratch;
    qputenv("QUARRYSTONE_SUPPORT", (scratch.path() + QStringLiteral("/support")).toUtf8());
    const QString app = scratch.path() + QStringLiteral("/Apps/Quarrystone.app");
    write(app + QStringLiteral("/bin/quarrystone"), "#!/bin/sh\n", QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray zip = package(state.range(0));
    const QJsonObject latest{{"version", "2.0"},
                             {"build", "43"},
                             {"url", "https://example.com"},
                             {"size", zip.size()},
                             {"sha256", QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex())}};

    QThread serving;
    serving.start();
    QObject context;
    context.moveToThread(&serving);
    HttpServer *server = nullptr;
    QMetaObject::invokeMethod(
        &context,
        [&] {
            server = new HttpServer;
            server->serve("/api/apps/com.tovanek.quarrystone.mac/latest",
                          HttpServer::Response::json(QJsonDocument(latest).toJson()));
            server->serve("/download/com.tovanek.quarrystone.mac/43.zip", HttpServer::Response{200, zip, {}, {}, false});
        },
        Qt::BlockingQueuedConnection);

    for (auto _ : state) {
        Updater::Hooks hooks;
        hooks.bundle = Updater::Bundle{app, QString(), QStringLiteral("1.0"), QStringLiteral("42"), server->base()};
        hooks.terminate = [] { qFatal("the install must stop before the swap"); };
        Updater updater(hooks);
        updater.setBusyCheck([] { return true; });
        updater.check();
        while (updater.phase().kind == Updater::Phase::Kind::checking)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

        QElapsedTimer since;
        qint64 longest = 0;
        QTimer tick;
        tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, since.restart());
        });
        tick.start(1);
        since.start();
        updater.install();
        while (updater.phase().kind != Updater::Phase::Kind::failed)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        tick.stop();
        if (!updater.phase().message.contains(QStringLiteral("진행 중인 작업")))
            state.SkipWithError(qPrintable(updater.phase().message));
        state.counters["longest_stall_ms"] = double(longest);
    }
    QMetaObject::invokeMethod(&context, [&] { delete server; }, Qt::BlockingQueuedConnection);
    serving.quit();
    serving.wait();
}

} // namespace

BENCHMARK(BM_InstallLongestMainThreadStall)->Arg(32)->Arg(256)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv)
{
    return BenchSupport::run(argc, argv);
}
