#pragma once

#include "model/planfiles.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>

class QIODevice;
#include <optional>

#include "model/plan.h"

// The plan folder's history/: byte copies of plan.json taken before anything
// overwrites it, so no change ever loses the previous plan.
namespace PlanHistory {

struct Failure {
    QString message;
};

// Copies <dir>/plan.json to <dir>/history/plan-<yyMMdd-HHmmss>.json, or for
// a later backup of the same second plan-<yyMMdd-HHmmss>_0002.json, …, and
// gives the copy's path. The names sort by code point in the order the
// backups were made, whatever the clock did meanwhile: a time that sorts
// before the newest backup takes that backup's time with the next number.
// An existing file is never replaced. Throws Failure when the copy cannot
// be made.
QString backup(const QString &dir);

// The newest undo point: the last "plan-*.json" file of history/ by name.
std::optional<QString> lastBackup(const QString &dir);

// Why <dir>/history/ is not used, when something other than a folder of
// the plan's own stands there (a link, even to a folder); empty otherwise.
QString elsewhere(const QString &dir);

// Writes `bytes` to <dir>/history/kept-<yyMMdd-HHmmss>.json, with "-2",
// "-3", … before ".json" when that name is taken, and gives the copy's path.
// A kept copy is saved for the person, never taken as an undo point. Throws
// Failure when the copy cannot be made.
QString keep(const QString &dir, const QByteArray &bytes);

// Moves the file (or link) `path` of <dir>/history/ to a kept copy's name,
// never replacing a file, and gives the new path. Throws Failure.
QString moveAside(const QString &dir, const QString &path);

// Writes `bytes` as a new file of `folder` named `stem` + `suffix`, or
// `stem` + "_0002" + `suffix`, … when that is taken (from number `first`
// on, 1 being the name without a number), and gives its path; nothing
// replaces an existing file. History files are as private as the plan of
// `dir`. Throws Failure when the file cannot be made.
QString addFile(const QString &dir, const QString &folder, const QString &stem, const QString &suffix,
                const QByteArray &bytes, int first = 1);
// The same for a file written piece by piece by `produce`, which may be
// called again, from its start, when a name turns out to be taken.
QString addFile(const QString &dir, const QString &folder, const QString &stem, const QString &suffix,
                const std::function<bool(QIODevice &)> &produce, int first = 1);

// True when writing `plan` back would lose something the file's JSON object
// holds: an unknown key, a value of the wrong type, a list emptied by one bad
// element. The derived fields (naming.platformMap, strings[].frame and
// strings[].box) are recomputed on every write and do not count.
bool writeWouldDrop(const QJsonObject &fileJson, const Plan &plan);

// What a revision left in `dir`, judged against the plan before it
// (`before`, the file as it was).
struct Revision {
    // Why it may not be kept, as Korean lines naming what would be lost;
    // empty when it may. It is refused when it is no JSON object or when
    // content the plan held is gone from it, at any depth: a part it
    // leaves out, nulls, empties or thins, an element it blanks, or content
    // it moved to a key no plan holds. The elements of the plan's lists are
    // matched by their id wherever they moved and whatever the list's
    // length did; an element deleted while its list keeps others is no
    // loss. What the result holds beyond what a plan can hold (Claude's
    // additions, or keys the file held already) is no reason: the writer
    // leaves it out.
    QString refusal;
    // The places of the result that the writer leaves out, as paths
    // ("screens[0].memo").
    QStringList leftOut;
    // With a removal asked for, the places whose content went as asked.
    QStringList removed;
    // The plan read from the result, and the bytes of the plan before.
    Plan plan;
    QByteArray before;
    // Whether the result holds what the plan before held, element for
    // element, its derived fields aside: only then may the writer write it
    // as the plan before.
    bool sameContent = false;
};

// `removalAsked`: the person's request asks for something to go, so
// content gone from a part that still stands, or a list left empty, is a
// removal to name, not a loss; content Claude broke (an element left empty
// where one stood, content moved where no plan keeps it) stays a loss.
Revision judgeRevision(const QString &dir, const PlanFiles::Kept &before, bool removalAsked = false);
// The refusal of judgeRevision; `leftOut`, when given, receives its places
// the writer leaves out.
QString revisionRefusal(const QString &dir, const PlanFiles::Kept &before, QStringList *leftOut = nullptr,
                        bool removalAsked = false);
// How to ask for a removal, the line a refusal ends with when what would go
// may have been wanted.
QString removalHint();

} // namespace PlanHistory
