#include "library.h"
#include "support/qtprinters.h"

#include "app/contentview.h"
#include "app/mainwindow.h"
#include "app/planhtmlfilter.h"
#include "app/quarrystoneapp.h"
#include "app/toast.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "settings/apppaths.h"
#include "views/focusstyle.h"
#include "views/planeditorview.h"
#include "views/renamesheet.h"
#include "views/revisepanel.h"
#include "views/sidebar.h"
#include "views/sidebarmodel.h"
#include "views/spinner.h"
#include "support/fakeclaude.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QScreen>
#include <QAbstractItemView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSplitter>
#include <QTest>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <QJsonDocument>
#include <QWindow>

namespace {

const QString samplePage = QStringLiteral(QUARRYSTONE_SOURCE_DIR "/examples/sample-plan/index.html");

} // namespace

// A widget that takes every dropped file.
class FileTaker : public QWidget
{
public:
    explicit FileTaker(QWidget *parent)
        : QWidget(parent)
    {
        setAcceptDrops(true);
    }
    QList<QUrl> taken;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent *event) override
    {
        taken = event->mimeData()->urls();
        event->acceptProposedAction();
    }
};

// The real main window on the test's display, over a temporary library.
class MainWindowTest : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        desktop = std::make_shared<TestDesktop>();
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        state->setDesktop(desktop);
        window = std::make_unique<MainWindow>(state.get());
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        settle();
    }

    void TearDown() override
    {
        window.reset();
        state.reset();
    }

    // Lets the views take their turn on the event loop.
    void settle()
    {
        QTest::qWait(20);
        awaitFiles(*state);
        QTest::qWait(20);
    }

    QString detailName() const { return content()->detail()->objectName(); }
    ContentView *content() const { return window->content(); }

    // Sends a drag and its drop of the files to `target`; gives whether the
    // drop was accepted.
    static bool drop(QWidget *target, const QStringList &files)
    {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString &file : files)
            urls.append(QUrl::fromLocalFile(file));
        mime.setUrls(urls);
        const QPoint at = target->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropped);
        return enter.isAccepted() && dropped.isAccepted();
    }

    std::shared_ptr<TestDesktop> desktop;
    std::unique_ptr<AppState> state;
    std::unique_ptr<MainWindow> window;
};

