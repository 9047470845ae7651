#include "views/folderinterceptor.h"

#include <QFileInfo>

void FolderInterceptor::setFolder(const QString &dir)
{
    m_folder = QFileInfo(dir).canonicalFilePath();
}

bool FolderInterceptor::inside(const QString &path, const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (canonical.isEmpty())
        return false;
    return canonical == folder || canonical.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

void FolderInterceptor::interceptRequest(QWebEngineUrlRequestInfo &info)
{
    const QUrl url = info.requestUrl();
    if (url.scheme() == QLatin1String("file") && !inside(url.toLocalFile(), m_folder))
        info.block(true);
}
