#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The three files a plan folder shows (plan.json, plan.md, index.html), kept
// as they were before an operation changed them, so that an operation that
// fails can leave the folder as it found it.
namespace PlanFiles {

// A file that was missing or could not be read stays unset.
struct Snapshot {
    std::optional<QByteArray> plan;
    std::optional<QByteArray> markdown;
    std::optional<QByteArray> page;
};

Snapshot take(const QString &dir);

// Writes the snapshot's files back, each through a file beside it. Gives the
// first failure's file and reason, empty when all of them are back.
QString putBack(const QString &dir, const Snapshot &files);

} // namespace PlanFiles
