#include "app/quarrystoneapp.h"

#include "app/appstate.h"
#include "app/mainwindow.h"
#include "app/qttranslations.h"
#include "app/viewfactory.h"
#include "core/filedescriptor.h"
#include "process/spawn.h"
#include "core/stopsignals.h"
#include "model/reviser.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "settings/updater.h"
#include "views/focusstyle.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QEvent>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <functional>
#include <unistd.h>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

// Calls `seen` once, after the widget it watches has painted.
class FirstPaint : public QObject
{
public:
    FirstPaint(QWidget *widget, std::function<void()> seen)
        : QObject(widget)
        , m_seen(std::move(seen))
    {
        widget->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, m_seen);
        }
        return false;
    }

private:
    std::function<void()> m_seen;
};

// Without a session bus named, the D-Bus library starts one of its own
// through the display (dbus-launch --autolaunch), which outlives the
// application. The bus a desktop session keeps in the runtime folder is
// found without the variable; with none there, no bus is used.
void refuseAutolaunchedBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo::exists(runtime + u"/bus"_s))
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

QtMessageHandler beforeStart = nullptr;

// Qt ends a start whose platform it cannot bring up (a platform not
// installed, no frame buffer or graphics device) by aborting, with words on
// reinstalling that are not the cause: the person reads in Korean that no
// window opens, with Qt's own cause, and the start ends with 1.
void startFailure(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        beforeStart(type, context, text);
        return;
    }
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    // Qt's first sentence names what failed; the rest is advice.
    const QString cause = text.section(u'\n', 0, 0).section(u". "_s, 0, 0).trimmed();
    const QString line = u"창을 열지 못했어요: 화면 플랫폼"_s + (platform.isEmpty() ? QString() : u"("_s + platform + u")"_s)
        + u"을 시작하지 못했어요 ("_s + cause + u").\n"_s;
    FileDescriptor::writeAll(STDERR_FILENO, line.toUtf8());
    ::_exit(1);
}

} // namespace

QuarrystoneApp::QuarrystoneApp()
    : m_state(std::make_unique<AppState>())
{
    QtTranslations::install();
    FocusStyle::install();
    Updater::shared().setBusyCheck(&AppState::busy);
    m_main = new MainWindow(m_state.get());
    m_main->setAttribute(Qt::WA_DeleteOnClose, false);
    connect(m_main, &MainWindow::settingsRequested, this, &QuarrystoneApp::showSettings);
    connect(m_main, &MainWindow::quitRequested, this, &QuarrystoneApp::askToQuit);
    // A sheet open over the main window keeps the menu's keys from it.
    qApp->installEventFilter(this);
    // Quitting goes through quit(), so running work is stopped first.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    connect(qApp, &QGuiApplication::lastWindowClosed, this, [this] { quit(); });
}

QuarrystoneApp::~QuarrystoneApp()
{
    delete m_settings;
    delete m_main;
    // Checks that the windows did not own (the shared connection checks, a
    // tool search), a running setup job and whatever Claude's runs left in
    // their groups must not outlive the application either.
    Connections::shared().endJob();
    Spawn::endChildren();
}

QWidget *QuarrystoneApp::settingsWindow()
{
    if (!m_settings) {
        auto *window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(u"settingsWindow"_s);
        window->setWindowTitle(u"설정"_s);
        // The view scrolls: on a screen with less room (1024×600, a laptop
        // at 200 %) the window is smaller and all of it stays reachable.
        ViewStyle::fitToScreen(window, QSize(640, 720), QSize(480, 360));
        auto *layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(ViewFactory::settingsView(m_state.get(), window));
        // A window of its own closes from the keyboard as dialogs do.
        for (const QKeySequence &keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            auto *shortcut = new QShortcut(keys, window);
            connect(shortcut, &QShortcut::activated, window, &QWidget::close);
        }
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
    // Opening the settings is the person's look at the secrets: a locked
    // keyring is asked again, once for all of them.
    Keychain::askAgain();
    window->show();
    window->raise();
    window->activateWindow();
}

void QuarrystoneApp::quit(int waitMs)
{
    // A second request while the first one waits adds nothing.
    if (std::exchange(m_quitting, true))
        return;
    stopWork(waitMs);
    m_quitting = false;
    qApp->quit();
}

void QuarrystoneApp::askToQuit()
{
    if (m_quitQuestion)
        return;
    if (!Reviser::shared().phase().isRunning()) {
        quit();
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Question, u"계획서를 고치는 중이에요"_s,
                                u"지금 끝내면 고치기를 멈추고 계획서를 고치기 전으로 되돌려요."_s, QMessageBox::NoButton, m_main);
    box->setObjectName(u"quitQuestion"_s);
    QPushButton *end = box->addButton(u"멈추고 끝내기"_s, QMessageBox::DestructiveRole);
    QPushButton *keep = box->addButton(u"계속 고치기"_s, QMessageBox::RejectRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, end](QAbstractButton *button) {
        if (button == end)
            QTimer::singleShot(0, this, [this] { quit(); });
    });
    m_quitQuestion = box;
    box->open();
}

bool QuarrystoneApp::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && QApplication::activeModalWidget()
        && static_cast<QKeyEvent *>(event)->keyCombination() == (Qt::CTRL | Qt::Key_Q)) {
        askToQuit();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void QuarrystoneApp::stopWork(int waitMs)
{
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
}

void QuarrystoneApp::quitAfterFirstFrame()
{
    new FirstPaint(m_main, [this] { quit(); });
}

int QuarrystoneApp::run(int &argc, char **argv)
{
    const bool selfCheck = argc > 1 && qstrcmp(argv[1], "--self-check") == 0;
    refuseAutolaunchedBus();
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The platform comes up with the application and its first window.
    beforeStart = qInstallMessageHandler(startFailure);
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"quarrystone"_s);
    QuarrystoneApp shell;
    // A closed terminal or a kill stops the application as its quit does.
    StopSignals::route([&shell](int) { shell.quit(); });
    if (selfCheck)
        shell.quitAfterFirstFrame();
    shell.start();
    qInstallMessageHandler(beforeStart);
    const int code = app.exec();
    // The event loop may also end without a quit (the screenshot mode):
    // running work is stopped all the same.
    shell.stopWork();
    return code;
}
