#include "app/quarrystoneapp.h"

#include "app/appstate.h"
#include "app/mainwindow.h"
#include "app/qttranslations.h"
#include "app/viewfactory.h"
#include "claude/spawn.h"
#include "settings/connections.h"
#include "settings/updater.h"
#include "views/focusstyle.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <utility>

using namespace Qt::StringLiterals;

QuarrystoneApp::QuarrystoneApp()
    : m_state(std::make_unique<AppState>())
{
    QtTranslations::install();
    FocusStyle::install();
    Updater::shared().setBusyCheck(&AppState::busy);
    m_main = new MainWindow(m_state.get());
    m_main->setAttribute(Qt::WA_DeleteOnClose, false);
    connect(m_main, &MainWindow::settingsRequested, this, &QuarrystoneApp::showSettings);
    connect(m_main, &MainWindow::quitRequested, this, [this] { quit(); });
    // Quitting goes through quit(), so running work is stopped first.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(qApp, &QGuiApplication::lastWindowClosed, this, [this] { quit(); });
}

QuarrystoneApp::~QuarrystoneApp()
{
    delete m_settings;
    delete m_main;
    // Checks that the windows did not own (the shared connection checks, a
    // tool search) and a running setup job must not outlive the application
    // either.
    Connections::shared().endJob();
    Spawn::endTimedCommands();
}

QWidget *QuarrystoneApp::settingsWindow()
{
    if (!m_settings) {
        auto *window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(u"settingsWindow"_s);
        window->setWindowTitle(u"설정"_s);
        window->setFixedSize(640, 720);
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(ViewFactory::settingsView(m_state.get(), window));
        m_settings = window;
    }
    return m_settings;
}

void QuarrystoneApp::start()
{
    m_main->show();
}

void QuarrystoneApp::showSettings()
{
    QWidget *window = settingsWindow();
    window->show();
    window->raise();
    window->activateWindow();
}

void QuarrystoneApp::quit(int waitMs)
{
    // A second request while the first one waits adds nothing.
    if (std::exchange(m_quitting, true))
        return;
    if (AppState::busy()) {
        AppState::stopWork();
        const QDeadlineTimer deadline(waitMs);
        QEventLoop loop;
        QTimer poll;
        connect(&poll, &QTimer::timeout, &loop, [&] {
            if (!AppState::busy() || deadline.hasExpired())
                loop.quit();
        });
        poll.start(20);
        loop.exec();
    }
    m_quitting = false;
    qApp->quit();
}

int QuarrystoneApp::run(int &argc, char **argv)
{
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"quarrystone"_s);
    QuarrystoneApp shell;
    shell.start();
    return app.exec();
}
