#pragma once

#include <QSortFilterProxyModel>

class QFileDialog;

// The model of a file panel of our own drawing, as the panel shows it: the
// dates of a system without a locale of its own (C, POSIX) in the Korean
// form the rest of the window speaks, not the C locale's "8 Dec …", and the
// kinds in Korean.
class FileDates : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    // Gives a panel this model, and the dates' column the width of its
    // widest date, which Qt sized for its own shorter form; the names take
    // the room left.
    static void install(QFileDialog *dialog);

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
};
