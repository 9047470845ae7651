#pragma once

#include "core/processgroup.h"

#include <QString>
#include <memory>
#include <optional>

// The record a revision keeps in history/ while Claude may change plan.json:
// the backup to roll back to and, once Claude runs, the mark of its run, so
// that the next use of the folder can make sure nothing of the run still
// works in it before it rolls back (a run dies with its application, but
// the kernel takes a moment). An older record is one line, the backup's
// file name; one that names a run by its process group names none.
class UnderWay
{
public:
    struct Entry {
        QString backup;
        std::optional<ProcessGroup::Mark> group;
    };

    // The record of the folder `dir`, if any; read without blocking.
    static std::optional<Entry> read(const QString &dir);
    static QString path(const QString &dir);

    UnderWay() = default;
    UnderWay(const QString &dir, const QString &backup);

    // Writes the record naming the backup; the cause when it could not.
    QString start();
    // Names Claude's run too. Returns at once: the record is rewritten on
    // a pool thread, so it may be called from the thread that waits for
    // Claude's output.
    void mark(const ProcessGroup::Mark &group);
    // Removes the record; a mark still on its way writes nothing after it.
    void end();

private:
    struct State;

    std::shared_ptr<State> m_state;
};
