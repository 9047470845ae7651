#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The headless command line: one mode per run, results on standard output,
// every failure as one line on standard error, always an explicit exit code.
namespace Headless {

// The mode flags; any of them anywhere in the arguments selects the
// command line over the window.
bool wantsCommandLine(const QStringList &arguments);

// Runs one mode and gives the process's exit code. Asynchronous modes run
// the event loop until their operation reports done or failed.
int run(const QStringList &arguments);

// The element right after the first occurrence of `flag`, whatever it is.
std::optional<QString> value(const QStringList &arguments, const QString &flag);

// Ends the current mode with `message` on standard error and exit code 1.
[[noreturn]] void fail(const QString &message);

// Writes one line to standard output and flushes it.
void say(const QString &line);

// Removes the temporary files a killed run left in a plan folder, before
// this run writes there. A folder without a plan.json is left alone: it is
// no plan folder (it may be a whole home folder given by mistake).
void removeLeftovers(const QString &dir);

} // namespace Headless