TEST_F(MainWindowTest, WindowSizesSplitHolderMenusAndShortcuts)
{
    EXPECT_EQ(window->windowTitle(), "quarrystone");
    EXPECT_EQ(window->minimumSize(), QSize(980, 640));
    EXPECT_EQ(window->size(), QSize(1280, 820));
    QWidget *sidebar = window->findChild<QWidget *>("sidebar");
    ASSERT_TRUE(sidebar);
    EXPECT_EQ(sidebar->minimumWidth(), 220);
    EXPECT_EQ(content()->splitter()->sizes().first(), 250);
    // The floating button sits 22 from the bottom-right corner, placed
    // again when its content changes size.
    QWidget *floating = window->findChild<QWidget *>("floatingNewButton");
    ASSERT_TRUE(floating);
    auto *layout = new QVBoxLayout(floating);
    layout->addWidget(new QPushButton("새 계획서 만들기", floating));
    settle();
    EXPECT_EQ(floating->size(), floating->sizeHint());
    EXPECT_GT(floating->width(), 0);
    EXPECT_EQ(floating->geometry().bottomRight() + QPoint(1, 1),
              QPoint(content()->width() - 22, content()->height() - 22));
    window->resize(1100, 700);
    settle();
    EXPECT_EQ(floating->geometry().bottomRight() + QPoint(1, 1),
              QPoint(content()->width() - 22, content()->height() - 22));
    EXPECT_EQ(AppStateHolder::state(), state.get());
    EXPECT_EQ(state->window(), window.get());
    QStringList menus;
    for (QAction *action : window->menuBar()->actions())
        menus.append(action->text());
    EXPECT_EQ(menus, (QStringList{"quarrystone", "파일", "보기"}));
    EXPECT_EQ(window->viewMenu()->objectName(), "viewMenu");

    // Commands and their shortcuts.
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    write(a + "/index.html", "<html>page</html>");
    auto *exportPage = window->findChild<QAction *>("exportPage");
    ASSERT_TRUE(exportPage);
    EXPECT_FALSE(exportPage->isEnabled());
    EXPECT_EQ(exportPage->text(), "내보내기…");

    QTest::keyClick(window.get(), Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(state->newPlanToken(), 1);

    desktop->next = a;
    QTest::keyClick(window.get(), Qt::Key_O, Qt::ControlModifier);
    awaitFiles(*state);
    EXPECT_EQ(desktop->messages.last(), "plan.json 이 들어 있는 계획서 폴더를 고르세요");
    EXPECT_EQ(state->planDir(), a + "/");
    EXPECT_TRUE(exportPage->isEnabled());

    desktop->next = root.path() + "/out.html";
    QTest::keyClick(window.get(), Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
    awaitFiles(*state);
    EXPECT_EQ(read(root.path() + "/out.html"), "<html>page</html>");

    QTest::keyClick(window.get(), Qt::Key_I, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(desktop->messages.last(), "이 앱에서 내보낸 계획서 HTML 만 고를 수 있어요(다른 HTML 은 흐리게 보여요)");

    // A plan that fails to load disables the export again.
    write(output + "/bad/plan.json", "x");
    state->setSelection(Selection::plan(output + "/bad"));
    awaitFiles(*state);
    EXPECT_FALSE(exportPage->isEnabled());
    EXPECT_FALSE(window->findChild<QAction *>("renamePlan")->isEnabled());

    QSignalSpy settings(window.get(), &MainWindow::settingsRequested);
    QTest::keyClick(window.get(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(settings.count(), 1);

    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    ASSERT_EQ(state->planDir(), a + "/");
    // The plan's row's rename and delete, for the plan shown.
    auto *renamePlan = window->findChild<QAction *>("renamePlan");
    auto *deletePlan = window->findChild<QAction *>("deletePlan");
    ASSERT_TRUE(renamePlan && deletePlan);
    EXPECT_TRUE(window->findChild<QMenu *>("fileMenu")->actions().contains(renamePlan));
    EXPECT_TRUE(renamePlan->isEnabled() && deletePlan->isEnabled());
    renamePlan->trigger();
    auto *renaming = window->findChild<RenameSheet *>("renameSheet");
    ASSERT_TRUE(renaming);
    EXPECT_TRUE(QTest::qWaitFor([&] { return renaming->findChild<QLineEdit *>("title")->text() == "에이"; }, 5000));
    renaming->reject();
    deletePlan->trigger();
    auto *alert = window->findChild<QMessageBox *>("deleteAlert");
    ASSERT_TRUE(alert);
    EXPECT_TRUE(alert->informativeText().startsWith("“에이” (a) 폴더를")) << alert->informativeText().toStdString();
    alert->close();
}

TEST_F(MainWindowTest, DetailFollowsTheSelectionAndIsBuiltOncePerChange)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    const QString b = makePlan(output + "/b", "비", "Beta");
    write(output + "/bad/plan.json", "[]");
    QSignalSpy builds(content(), &ContentView::detailBuilt);
    QSignalSpy loads(state.get(), &AppState::planChanged);
    EXPECT_EQ(detailName(), "newPlanView");

    struct Step {
        const char *what;
        std::function<void()> change;
        QString detail;
    };
    const std::vector<Step> steps{
        {"select a", [&] { state->setSelection(Selection::plan(a)); }, "planEditorView"},
        {"select b", [&] { state->setSelection(Selection::plan(b)); }, "planEditorView"},
        {"reload b through none", [&] {
             state->setSelection(std::nullopt);
             state->setSelection(Selection::plan(b));
         }, "planEditorView"},
        {"rename b", [&] { state->rename(b, "새 비", "b2"); }, "planEditorView"},
        {"new plan", [&] { state->openNewPlan(); }, "newPlanView"},
        {"new plan again", [&] { state->openNewPlan(); }, "newPlanView"},
        {"unreadable plan", [&] { state->setSelection(Selection::plan(output + "/bad")); }, "choosePlan"},
        {"generating", [&] { state->setSelection(Selection::generating()); }, "runLog"},
        {"none", [&] { state->setSelection(std::nullopt); }, "newPlanView"},
        {"import", [&] { state->importHTML(samplePage); }, "planEditorView"},
    };
    for (const Step &step : steps) {
        QWidget *before = content()->detail();
        builds.clear();
        loads.clear();
        step.change();
        settle();
        EXPECT_EQ(builds.count(), 1) << step.what;
        // The plan shown is decoded at most once.
        EXPECT_LE(loads.count(), 1) << step.what;
        EXPECT_EQ(detailName(), step.detail) << step.what;
        EXPECT_NE(content()->detail(), before) << step.what;
    }
    // The placeholder for a plan that did not load.
    state->setSelection(Selection::plan(output + "/bad"));
    settle();
    auto *label = qobject_cast<QLabel *>(content()->detail());
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text(), "계획서를 고르세요");
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_EQ(label->property("tone").toString(), "secondary");

    // The same selection again, or a change of nothing shown, builds nothing.
    builds.clear();
    state->setSelection(Selection::plan(output + "/bad/"));
    state->setMessage("x");
    settle();
    EXPECT_EQ(builds.count(), 0);
}

// The first page view needs a native surface of its own kind; the window
// has it from the start, so showing a plan keeps the window the person
// sees (and a menu opened over it). A right click on a plan row opens its
// menu and leaves the selection alone.
TEST_F(MainWindowTest, FirstPlanShownKeepsTheNativeWindowAndARightClickOnlyOpensTheMenu)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha", 20);
    const QString b = makePlan(output + "/b", "비", "Beta", 10);
    state->refresh();
    settle();
    const WId native = window->winId();
    QWindow *handle = window->windowHandle();
    auto *list = window->findChild<QListView *>("sidebarList");
    ASSERT_TRUE(list);
    const auto rowRect = [&](const QString &title) {
        const QModelIndexList found =
            list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, title, 1, Qt::MatchExactly);
        return list->visualRect(found.value(0));
    };
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rowRect("에이").center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return detailName() == "planEditorView"; }));
    auto *page = content()->detail()->findChild<QWebEngineView *>();
    ASSERT_TRUE(page);
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->isVisible(); }));
    settle();
    EXPECT_EQ(window->winId(), native);
    EXPECT_EQ(window->windowHandle(), handle);

    // A right click as the platform delivers it: the press, the menu
    // request, the release.
    const QPoint at = rowRect("비").center();
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
    QApplication::sendEvent(list->viewport(), &request);
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, at);
    ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }));
    auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu);
    EXPECT_EQ(menu->objectName(), "sidebarMenu");
    EXPECT_TRUE(menu->isVisible());
    settle();
    EXPECT_EQ(state->selection(), Selection::plan(AppState::standardFolder(a)));
    EXPECT_EQ(detailName(), "planEditorView");
    EXPECT_EQ(state->planDir(), AppState::standardFolder(a));
    menu->close();
    EXPECT_NE(state->planDir(), AppState::standardFolder(b));
}

