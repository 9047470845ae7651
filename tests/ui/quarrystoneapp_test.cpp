#include "library.h"
#include "support/qtprinters.h"

#include "app/desktop.h"
#include "app/quarrystoneapp.h"
#include "figma/figmalink.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "support/fakeclaude.h"
#include "support/memorysecretstore.h"
#include "views/updaterow.h"

#include <QAction>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QHeaderView>
#include <QStyleOptionViewItem>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTreeView>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>
#include <QScrollArea>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <memory>

using QuarrystoneAppTest = Library;

// Claude, as the stored settings' tool, writes half a plan.json and works on
// until it is stopped.
static void revisionLeftHalfWritten(FakeClaude &fake)
{
    fake.setScenario({{"readStdin", true},
                      {"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"}, {"content", "{half written"}},
                                           QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    AppSettings settings = AppSettings::load();
    settings.claudePath = FakeClaude::path();
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    settings.save();
}

namespace {

bool hasHangul(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0xAC00 && c.unicode() <= 0xD7A3; });
}

// The texts a person reads, one per line, with the mnemonic marks taken out.
QStringList readable(const QStringList &texts)
{
    QStringList shown;
    for (QString text : texts) {
        text.remove(u'&');
        if (!text.trimmed().isEmpty())
            shown.append(text);
    }
    return shown;
}

} // namespace

TEST_F(QuarrystoneAppTest, SettingsWindowAndLastWindowClosing)
{
    // A locked keyring with Figma's MCP and Claude's login: the settings ask
    // it nothing, so no unlock prompt takes the keyboard (and Escape) from
    // them.
    const auto store = std::make_shared<MemorySecretStore>();
    store->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    Keychain::useStore(store);
    const auto forget = qScopeGuard([] { Keychain::useStore(nullptr); });
    AppSettings modes = stored();
    modes.figmaMode = AppSettings::FigmaMode::mcp;
    modes.claudeAuth = AppSettings::ClaudeAuth::login;
    modes.save();

    QuarrystoneApp shell;
    shell.start();
    MainWindow *main = shell.mainWindow();
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));

    QTest::keyClick(main, Qt::Key_Comma, Qt::ControlModifier);
    QWidget *settings = shell.settingsWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(settings));
    EXPECT_EQ(settings->objectName(), "settingsWindow");
    EXPECT_EQ(settings->size(), QSize(640, 720));
    EXPECT_TRUE(settings->findChild<QWidget *>("settingsView"));
    // A smaller screen (800 × 600 points at 200 %) gets a smaller window,
    // whose last row, the update check, is still reached by scrolling.
    EXPECT_LE(settings->minimumSize().height(), 540);
    settings->resize(640, 540);
    ASSERT_TRUE(QTest::qWaitFor([&] { return settings->size() == QSize(640, 540); }, 5000));
    auto *scroll = settings->findChild<QScrollArea *>();
    auto *update = settings->findChild<UpdateRow *>();
    ASSERT_TRUE(scroll && update);
    scroll->ensureWidgetVisible(update);
    const QRect shown(update->mapTo(scroll->viewport(), QPoint(0, 0)), update->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(shown)) << shown.y() << " " << scroll->viewport()->height();
    settings->resize(640, 720);
    // Escape and Ctrl+W close it, as they close a dialog, also while a text
    // field has the focus (as it has most of the time there).
    auto *field = settings->findChild<QLineEdit *>();
    ASSERT_TRUE(field);
    for (const bool typing : {false, true}) {
        for (const QKeyCombination keys : {QKeyCombination(Qt::Key_Escape), Qt::CTRL | Qt::Key_W}) {
            settings->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(settings));
            if (typing) {
                field->setFocus(Qt::TabFocusReason);
                QTest::keyClicks(field, "ab");
            }
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : settings, keys.key(),
                            keys.keyboardModifiers());
            EXPECT_TRUE(QTest::qWaitFor([&] { return !settings->isVisible(); }, 60000)) << typing;
            shell.showSettings();
        }
    }
    EXPECT_EQ(store->reads, 0);

    // Closing the main window leaves the settings window, and the
    // application, running; closing the last one ends it.
    bool settingsClosed = false;
    QTimer::singleShot(0, main, &QWidget::close);
    QTimer::singleShot(300, settings, [&] {
        settingsClosed = true;
        settings->close();
    });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(settingsClosed);
}

