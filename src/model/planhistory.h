#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

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

} // namespace PlanHistory
