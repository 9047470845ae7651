#include "model/planexport.h"

#include "export/exporter.h"

namespace PlanExport {

void derive(Plan &plan, const QString &dir, const Conventions &conventions)
{
    Exporter::derive(plan, dir, conventions);
}

void writeAll(Plan &plan, const QString &dir, const Conventions &conventions)
{
    Exporter::writeAll(plan, dir, conventions);
}

} // namespace PlanExport
