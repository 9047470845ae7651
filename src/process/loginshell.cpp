#include "process/loginshell.h"

#include "process/spawn.h"

#include <QDir>
#include <QFileInfo>

namespace LoginShell {

QString program()
{
    const QString shell = qEnvironmentVariable("SHELL");
    const QFileInfo info(shell);
    if (!shell.isEmpty() && QDir::isAbsolutePath(shell) && info.isFile() && info.isExecutable())
        return shell;
    return QStringLiteral("/bin/bash");
}

std::optional<QString> output(const QString &command, std::chrono::milliseconds timeout, const CancelToken &stop)
{
    // A profile may start programs of its own; the shell's process group
    // takes them along when the shell is ended.
    const std::optional<QString> text =
        Spawn::output(program(), {QStringLiteral("-lc"), command}, Spawn::processEnvironment(), timeout, stop);
    if (!text)
        return std::nullopt;
    const QString trimmed = text->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

} // namespace LoginShell
