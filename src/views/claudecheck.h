#pragma once

#include "core/canceltoken.h"

#include <QObject>
#include <QString>

// Whether the `claude` tool at a path answers "--version". The tool runs on
// a thread of its own, so one that hangs never freezes the window; only the
// answer for the path asked last is published. A tool still running when
// the check goes is ended.
class ClaudeCheck : public QObject
{
    Q_OBJECT

public:
    explicit ClaudeCheck(QObject *parent = nullptr);
    ~ClaudeCheck() override;

    // Starts a check of `path`; an answer still due for an earlier path is
    // dropped when it comes.
    void check(const QString &path);
    // The path of the last check asked for.
    QString path() const { return m_path; }
    // Whether a check is waiting for its answer.
    bool pending() const { return m_pending; }

Q_SIGNALS:
    // The answer for the current path: whether a version text came back.
    void finished(bool found);

private:
    void deliver(quint64 id, bool found);

    QString m_path;
    quint64 m_id = 0;
    bool m_pending = false;
    CancelToken m_stop;
};