// A long report, such as the import's refusal of a page with a long file
// name, wraps inside the window at its smallest size instead of losing its
// ends.
TEST_F(MainWindowTest, LongToastsWrapWithinTheWindow)
{
    window->resize(window->minimumSize());
    settle();
    const QString name = QString("아주-긴-파일-이름-").repeated(24) + ".html";
    const QString text = "이 HTML 은 이 앱에서 내보낸 계획서가 아니에요: " + name;
    state->setMessage(text);
    auto *toast = window->findChild<Toast *>("toast");
    ASSERT_TRUE(toast && toast->isVisible());
    const QRect shown = toast->geometry();
    EXPECT_GE(shown.left(), 16);
    EXPECT_LE(shown.right() + 1, content()->width() - 16);
    EXPECT_EQ(shown.bottom() + 1, content()->height() - 16);
    // Every character has room: the lines Qt lays out at the toast's inner
    // width, breaking anywhere a line must, fit its height.
    const QRect inner = toast->contentsRect();
    // The padding around the text.
    EXPECT_EQ(inner.left(), 14);
    EXPECT_EQ(toast->width() - inner.right() - 1, 14);
    EXPECT_EQ(inner.top(), 8);
    const QRect needed = toast->fontMetrics().boundingRect(QRect(0, 0, inner.width(), 100000),
                                                           Qt::TextWrapAnywhere, text);
    EXPECT_LE(needed.width(), inner.width());
    EXPECT_GE(inner.height() + 2, needed.height());
    EXPECT_GE(inner.height(), 3 * toast->fontMetrics().height());
    // A short text keeps one line, as narrow as it is.
    state->setMessage("짧은 소식");
    EXPECT_LT(toast->height(), 2 * toast->fontMetrics().height() + 16);
    EXPECT_LT(toast->width(), content()->width() / 2);
}

TEST_F(MainWindowTest, DroppedPagesAreImportedWhereverTheyLand)
{
    auto *field = new QLineEdit(content()->detail());
    field->show();
    const QString folder = root.path() + "/drops";
    QDir().mkpath(folder);
    QFile::copy(samplePage, folder + "/Second.HTML");
    write(folder + "/first.png", "png");
    write(folder + "/third.html", "<html>not a plan</html>");

    // Only images: refused, and the text field does not take the path.
    EXPECT_FALSE(drop(field, {folder + "/first.png"}));
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_FALSE(state->planDir());

    // The first page counts, whatever its extension's case; the rest is
    // left alone.
    EXPECT_TRUE(drop(field, {folder + "/first.png", folder + "/Second.HTML", folder + "/third.html"}));
    awaitFiles(*state);
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(state->planDir(), output + "/Gift-plan/");
    EXPECT_EQ(state->message(), "새 계획서로 가져왔어요");

    // A page that is not a plan is refused by the import with its message.
    EXPECT_TRUE(drop(content(), {folder + "/third.html"}));
    awaitFiles(*state);
    EXPECT_NE(state->message(), "새 계획서로 가져왔어요");

    // A widget that takes files itself gets them, pages included.
    FileTaker taker(content()->detail());
    taker.setProperty("takesFileDrops", true);
    taker.show();
    state->setMessage(std::nullopt);
    EXPECT_TRUE(drop(&taker, {folder + "/Second.HTML"}));
    EXPECT_EQ(taker.taken, QList<QUrl>{QUrl::fromLocalFile(folder + "/Second.HTML")});
    EXPECT_FALSE(state->message());
    EXPECT_EQ(state->plans().size(), 1);
}

TEST_F(MainWindowTest, ToastShowsEachTextForThreeSecondsAndClearsOnlyItsOwn)
{
    auto *toast = window->findChild<Toast *>("toast");
    ASSERT_TRUE(toast);
    EXPECT_FALSE(toast->isVisible());

    QElapsedTimer clock;
    clock.start();
    state->setMessage("<b>첫</b> 소식");
    EXPECT_TRUE(toast->isVisible());
    EXPECT_EQ(toast->text(), "<b>첫</b> 소식");
    EXPECT_EQ(toast->textFormat(), Qt::PlainText);
    // Bottom centre, 16 above the bottom edge.
    EXPECT_EQ(toast->geometry().bottom() + 1, content()->height() - 16);
    EXPECT_NEAR(toast->geometry().center().x(), content()->width() / 2, 2);

    QTest::qWait(1500);
    state->setMessage("둘째 소식");
    const qint64 second = clock.elapsed();
    QTest::qWait(2000);
    EXPECT_EQ(state->message(), "둘째 소식");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state->message(); }, 60000));
    EXPECT_GE(clock.elapsed() - second, 2900);
    EXPECT_FALSE(toast->isVisible());

    // A click clears at once.
    state->setMessage("누르면 사라짐");
    QTest::mouseClick(toast, Qt::LeftButton);
    EXPECT_FALSE(state->message());
}

// On the screen, not only in the widget tree. The view's surface was
// see-through wherever a page paints no background of its own (here the
// engine's page for a plan folder without index.html), and the engine draws
// a see-through surface above every other widget: the toasts over the page
// were hidden under it.
TEST_F(MainWindowTest, ToastsOverThePageAreOnTheScreen)
{
    makePlan(output + "/a", "에이", "Alpha", 20);
    state->refresh();
    settle();
    auto *list = window->findChild<QListView *>("sidebarList");
    ASSERT_TRUE(list);
    const QModelIndexList found =
        list->model()->match(list->model()->index(0, 0), Qt::DisplayRole, "에이", 1, Qt::MatchExactly);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(found.value(0)).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return detailName() == "planEditorView"; }));
    auto *page = content()->detail()->findChild<QWebEngineView *>();
    ASSERT_TRUE(page);
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->isVisible(); }));
    // The page's surface takes its colours once the page is in it (a load
    // that ended before this looks is as good).
    QSignalSpy loaded(page, &QWebEngineView::loadFinished);
    loaded.wait(10000);
    settle();

    auto *toast = window->findChild<Toast *>("toast");
    ASSERT_TRUE(toast);
    state->setMessage("내보냈어요: 계획서 폴더");
    ASSERT_TRUE(toast->isVisible());
    const QPoint centre = toast->mapToGlobal(toast->rect().center());
    ASSERT_TRUE(QRect(page->mapToGlobal(QPoint(0, 0)), page->size()).contains(centre));
    const QColor face = toast->palette().color(toast->backgroundRole());
    QColor seen;
    // The screen shows it once the compositor has drawn a frame or two.
    EXPECT_TRUE(QTest::qWaitFor([&] {
        seen = window->screen()->grabWindow(0).toImage().pixelColor(centre);
        return seen == face;
    }, 60000)) << qPrintable(seen.name()) << " where the toast's " << qPrintable(face.name()) << " should be";
}

