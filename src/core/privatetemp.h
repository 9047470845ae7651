#pragma once

#include <QString>
#include <optional>

// Temporary files that may hold secrets go to a folder only the user can
// enter, never straight into the shared temporary folder.
namespace PrivateTemp {

// "<temp>/quarrystone-<uid>", created with mode 0700 when missing and
// tightened when it is ours but too open. When that name is taken by
// something that is not our real folder (another user's folder, a link, a
// file), a fresh "<temp>/quarrystone-<uid>-XXXXXX" made for this process.
// Nothing when no folder can be made.
std::optional<QString> folder();

// A QTemporaryFile template for a file of this run in `folder`,
// "<folder>/<stem>-<pid>-XXXXXX<suffix>".
QString runFileTemplate(const QString &folder, const QString &stem, const QString &suffix);

// Marks the run file open on `descriptor` as in use for as long as that
// descriptor stays open (a lock the system drops when the process dies,
// however it dies); false when it could not.
bool hold(int descriptor);

// A QTemporaryDir template for a folder of a run in `folder`,
// "<folder>/<stem>-XXXXXX", for the stems removeStale knows: "develop" (a
// development run's private /tmp) and "browser" (the browser relay's). Its
// maker holds it (a FolderLock) for as long as it uses it.
QString runFolderTemplate(const QString &folder, const QString &stem);

// Removes from the private folder the files of runs that have ended without
// removing them (killed ones): run files a minute old that nobody holds,
// whatever process id their names carry (a process in another PID
// namespace numbers its files its own way), and those of older builds,
// which carry no process id, once they are a day old; and run folders a
// minute old that nobody holds, with all they hold, following no link and
// crossing into no other file system. Everything else stays. Gives how
// many files and run folders went.
int removeStale();

} // namespace PrivateTemp
