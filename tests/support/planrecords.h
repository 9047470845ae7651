#pragma once

#include "model/plan.h"

// Small element records for tests that build plans in code.
namespace PlanRecords {

UserAction action(const QString &key, const QString &label);
Sourced sourced(const QString &text, const QString &source);
Arg arg(const QString &name, const QString &model);

} // namespace PlanRecords