// The desktop's own panels: window-modal on the main window, and the
// command returns while the panel is still open.
TEST_F(MainWindowTest, PanelsAreWindowModalAndDoNotBlock)
{
    state->setDesktop(nullptr);
    const QString a = makePlan(root.path() + "/elsewhere", "에이", "Alpha");
    const auto panel = [&]() -> QFileDialog * {
        settle();
        return window->findChild<QFileDialog *>("filePanel");
    };

    state->openPanel();
    QFileDialog *folders = panel();
    ASSERT_TRUE(folders);
    EXPECT_TRUE(folders->isVisible());
    EXPECT_EQ(folders->windowModality(), Qt::WindowModal);
    EXPECT_EQ(folders->windowTitle(), "plan.json 이 들어 있는 계획서 폴더를 고르세요");
    EXPECT_EQ(folders->fileMode(), QFileDialog::Directory);
    // The message is in the panel itself, also where no window manager
    // draws titles.
    auto *message = folders->findChild<QLabel *>("panelMessage");
    ASSERT_TRUE(message);
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), "plan.json 이 들어 있는 계획서 폴더를 고르세요");
    EXPECT_FALSE(state->planDir());
    folders->setDirectory(a);
    static_cast<QDialog *>(folders)->accept();
    awaitFiles(*state);
    EXPECT_EQ(state->planDir(), a + "/");
    ASSERT_FALSE(panel());

    // Only plan pages and folders can be picked.
    const QString folder = root.path() + "/pages";
    QDir().mkpath(folder + "/sub");
    QFile::copy(samplePage, folder + "/plan.html");
    write(folder + "/other.html", "<html>not a plan</html>");
    state->importPanel();
    QFileDialog *pages = panel();
    ASSERT_TRUE(pages);
    EXPECT_EQ(pages->windowModality(), Qt::WindowModal);
    pages->setDirectory(folder);
    auto *list = pages->findChild<QAbstractItemView *>("listView");
    ASSERT_TRUE(list);
    const auto item = [&](const QString &name) {
        const QModelIndexList found = list->model()->match(list->model()->index(0, 0, list->rootIndex()),
                                                           Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.value(0);
    };
    const auto click = [&](const QString &name) {
        ASSERT_TRUE(item(name).isValid()) << name.toStdString();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualRect(item(name)).center());
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->model()->rowCount(list->rootIndex()) == 3; }, 60000));
    EXPECT_TRUE(item("sub").flags() & Qt::ItemIsEnabled);
    EXPECT_TRUE(item("plan.html").flags() & Qt::ItemIsEnabled);
    EXPECT_FALSE(item("other.html").flags() & Qt::ItemIsEnabled);
    click("other.html");
    EXPECT_NE(pages->selectedFiles(), QStringList{folder + "/other.html"});
    click("plan.html");
    EXPECT_EQ(pages->selectedFiles(), QStringList{folder + "/plan.html"});
    static_cast<QDialog *>(pages)->accept();
    awaitFiles(*state);
    EXPECT_EQ(state->planDir(), output + "/Gift-plan/");
    ASSERT_FALSE(panel());

    // The proposed name of the export; cancelling it does nothing.
    state->setMessage(std::nullopt);
    state->exportHTML();
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel(); }));
    QFileDialog *save = panel();
    ASSERT_TRUE(save);
    EXPECT_EQ(save->acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(QFileInfo(save->selectedFiles().value(0)).fileName(),
              "선물하기 개편 계획서 " + QDate::currentDate().toString("yyMMdd") + ".html");
    // It starts in the output folder, never in the working folder.
    EXPECT_EQ(save->directory().absolutePath(), output);
    EXPECT_EQ(QFileInfo(save->selectedFiles().value(0)).absolutePath(), output);
    ASSERT_TRUE(save->findChild<QLabel *>("panelMessage"));
    EXPECT_TRUE(save->findChild<QLabel *>("panelMessage")->isVisible());
    save->reject();
    EXPECT_FALSE(panel());
    EXPECT_FALSE(state->message());
}

// The cancel question, with a generation that fake-claude keeps running.
TEST_F(MainWindowTest, CancelQuestionChoicesAndTheRunEndingWhileItIsOpen)
{
    // Made before the settings name the stand-in: its environment must not
    // change while the window's check of the tool reads it.
    FakeClaude fake;
    AppSettings settings = stored();
    settings.claudePath = FakeClaude::path();
    settings.figmaMode = AppSettings::FigmaMode::mcp;
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    state->setSettings(settings);
    fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY123/App?node-id=12-34");
    input.feature = "Gift";
    const QString dir = output + "/run";
    write(dir + "/request.json", JSONCoding::pretty(input));
    const auto start = [&] {
        const qsizetype before = fake.records("start").size();
        state->resume(dir);
        // The window's own checks start the stand-in too: the run's start
        // is one that comes with the generation running.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return Generator::shared().phase().isRunning() && fake.records("start").size() > before; }, 60000));
    };
    const auto question = [&] { return window->findChild<QMessageBox *>("cancelGenerationDialog"); };

    // Nothing runs: nothing to ask.
    state->setCancelGenerating(true);
    EXPECT_FALSE(state->cancelGenerating());
    EXPECT_FALSE(question());

    start();
    state->setCancelGenerating(true);
    QMessageBox *box = question();
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->text(), "계획서 만들기를 취소할까요?");
    EXPECT_EQ(box->informativeText(), "지금까지 쓴 Claude 사용량은 돌아오지 않아요.");
    QStringList labels;
    for (QAbstractButton *button : box->buttons())
        labels.append(button->text());
    labels.sort();
    EXPECT_EQ(labels, (QStringList{"계속 만들기", "취소하고 남겨 두기 (나중에 이어서 만들기)", "취소하고 지우기"}));

    // "계속 만들기" only closes the question.
    box->findChild<QPushButton *>("continue")->click();
    settle();
    EXPECT_FALSE(state->cancelGenerating());
    EXPECT_TRUE(Generator::shared().phase().isRunning());
    EXPECT_FALSE(question());

    // The run ends while the question is open: it closes, and the finished
    // folder is never touched.
    state->setCancelGenerating(true);
    ASSERT_TRUE(question());
    Generator::shared().cancel();
    settle();
    EXPECT_FALSE(state->cancelGenerating());
    EXPECT_FALSE(question());
    EXPECT_TRUE(QFileInfo::exists(dir + "/request.json"));

    // Keeping: the folder stays for resuming.
    start();
    state->setCancelGenerating(true);
    state->setMessage(std::nullopt);
    question()->findChild<QPushButton *>("keep")->click();
    // The answer comes once the stopped run has let go of the folder.
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->message().has_value(); }, 60000));
    EXPECT_FALSE(Generator::shared().phase().isRunning());
    EXPECT_EQ(state->message(), "만들기를 취소했어요. 사이드바에서 이어서 만들 수 있어요");
    // The library is scanned beside the event loop.
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->unfinished() == QStringList{dir + "/"}; }, 60000));

    // Deleting: the folder goes to the Trash.
    start();
    state->setCancelGenerating(true);
    state->setMessage(std::nullopt);
    question()->findChild<QPushButton *>("delete")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->message().has_value(); }, 60000));
    EXPECT_FALSE(Generator::shared().phase().isRunning());
    EXPECT_EQ(state->message(), "만들기를 취소하고 지웠어요");
    EXPECT_FALSE(QFileInfo::exists(dir));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->unfinished().isEmpty(); }, 60000));
}

