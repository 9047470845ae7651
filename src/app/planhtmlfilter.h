#pragma once

#include <QDateTime>
#include <QHash>
#include "views/filedates.h"

#include <QSortFilterProxyModel>
#include <utility>

// The import panel's filter: every entry stays visible, but only folders
// and plan pages made by this system can be picked.
class PlanHTMLFilter : public FileDates
{
    Q_OBJECT

public:
    using FileDates::FileDates;

    // Whether the panel lets the user pick the entry: a folder always (to
    // move through it), a file when it is a plan page.
    static bool shouldEnable(const QString &path);

    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    // Views ask for flags on every repaint; a page is looked at again only
    // when its size or date changed.
    struct Seen {
        qint64 size = -1;
        QDateTime modified;
        bool enabled = false;
    };
    mutable QHash<QString, Seen> m_seen;
};
