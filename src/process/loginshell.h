#pragma once

#include "core/canceltoken.h"

#include <QString>
#include <chrono>
#include <optional>

// Runs one command in the user's login shell, so that the PATH the user set
// up in their profile applies even when the application was started from a
// desktop session that never read it.
namespace LoginShell {

// The shell: $SHELL when it names an absolute executable, else /bin/bash.
QString program();

// The command's standard output, decoded as UTF-8 and trimmed at both ends;
// nothing when the shell cannot start, does not finish within `timeout`
// or before `stop` is cancelled (it is then ended with everything it
// started), prints bytes that are not UTF-8 or prints nothing.
std::optional<QString> output(const QString &command, std::chrono::milliseconds timeout,
                              const CancelToken &stop = CancelToken());

} // namespace LoginShell
