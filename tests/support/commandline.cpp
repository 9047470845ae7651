#include "support/commandline.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

namespace CommandLine {

void start(QProcess &process, const QStringList &arguments, const QString &home, const QString &cwd)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), home + QStringLiteral("/support"));
    process.setProcessEnvironment(env);
    if (!cwd.isEmpty())
        process.setWorkingDirectory(cwd);
    process.start(QStringLiteral(QUARRYSTONE_BINARY), arguments);
    process.waitForStarted();
}

Outcome run(const QStringList &arguments, const QString &home, const QString &cwd)
{
    QProcess process;
    start(process, arguments, home, cwd);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
}

void writeSettings(const QString &home, const QByteArray &json)
{
    QDir().mkpath(home + QStringLiteral("/support"));
    QFile file(home + QStringLiteral("/support/settings.json"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(json);
}

} // namespace CommandLine
