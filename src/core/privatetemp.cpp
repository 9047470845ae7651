#include "core/privatetemp.h"

#include <QDateTime>
#include <QDir>
#include <QMutex>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
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

} // namespace

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
