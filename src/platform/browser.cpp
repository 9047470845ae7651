#include "platform/browser.h"

#include "claude/spawn.h"

#include <QDir>
#include <fcntl.h>
#include <unistd.h>

namespace Browser {

void open(const QUrl &url)
{
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        return;
    try {
        // The address is one argument of its own, never part of a command
        // line that a shell would read.
        const pid_t pid = Spawn::run(QStringLiteral("/usr/bin/xdg-open"), {url.toString(QUrl::FullyEncoded)},
                                     Spawn::processEnvironment(), QDir::homePath(), devNull, devNull, devNull);
        // Reaped in the background; how the opener ended changes nothing.
        Spawn::wait(pid);
    } catch (const SpawnFailure &) {
    }
    ::close(devNull);
}

} // namespace Browser
