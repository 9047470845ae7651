#pragma once

#include "app/appstate.h"

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

class Generator;
class QListView;
class QMenu;
class SidebarModel;

// The main window's left column: the new-plan row, the running generation,
// unfinished folders and the plan library in one list that mirrors the
// selection, each folder with its context menu; below it the update banner,
// the settings link and a refresh button.
class Sidebar : public QWidget
{
    Q_OBJECT

public:
    // `banner` goes into the bottom bar.
    Sidebar(AppState *state, Generator &generator, QWidget *banner, QWidget *parent = nullptr);

    QListView *list() const { return m_list; }
    SidebarModel *model() const { return m_model; }
    // The context menu of a row, as a right click opens it; nothing for rows
    // without one. The caller owns it.
    QMenu *menuFor(int row);
    // The rename sheet and the delete confirmation of the plan shown, as
    // its row's menu opens them (for the menu bar); nothing without one.
    void renameShown();
    void deleteShown();
    // The delete confirmation while it is open.
    QMessageBox *deleteAlert() const { return m_deleteAlert; }

    // Rebuilds the list at once instead of on the next turn.
    void rebuildNow();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void scheduleRebuild();
    void placeButtons();
    void updateButtons();
    void mirrorSelection();
    void selectionMade();
    void pressed(const QModelIndex &index);
    void showMenu(const QPoint &pos);
    void rename(const PlanRef &ref);
    void confirmDelete(const PlanRef &ref);
    std::optional<PlanRef> planAt(int row) const;

    QPointer<AppState> m_state;
    Generator &m_generator;
    SidebarModel *m_model;
    QListView *m_list;
    QPointer<QMessageBox> m_deleteAlert;
    bool m_rebuildDue = false;
    bool m_mirroring = false;
};
