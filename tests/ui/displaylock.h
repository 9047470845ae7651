#pragma once

#include <QDir>
#include <QLockFile>
#include <QString>

// Only one window of a display is active at a time. Tests that need an
// active window (keyboard shortcuts) take the display in turn, so that test
// processes run in parallel under one X server do not take it from them.
class DisplayLock
{
public:
    DisplayLock()
        : m_lock(path())
    {
        m_lock.setStaleLockTime(0);
        m_lock.lock();
    }

private:
    static QString path()
    {
        QString display = qEnvironmentVariable("DISPLAY");
        display.remove(QLatin1Char(':')).replace(QLatin1Char('/'), QLatin1Char('_'));
        return QDir::tempPath() + QStringLiteral("/quarrystone-ui-display%1.lock").arg(display);
    }

    QLockFile m_lock;
};
