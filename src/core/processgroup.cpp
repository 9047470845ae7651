#include "core/processgroup.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace ProcessGroup {

namespace {

struct Stat {
    pid_t pgid = 0;
    unsigned long long startTicks = 0;
};

// Fields of /proc/<pid>/stat after the command name, which may itself hold
// spaces and parentheses: the text after its last ')'.
std::optional<Stat> statOf(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray line = file.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = line.mid(close + 2).split(' ');
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt
    // cmajflt utime stime cutime cstime priority nice num_threads
    // itrealvalue starttime
    if (fields.size() < 20)
        return std::nullopt;
    if (fields.at(0) == "Z" || fields.at(0) == "X")
        return std::nullopt;
    bool pgidOk = false;
    bool startOk = false;
    Stat stat;
    stat.pgid = fields.at(2).toInt(&pgidOk);
    stat.startTicks = fields.at(19).toULongLong(&startOk);
    if (!pgidOk || !startOk)
        return std::nullopt;
    return stat;
}

// Members of the group that run (not zombies).
QList<pid_t> members(pid_t pgid)
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (!ok)
            continue;
        const std::optional<Stat> stat = statOf(pid);
        if (stat && stat->pgid == pgid)
            found.append(pid);
    }
    return found;
}

// The group still belongs to the run: its leader is the marked process, or
// the leader is gone and no process that started after it leads the
// number now (a reused number has a younger leader).
bool ours(const Mark &mark)
{
    const std::optional<Stat> leader = statOf(mark.pgid);
    if (leader)
        return leader->pgid == mark.pgid && leader->startTicks == mark.startTicks;
    const QList<pid_t> left = members(mark.pgid);
    for (const pid_t pid : left) {
        const std::optional<Stat> stat = statOf(pid);
        if (stat && stat->startTicks < mark.startTicks)
            return false;
    }
    return !left.isEmpty();
}

bool waitGone(const Mark &mark, std::chrono::milliseconds grace)
{
    const auto until = std::chrono::steady_clock::now() + grace;
    while (alive(mark)) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

std::optional<Mark> markOf(pid_t leader)
{
    const std::optional<Stat> stat = statOf(leader);
    if (!stat || stat->pgid != leader)
        return std::nullopt;
    return Mark{leader, stat->startTicks};
}

bool alive(const Mark &mark)
{
    if (mark.pgid <= 1)
        return false;
    return ours(mark) && !members(mark.pgid).isEmpty();
}

bool end(const Mark &mark, std::chrono::milliseconds grace)
{
    if (!alive(mark))
        return true;
    ::kill(-mark.pgid, SIGTERM);
    if (waitGone(mark, grace))
        return true;
    if (alive(mark))
        ::kill(-mark.pgid, SIGKILL);
    return waitGone(mark, grace);
}

QString toText(const Mark &mark)
{
    return QStringLiteral("%1 %2").arg(mark.pgid).arg(mark.startTicks);
}

std::optional<Mark> fromText(const QString &text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 2)
        return std::nullopt;
    bool pgidOk = false;
    bool startOk = false;
    Mark mark{static_cast<pid_t>(parts.at(0).toInt(&pgidOk)), parts.at(1).toULongLong(&startOk)};
    if (!pgidOk || !startOk || mark.pgid <= 1)
        return std::nullopt;
    return mark;
}

} // namespace ProcessGroup
