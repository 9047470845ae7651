#pragma once

#include "app/appstate.h"

#include <QDialog>
#include <QPointer>

class QLineEdit;
class QPushButton;

// Changes a plan's title and its folder's name. The sheet only collects the
// two texts; the rename checks them and reports its outcome as a toast.
class RenameSheet : public QDialog
{
    Q_OBJECT

public:
    // Window-modal over `parent`; open it with open().
    RenameSheet(AppState *state, const PlanRef &ref, QWidget *parent);

    // The title the sheet starts with: the plan's own title, even an empty
    // one; the library entry's title when plan.json does not read. Reads
    // the file: call it off the main thread.
    static QString prefillTitle(const PlanRef &ref);

private:
    void updateButton();
    void rename();

    QPointer<AppState> m_state;
    PlanRef m_ref;
    QLineEdit *m_title;
    QLineEdit *m_folder;
    QPushButton *m_cancel;
    QPushButton *m_rename;
    bool m_renaming = false;
};
