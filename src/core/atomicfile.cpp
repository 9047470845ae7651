#include "core/atomicfile.h"

#include "core/fileerror.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <utility>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AtomicFile {

namespace {

// Every temporary file beside a target starts so: hidden, and recognisable
// as ours whatever the target's name (which may already be as long as a
// name can be).
const QString leftoverMark = QStringLiteral(".quarrystone-tmp-");

// The device `produce` writes to: every write goes straight to the
// descriptor, so no buffer can fail later out of sight (a small file's
// bytes would otherwise all wait for the flush), and the first refusal's
// errno is kept for the message.
class Temporary : public QFile
{
public:
    explicit Temporary(int fd) { open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle); }

    int failure() const { return m_failure; }

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        qint64 done = 0;
        while (m_failure == 0 && done < size) {
            const ssize_t n = ::write(handle(), data + done, size_t(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                fail(n < 0 ? errno : ENOSPC);
            else
                done += n;
        }
        return m_failure == 0 ? done : -1;
    }

private:
    void fail(int error)
    {
        m_failure = error;
        setErrorString(::FileError::describe(error));
    }

    int m_failure = 0;
};

QString randomSuffix()
{
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString suffix;
    for (int i = 0; i < 8; ++i)
        suffix.append(QLatin1Char(alphabet[QRandomGenerator::global()->bounded(int(sizeof alphabet - 1))]));
    return suffix;
}

struct Created {
    int fd = -1;
    QByteArray path;
};

// A new temporary file in `folder`; fd -1 with errno set when none can be made.
Created create(const QString &folder, mode_t mode)
{
    for (int attempt = 0; attempt < 64; ++attempt) {
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + leftoverMark + randomSuffix());
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST)
            return {fd, path};
    }
    return {};
}

// Makes the rename itself last. It has already happened: the new file is in
// place whatever this says, and some file systems cannot sync a folder.
void syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// The folders whose renames a Together has left to sync, and how many
// Togethers live.
struct Unsettled {
    std::mutex guard;
    int scopes = 0;
    QSet<QString> folders;
};

Unsettled &unsettled()
{
    static Unsettled state;
    return state;
}

enum class Rename { lasting, mayBeLost };

// Makes a rename in `folder` last, now or, inside a Together, with the
// others; one that may be lost is not even left to the end of the scope.
void renamed(const QString &folder, Rename rename)
{
    Unsettled &state = unsettled();
    {
        const std::lock_guard held(state.guard);
        if (state.scopes > 0) {
            if (rename == Rename::lasting)
                state.folders.insert(folder);
            return;
        }
    }
    syncFolder(folder);
}

// A file system that has no sync at all says so; that loses nothing.
bool cannotSync(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP;
}

enum class Sync { now, later };

// Fills the temporary file and, unless a batch syncs it later, makes it
// last; 0 or the cause of the first failure. The descriptor is closed
// either way.
int fill(int fd, const std::function<bool(QIODevice &)> &produce, const struct stat *existing, Sync sync)
{
    int cause = 0;
    {
        Temporary file(fd);
        const bool produced = produce(file);
        cause = file.failure();
        if (!produced && cause == 0)
            cause = ECANCELED;
    }
    // A replaced file keeps its permissions; until now only we could read
    // the new one.
    if (cause == 0 && existing && ::fchmod(fd, existing->st_mode & 07777) != 0)
        cause = errno;
    if (cause == 0 && sync == Sync::now && ::fsync(fd) != 0 && !cannotSync(errno))
        cause = errno;
    // A network file system may report a failed write only at the close.
    if (::close(fd) != 0 && cause == 0)
        cause = errno;
    return cause;
}

bool failed(QString *error, int cause)
{
    if (error)
        *error = FileError::describe(cause);
    return false;
}

} // namespace

bool write(const QString &path, const QByteArray &bytes, QString *error)
{
    return write(path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, error);
}

