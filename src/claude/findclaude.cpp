#include "claude/clauderunner.h"

#include "process/loginshell.h"

#include <QDir>
#include <QFileInfo>
#include <chrono>

namespace {

// A login shell that hangs in the user's profile must not freeze the caller.
constexpr std::chrono::seconds loginShellLimit{10};

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

std::optional<QString> ClaudeRunner::findClaude(const CancelToken &stop)
{
    const QString home = QDir::homePath();
    const QString candidates[] = {
        home + QStringLiteral("/.local/bin/claude"),
        QStringLiteral("/opt/homebrew/bin/claude"),
        QStringLiteral("/usr/local/bin/claude"),
        home + QStringLiteral("/.claude/local/claude"),
    };
    for (const QString &path : candidates)
        if (isExecutableFile(path))
            return path;
    return LoginShell::output(QStringLiteral("command -v claude"), loginShellLimit, stop);
}
