#include "core/regularfile.h"

#include "core/fileerror.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RegularFile {

namespace {

std::optional<QByteArray> failed(QString *error, const QString &cause)
{
    if (error)
        *error = cause;
    return std::nullopt;
}

// The bytes from the descriptor's place to the end, in a buffer of the size
// the file had (a file that grows meanwhile is read on to its end): a
// page's buffer is its size, not the next power of two.
std::optional<QByteArray> readToEnd(int fd, qint64 size, QString *error)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        char beyond[4096];
        const bool full = done == bytes.size();
        const ssize_t count = full ? ::read(fd, beyond, sizeof beyond) : ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return failed(error, FileError::describe(errno));
        if (count == 0) {
            bytes.truncate(done);
            return bytes;
        }
        if (full)
            bytes.append(beyond, count);
        done += count;
    }
}

} // namespace

int open(const QString &path, int flags, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) {
        failed(error, FileError::describe(errno));
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        failed(error, S_ISDIR(status.st_mode) ? FileError::describe(EISDIR) : notRegular());
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<QByteArray> readOpen(int fd, QString *error)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return failed(error, FileError::describe(errno));
    if (!S_ISREG(status.st_mode))
        return failed(error, S_ISDIR(status.st_mode) ? FileError::describe(EISDIR) : notRegular());
    return readToEnd(fd, status.st_size, error);
}

std::optional<QByteArray> read(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failed(error, FileError::describe(errno));
    std::optional<QByteArray> bytes = readOpen(fd, error);
    ::close(fd);
    return bytes;
}

QString notRegular()
{
    return QStringLiteral("보통 파일이 아니에요");
}

bool holdsNothing(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
}

} // namespace RegularFile
