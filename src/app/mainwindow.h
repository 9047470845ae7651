#pragma once

#include <QMainWindow>
#include <QPointer>

class AppState;
class ContentView;
class QAction;
class QMenu;

// The main window "quarrystone" with its menus: the application menu
// (update check, settings, quit), "파일" and "보기", which holds the page zoom
// commands (objectName "viewMenu").
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow(AppState *state, QWidget *parent = nullptr);

    ContentView *content() const { return m_content; }
    QMenu *viewMenu() const { return m_viewMenu; }

Q_SIGNALS:
    void settingsRequested();
    void quitRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void prepareSurface();
    void fitToScreen();
    void prepareView();
    QAction *command(QMenu *menu, const QString &name, const QString &text, const QKeySequence &key);

    ContentView *m_content = nullptr;
    QMenu *m_viewMenu = nullptr;
    QPointer<AppState> m_state;
};
