#include "core/regularfile.h"

#include "core/fileerror.h"
#include "core/filesizes.h"

#include <QFile>
#include <QFileInfo>
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

// The cause of an open that failed: a socket answers a non-blocking open
// as a missing device would, and a link at a name not followed as a loop.
QString openFailure(int cause)
{
    if (cause == ENXIO)
        return notRegular();
    if (cause == ELOOP)
        return linked();
    return FileError::describe(cause);
}

// Reads what `fd` holds from where it stands, at most `most` bytes in all;
// `size` is what the file held when it was opened.
std::optional<QByteArray> readAll(int fd, const QString &path, qint64 size, qint64 most, QString *error)
{
    QByteArray bytes(size, Qt::Uninitialized);
    qint64 got = 0;
    // The end of a file of the size measured is found by a read into a
    // small buffer of its own: growing the whole buffer to look would let
    // it take twice the file. A file that grew since it was measured is
    // read on in pieces, so that it can still not pass its most.
    char beyond[4096];
    for (;;) {
        const bool full = got == bytes.size();
        if (full && got > most)
            return failed(error, FileSizes::tooLarge(QFileInfo(path).fileName(), got, most));
        const ssize_t n = full ? ::read(fd, beyond, sizeof beyond) : ::read(fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failed(error, FileError::describe(errno));
        if (n == 0)
            break;
        if (full)
            bytes.append(beyond, n);
        got += n;
    }
    bytes.resize(got);
    return bytes;
}

std::optional<QByteArray> readWhole(const QString &path, qint64 most, int flags, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0)
        return failed(error, openFailure(errno));
    struct stat status {};
    std::optional<QByteArray> bytes;
    if (::fstat(fd, &status) != 0)
        failed(error, FileError::describe(errno));
    else if (!S_ISREG(status.st_mode))
        failed(error, S_ISDIR(status.st_mode) ? FileError::describe(EISDIR) : notRegular());
    else if (status.st_size > most)
        failed(error, FileSizes::tooLarge(QFileInfo(path).fileName(), status.st_size, most));
    else
        bytes = readAll(fd, path, status.st_size, most, error);
    ::close(fd);
    return bytes;
}

} // namespace

int open(const QString &path, int flags, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags);
    if (fd < 0) {
        failed(error, openFailure(errno));
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

std::optional<QByteArray> read(const QString &path, qint64 most, QString *error)
{
    return readWhole(path, most, O_NOFOLLOW, error);
}

std::optional<QByteArray> readChosen(const QString &path, qint64 most, QString *error)
{
    return readWhole(path, most, 0, error);
}

std::optional<QByteArray> readOpen(int fd, const QString &name, qint64 most, QString *error)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return failed(error, FileError::describe(errno));
    if (!S_ISREG(status.st_mode))
        return failed(error, S_ISDIR(status.st_mode) ? FileError::describe(EISDIR) : notRegular());
    if (status.st_size > most)
        return failed(error, FileSizes::tooLarge(name, status.st_size, most));
    return readAll(fd, name, status.st_size, most, error);
}

QString notRegular()
{
    return QStringLiteral("보통 파일이 아니에요");
}

QString linked()
{
    return QStringLiteral("링크예요(따라가지 않아요)");
}

bool holdsNothing(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode);
}

bool isOwnFolder(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ownFolder(const QString &path, QString *error)
{
    if (isFree(path) && ::mkdir(QFile::encodeName(path).constData(), 0777) != 0 && errno != EEXIST) {
        *error = QStringLiteral("폴더를 만들지 못했어요: ") + path + QStringLiteral(" (") + FileError::describe(errno)
            + QLatin1Char(')');
        return false;
    }
    if (isOwnFolder(path))
        return true;
    *error = notOwnFolder(path);
    return false;
}

QString notOwnFolder(const QString &path)
{
    return QStringLiteral("폴더가 아니거나 링크라서 쓰지 않았어요: ") + path;
}

bool isFree(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) != 0 && errno == ENOENT;
}

} // namespace RegularFile
