#pragma once

#include <QString>

// Where the application keeps its own files, and how a user-typed folder
// path is read.
namespace AppPaths {

// The per-user support folder (settings.json, conventions.json): fixed at
// first use for the life of the process and created with its parents then.
QString support();

// Where the support folder is for the current environment:
// QUARRYSTONE_SUPPORT when set and not empty (taken as written), else
// "quarrystone" in the user's data folder ($XDG_DATA_HOME or
// ~/.local/share). Nothing is created.
QString locateSupport();

// A path as typed by the user, with a leading "~" or "~/" meaning the home
// folder; any other path is returned unchanged.
QString expandHome(const QString &path);

} // namespace AppPaths
