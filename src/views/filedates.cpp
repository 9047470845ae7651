#include "views/filedates.h"

#include <QFileSystemModel>
#include <QLocale>

namespace {

// The file system model's columns of kinds and of modification dates.
constexpr int kindColumn = 2;
constexpr int dateColumn = 3;

// Qt's Korean catalogue has no words for the kinds it names in English
// ("Folder", "html File").
QString kind(const QFileSystemModel &files, const QModelIndex &index)
{
    if (files.isDir(index))
        return QStringLiteral("폴더");
    const QString suffix = files.fileInfo(index).suffix();
    return suffix.isEmpty() ? QStringLiteral("파일") : suffix + QStringLiteral(" 파일");
}

} // namespace

QVariant FileDates::data(const QModelIndex &index, int role) const
{
    const auto *files = qobject_cast<const QFileSystemModel *>(sourceModel());
    if (role == Qt::DisplayRole && index.column() == kindColumn && files)
        return kind(*files, mapToSource(index));
    if (role != Qt::DisplayRole || index.column() != dateColumn || !files
        || QLocale::system().language() != QLocale::C)
        return QSortFilterProxyModel::data(index, role);
    return QLocale(QLocale::Korean, QLocale::SouthKorea).toString(files->lastModified(mapToSource(index)),
                                                                  QLocale::ShortFormat);
}
