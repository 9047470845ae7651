#pragma once

#include "settings/appsettings.h"

#include <QStringList>

// The command line's `--generate` and `--redraft`: a plan folder made by the
// shared Generator, its progress printed until it is done or failed.
namespace HeadlessGenerate {

// A new plan from the design link after --generate; never returns.
[[noreturn]] void generate(const QStringList &arguments, const AppSettings &settings);

// The generation of the plan folder after --redraft run again from its
// request.json, with the saved design section; never returns.
[[noreturn]] void redraft(const QStringList &arguments, const AppSettings &settings);

} // namespace HeadlessGenerate
