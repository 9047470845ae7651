#include "app/planhtmlfilter.h"

#include "model/importer.h"

#include <QFileInfo>
#include <QFileSystemModel>

bool PlanHTMLFilter::shouldEnable(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() || Importer::isPlanHTML(path);
}

Qt::ItemFlags PlanHTMLFilter::flags(const QModelIndex &index) const
{
    Qt::ItemFlags flags = FileDates::flags(index);
    const auto *files = qobject_cast<const QFileSystemModel *>(sourceModel());
    if (!files || !index.isValid())
        return flags;
    const QFileInfo info = files->fileInfo(mapToSource(index));
    if (info.isDir())
        return flags;
    const QString path = info.absoluteFilePath();
    Seen &seen = m_seen[path];
    if (seen.size != info.size() || seen.modified != info.lastModified()) {
        seen = {info.size(), info.lastModified(), Importer::isPlanHTML(path)};
    }
    return seen.enabled ? flags : flags & ~Qt::ItemIsEnabled;
}
