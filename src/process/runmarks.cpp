#include "process/runmarks.h"

#include "core/filedescriptor.h"

#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace RunMarks {

namespace {

// The scans below look at every process of the machine, each time a run
// ends: read with plain calls, without Qt's directory listing or files.
QList<pid_t> processes()
{
    QList<pid_t> found;
    DIR *const proc = ::opendir("/proc");
    if (!proc)
        return found;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && end != entry->d_name && *end == '\0')
            found.append(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return found;
}

// One of the process's files in /proc; empty when it is gone or closed to
// us.
QByteArray procFile(pid_t pid, const char *name)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), name);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const QByteArray bytes = FileDescriptor::readAll(fd);
    ::close(fd);
    return bytes;
}

// The token in the environment the process started with; empty for none,
// for a zombie and for a process we may not look into.
QByteArray tokenOf(pid_t pid)
{
    static const QByteArray prefix = tokenVariable().toUtf8() + '=';
    const QByteArray environment = procFile(pid, "environ");
    // The first variable of that name, as the process reads it: a match
    // inside another variable's value does not count.
    for (qsizetype at = environment.indexOf(prefix); at >= 0; at = environment.indexOf(prefix, at + 1)) {
        if (at > 0 && environment.at(at - 1) != '\0')
            continue;
        const qsizetype start = at + prefix.size();
        const qsizetype end = environment.indexOf('\0', start);
        return environment.mid(start, end < 0 ? -1 : end - start);
    }
    return {};
}

// The fields of /proc/<pid>/stat after the name: state first. Empty when
// the process is gone.
QList<QByteArray> statusOf(pid_t pid)
{
    const QByteArray line = procFile(pid, "stat");
    const qsizetype nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return {};
    return line.mid(nameEnd + 2).split(' ');
}

// Whether the process lives (no zombie) in the process group `group`.
bool memberOf(pid_t pid, pid_t group)
{
    const QList<QByteArray> status = statusOf(pid);
    return status.size() > 2 && status.at(0) != "Z" && status.at(2).toInt() == group;
}

// Through a process descriptor, opened before the token is checked once
// more: a number that was handed out again in between gets nothing.
bool signalCarrier(pid_t pid, const QByteArray &token, int number)
{
    const int pidfd = openDescriptor(pid);
    if (pidfd < 0)
        return false;
    const bool sent = tokenOf(pid) == token && signalThrough(pidfd, number) == 0;
    ::close(pidfd);
    return sent;
}

} // namespace

QList<pid_t> carriers(const QByteArray &token)
{
    QList<pid_t> found;
    if (token.isEmpty())
        return found;
    for (const pid_t pid : processes())
        if (tokenOf(pid) == token)
            found.append(pid);
    return found;
}

int signalCarriers(const QByteArray &token, int number, const QList<pid_t> &except)
{
    int reached = 0;
    for (const pid_t pid : carriers(token))
        if (!except.contains(pid) && signalCarrier(pid, token, number))
            ++reached;
    return reached;
}

int signalCarriers(const QSet<QByteArray> &tokens, int number)
{
    int reached = 0;
    for (const pid_t pid : processes())
        if (const QByteArray token = tokenOf(pid); !token.isEmpty() && tokens.contains(token)
            && signalCarrier(pid, token, number))
            ++reached;
    return reached;
}

QList<pid_t> inGroup(pid_t group)
{
    QList<pid_t> found;
    for (const pid_t pid : processes())
        if (memberOf(pid, group) && ::kill(pid, 0) == 0)
            found.append(pid);
    return found;
}

void signalMembers(pid_t group, int number)
{
    for (const pid_t pid : inGroup(group)) {
        if (pid == group)
            continue;
        const int pidfd = openDescriptor(pid);
        if (pidfd < 0)
            continue;
        if (memberOf(pid, group))
            signalThrough(pidfd, number);
        ::close(pidfd);
    }
}

QList<pid_t> zombieChildren()
{
    QList<pid_t> found;
    const QByteArray self = QByteArray::number(::getpid());
    for (const pid_t pid : processes()) {
        const QList<QByteArray> status = statusOf(pid);
        if (status.size() > 1 && status.at(0) == "Z" && status.at(1) == self)
            found.append(pid);
    }
    return found;
}

QString placeOf(const QString &dir)
{
    struct stat info {};
    if (::stat(QFile::encodeName(dir).constData(), &info) != 0)
        return {};
    return QString::number(info.st_dev) + QLatin1Char(':') + QString::number(info.st_ino);
}

// Called through syscall(): glibc 2.36's own declarations lack C linkage.
int openDescriptor(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int signalThrough(int descriptor, int number)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, descriptor, number, nullptr, 0));
}

QString tokenVariable()
{
    return QStringLiteral("QUARRYSTONE_RUN");
}

QByteArray newToken()
{
    QByteArray bytes(16, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return bytes.toHex();
}

bool alive(const Mark &mark)
{
    return !carriers(mark.token).isEmpty();
}

bool startedHere(const Mark &mark)
{
    // Where a carrier works now says nothing: a daemon leaves for "/".
    return mark.place.isEmpty() || mark.place == placeOf(mark.folder);
}

bool end(const Mark &mark, std::chrono::milliseconds grace)
{
    QList<pid_t> left = carriers(mark.token);
    if (left.isEmpty())
        return true;
    if (!startedHere(mark))
        return false;
    const auto until = std::chrono::steady_clock::now() + grace;
    while (!left.isEmpty()) {
        for (const pid_t pid : left)
            signalCarrier(pid, mark.token, SIGKILL);
        if (std::chrono::steady_clock::now() >= until)
            return false;
        QThread::msleep(20);
        left = carriers(mark.token);
    }
    return true;
}

quint64 namespaceOf(pid_t pid)
{
    char target[64];
    const QByteArray link = "/proc/" + QByteArray::number(pid) + "/ns/pid";
    const ssize_t n = ::readlink(link.constData(), target, sizeof target);
    const QByteArray text(target, std::max<ssize_t>(n, 0));
    if (!text.startsWith("pid:[") || !text.endsWith(']'))
        return 0;
    return text.mid(5, text.size() - 6).toULongLong();
}

QList<pid_t> inNamespace(quint64 inode, pid_t except)
{
    QList<pid_t> found;
    for (const pid_t pid : processes())
        if (pid != except && namespaceOf(pid) == inode)
            found.append(pid);
    return found;
}

QString toText(const Mark &mark)
{
    QString text = QStringLiteral("run ") + QString::fromLatin1(mark.token);
    if (!mark.place.isEmpty())
        text += QLatin1Char(' ') + mark.place;
    return text;
}

std::optional<Mark> fromText(const QString &text)
{
    static const QRegularExpression place(QStringLiteral("^\\d+:\\d+$"));
    const QStringList parts = text.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() < 2 || parts.size() > 3 || parts.at(0) != QLatin1String("run"))
        return std::nullopt;
    const QByteArray token = parts.at(1).toLatin1();
    if (token.size() != 32 || QByteArray::fromHex(token).toHex() != token)
        return std::nullopt;
    if (parts.size() == 3 && !place.match(parts.at(2)).hasMatch())
        return std::nullopt;
    return Mark{token, parts.value(2), QString()};
}

} // namespace RunMarks