TEST_F(QuarrystoneAppTest, QuitStopsARevisionAndWaitsForItsRestore)
{
    const QString dir = makePlan(output + "/a", "에이", "Alpha");
    const QByteArray original = read(dir + "/plan.json");
    FakeClaude fake;
    revisionLeftHalfWritten(fake);

    QuarrystoneApp shell;
    ASSERT_TRUE(Reviser::shared().revise("제목을 바꿔 줘", {}, dir, shell.state()->settings()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return read(dir + "/plan.json") == "{half written"; }, 60000));
    EXPECT_TRUE(AppState::busy());
    // The folder under revision can be neither renamed nor trashed.
    AppState *state = shell.state();
    state->rename(dir, "다른 제목", "b");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요");
    state->setMessage(std::nullopt);
    state->trash(dir);
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요");
    EXPECT_TRUE(QFileInfo::exists(dir + "/plan.json"));

    QElapsedTimer clock;
    clock.start();
    shell.quit();
    EXPECT_LT(clock.elapsed(), 9000);
    EXPECT_FALSE(AppState::busy());
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_EQ(read(dir + "/plan.json"), original);

    // A Claude that ignores SIGTERM is killed after the grace time, before
    // the quit lets the application end, and the plan is put back.
    fake.setScenario({{"readStdin", true},
                      {"steps", QJsonArray{QJsonObject{{"writeFile", "plan.json"}, {"content", "{half again"}},
                                           QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}});
    ASSERT_TRUE(Reviser::shared().revise("다시 바꿔 줘", {}, dir, shell.state()->settings()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return read(dir + "/plan.json") == "{half again"; }, 60000));
    shell.quit();
    EXPECT_FALSE(AppState::busy());
    const QList<QJsonObject> starts = fake.records("start");
    ASSERT_EQ(starts.size(), 2);
    const pid_t stubborn = pid_t(starts.last().value("pid").toInteger());
    EXPECT_TRUE(::kill(stubborn, 0) == -1 && errno == ESRCH);
    EXPECT_EQ(read(dir + "/plan.json"), original);

    // The same for a generation, whose phase ends at the stop while its
    // Claude is still there.
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}});
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY/Name?node-id=1-1");
    input.feature = "Stubborn";
    Generator::shared().start(input, shell.state()->settings(), {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return fake.records("start").size() == 3; }, 60000));
    shell.quit();
    EXPECT_FALSE(AppState::busy());
    EXPECT_TRUE(FakeClaude::hasEnded(fake.records("start").last().value("pid").toInteger()));
    Generator::shared().setPhase(Generator::Phase::idle());

    // Nothing running: the quit does not wait.
    clock.restart();
    shell.quit();
    EXPECT_LT(clock.elapsed(), 100);
}

// Ctrl+Q quits also while a sheet is open over the main window; while a
// revision runs it asks first (below), and quits, putting the plan back,
// only when the person says so.
TEST_F(QuarrystoneAppTest, CtrlQQuitsOverASheet)
{
    QuarrystoneApp shell;
    shell.start();
    MainWindow *main = shell.mainWindow();
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    QMessageBox sheet(QMessageBox::Information, "시트", "열려 있어요", QMessageBox::Ok, main);
    sheet.setWindowModality(Qt::WindowModal);
    sheet.open();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&sheet));
    QTimer::singleShot(0, &sheet, [&] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Q, Qt::ControlModifier); });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
}

TEST_F(QuarrystoneAppTest, CtrlQAsksWhileARevisionRuns)
{
    const QString dir = makePlan(output + "/a", "에이", "Alpha");
    const QByteArray original = read(dir + "/plan.json");
    FakeClaude fake;
    revisionLeftHalfWritten(fake);

    QuarrystoneApp shell;
    shell.start();
    MainWindow *main = shell.mainWindow();
    main->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(main));
    ASSERT_TRUE(Reviser::shared().revise("제목을 바꿔 줘", {}, dir, shell.state()->settings()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return read(dir + "/plan.json") == "{half written"; }, 10000));
    const auto question = [&] { return main->findChild<QMessageBox *>("quitQuestion"); };
    QTest::keyClick(main, Qt::Key_Q, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return question() && question()->isVisible(); }, 5000));
    EXPECT_EQ(question()->text(), "지금 끝내면 고치기를 멈추고 계획서를 고치기 전으로 되돌려요.");
    // Ctrl+Q again while it asks asks nothing more; Escape keeps revising.
    QTest::keyClick(question(), Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(main->findChildren<QMessageBox *>("quitQuestion").size(), 1);
    QTest::keyClick(question(), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !question(); }, 5000));
    EXPECT_TRUE(Reviser::shared().phase().isRunning());
    EXPECT_TRUE(fake.records("sigterm").isEmpty());

    QTest::keyClick(main, Qt::Key_Q, Qt::ControlModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return question() && question()->isVisible(); }, 5000));
    QPushButton *end = nullptr;
    for (QAbstractButton *button : question()->buttons())
        if (button->text() == "멈추고 끝내기")
            end = qobject_cast<QPushButton *>(button);
    ASSERT_TRUE(end);
    QTimer::singleShot(0, end, [end] { QTest::keyClick(end, Qt::Key_Space); });
    QTimer::singleShot(30000, qApp, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_FALSE(AppState::busy());
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_EQ(read(dir + "/plan.json"), original);
}

