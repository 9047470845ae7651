#pragma once

#include "app/appstate.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QString>
#include <optional>

class Generator;

// The rows of the sidebar's list, rebuilt from the application state and
// the generator: the new-plan row, the section header, the running or
// failed generation, unfinished folders, the empty note and the plans.
// Rows are data only, so a thousand plans cost no widgets.
class SidebarModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum class Kind { newPlan, header, generating, unfinished, empty, plan };
    Q_ENUM(Kind)

    enum Role {
        KindRole = Qt::UserRole + 1,
        // The dimmed line under the title: the plan's feature or folder
        // name, or the state of a generation.
        SubtitleRole,
        // "미결정 N", or empty.
        BadgeRole,
        // The folder, in standard folder form.
        UrlRole,
        SymbolRole,
        ToneRole,
    };

    struct Row {
        Kind kind = Kind::header;
        QString title;
        QString subtitle;
        QString badge;
        QString url;
        QString symbol;
        QString tone;
        std::optional<Selection> tag;
        bool operator==(const Row &) const = default;
    };

    SidebarModel(AppState *state, Generator &generator, QObject *parent = nullptr);

    // Reads the state and the generator afresh; false (and no reset) when no
    // row changed.
    bool rebuild();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

    const Row &row(int index) const { return m_rows.at(index); }
    // The row whose tag is the selection; -1 when none is.
    int rowOf(const std::optional<Selection> &selection) const;

private:
    QPointer<AppState> m_state;
    Generator &m_generator;
    QList<Row> m_rows;
    // The folder of the finished run the library has listed since: from
    // then on its row is the library's alone.
    QString m_doneListed;
};
