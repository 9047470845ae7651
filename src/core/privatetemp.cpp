#include "core/privatetemp.h"

#include <QDir>
#include <QMutex>
#include <cerrno>
#include <cstdlib>
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

} // namespace

std::optional<QString> folder()
{
    const QString path = QDir::tempPath() + QStringLiteral("/quarrystone-") + QString::number(geteuid());
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    if (usable(native))
        return path;
    return fallback(path);
}

} // namespace PrivateTemp
