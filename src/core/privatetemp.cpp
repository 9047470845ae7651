#include "core/privatetemp.h"

#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateTemp {

namespace {

// A real folder (lstat, not stat: a symbolic link planted by another user
// must not redirect our files) of ours, tightened to 0700 when too open.
bool usable(const QByteArray &native)
{
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid())
        return false;
    return (info.st_mode & 0077) == 0 || ::chmod(native.constData(), 0700) == 0;
}

// The fixed name in use by someone else must not stop every Claude run and
// update: one fresh folder per process (and per temporary folder) instead.
std::optional<QString> fallback(const QString &fixed)
{
    static QMutex mutex;
    static QString madeFor;
    static QString made;
    const QMutexLocker lock(&mutex);
    if (madeFor == fixed && usable(QFile::encodeName(made)))
        return made;
    QByteArray pattern = QFile::encodeName(fixed) + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return std::nullopt;
    madeFor = fixed;
    made = QFile::decodeName(pattern);
    return made;
}

QString fixedPath()
{
    return QDir::tempPath() + QStringLiteral("/quarrystone-") + QString::number(geteuid());
}

// Whether nobody holds the file (see hold). A file just made is not held
// yet: only one a minute old is asked.
bool unheld(const QFileInfo &file)
{
    if (file.lastModified().secsTo(QDateTime::currentDateTime()) < 60)
        return false;
    const int fd = ::open(QFile::encodeName(file.filePath()).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// A file of a run that has ended: nobody holds it, or it is an older
// build's MCP configuration (no process id) a day old.
bool isStale(const QFileInfo &file)
{
    static const QRegularExpression runFile(QStringLiteral("^[a-z]+(?:-[a-z]+)*-\\d+-[^/]+$"));
    static const QRegularExpression olderBuild(QStringLiteral("^mcp-[A-Za-z0-9]{6}\\.json$"));
    const QString name = file.fileName();
    if (runFile.match(name).hasMatch())
        return unheld(file);
    return olderBuild.match(name).hasMatch() && file.lastModified().secsTo(QDateTime::currentDateTime()) > 24 * 3600;
}

bool isRunFolder(const QString &name)
{
    static const QRegularExpression runFolder(QStringLiteral("^(?:develop|browser)-[A-Za-z0-9]{6}$"));
    return runFolder.match(name).hasMatch();
}

// Empties the open folder `fd` on the file system `device`: folders a
// build made read-only are opened up first, links are removed, never
// followed.
void removeContents(int fd, dev_t device)
{
    ::fchmod(fd, 0700);
    const int listed = ::dup(fd);
    DIR *const dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        struct stat info {};
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (!S_ISDIR(info.st_mode)) {
            ::unlinkat(fd, name, 0);
            continue;
        }
        if (info.st_dev != device)
            continue;
        const int inner = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner < 0)
            continue;
        removeContents(inner, device);
        ::close(inner);
        ::unlinkat(fd, name, AT_REMOVEDIR);
    }
    ::closedir(dir);
}

// Removes the run folder `name` of the open private folder `parent` when
// it is ours, a minute old and held by nobody (a killed run's); held by us
// meanwhile.
bool removeStaleFolder(int parent, const QByteArray &name)
{
    const int fd = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    const bool stale = ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid()
        && QDateTime::fromSecsSinceEpoch(info.st_mtime).secsTo(QDateTime::currentDateTime()) >= 60
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (stale)
        removeContents(fd, info.st_dev);
    const bool removed = stale && ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0;
    ::close(fd);
    return removed;
}

} // namespace

QString runFolderTemplate(const QString &folder, const QString &stem)
{
    return folder + QLatin1Char('/') + stem + QStringLiteral("-XXXXXX");
}

QString runFileTemplate(const QString &folder, const QString &stem, const QString &suffix)
{
    return folder + QLatin1Char('/') + stem + QLatin1Char('-') + QString::number(::getpid()) + QStringLiteral("-XXXXXX")
        + suffix;
}

bool hold(int descriptor)
{
    return ::flock(descriptor, LOCK_SH | LOCK_NB) == 0;
}

int removeStale()
{
    // Only the fixed folder lasts from run to run; a missing one holds nothing.
    const QString path = fixedPath();
    if (!usable(QFile::encodeName(path)))
        return 0;
    int removed = 0;
    const QDir dir(path);
    for (const QFileInfo &file : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System))
        removed += isStale(file) && QFile::remove(file.filePath()) ? 1 : 0;
    const int parent = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (parent < 0)
        return removed;
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::NoSymLinks))
        removed += isRunFolder(name) && removeStaleFolder(parent, QFile::encodeName(name)) ? 1 : 0;
    ::close(parent);
    return removed;
}

std::optional<QString> folder()
{
    const QString path = fixedPath();
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    if (usable(native))
        return path;
    return fallback(path);
}

} // namespace PrivateTemp