namespace {

// A temporary file beside the target `path` leads to, filled; its path
// empty and `cause` set when it could not be made.
struct Filled {
    QByteArray temporary;
    QByteArray target;
    QString folder;
    int cause = 0;
};

Filled fillBeside(const QString &path, const std::function<bool(QIODevice &)> &produce, Sync sync)
{
    // The file at the name is replaced, never one a link there leads to: a
    // folder may come from anywhere, and its links with it. The rename then
    // replaces the link itself.
    const QString target = QFileInfo(path).absoluteFilePath();
    Filled filled{{}, QFile::encodeName(target), QFileInfo(target).absolutePath()};
    struct stat existing {};
    const bool exists = ::lstat(filled.target.constData(), &existing) == 0 && S_ISREG(existing.st_mode);
    const Created temporary = create(filled.folder, exists ? 0600 : 0666);
    if (temporary.fd < 0) {
        filled.cause = errno;
        return filled;
    }
    filled.cause = fill(temporary.fd, produce, exists ? &existing : nullptr, sync);
    if (filled.cause != 0)
        ::unlink(temporary.path.constData());
    else
        filled.temporary = temporary.path;
    return filled;
}

// Renames the filled file over its target, both named in the folder open
// at `at` (or whole paths); 0 or the cause.
int putInPlace(const QByteArray &temporary, const QByteArray &target, int at = AT_FDCWD)
{
    if (::renameat(at, temporary.constData(), at, target.constData()) == 0)
        return 0;
    const int cause = errno;
    ::unlinkat(at, temporary.constData(), 0);
    return cause;
}

bool writeRenamed(const QString &path, const std::function<bool(QIODevice &)> &produce, QString *error, Rename rename)
{
    const Filled filled = fillBeside(path, produce, Sync::now);
    const int cause = filled.cause != 0 ? filled.cause : putInPlace(filled.temporary, filled.target);
    if (cause != 0)
        return failed(error, cause);
    renamed(filled.folder, rename);
    return true;
}

} // namespace

bool write(const QString &path, const std::function<bool(QIODevice &)> &produce, QString *error)
{
    return writeRenamed(path, produce, error, Rename::lasting);
}

bool writeLast(const QString &path, const QByteArray &bytes, QString *error)
{
    return writeRenamed(
        path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, error, Rename::mayBeLost);
}

// Each file's bytes are synced before its rename, so whatever a power cut
// keeps of the renames, every name holds a whole file, old or new. What
// the renames of one folder left unsynced may lose is a suffix of them or,
// on a file system that does not keep their order, any of them: a file
// then holds its old bytes whole. The mark that vouches for the others is
// written after a settle(), so it never lasts without them; if it is lost
// it names another plan.json, and the next use makes the derived files
// again.
Together::Together()
{
    const std::lock_guard held(unsettled().guard);
    ++unsettled().scopes;
}

Together::~Together()
{
    settle();
    const std::lock_guard held(unsettled().guard);
    --unsettled().scopes;
}

void settle()
{
    QSet<QString> folders;
    {
        const std::lock_guard held(unsettled().guard);
        folders = std::exchange(unsettled().folders, {});
    }
    for (const QString &folder : std::as_const(folders))
        syncFolder(folder);
}

Batch::~Batch()
{
    for (const Pending &pending : std::as_const(m_pending))
        ::unlinkat(pending.at, pending.temporary.constData(), 0);
}

bool Batch::add(const QString &path, const QByteArray &bytes, QString *error)
{
    const Filled filled =
        fillBeside(path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, Sync::later);
    if (filled.cause != 0)
        return failed(error, filled.cause);
    const std::lock_guard added(m_adding);
    m_pending.append({filled.temporary, filled.target, path, filled.folder, AT_FDCWD});
    return true;
}

bool Batch::addAt(int folder, const QByteArray &name, const QString &path, const QByteArray &bytes, QString *error)
{
    struct stat existing {};
    const bool exists = ::fstatat(folder, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode);
    int fd = -1;
    QByteArray temporary;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temporary = QFile::encodeName(leftoverMark + randomSuffix());
        fd = ::openat(folder, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      exists ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            return failed(error, errno);
    }
    if (fd < 0)
        return failed(error, EEXIST);
    const int cause =
        fill(fd, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, exists ? &existing : nullptr,
             Sync::later);
    if (cause != 0) {
        ::unlinkat(folder, temporary.constData(), 0);
        return failed(error, cause);
    }
    const std::lock_guard added(m_adding);
    m_pending.append({temporary, name, path, QFileInfo(path).absolutePath(), folder});
    return true;
}

