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

std::optional<QByteArray> read(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failed(error, FileError::describe(errno));
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        const int cause = errno;
        ::close(fd);
        return failed(error, FileError::describe(cause));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return failed(error, S_ISDIR(status.st_mode) ? FileError::describe(EISDIR) : notRegular());
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failed(error, FileError::describe(file));
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return failed(error, FileError::describe(file));
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
