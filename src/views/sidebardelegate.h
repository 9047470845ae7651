#pragma once

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>

// Draws the sidebar's rows from the model's roles: symbol, title, the
// dimmed second line and the open-decision badge.
class SidebarDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    QPixmap symbol(const QString &name, const QString &tone, const QPalette &palette) const;

    mutable QHash<QString, QPixmap> m_symbols;
};
