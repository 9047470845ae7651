#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Which plan.json a folder's plan.md and index.html were made from: the
// SHA-256 of its bytes, in a small file the folder writer puts beside them
// once all three are written. A write cut short leaves the file naming
// another plan.json (or, in a folder that had none, empty), so the next use
// of the folder knows its derived files are out of step.
namespace MadeFrom {

// The file's path in a plan folder.
QString path(const QString &dir);

// Before the three files are written: a folder written before these marks
// existed gets an empty mark, so an interrupted write is not taken for an
// older folder. Best effort: a folder that cannot take it loses nothing.
void begin(const QString &dir);

// The mark of a plan.json of these bytes.
QByteArray of(const QByteArray &planBytes);

// Once the three files are written, the mark `of` their plan.json.
void record(const QString &dir, const QByteArray &mark);

// False when plan.md and index.html were not made from the folder's
// plan.json: the mark names other bytes (or none, a write into a new or
// older folder cut short). A folder without a mark (written before marks,
// or by hand; anything but a regular file at its name is none) or without a
// plan.json has nothing to be out of step with.
bool holds(const QString &dir);

// The mark as it is now, and putting such a state back (a missing mark goes).
std::optional<QByteArray> take(const QString &dir);
void putBack(const QString &dir, const std::optional<QByteArray> &mark);

} // namespace MadeFrom