// At the window's smallest the revise panel keeps the width it has in a
// roomy window (the page gives way), nothing of it is cut, and the "새
// 계획서" pill never covers what it shows; a long title ends in "…" and
// leaves the sidebar its width.
TEST_F(MainWindowTest, AtTheSmallestSizeThePanelKeepsItsWidthAndNothingCoversIt)
{
    const QString title = QString("항구 클립 편집 ").repeated(20).left(135);
    const QString a = makePlan(output + "/a", title, "Alpha");
    state->setSelection(Selection::plan(a));
    QWidget *panel = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        panel = window->findChild<QWidget *>("revisePanel");
        return panel && panel->isVisible();
    }, 60000));
    QWidget *sidebar = window->findChild<QWidget *>("sidebar");
    auto *heading = panel->findChild<QLabel *>("heading");
    auto *scroll = panel->findChild<QScrollArea *>();
    auto *shownTitle = window->findChild<QLabel *>("planTitle");
    QWidget *pill = window->findChild<QWidget *>("floatingNewButton")->findChild<QPushButton *>();
    ASSERT_TRUE(sidebar && heading && scroll && shownTitle && pill);
    settle();
    const int roomy = panel->width();
    EXPECT_EQ(roomy, 340);
    // A revision that fails: its orange message is the panel's last text.
    AppSettings settings = state->settings();
    settings.claudePath = root.path() + "/no-claude";
    state->setSettings(settings);
    Reviser::shared().revise("제목을 바꿔 줘", {}, a, settings);
    auto *failed = panel->findChild<QLabel *>("statusFailed");
    ASSERT_TRUE(failed);
    ASSERT_TRUE(QTest::qWaitFor([&] { return failed->isVisible(); }, 60000));

    for (const QSize size : {QSize(1280, 820), QSize(1024, 600), window->minimumSize()}) {
        SCOPED_TRACE(size.width());
        // A screen of 1024 × 600 points bounds the window's least size, as
        // the window does itself on such a screen.
        window->setMinimumSize(window->minimumSize().boundedTo(size));
        window->resize(size);
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->size() == size; }, 60000));
        settle();
        EXPECT_EQ(sidebar->width(), 250);
        EXPECT_EQ(panel->width(), roomy);
        EXPECT_TRUE(shownTitle->text().endsWith("…")) << shownTitle->text().toStdString();
        EXPECT_TRUE(title.startsWith(shownTitle->text().chopped(1)));
        EXPECT_LE(shownTitle->sizeHint().width(), shownTitle->parentWidget()->width());

        // The whole panel is in the window and its column fits in it.
        const QRect placed(panel->mapTo(window.get(), QPoint(0, 0)), panel->size());
        EXPECT_TRUE(window->rect().contains(placed)) << placed.x() << "," << placed.width();
        EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width());
        EXPECT_GE(heading->width(), heading->sizeHint().width());
        for (const QPushButton *button : panel->findChildren<QPushButton *>()) {
            if (button->isVisible()) {
                EXPECT_GE(button->width(), button->sizeHint().width()) << button->text().toStdString();
            }
        }

        // Scrolled anywhere, nothing of the panel that shows lies under the pill.
        const QRect covered(pill->mapTo(window.get(), QPoint(0, 0)), pill->size());
        const QRect view(scroll->viewport()->mapTo(window.get(), QPoint(0, 0)), scroll->viewport()->size());
        QScrollBar *bar = scroll->verticalScrollBar();
        for (const int at : {bar->minimum(), bar->maximum()}) {
            bar->setValue(at);
            settle();
            for (const QWidget *part : scroll->widget()->findChildren<QWidget *>()) {
                if (!part->isVisible() || !part->findChildren<QWidget *>().isEmpty())
                    continue;
                const QRect shown = QRect(part->mapTo(window.get(), QPoint(0, 0)), part->size()) & view;
                EXPECT_FALSE(shown.intersects(covered)) << part->objectName().toStdString() << " at " << at;
            }
        }
    }
}

