#pragma once

#include "process/runmarks.h"

#include <QString>
#include <memory>
#include <optional>

// The record a revision keeps in history/ while Claude may change plan.json:
// the backup to roll back to and the mark of Claude's run, written before
// the run starts, so that the next use of the folder can make sure nothing
// of the run still works before it rolls back (a run dies with its
// application, but the kernel takes a moment). An older record is one
// line, the backup's file name; one that names a run by its process group
// names none.
class UnderWay
{
public:
    struct Entry {
        QString backup;
        std::optional<RunMarks::Mark> group;
    };

    // The record of the folder `dir`, if any; read without blocking.
    static std::optional<Entry> read(const QString &dir);
    static QString path(const QString &dir);

    UnderWay() = default;
    // A record of a run with a fresh token, for `dir` as it is now.
    UnderWay(const QString &dir, const QString &backup);

    // Writes the record naming the backup and the run; the cause when it
    // could not.
    QString start();
    // The token Claude's run is to carry.
    QByteArray token() const;
    // Removes the record.
    void end();

private:
    struct State;

    std::shared_ptr<State> m_state;
};
