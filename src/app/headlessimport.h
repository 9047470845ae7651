#pragma once

#include "settings/appsettings.h"

#include <QStringList>

// The command line's `--import`: a shared plan page read back into a plan
// folder, the one after --into or "<feature>-plan-imported" in the output
// folder. An existing plan.json is copied to history/ first; without that
// copy nothing is written.
namespace HeadlessImport {

// The page after --import; never returns.
[[noreturn]] void importPage(const QStringList &arguments, const AppSettings &settings);

} // namespace HeadlessImport