// Another program (the command line) revises the open plan: the header, the
// sidebar row and the page follow it, and the request being typed stays, as
// it does through a rename of the plan's folder.
TEST_F(MainWindowTest, AnotherProgramsChangeOfTheOpenPlanIsShown)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    state->refresh();
    state->setSelection(Selection::plan(a));
    PlanEditorView *editor = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        editor = content()->detail() ? content()->detail()->findChild<PlanEditorView *>() : nullptr;
        if (!editor)
            editor = qobject_cast<PlanEditorView *>(content()->detail());
        return editor && state->plan().meta.title == "에이";
    }));
    auto *request = editor->revisePanel()->findChild<QPlainTextEdit *>("request");
    ASSERT_TRUE(request);
    request->setFocus();
    QTest::keyClicks(request, "make the button blue");
    auto *title = editor->findChild<QLabel *>("planTitle");
    ASSERT_TRUE(title);
    EXPECT_EQ(title->text(), "에이");
    const int token = editor->reloadToken();

    Plan changed = Plan::decode(planJson("에이 고침", "Alpha"));
    Exporter::writeAll(changed, a, Conventions());

    const SidebarModel *rows = window->findChild<Sidebar *>()->model();
    const auto rowTitle = [&] {
        for (int i = 0; i < rows->rowCount(); ++i)
            if (rows->row(i).url == AppState::standardFolder(a))
                return rows->row(i).title;
        return QString();
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return title->text() == "에이 고침"; }, 60000)) << qPrintable(title->text());
    EXPECT_TRUE(QTest::qWaitFor([&] { return rowTitle() == "에이 고침"; }, 60000)) << qPrintable(rowTitle());
    EXPECT_GT(editor->reloadToken(), token);
    EXPECT_EQ(request->toPlainText(), "make the button blue");
    EXPECT_EQ(state->plan().meta.title, "에이 고침");

    // A rename of its folder keeps the request with the plan.
    state->rename(a, "에이 고침", "a2");
    QPlainTextEdit *moved = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        moved = window->findChild<QPlainTextEdit *>("request");
        return state->planDir() == output + "/a2/" && moved && moved->isVisible() && moved != request;
    }, 20000));
    EXPECT_EQ(moved->toPlainText(), "make the button blue");
}

// A plan's page: a rename that keeps the folder loads it again with the new
// title; it is one stop of the window's Tab order, inside which Tab walks
// the page's controls with a ring on each, F6 goes to the request and back,
// and every stop after it shows where it is; at the window's smallest a
// word of Claude's answer longer than the panel stays inside the panel.
TEST_F(MainWindowTest, APlansPageFollowsARenameAndIsOneTabStop)
{
    FakeClaude fake;
    const QString a = output + "/a";
    Plan plan = Plan::decode(planJson("원래 제목", "Alpha", {"open", "open"}));
    plan.decisions[0].options = QStringList{"숨긴다", "보여 준다"};
    Exporter::writeAll(plan, a, Conventions());
    state->refresh();
    state->setSelection(Selection::plan(a));
    const auto pageTitle = [&] {
        auto *page = content()->detail() ? content()->detail()->findChild<QWebEngineView *>() : nullptr;
        return page && page->isVisible() ? page->title() : QString();
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return pageTitle().contains("원래 제목"); }, 30000)) << qPrintable(pageTitle());
    state->rename(a, "새 제목", "a");
    EXPECT_TRUE(QTest::qWaitFor([&] { return pageTitle().contains("새 제목"); }, 30000)) << qPrintable(pageTitle());

    auto *page = content()->detail()->findChild<QWebEngineView *>();
    FocusStyle::install();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    const auto inPage = [&] { return page->isAncestorOf(QApplication::focusWidget()); };
    // The page's focused element: its text, and whether it wears a ring.
    const auto pageFocus = [&] {
        auto seen = std::make_shared<QString>();
        page->page()->runJavaScript(
            "(function (e) { return e === document.body ? '' : e.textContent.trim() + '|'"
            " + getComputedStyle(e).outlineStyle; })(document.activeElement)",
            [seen](const QVariant &value) { *seen = value.toString() + u'\n'; });
        (void)QTest::qWaitFor([&] { return !seen->isEmpty(); }, 5000);
        return seen->trimmed();
    };
    const auto press = [](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        QTest::qWait(150);
    };
    // A key inside the page is answered by the page: the test waits for the
    // focus to move rather than for a time.
    const auto walk = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QString was = pageFocus();
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        (void)QTest::qWaitFor([&] { return !inPage() || pageFocus() != was; }, 5000);
    };
    page->setFocus();
    ASSERT_TRUE(QTest::qWaitFor(inPage));
    QStringList stops;
    for (int i = 0; i < 40 && inPage(); ++i) {
        walk(Qt::Key_Tab);
        if (inPage())
            stops.append(pageFocus());
    }
    EXPECT_TRUE(stops.contains("숨긴다|solid")) << stops.join(", ").toStdString();
    EXPECT_TRUE(stops.contains("기타 — 직접 쓰기|solid")) << stops.join(", ").toStdString();
    EXPECT_TRUE(std::all_of(stops.begin(), stops.end(), [](const QString &stop) { return stop.endsWith("|solid"); }))
        << stops.join(", ").toStdString();
    ASSERT_FALSE(inPage());

    // Each stop after the page, up to the request, shows where it is.
    auto *requestBox = window->findChild<QPlainTextEdit *>("request");
    ASSERT_TRUE(requestBox);
    for (int i = 0; i < 12 && QApplication::focusWidget() != requestBox; ++i) {
        QWidget *stop = QApplication::focusWidget();
        ASSERT_TRUE(stop);
        EXPECT_FALSE(qobject_cast<QAbstractScrollArea *>(stop)) << stop->metaObject()->className();
        const QImage focused = stop->grab().toImage();
        stop->clearFocus();
        EXPECT_NE(stop->grab().toImage(), focused) << stop->metaObject()->className() << " " << stop->objectName().toStdString();
        stop->setFocus(Qt::TabFocusReason);
        press(Qt::Key_Tab);
    }
    ASSERT_EQ(QApplication::focusWidget(), requestBox);

    // Tab walks on out of the request, typing nothing into it, and comes
    // back to it with Shift+Tab.
    const QString typed = requestBox->toPlainText();
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->findChild<QPushButton *>("addImages"));
    press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->findChild<QPushButton *>("pasteCapture"));
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), requestBox);
    EXPECT_EQ(requestBox->toPlainText(), typed);

    // F6 goes back to the page, and to the request again; Space picks the
    // option Tab reached.
    press(Qt::Key_F6);
    EXPECT_TRUE(inPage());
    for (int i = 0; i < 40 && inPage() && pageFocus() != "숨긴다|solid"; ++i)
        walk(Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_EQ(pageFocus(), "숨긴다|solid");
    press(Qt::Key_Space);
    EXPECT_TRUE(QTest::qWaitFor([&] { return requestBox->toPlainText().contains("숨긴다"); }, 60000))
        << requestBox->toPlainText().toStdString();
    press(Qt::Key_F6);
    EXPECT_EQ(QApplication::focusWidget(), requestBox);
    press(Qt::Key_F6);
    EXPECT_TRUE(inPage());

    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    state->setSettings(settings);
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"}, {"content", QString::fromUtf8(JSONCoding::pretty(plan.toJson()))}},
                                           FakeClaude::resultEvent("바꿨어요: HarborClipsEditorSectionPlanIdentifierWithoutAnyBreak1234567890")}}});
    Reviser::shared().revise("제목을 바꿔 줘", {}, a, settings);
    auto *done = window->findChild<QWidget *>("statusDone");
    ASSERT_TRUE(QTest::qWaitFor([&] { return done && done->isVisible(); }, 60000)) << Reviser::shared().phase().text.toStdString();
    window->resize(window->minimumSize());
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->size() == window->minimumSize(); }, 60000));
    settle();
    auto *scroll = window->findChild<QWidget *>("revisePanel")->findChild<QScrollArea *>();
    EXPECT_LE(scroll->widget()->width(), scroll->viewport()->width());
    EXPECT_LE(done->mapTo(scroll->viewport(), QPoint(done->width(), 0)).x(), scroll->viewport()->width());

    // On a screen of 800 points (a laptop at 200 %) the window is as wide as
    // the screen: the page gives way, and the panel is whole beside it.
    window->setMinimumSize(QSize(800, 600));
    window->resize(800, 600);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->size() == QSize(800, 600); }, 5000));
    settle();
    QWidget *panel = window->findChild<QWidget *>("revisePanel");
    const QRect panelShown(panel->mapTo(window.get(), QPoint(0, 0)), panel->size());
    const QRect pageShown(page->mapTo(window.get(), QPoint(0, 0)), page->size());
    EXPECT_LE(panelShown.right(), window->width() - 1) << panelShown.right();
    EXPECT_LT(pageShown.right(), panelShown.left()) << pageShown.right() << " " << panelShown.left();
    EXPECT_GE(panel->width(), panel->minimumWidth());
}

