#include "views/claudecheck.h"

#include "claude/clauderunner.h"

#include <QCoreApplication>
#include <QPointer>
#include <thread>

ClaudeCheck::ClaudeCheck(QObject *parent)
    : QObject(parent)
{
}

ClaudeCheck::~ClaudeCheck()
{
    m_stop.cancel();
}

void ClaudeCheck::check(const QString &path)
{
    m_path = path;
    m_pending = true;
    const quint64 id = ++m_id;
    // The answer goes through the application object, which outlives the
    // check; the check itself may be gone by the time the tool answers.
    std::thread([self = QPointer<ClaudeCheck>(this), path, id, stop = m_stop] {
        ClaudeRunner runner;
        runner.path = path;
        const bool found = runner.version(stop).has_value();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, id, found] {
                if (self)
                    self->deliver(id, found);
            },
            Qt::QueuedConnection);
    }).detach();
}

void ClaudeCheck::deliver(quint64 id, bool found)
{
    if (id != m_id)
        return;
    m_pending = false;
    Q_EMIT finished(found);
}
