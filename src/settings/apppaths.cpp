#include "settings/apppaths.h"

#include <QDir>
#include <QStandardPaths>

namespace AppPaths {

QString locateSupport()
{
    const QString overridden = qEnvironmentVariable("QUARRYSTONE_SUPPORT");
    if (!overridden.isEmpty())
        return overridden;
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("quarrystone"));
}

QString support()
{
    static const QString folder = [] {
        const QString path = locateSupport();
        QDir().mkpath(path);
        return path;
    }();
    return folder;
}

QString expandHome(const QString &path)
{
    if (path == QLatin1String("~"))
        return QDir::homePath();
    if (path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

} // namespace AppPaths
