#include "app/mainwindow.h"

#include "app/appstate.h"
#include "app/contentview.h"
#include "settings/updater.h"
#include "views/sidebar.h"
#include "views/webviewshelf.h"
#include "views/webzoom.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QScreen>

using namespace Qt::StringLiterals;

namespace {

// Qt's platforms that draw only into memory (the off-screen one of the
// screenshot tests among them): no person looks at their screen.
bool drawsOnlyIntoMemory()
{
    static const QStringList memoryOnly{u"offscreen"_s, u"minimal"_s, u"linuxfb"_s, u"vnc"_s};
    return memoryOnly.contains(QGuiApplication::platformName());
}

} // namespace

MainWindow::MainWindow(AppState *state, QWidget *parent)
    : QMainWindow(parent)
    , m_state(state)
{
    setObjectName(u"main"_s);
    setWindowTitle(u"quarrystone"_s);
    m_content = new ContentView(state, this);
    setCentralWidget(m_content);
    prepareSurface();
    setMinimumSize(980, 640);
    resize(1280, 820);
    fitToScreen();

    QMenu *app = menuBar()->addMenu(u"quarrystone"_s);
    app->setObjectName(u"appMenu"_s);
    connect(command(app, u"checkForUpdates"_s, u"업데이트 확인…"_s, {}), &QAction::triggered, this,
            [] { Updater::shared().check(true); });
    app->addSeparator();
    connect(command(app, u"settings"_s, u"설정…"_s, QKeySequence(u"Ctrl+,"_s)), &QAction::triggered, this,
            &MainWindow::settingsRequested);
    app->addSeparator();
    QAction *quit = command(app, u"quit"_s, u"quarrystone 종료"_s, QKeySequence(u"Ctrl+Q"_s));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, &MainWindow::quitRequested);

    QMenu *file = menuBar()->addMenu(u"파일"_s);
    file->setObjectName(u"fileMenu"_s);
    connect(command(file, u"newPlan"_s, u"새 계획서"_s, QKeySequence(u"Ctrl+N"_s)), &QAction::triggered, state,
            &AppState::openNewPlan);
    connect(command(file, u"openFolder"_s, u"계획서 폴더 열기…"_s, QKeySequence(u"Ctrl+O"_s)), &QAction::triggered,
            state, &AppState::openPanel);
    connect(command(file, u"importPage"_s, u"공유받은 HTML 가져오기…"_s, QKeySequence(u"Shift+Ctrl+I"_s)),
            &QAction::triggered, state, &AppState::importPanel);
    QAction *exportPage = command(file, u"exportPage"_s, u"내보내기…"_s, QKeySequence(u"Shift+Ctrl+E"_s));
    connect(exportPage, &QAction::triggered, state, [state] { state->exportHTML(); });
    file->addSeparator();
    // What the plan's row offers, for the plan shown.
    QAction *renamePlan = command(file, u"renamePlan"_s, u"이름 바꾸기…"_s, {});
    connect(renamePlan, &QAction::triggered, this, [this] {
        if (auto *sidebar = findChild<Sidebar *>())
            sidebar->renameShown();
    });
    QAction *deletePlan = command(file, u"deletePlan"_s, u"삭제…"_s, {});
    connect(deletePlan, &QAction::triggered, this, [this] {
        if (auto *sidebar = findChild<Sidebar *>())
            sidebar->deleteShown();
    });
    const auto followPlan = [exportPage, renamePlan, deletePlan, state] {
        for (QAction *action : {exportPage, renamePlan, deletePlan})
            action->setEnabled(state->planDir().has_value());
    };
    connect(state, &AppState::planDirChanged, exportPage, followPlan);
    followPlan();
    connect(state, &AppState::workingChanged, this, &MainWindow::prepareView);

    m_viewMenu = menuBar()->addMenu(u"보기"_s);
    m_viewMenu->setObjectName(u"viewMenu"_s);
    WebZoom *zoom = WebZoom::shared();
    QAction *zoomIn = command(m_viewMenu, u"zoomIn"_s, u"확대"_s, QKeySequence(u"Ctrl+="_s));
    // Ctrl+= is Ctrl with "+" unshifted; keyboards that need Shift for it send Ctrl++.
    zoomIn->setShortcuts({QKeySequence(u"Ctrl+="_s), QKeySequence(u"Ctrl++"_s)});
    connect(zoomIn, &QAction::triggered, zoom, &WebZoom::zoomIn);
    connect(command(m_viewMenu, u"zoomOut"_s, u"축소"_s, QKeySequence(u"Ctrl+-"_s)), &QAction::triggered, zoom,
            &WebZoom::zoomOut);
    connect(command(m_viewMenu, u"actualSize"_s, u"실제 크기"_s, QKeySequence(u"Ctrl+0"_s)), &QAction::triggered, zoom,
            &WebZoom::actualSize);
}

void MainWindow::prepareSurface()
{
    // Page views draw through the graphics stack into a texture, which the
    // window must composite with a native surface of that kind. Qt makes
    // that surface only for a window that has such a child when it is
    // created, and destroys and recreates a shown window for the first one
    // added later: the window flickers and a menu opened by the same click
    // ends up under the new one. A hidden child of the same kind, there
    // from the start, gives the window its surface before it is shown.
    // Qt's platforms that draw only into memory (the off-screen one of the
    // screenshot tests among them) cannot give a window that surface, and a
    // window that asks for it there crashes at its first paint.
    if (!QOpenGLContext::globalShareContext() || drawsOnlyIntoMemory())
        return;
    auto *surface = new QOpenGLWidget(this);
    surface->setObjectName(u"textureSurface"_s);
    surface->setFixedSize(0, 0);
    surface->hide();
}

// A small screen, or a large scale (150 % of a laptop's), leaves less room
// than the first size wants: the header's right-hand buttons and the revise
// panel would lie off the screen.
void MainWindow::fitToScreen()
{
    if (drawsOnlyIntoMemory() || !screen())
        return;
    const QSize room = screen()->availableGeometry().size();
    setMinimumSize(minimumSize().boundedTo(room));
    resize(size().boundedTo(room));
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    prepareView();
}

// The page view is made while the person looks at the listed library, not
// when they pick the first plan; it needs the surface the window has from
// the start.
void MainWindow::prepareView()
{
    if (m_state && isVisible() && !m_state->working() && findChild<QOpenGLWidget *>(u"textureSurface"_s))
        WebViewShelf::prepare(this);
}

QAction *MainWindow::command(QMenu *menu, const QString &name, const QString &text, const QKeySequence &key)
{
    QAction *action = menu->addAction(text);
    action->setObjectName(name);
    action->setShortcut(key);
    // Shortcuts work while the menu bar is hidden by the platform.
    addAction(action);
    return action;
}
