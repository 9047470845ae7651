#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The three files a plan folder shows (plan.json, plan.md, index.html) and
// the mark of what the last two were made from, kept as they were before an
// operation changed them, so that an operation that fails can leave the
// folder as it found it.
namespace PlanFiles {

// A file that was missing or could not be read stays unset.
struct Snapshot {
    std::optional<QByteArray> plan;
    std::optional<QByteArray> markdown;
    std::optional<QByteArray> page;
    std::optional<QByteArray> madeFrom;
};

Snapshot take(const QString &dir);

// Why the folder's plan.json may be neither read nor replaced: a link (to
// anything), a folder, a pipe or the like stands at its name. Empty when a
// regular file or nothing is there.
QString notOwnPlan(const QString &dir);

// Writes the snapshot's files back, each through a file beside it; a file
// that already holds its bytes is left as it is (a full disk takes no
// rewrite). Gives the first failure's file and reason, empty when all of
// them are back.
QString putBack(const QString &dir, const Snapshot &files);

} // namespace PlanFiles
