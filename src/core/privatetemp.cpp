#include "core/privatetemp.h"

#include <QDir>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateTemp {

std::optional<QString> folder()
{
    const QString path = QDir::tempPath() + QStringLiteral("/quarrystone-") + QString::number(geteuid());
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    // lstat, not stat: a symbolic link planted by another user must not
    // redirect our files.
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid())
        return std::nullopt;
    if ((info.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0)
        return std::nullopt;
    return path;
}

} // namespace PrivateTemp
