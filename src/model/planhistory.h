#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

struct Plan;

// The plan folder's history/: byte copies of plan.json taken before anything
// overwrites it, so no change ever loses the previous plan.
namespace PlanHistory {

struct Failure {
    QString message;
};

// Copies <dir>/plan.json to <dir>/history/plan-<yyMMdd-HHmmss>.json, or for
// a later backup of the same second plan-<yyMMdd-HHmmss>_0002.json, …, and
// gives the copy's path. The names sort by code point in the order the
// backups were made; an existing backup is never replaced. Throws Failure
// when the copy cannot be made.
QString backup(const QString &dir);

// Writes `bytes` to <dir>/history/kept-<yyMMdd-HHmmss>.json, with "-2",
// "-3", … before ".json" when that name is taken, and gives the copy's path.
// A kept copy is saved for the person, never taken as an undo point. Throws
// Failure when the copy cannot be made.
QString keep(const QString &dir, const QByteArray &bytes);

// True when writing `plan` back would lose something the file's JSON object
// holds: an unknown key, a value of the wrong type, a list emptied by one bad
// element. The derived fields (naming.platformMap, strings[].frame and
// strings[].box) are recomputed on every write and do not count.
bool writeWouldDrop(const QJsonObject &fileJson, const Plan &plan);

// Why the plan.json a revision left in `dir` may not be kept, as one Korean
// line naming what would be lost; empty when it may. It is refused when it
// is no JSON object, when writing it as a plan would drop some of it (an
// unknown key, a part of the wrong type, a list emptied by one bad element)
// or when a part the plan held before (`before`, the file's bytes then) is
// gone from it.
QString revisionRefusal(const QString &dir, const std::optional<QByteArray> &before);

} // namespace PlanHistory
