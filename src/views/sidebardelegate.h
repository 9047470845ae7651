#pragma once

#include <QHash>
#include <QPixmap>
#include <QStyledItemDelegate>

// Draws the sidebar's rows from the model's roles: symbol, title, the
// dimmed second line and the open-decision badge. The running mark turns,
// so it is a widget the sidebar lays over the row where the symbol goes.
class SidebarDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The symbol's side and its distance from the row's leading edge.
    static constexpr int symbolSize = 16;
    static constexpr int padX = 8;
    // The room a row keeps on its right for a resume button.
    static constexpr int buttonRoom = 110;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;

private:
    QPixmap symbol(const QString &name, const QString &tone, const QPalette &palette) const;

    mutable QHash<QString, QPixmap> m_symbols;
};
