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
// "<folder>/<stem>-<pid>-XXXXXX<suffix>": the process id in the name tells
// a later start whether the run that made it has ended.
QString runFileTemplate(const QString &folder, const QString &stem, const QString &suffix);

// Removes from the private folder the files of runs that have ended without
// removing them (killed ones), and those of older builds, which carry no
// process id, once they are a day old. Other files stay. Gives how many went.
int removeStale();

} // namespace PrivateTemp
