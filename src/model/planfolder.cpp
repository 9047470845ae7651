#include "model/planfolder.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filedescriptor.h"
#include "core/regularfile.h"

#include <QFile>
#include <QRandomGenerator>
#include <QStringList>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

// The walk a kernel without openat2 is left with: each folder on the way
// opened by its own name in the last, never through a link.
int walkOpen(int root, const QStringList &parts, int flags, unsigned mode)
{
    int at = root;
    for (qsizetype index = 0; index + 1 < parts.size(); ++index) {
        const int next = ::openat(at, QFile::encodeName(parts[index]).constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        if (at != root)
            ::close(at);
        if (next < 0) {
            errno = error;
            return -1;
        }
        at = next;
    }
    const int fd = ::openat(at, QFile::encodeName(parts.last()).constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    const int error = errno;
    if (at != root)
        ::close(at);
    errno = error;
    return fd;
}

} // namespace

PlanFolder::Descriptor::Descriptor(Descriptor &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{
}

PlanFolder::Descriptor &PlanFolder::Descriptor::operator=(Descriptor &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

PlanFolder::Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

PlanFolder::PlanFolder(const QString &dir, AtName atName)
    : m_fd(::open(QFile::encodeName(dir).constData(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | (atName == AtName::noLink ? O_NOFOLLOW : 0)))
    , m_path(dir)
{
}

QString PlanFolder::held() const
{
    if (!isOpen())
        return m_path;
    const QString entry = QStringLiteral("/proc/self/fd/") + QString::number(m_fd.get());
    struct stat atEntry {};
    struct stat own {};
    if (::stat(QFile::encodeName(entry).constData(), &atEntry) == 0 && ::fstat(m_fd.get(), &own) == 0
        && atEntry.st_dev == own.st_dev && atEntry.st_ino == own.st_ino)
        return entry;
    return m_path;
}

QString PlanFolder::pathOf(const QString &relative) const
{
    return relative.isEmpty() ? m_path : m_path + QLatin1Char('/') + relative;
}

bool PlanFolder::isInside(const QString &relative)
{
    if (relative.isEmpty() || relative.startsWith(QLatin1Char('/')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'));
    return std::none_of(parts.begin(), parts.end(), [](const QString &part) {
        return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..") || part.contains(QChar(0));
    });
}

int PlanFolder::open(const QString &relative, int flags, unsigned mode) const
{
    if (!isOpen()) {
        errno = EBADF;
        return -1;
    }
    if (!isInside(relative)) {
        errno = EXDEV;
        return -1;
    }
    open_how how{};
    how.flags = quint64(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long opened = ::syscall(SYS_openat2, fd(), QFile::encodeName(relative).constData(), &how, sizeof how);
    if (opened >= 0 || (errno != ENOSYS && errno != EPERM))
        return int(opened);
    // No openat2 here, or a sandbox that refuses it.
    return walkOpen(this->fd(), relative.split(QLatin1Char('/')), flags, mode);
}

PlanFolder::Descriptor PlanFolder::openFolder(const QString &relative) const
{
    if (relative.isEmpty())
        return Descriptor(isOpen() ? ::fcntl(fd(), F_DUPFD_CLOEXEC, 0) : -1);
    return Descriptor(open(relative, O_RDONLY | O_DIRECTORY));
}

PlanFolder::Place PlanFolder::place(const QString &relative) const
{
    if (!isInside(relative)) {
        errno = EXDEV;
        return {};
    }
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    return {openFolder(slash < 0 ? QString() : relative.left(slash)), QFile::encodeName(relative.mid(slash + 1))};
}

std::optional<QByteArray> PlanFolder::read(const QString &relative, qint64 most, QString *error) const
{
    const Descriptor file(open(relative, O_RDONLY | O_NONBLOCK));
    if (!file.isOpen()) {
        if (error)
            *error = errno == ELOOP ? RegularFile::linked() : errno == ENXIO ? RegularFile::notRegular() : FileError::describe(errno);
        return std::nullopt;
    }
    return RegularFile::readOpen(file.get(), relative, most, error);
}

bool PlanFolder::write(const QString &relative, QByteArrayView bytes, QString *error) const
{
    const auto failed = [error](int cause) {
        if (error)
            *error = FileError::describe(cause);
        return false;
    };
    const Place at = place(relative);
    if (!at.isOpen())
        return failed(errno);
    // A name the next claim of the folder clears away, should this be cut short.
    const QByteArray temporary = ".quarrystone-tmp-" + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
    const Descriptor file(::openat(at.folder.get(), temporary.constData(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.isOpen())
        return failed(errno);
    if (!FileDescriptor::writeAll(file.get(), bytes) || ::fsync(file.get()) != 0
        || ::renameat(at.folder.get(), temporary.constData(), at.folder.get(), at.name.constData()) != 0) {
        const int cause = errno;
        ::unlinkat(at.folder.get(), temporary.constData(), 0);
        return failed(cause);
    }
    return true;
}

bool PlanFolder::create(const QString &relative, const std::function<bool(QIODevice &)> &produce, unsigned mode,
                        bool *taken, QString *error) const
{
    *taken = false;
    const Place at = place(relative);
    if (!at.isOpen()) {
        if (error)
            *error = FileError::describe(errno);
        return false;
    }
    return AtomicFile::createAt(at.folder.get(), at.name, produce, mode, taken, error);
}

bool PlanFolder::remove(const QString &relative) const
{
    const Place at = place(relative);
    return at.isOpen() && ::unlinkat(at.folder.get(), at.name.constData(), 0) == 0;
}

bool PlanFolder::makeFolder(const QString &relative, unsigned mode) const
{
    const Place at = place(relative);
    if (!at.isOpen())
        return false;
    if (::mkdirat(at.folder.get(), at.name.constData(), mode) != 0 && errno != EEXIST)
        return false;
    struct stat status {};
    return ::fstatat(at.folder.get(), at.name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}
