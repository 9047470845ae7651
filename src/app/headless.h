#pragma once

#include "model/folderclaim.h"

#include <QString>
#include <QStringList>
#include <optional>

struct AppSettings;

// The headless command line: one mode per run, results on standard output,
// every failure as one line on standard error, always an explicit exit code.
namespace Headless {

// The mode flags; any of them anywhere in the arguments selects the
// command line over the window.
bool wantsCommandLine(const QStringList &arguments);

// Runs one mode and ends the process with its exit code. Asynchronous
// modes run the event loop until their operation reports done or failed.
[[noreturn]] void run(const QStringList &arguments);

// Ends the process with `code`: the one way a command-line run ends,
// whatever ends it. Every child that leads a group of its own is ended
// first (Claude's runs with all they started, the checks), and work handed
// to the shared pool finishes.
[[noreturn]] void end(int code);

// The element right after the first occurrence of `flag`, whatever it is.
std::optional<QString> value(const QStringList &arguments, const QString &flag);

// Ends the current mode with `message` on standard error and exit code 1.
[[noreturn]] void fail(const QString &message);

// Ends the run (exit 1) unless `folder`, as the person gave it, is a folder
// holding `file` (any file name; none: the folder alone), naming the folder
// and what is missing, the same in every mode.
void requireFolder(const QString &folder, const QString &file = QString());

// Claims the plan folder `dir` for this run (FolderClaim), telling what
// the claim put in order in one line each on standard error. Ends the run
// (exit 1) when another operation holds the folder or the rollback fails.
// A folder that does not exist yet is not claimed. `repair` false leaves
// the derived files to a run that writes them anyway.
FolderClaim claim(const QString &dir, const AppSettings &settings, bool repair = true);

// Writes one line to standard output and flushes it.
void say(const QString &line);

// Removes the temporary files a killed run left in a plan folder, once this
// run holds the folder's lock. A folder without a plan.json is left alone: it is
// no plan folder (it may be a whole home folder given by mistake).
void removeLeftovers(const QString &dir);

} // namespace Headless
