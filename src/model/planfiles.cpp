#include "model/planfiles.h"
#include "model/planfolder.h"

#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/madefrom.h"
#include "core/regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#include <sys/stat.h>
#include <utility>

namespace PlanFiles {

namespace {

// The copies of our own that are still there. A command that ends by
// exit() never destroys what its operation held: they go then.
struct OwnCopies {
    std::mutex guard;
    QSet<QByteArray> paths;
};

void removeOwnCopies();

OwnCopies &ownCopies()
{
    static OwnCopies *const copies = [] {
        std::atexit(removeOwnCopies);
        return new OwnCopies;
    }();
    return *copies;
}

void removeOwnCopies()
{
    OwnCopies &copies = ownCopies();
    const std::lock_guard held(copies.guard);
    for (const QByteArray &path : std::as_const(copies.paths))
        ::unlink(path.constData());
    copies.paths.clear();
}

} // namespace

struct Kept::File {
    File(QByteArray at, bool ours)
        : path(std::move(at)),
          owned(ours)
    {
        if (!owned)
            return;
        const std::lock_guard held(ownCopies().guard);
        ownCopies().paths.insert(path);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    ~File()
    {
        if (!owned)
            return;
        const std::lock_guard held(ownCopies().guard);
        if (ownCopies().paths.remove(path))
            ::unlink(path.constData());
    }

    QByteArray path;
    // A copy of our own, which goes with its last Kept.
    bool owned = false;
};

namespace {

// Files are compared and copied through buffers of this size, whatever
// theirs.
constexpr qint64 piece = qint64(1) << 20;

// Reads up to `size` bytes, fewer only at the end of the file; -1 with
// errno set on failure.
qint64 readUpTo(int fd, char *into, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, into + got, size_t(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

// Copies the rest of `from` to `to`, in the kernel where the file system
// lets it; 0 or the cause. More than `most` bytes is EFBIG.
int copyAll(int from, int to, qint64 most)
{
    qint64 copied = 0;
    for (;;) {
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t(piece), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && copied == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
            break;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        copied += n;
        if (copied > most)
            return EFBIG;
    }
    QByteArray buffer(piece, Qt::Uninitialized);
    for (;;) {
        const qint64 got = readUpTo(from, buffer.data(), piece);
        if (got < 0)
            return errno;
        if (got == 0)
            return 0;
        copied += got;
        if (copied > most)
            return EFBIG;
        if (!FileDescriptor::writeAll(to, QByteArrayView(buffer.constData(), got)))
            return errno != 0 ? errno : EIO;
    }
}

// Whether two open files hold the same bytes, read a piece at a time.
bool sameBytes(int one, int other)
{
    QByteArray a(piece, Qt::Uninitialized);
    QByteArray b(piece, Qt::Uninitialized);
    for (;;) {
        const qint64 gotA = readUpTo(one, a.data(), piece);
        const qint64 gotB = readUpTo(other, b.data(), piece);
        if (gotA < 0 || gotB < 0 || gotA != gotB || std::memcmp(a.constData(), b.constData(), size_t(gotA)) != 0)
            return false;
        if (gotA == 0)
            return true;
    }
}

qint64 sizeOf(int fd)
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 ? qint64(status.st_size) : -1;
}

} // namespace

Kept::Kept(std::optional<QByteArray> bytes)
    : m_bytes(std::move(bytes))
{
}

Kept Kept::copyOf(const QString &path, qint64 most)
{
    const int from = RegularFile::open(path, O_NOFOLLOW);
    if (from < 0)
        return {};
    const auto closed = qScopeGuard([from] { ::close(from); });
    const qint64 size = sizeOf(from);
    if (size < 0 || size > most)
        return {};
    const AtomicFile::Scratch copy = AtomicFile::scratch(QFileInfo(path).absolutePath());
    int cause = copy.fd < 0 ? errno : copyAll(from, copy.fd, most);
    if (copy.fd >= 0 && ::close(copy.fd) != 0 && cause == 0)
        cause = errno;
    if (cause == 0) {
        Kept kept;
        kept.m_file = std::make_shared<const File>(copy.path, true);
        return kept;
    }
    if (copy.fd >= 0)
        ::unlink(copy.path.constData());
    // No room for a copy: the bytes are held as before copies were made.
    if (cause == EFBIG || ::lseek(from, 0, SEEK_SET) != 0)
        return {};
    return Kept(RegularFile::readOpen(from, path, most));
}

Kept Kept::at(const QString &path)
{
    Kept kept;
    kept.m_file = std::make_shared<const File>(QFile::encodeName(path), false);
    return kept;
}

std::optional<QByteArray> Kept::read(qint64 most, QString *error) const
{
    if (!m_file)
        return m_bytes;
    return RegularFile::read(QFile::decodeName(m_file->path), most, error);
}

bool Kept::isAt(const QString &path, qint64 most) const
{
    if (!m_file)
        return m_bytes && RegularFile::read(path, most) == *m_bytes;
    const int now = RegularFile::open(path, O_NOFOLLOW);
    const int kept = RegularFile::open(QFile::decodeName(m_file->path), O_NOFOLLOW);
    const bool same = now >= 0 && kept >= 0 && sizeOf(now) == sizeOf(kept) && sizeOf(now) <= most
        && sameBytes(now, kept);
    for (const int fd : {now, kept})
        if (fd >= 0)
            ::close(fd);
    return same;
}

bool Kept::putAt(const QString &path, QString *error) const
{
    if (!m_file)
        return m_bytes && AtomicFile::write(path, *m_bytes, error);
    // The copy itself is left as it is: a backup stays for another try.
    const int kept = RegularFile::open(QFile::decodeName(m_file->path), O_NOFOLLOW, error);
    if (kept < 0)
        return false;
    int cause = 0;
    const bool written = AtomicFile::write(
        path,
        [kept, &cause](QIODevice &out) {
            QByteArray buffer(piece, Qt::Uninitialized);
            for (;;) {
                const qint64 got = readUpTo(kept, buffer.data(), piece);
                if (got < 0)
                    cause = errno;
                if (got <= 0)
                    return got == 0;
                if (out.write(buffer.constData(), got) != got)
                    return false;
            }
        },
        error);
    ::close(kept);
    if (cause != 0 && error)
        *error = FileError::describe(cause);
    return written;
}

Snapshot take(const QString &dir)
{
    return take(dir, Kept::copyOf(QDir(dir).filePath(PlanFolder::planJson), FileSizes::plan));
}

Snapshot take(const QString &dir, Kept plan)
{
    const QDir folder(dir);
    return {std::move(plan), Kept::copyOf(folder.filePath(QStringLiteral("plan.md")), FileSizes::plan),
            Kept::copyOf(folder.filePath(QStringLiteral("index.html")), FileSizes::page), MadeFrom::take(dir)};
}

QString notOwnPlan(const QString &dir)
{
    const QString path = QDir(dir).filePath(PlanFolder::planJson);
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return QString();
    return QStringLiteral("plan.json: ")
        + (S_ISLNK(status.st_mode) ? RegularFile::linked()
           : S_ISDIR(status.st_mode) ? FileError::describe(EISDIR)
                                     : RegularFile::notRegular());
}

QString putBack(const QString &dir, const Snapshot &files)
{
    const QDir folder(dir);
    const struct {
        const char *name;
        const Kept *kept;
        qint64 most;
    } entries[]{{"plan.json", &files.plan, FileSizes::plan},
                {"plan.md", &files.markdown, FileSizes::plan},
                {"index.html", &files.page, FileSizes::page}};
    // Until every file is back, the mark names no plan.json, so that a
    // put-back cut short is made whole again at the next use of the folder.
    bool unmarked = false;
    for (const auto &[name, kept, most] : entries) {
        const QString path = folder.filePath(QLatin1String(name));
        if (!*kept || kept->isAt(path, most))
            continue;
        if (!std::exchange(unmarked, true))
            MadeFrom::record(dir, QByteArray());
        QString error;
        if (!kept->putAt(path, &error))
            return QLatin1String(name) + QStringLiteral(": ") + error;
    }
    if (unmarked || MadeFrom::take(dir) != files.madeFrom)
        MadeFrom::putBack(dir, files.madeFrom);
    return QString();
}

} // namespace PlanFiles
