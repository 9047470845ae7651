#pragma once

#include "model/conventions.h"
#include "model/plan.h"

#include <QString>

// A file of the plan folder that could not be written: one message naming
// the file and the system's reason.
struct ExportFailure {
    QString message;
};

// The plan folder's files as the model has them written from a plan:
// through the exporter, which it reaches only here.
namespace PlanExport {

// Brings the plan's derived fields up to date (platform map, string frames
// and boxes) as writeAll does, writing nothing.
void derive(Plan &plan, const QString &dir, const Conventions &conventions);

// Brings the plan's derived fields up to date, then writes plan.json,
// plan.md and index.html as Exporter::writeAll does. Throws ExportFailure.
void writeAll(Plan &plan, const QString &dir, const Conventions &conventions);

} // namespace PlanExport
