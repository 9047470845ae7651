#include "views/filedates.h"

#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLocale>
#include <QTreeView>

namespace {

// The file system model's columns of names, kinds and modification dates.
constexpr int nameColumn = 0;
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

void FileDates::install(QFileDialog *dialog)
{
    dialog->setProxyModel(new FileDates(dialog));
    // The names give way to it: they take the room the other columns leave.
    if (auto *details = dialog->findChild<QTreeView *>()) {
        details->header()->setSectionResizeMode(nameColumn, QHeaderView::Stretch);
        details->header()->setSectionResizeMode(dateColumn, QHeaderView::ResizeToContents);
    }
}
