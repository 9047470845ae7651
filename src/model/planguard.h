#pragma once

#include "model/planfiles.h"

#include <QString>

// What a development run may not change: its shell commands can write
// files wherever an option lets them, so the plan folder's three files are
// taken when the run starts and checked when it ends, however it ends.
namespace PlanGuard {

// Compares the folder's plan.json, plan.md and index.html with `before`
// under the folder's lock (waiting for an operation that holds it) and puts
// back every one that changed, a changed plan.json first kept in history/
// so that nothing written is lost. What a plan operation wrote meanwhile
// (files it marked as made from their plan.json) is left as it is.
// Blocking: call it on a thread of its own. Gives
// one Korean line naming what changed and whether it is back; empty when
// nothing changed.
QString putBackChanges(const QString &dir, const PlanFiles::Snapshot &before);

} // namespace PlanGuard
