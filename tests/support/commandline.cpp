#include "support/commandline.h"

#include "support/fakeclaude.h"
#include "support/testfiles.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QTimer>
#include <csignal>

namespace CommandLine {

namespace {

// The most a run is waited for: far more than a loaded machine takes; the
// test's own limit comes first.
constexpr int answerLimitMs = 10 * 60 * 1000;

Outcome outcome(QProcess &process)
{
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

} // namespace

void start(QProcess &process, const QStringList &arguments, const QString &home, const QString &cwd,
           const QString &support, const QString &program)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("HOME"), home);
    FakeClaude::pointHome(home);
    env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), support.isEmpty() ? home + QStringLiteral("/support") : support);
    process.setProcessEnvironment(env);
    if (!cwd.isEmpty())
        process.setWorkingDirectory(cwd);
    process.start(program.isEmpty() ? QStringLiteral(QUARRYSTONE_BINARY) : program, arguments);
    process.waitForStarted();
}

Outcome run(const QStringList &arguments, const QString &home, const QString &cwd, const QString &support,
            const QString &program)
{
    QProcess process;
    start(process, arguments, home, cwd, support, program);
    process.waitForFinished(answerLimitMs);
    return outcome(process);
}

Outcome runServing(const QStringList &arguments, const QString &home, const QString &cwd)
{
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(answerLimitMs, &loop, &QEventLoop::quit);
    start(process, arguments, home, cwd);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    return outcome(process);
}

void writeSettings(const QString &home, const QByteArray &json)
{
    TestFiles::writeFile(home + QStringLiteral("/support/settings.json"), json);
}

void writeRevisionSettings(const QString &home, const QString &work)
{
    const QDir folder(work);
    folder.mkpath(QStringLiteral("android"));
    folder.mkpath(QStringLiteral("ios"));
    writeSettings(home, QJsonDocument(QJsonObject{{QStringLiteral("claudePath"), FakeClaude::path()},
                                                  {QStringLiteral("userName"), QStringLiteral("테스터")},
                                                  {QStringLiteral("androidRepo"), folder.filePath(QStringLiteral("android"))},
                                                  {QStringLiteral("iosRepo"), folder.filePath(QStringLiteral("ios"))}})
                            .toJson());
}

void signal(const QProcess &process, int signal)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(static_cast<pid_t>(pid), signal);
}

} // namespace CommandLine