// A large plan's page lays out only the cards in sight. The page's keys
// ask where a control is only of the controls they pass, never of every
// control of the page (which would lay out every card at once, seconds at a
// thousand screens): the first Tab, F7 and Shift+Tab each ask a few.
TEST_F(MainWindowTest, TheFirstKeysIntoALargePageAskOnlyOfTheStopsTheyPass)
{
    QJsonArray screens;
    QJsonArray moves;
    for (int i = 0; i < 1000; ++i) {
        screens.append(QJsonObject{{"key", QString("s%1").arg(i)}, {"name", QString("Screen%1").arg(i)}});
        moves.append(QJsonObject{{"from", QString("s%1").arg(i)}, {"to", QString("s%1").arg((i + 1) % 1000)}, {"trigger", "next"}});
    }
    const QJsonObject json{{"meta", QJsonObject{{"title", "큰 계획"}, {"feature", "Big"}, {"figma", QJsonObject{{"url", "https://www.figma.com/design/big"}}}}}, {"screens", screens}, {"transitions", moves}};
    const QString a = output + "/big";
    Plan plan = Plan::decode(QJsonDocument(json).toJson());
    Exporter::writeAll(plan, a, Conventions());
    state->refresh();
    state->setSelection(Selection::plan(a));
    QWebEngineView *page = nullptr;
    // Runs a script where the page's keys run and gives its answer.
    const auto ask = [&](const QString &script) {
        auto seen = std::make_shared<std::optional<QVariant>>();
        page->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld,
                                    [seen](const QVariant &value) { *seen = value; });
        (void)QTest::qWaitFor([&] { return seen->has_value(); }, 30000);
        return seen->value_or(QVariant());
    };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            page = content()->detail() ? content()->detail()->findChild<QWebEngineView *>() : nullptr;
            return page && page->isVisible() && page->title().contains("큰 계획")
                && ask("document.readyState === 'complete' && !!window.quarryKeys").toBool();
        },
        60000));
    // Counts the questions of where a control is and how it looks.
    ASSERT_EQ(ask("window.quarryAsked = 0;"
                  "var rects = Element.prototype.getClientRects;"
                  "Element.prototype.getClientRects = function () { ++window.quarryAsked; return rects.call(this); };"
                  "var style = window.getComputedStyle;"
                  "window.getComputedStyle = function (e, p) { ++window.quarryAsked; return style.call(window, e, p); };"
                  "document.querySelectorAll('button.fold').length")
                  .toInt(),
              1000);
    const auto asked = [&] { return ask("window.quarryAsked").toInt(); };
    const auto focused = [&] { return ask("document.activeElement === document.body ? '' : document.activeElement.outerHTML.slice(0, 60)").toString(); };
    const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QString was = focused();
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
        (void)QTest::qWaitFor([&] { return !page->isAncestorOf(QApplication::focusWidget()) || focused() != was; }, 30000);
    };

    page->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->isAncestorOf(QApplication::focusWidget()); }));
    press(Qt::Key_F7);
    EXPECT_TRUE(focused().startsWith("<a ")) << qPrintable(focused());
    EXPECT_LT(asked(), 20);
    press(Qt::Key_Tab);
    EXPECT_TRUE(focused().startsWith("<button")) << qPrintable(focused());
    EXPECT_LT(asked(), 40);
    // Into the page backwards from the request: its last control.
    auto *requestBox = window->findChild<QPlainTextEdit *>("request");
    ASSERT_TRUE(requestBox);
    requestBox->setFocus(Qt::TabFocusReason);
    for (int i = 0; i < 12 && !page->isAncestorOf(QApplication::focusWidget()); ++i)
        press(Qt::Key_Backtab, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !focused().isEmpty() && !focused().startsWith("<a "); }, 30000)) << qPrintable(focused());
    const int backwards = asked();
    EXPECT_TRUE(ask("var all = document.querySelectorAll('button, summary, input, select, textarea, [tabindex]:not([tabindex=\"-1\"])');"
                    "Array.prototype.filter.call(all, function (e) { return !e.disabled && e.getClientRects().length > 0; })"
                    ".pop() === document.activeElement")
                    .toBool())
        << qPrintable(focused());
    EXPECT_LT(backwards, 60);
}

