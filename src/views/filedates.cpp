#include "views/filedates.h"

#include <QFileSystemModel>
#include <QLocale>

namespace {

// The file system model's column of modification dates.
constexpr int dateColumn = 3;

} // namespace

QVariant FileDates::data(const QModelIndex &index, int role) const
{
    const auto *files = qobject_cast<const QFileSystemModel *>(sourceModel());
    if (role != Qt::DisplayRole || index.column() != dateColumn || !files
        || QLocale::system().language() != QLocale::C)
        return QSortFilterProxyModel::data(index, role);
    return QLocale(QLocale::Korean, QLocale::SouthKorea).toString(files->lastModified(mapToSource(index)),
                                                                  QLocale::ShortFormat);
}