// Quitting ends every check the application started, whichever window or
// service started it, even a tool that never answers and ignores SIGTERM:
// once the application is gone none runs, and each has been reaped.
TEST_F(QuarrystoneAppTest, QuitLeavesNoCheckRunning)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}});
    AppSettings settings = stored();
    settings.claudePath = FakeClaude::path();
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    settings.save();

    auto shell = std::make_unique<QuarrystoneApp>();
    shell->start();
    shell->showSettings();
    // The settings form's version check and the login check of the
    // connections at least.
    const auto started = [&fake] {
        QStringList args;
        for (const QJsonObject &start : fake.records("start"))
            args.append(FakeClaude::arguments(start).join(' '));
        return args;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return started().contains("--version") && started().contains("auth status --json"); },
                                60000))
        << started().join(", ").toStdString();
    // And a setup job of the shared connections.
    Connections::shared().loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(QTest::qWaitFor([&] { return started().contains("auth login"); }, 60000));
    shell->quit();
    shell.reset();
    for (const QJsonObject &start : fake.records("start")) {
        const pid_t pid = pid_t(start.value("pid").toInteger());
        EXPECT_TRUE(::kill(pid, 0) == -1 && errno == ESRCH) << FakeClaude::arguments(start).join(' ').toStdString();
    }
}

// Qt's own parts of the window speak Korean, whatever the system's locale:
// the file panel of an import and the menu of every text field.
TEST_F(QuarrystoneAppTest, QtsOwnPanelsAndMenusAreKorean)
{
    QuarrystoneApp shell;
    shell.start();
    MainWindow *main = shell.mainWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(main));

    // A date among the longest Korean ones: two-digit month, day and hour.
    QFile late(QDir::home().filePath("late.html"));
    ASSERT_TRUE(late.open(QIODevice::WriteOnly));
    late.setFileTime(QDateTime(QDate(2025, 12, 28), QTime(12, 58)), QFileDevice::FileModificationTime);
    late.close();
    Desktop::standard().choosePlanPage(main, "가져올 HTML 을 고르세요", [](const QString &) {});
    QFileDialog *panel = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        panel = main->findChild<QFileDialog *>("filePanel");
        return panel && panel->isVisible();
    }, 60000));
    QStringList texts;
    for (const QLabel *label : panel->findChildren<QLabel *>())
        if (label->isVisible() && label->objectName() != "panelMessage")
            texts.append(label->text());
    for (const QPushButton *button : panel->findChildren<QDialogButtonBox *>().value(0)->findChildren<QPushButton *>())
        texts.append(button->text());
    const QTreeView *details = panel->findChild<QTreeView *>();
    ASSERT_TRUE(details);
    for (int column = 0; column < details->model()->columnCount(); ++column)
        texts.append(details->model()->headerData(column, Qt::Horizontal).toString());
    texts = readable(texts);
    EXPECT_GE(texts.size(), 8) << texts.join('\n').toStdString();
    for (const QString &text : texts)
        EXPECT_TRUE(hasHangul(text)) << text.toStdString();
    // It opens in the home folder and writes dates in Korean on a C system.
    EXPECT_EQ(QDir(panel->directory()).absolutePath(), QDir::homePath());
    ASSERT_TRUE(QTest::qWaitFor([&] { return details->model()->rowCount(details->rootIndex()) > 0; }, 60000));
    EXPECT_TRUE(hasHangul(details->model()->index(0, 3, details->rootIndex()).data().toString()));
    // The Korean dates are longer than the column Qt sizes for its own: the
    // column takes its widest date, and all of it lies in the view.
    QCoreApplication::processEvents();
    QStyleOptionViewItem option;
    option.initFrom(details);
    for (int row = 0; row < details->model()->rowCount(details->rootIndex()); ++row) {
        const QModelIndex date = details->model()->index(row, 3, details->rootIndex());
        EXPECT_GE(details->columnWidth(3), details->itemDelegate()->sizeHint(option, date).width())
            << date.data().toString().toStdString();
    }
    EXPECT_LE(details->header()->sectionViewportPosition(3) + details->columnWidth(3), details->viewport()->width());
    // The kinds too: a folder is "폴더", never "Folder".
    for (int row = 0; row < details->model()->rowCount(details->rootIndex()); ++row) {
        const QString kind = details->model()->index(row, 2, details->rootIndex()).data().toString();
        EXPECT_TRUE(hasHangul(kind)) << kind.toStdString();
    }
    panel->reject();

    QLineEdit field;
    std::unique_ptr<QMenu> menu(field.createStandardContextMenu());
    QStringList items;
    for (const QAction *action : menu->actions())
        items.append(action->text());
    items = readable(items);
    EXPECT_GE(items.size(), 7) << items.join('\n').toStdString();
    for (const QString &item : items)
        EXPECT_TRUE(hasHangul(item)) << item.toStdString();
}