// A rename, an export and an import show in the window while they run (in
// the rename sheet for a rename, which keeps the window out of reach), and
// "멈추기" ends each as if it had not begun: the folder, the earlier export
// and the library as they were, and the window goes on working.
TEST_F(MainWindowTest, RenameExportAndImportShowTheirWorkAndStopCleanly)
{
    if (!HeldFile::canHold())
        GTEST_SKIP() << "holding a reader needs the right to take fanotify permission events";
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    write(a + "/index.html", "<html>page</html>");
    state->refresh();
    settle();
    const auto names = [](const QString &dir) {
        return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    };
    QWidget *row = content()->findChild<QWidget *>("fileWorkRow");
    ASSERT_TRUE(row);
    EXPECT_FALSE(row->isVisible());
    // Shows the work with a turning spinner, then stops it with the button.
    const auto stopShown = [](QWidget *shown, const QString &text) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return shown->isVisible(); }, 60000));
        EXPECT_EQ(shown->findChild<QLabel *>("fileWorkText")->text(), text);
        EXPECT_TRUE(shown->findChild<Spinner *>()->spinning());
        QTest::mouseClick(shown->findChild<QPushButton *>("fileWorkStop"), Qt::LeftButton);
    };

    // Export, stopped while the page is being read.
    const QString target = root.path() + "/sent.html";
    write(target, "earlier export");
    {
        HeldFile page(a + "/index.html", "<html>page</html>");
        page.holdUntilReleased();
        desktop->next = target;
        state->exportHTML(a);
        ASSERT_TRUE(QTest::qWaitFor([&] { return page.readerHeld(); }, 60000));
        stopShown(row, "내보내는 중");
        page.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "내보내기를 멈췄어요"; }, 60000));
    }
    EXPECT_EQ(read(target), "earlier export");
    EXPECT_EQ(names(root.path()), (QStringList{"plans", "sent.html"}));
    EXPECT_TRUE(desktop->revealed.isEmpty());
    EXPECT_FALSE(row->isVisible());

    // Import, stopped once the new folder holds the page's images: the
    // folder goes.
    QDir().mkpath(AppPaths::support());
    const QString conventions = QDir(AppPaths::support()).filePath("conventions.json");
    const QStringList library = names(output);
    {
        HeldFile held(conventions, "{}");
        held.holdUntilReleased();
        state->importHTML(samplePage);
        ASSERT_TRUE(QTest::qWaitFor([&] { return held.readerHeld(); }, 60000));
        EXPECT_TRUE(QFileInfo::exists(output + "/Gift-plan/img/node-101-1.png"));
        stopShown(row, "가져오는 중");
        held.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "가져오기를 멈췄어요"; }, 60000));
    }
    EXPECT_EQ(names(output), library);
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_FALSE(row->isVisible());

    // Rename in its sheet, stopped while the folder is claimed: the sheet
    // stays for another try, which renames the folder.
    const QByteArray plan = read(a + "/plan.json");
    const PlanRef ref = state->plans().first();
    ASSERT_EQ(ref.url, a + "/");
    auto *sheet = new RenameSheet(state.get(), ref, window.get());
    sheet->open();
    auto *title = sheet->findChild<QLineEdit *>("title");
    ASSERT_TRUE(QTest::qWaitFor([&] { return title->isEnabled(); }, 60000));
    title->setText("새 제목");
    sheet->findChild<QLineEdit *>("folder")->setText("a2");
    const QList<QPushButton *> buttons = sheet->findChildren<QPushButton *>();
    QPushButton *rename = *std::find_if(buttons.begin(), buttons.end(), [](QPushButton *b) { return b->text() == "바꾸기"; });
    QPointer<RenameSheet> open = sheet;
    {
        HeldFile held(a + "/plan.json", plan);
        held.holdUntilReleased();
        QTest::mouseClick(rename, Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return held.readerHeld(); }, 60000));
        stopShown(sheet->findChild<QWidget *>("fileWorkRow"), "이름을 바꾸는 중");
        held.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "이름 바꾸기를 멈췄어요"; }, 60000));
    }
    EXPECT_EQ(names(output), library);
    EXPECT_EQ(read(a + "/plan.json"), plan);
    ASSERT_TRUE(open);
    EXPECT_TRUE(sheet->isVisible());
    QTest::mouseClick(rename, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "이름을 바꿨어요"; }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !open; }, 60000));
    EXPECT_EQ(Plan::decode(read(output + "/a2/plan.json")).meta.title, "새 제목");
    EXPECT_FALSE(QFileInfo::exists(a));

    // Quitting stops such work too, and waits for its end.
    {
        HeldFile page(output + "/a2/index.html", read(output + "/a2/index.html"));
        page.holdUntilReleased();
        desktop->next = target;
        state->exportHTML(output + "/a2");
        ASSERT_TRUE(QTest::qWaitFor([&] { return page.readerHeld(); }, 60000));
        EXPECT_TRUE(AppState::busy());
        AppState::stopWork();
        page.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "내보내기를 멈췄어요"; }, 60000));
    }
    EXPECT_TRUE(QTest::qWaitFor([] { return !AppState::busy(); }, 60000));
    EXPECT_EQ(read(target), "earlier export");
}