QList<Batch::Failure> Batch::commit()
{
    const QList<Pending> pending = std::exchange(m_pending, {});
    QList<Failure> failures;
    if (pending.isEmpty())
        return failures;
    // Each folder by its path, with the descriptor it is held by (AT_FDCWD
    // for one named by its path alone).
    QHash<QString, int> folders;
    for (const Pending &file : pending)
        folders.insert(file.folder, file.at);
    // A sync of the file system of each folder makes all the files'
    // contents last before any of them replaces its target.
    int synced = 0;
    for (auto it = folders.cbegin(); it != folders.cend() && synced == 0; ++it) {
        const int fd = it.value() != AT_FDCWD ? it.value()
                                              : ::open(QFile::encodeName(it.key()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || (::syncfs(fd) != 0 && !cannotSync(errno)))
            synced = errno;
        if (fd >= 0 && it.value() == AT_FDCWD)
            ::close(fd);
    }
    for (const Pending &file : pending) {
        const int cause = synced != 0 ? synced : putInPlace(file.temporary, file.target, file.at);
        if (synced != 0)
            ::unlinkat(file.at, file.temporary.constData(), 0);
        if (cause != 0)
            failures.append({file.path, FileError::describe(cause)});
    }
    for (auto it = folders.cbegin(); it != folders.cend(); ++it) {
        if (it.value() == AT_FDCWD)
            syncFolder(it.key());
        else
            ::fsync(it.value());
    }
    return failures;
}

bool create(const QString &path, const QByteArray &bytes, unsigned mode, bool *taken, QString *error)
{
    return create(path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, mode, taken, error);
}

bool create(const QString &path, const std::function<bool(QIODevice &)> &produce, unsigned mode, bool *taken,
            QString *error)
{
    *taken = false;
    const QByteArray native = QFile::encodeName(path);
    const QString folder = QFileInfo(path).absolutePath();
    const Created temporary = create(folder, 0600);
    if (temporary.fd < 0)
        return failed(error, errno);
    struct stat wanted {};
    wanted.st_mode = static_cast<mode_t>(mode);
    int cause = fill(temporary.fd, produce, &wanted, Sync::now);
    // The name is taken in the one step that puts the file there, so two
    // writers of one name can never both think it theirs.
    if (cause == 0 && ::renameat2(AT_FDCWD, temporary.path.constData(), AT_FDCWD, native.constData(), RENAME_NOREPLACE) != 0)
        cause = errno;
    if (cause == EINVAL && ::link(temporary.path.constData(), native.constData()) == 0)
        cause = 0;
    else if (cause == EINVAL)
        cause = errno;
    if (cause != 0) {
        ::unlink(temporary.path.constData());
        *taken = cause == EEXIST;
        return failed(error, cause);
    }
    // After a link the temporary name still names the file.
    ::unlink(temporary.path.constData());
    syncFolder(folder);
    return true;
}

bool createAt(int folder, const QByteArray &name, const std::function<bool(QIODevice &)> &produce, unsigned mode,
              bool *taken, QString *error)
{
    *taken = false;
    int fd = -1;
    QByteArray temporary;
    for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
        temporary = QFile::encodeName(leftoverMark + randomSuffix());
        fd = ::openat(folder, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST)
            return failed(error, errno);
    }
    if (fd < 0)
        return failed(error, EEXIST);
    struct stat wanted {};
    wanted.st_mode = static_cast<mode_t>(mode);
    int cause = fill(fd, produce, &wanted, Sync::now);
    if (cause == 0 && ::renameat2(folder, temporary.constData(), folder, name.constData(), RENAME_NOREPLACE) != 0)
        cause = errno;
    if (cause == EINVAL && ::linkat(folder, temporary.constData(), folder, name.constData(), 0) == 0)
        cause = 0;
    else if (cause == EINVAL)
        cause = errno;
    if (cause != 0) {
        ::unlinkat(folder, temporary.constData(), 0);
        *taken = cause == EEXIST;
        return failed(error, cause);
    }
    ::unlinkat(folder, temporary.constData(), 0);
    ::fsync(folder);
    return true;
}

Scratch scratch(const QString &folder)
{
    const Created made = create(folder, 0600);
    return {made.fd, made.path};
}

bool isLeftover(const QString &fileName)
{
    return fileName.startsWith(leftoverMark);
}

int removeLeftovers(const QString &folder)
{
    int removed = 0;
    QDirIterator it(folder, {leftoverMark + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        removed += isLeftover(it.fileName()) && QFile::remove(path) ? 1 : 0;
    }
    return removed;
}

} // namespace AtomicFile
