#pragma once

#include <QPointer>
#include <QWidget>

class AppState;
class DevelopSheet;
class QLabel;
class QPushButton;
class QSplitter;
class QStackedWidget;
class PlanWebView;
class RevisePanel;

// The detail pane of a selected plan: a header with the plan's title and
// folder, the zoom control and the export, browser and develop actions;
// below it the plan page beside the revise panel, or the run log while a
// generation writes this very folder.
class PlanEditorView : public QWidget
{
    Q_OBJECT

public:
    explicit PlanEditorView(AppState *state, QWidget *parent = nullptr);
    ~PlanEditorView() override;

    int reloadToken() const { return m_reloadToken; }
    // The window's page view while this editor has it: the next editor of
    // the window takes it over.
    PlanWebView *webView() const;
    // The develop sheet while it is open.
    DevelopSheet *developSheet() const;
    RevisePanel *revisePanel() const { return m_panel; }

    // The develop button's help for a number of open decisions.
    static QString developHelp(qsizetype openDecisions);

    // The revise panel's report of a change: the plan and the library are
    // read again and the page is reloaded from its origin.
    void reload();

Q_SIGNALS:
    // The develop sheet was asked for (button or QUARRYSTONE_DEVELOP=1).
    void developRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildHeader();
    void refresh();
    void refreshHeader();
    void refreshContent();
    void openDevelop();
    void switchPageAndRequest();
    // The page is loaded again from its origin, once for changes that come
    // before the next update.
    void reloadPage();

    AppState *m_state;
    int m_reloadToken = 0;
    QLabel *m_title = nullptr;
    QLabel *m_path = nullptr;
    QPushButton *m_develop = nullptr;
    QStackedWidget *m_content = nullptr;
    QWidget *m_empty = nullptr;
    QPointer<QWidget> m_runLog;
    QSplitter *m_split = nullptr;
    QPointer<PlanWebView> m_web;
    RevisePanel *m_panel = nullptr;
    QPointer<DevelopSheet> m_sheet;
};
