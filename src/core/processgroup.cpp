#include "core/processgroup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringList>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace ProcessGroup {

namespace {

QList<pid_t> processes()
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = entry.toInt(&ok);
        if (ok)
            found.append(pid);
    }
    return found;
}

// The token in the environment the process started with; empty for none,
// for a zombie and for a process we may not look into.
QByteArray tokenOf(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray prefix = tokenVariable().toUtf8() + '=';
    for (const QByteArray &entry : file.readAll().split('\0'))
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size());
    return {};
}

QString folderOf(pid_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).canonicalFilePath();
}

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

bool worksIn(const QList<pid_t> &run, const QString &folder)
{
    const QString wanted = QFileInfo(folder).canonicalFilePath();
    if (wanted.isEmpty())
        return false;
    for (const pid_t pid : run)
        if (folderOf(pid) == wanted)
            return true;
    return false;
}

// Through a process descriptor, opened before the token is checked once
// more: a number that was handed out again in between gets nothing.
void killCarrier(pid_t pid, const QByteArray &token)
{
    const int pidfd = openDescriptor(pid);
    if (pidfd < 0)
        return;
    if (tokenOf(pid) == token)
        signalThrough(pidfd, SIGKILL);
    ::close(pidfd);
}

} // namespace

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

std::optional<Mark> markOf(pid_t leader)
{
    const QByteArray token = tokenOf(leader);
    if (token.isEmpty())
        return std::nullopt;
    return Mark{token, folderOf(leader)};
}

bool alive(const Mark &mark)
{
    return worksIn(carriers(mark.token), mark.folder);
}

bool end(const Mark &mark, std::chrono::milliseconds grace)
{
    QList<pid_t> left = carriers(mark.token);
    if (!worksIn(left, mark.folder))
        return true;
    const auto until = std::chrono::steady_clock::now() + grace;
    while (!left.isEmpty()) {
        for (const pid_t pid : left)
            killCarrier(pid, mark.token);
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
    return QStringLiteral("run ") + QString::fromLatin1(mark.token);
}

std::optional<Mark> fromText(const QString &text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 2 || parts.at(0) != QLatin1String("run"))
        return std::nullopt;
    const QByteArray token = parts.at(1).toLatin1();
    if (token.size() != 32 || QByteArray::fromHex(token).toHex() != token)
        return std::nullopt;
    return Mark{token, QString()};
}

} // namespace ProcessGroup
