#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <memory>

#include "app/mainwindow.h"

class AppState;

// The windowed application: the one AppState, the main window and the
// settings window. The application ends when its last window closes or the
// user quits; running work is stopped first, and no check it started
// outlives it.
class QuarrystoneApp : public QObject
{
    Q_OBJECT

public:
    QuarrystoneApp();
    ~QuarrystoneApp() override;

    AppState *state() const { return m_state.get(); }
    MainWindow *mainWindow() const { return m_main; }
    // The settings window, made on first use (640 by 720, or what its screen
    // has room for).
    QWidget *settingsWindow();

    // Shows the main window.
    void start();
    void showSettings();
    // Stops a running generation, revision or development run and waits
    // for it to end, at most `waitMs`, then ends the event loop.
    // The wait outlasts a child's stop grace (10 s), so that a child that
    // ignores SIGTERM still gets its SIGKILL before the process ends.
    void quit(int waitMs = 12'000);
    // The person's quit (Ctrl+Q, the menu), also while a sheet is open:
    // while a revision runs, which quitting stops and takes back, it asks
    // first.
    void askToQuit();

    // Builds the application and runs it until it ends. SIGINT, SIGTERM
    // and SIGHUP quit it. With "--self-check" as the first argument it
    // ends, with 0, once the main window has painted its first frame.
    static int run(int &argc, char **argv);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Quits once the main window has painted.
    void quitAfterFirstFrame();
    // Stops a running generation, revision or development run and waits
    // for it to end, at most `waitMs`.
    void stopWork(int waitMs = 12'000);

    std::unique_ptr<AppState> m_state;
    QPointer<MainWindow> m_main;
    QPointer<QWidget> m_settings;
    QPointer<QWidget> m_quitQuestion;
    bool m_quitting = false;
};
