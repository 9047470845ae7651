#include "platform/loginshell.h"

#include "core/text.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace LoginShell {

QString program()
{
    const QString shell = qEnvironmentVariable("SHELL");
    const QFileInfo info(shell);
    if (!shell.isEmpty() && QDir::isAbsolutePath(shell) && info.isFile() && info.isExecutable())
        return shell;
    return QStringLiteral("/bin/bash");
}

std::optional<QString> output(const QString &command, std::chrono::milliseconds timeout)
{
    QProcess shell;
    shell.setProgram(program());
    shell.setArguments({QStringLiteral("-lc"), command});
    shell.setStandardInputFile(QProcess::nullDevice());
    shell.start();
    if (!shell.waitForStarted())
        return std::nullopt;
    if (!shell.waitForFinished(static_cast<int>(timeout.count()))) {
        shell.kill();
        shell.waitForFinished();
        return std::nullopt;
    }
    const std::optional<QString> text = Text::decodeUtf8Strict(shell.readAllStandardOutput());
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

} // namespace LoginShell
