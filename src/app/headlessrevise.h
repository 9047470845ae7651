#pragma once

#include "settings/appsettings.h"

#include <QStringList>

// The command line's `--revise`: the plan folder after it revised by the
// shared Reviser with --request and --image, or returned to its last backup
// with --undo; progress printed until the reviser is done or failed.
namespace HeadlessRevise {

// Never returns. SIGINT and SIGTERM stop a revision, which puts plan.json
// back before the process ends with 128 plus the signal's number.
[[noreturn]] void revise(const QStringList &arguments, const AppSettings &settings);

} // namespace HeadlessRevise
