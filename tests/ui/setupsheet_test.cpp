#include "app/viewfactory.h"
#include "library.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "support/fakeclaude.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "views/connectionsview.h"
#include "views/settingsform.h"
#include "views/settingsview.h"
#include "views/setupsheet.h"

#include <QApplication>
#include <QDialog>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include <functional>

namespace {

// The first-run sheet over a library whose settings say setup is not done,
// and a settings.json whose every rewrite the test can see.
class SetupSheetTest : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        Keychain::useStore(std::make_shared<MemorySecretStore>());
        AppSettings settings = stored();
        settings.setupDone = false;
        settings.claudePath = "/nonexistent/claude";
        settings.save();
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        state->setDesktop(std::make_shared<TestDesktop>());
        ASSERT_TRUE(state->showSetup());
        file = qEnvironmentVariable("QUARRYSTONE_SUPPORT") + "/settings.json";
        age(file);
    }

    void TearDown() override
    {
        delete sheet.data();
        window.reset();
        state.reset();
        Keychain::useStore(nullptr);
    }

    // Dates the file back, so that any rewrite shows in its time.
    static void age(const QString &path)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC), QFileDevice::FileModificationTime));
    }

    QDateTime written() const { return QFileInfo(file).lastModified().toUTC(); }

    // The sheet as the shell makes it, over the shell's window.
    void open()
    {
        window = std::make_unique<QWidget>();
        window->resize(800, 800);
        window->show();
        QDialog *dialog = ViewFactory::setupSheet(state.get(), window.get());
        sheet = qobject_cast<SetupSheet *>(dialog);
        ASSERT_NE(sheet.data(), nullptr);
        EXPECT_EQ(dialog->objectName(), QStringLiteral("setupSheet"));
        EXPECT_EQ(dialog->parent(), window.get());
        sheet->open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet.data()));
        before = read(file);
    }

    void reopen()
    {
        state->setShowSetup(true);
        sheet->open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet.data()));
    }

    std::unique_ptr<AppState> state;
    std::unique_ptr<QWidget> window;
    QPointer<SetupSheet> sheet;
    QString file;
    QByteArray before;
};

} // namespace

TEST_F(SetupSheetTest, LaterOnlyHidesAndStartRecordsSetupOnceAndRescans)
{
    const QDateTime untouched = written();
    open();
    EXPECT_EQ(sheet->size(), QSize(660, 720));
    EXPECT_TRUE(sheet->isModal());
    EXPECT_TRUE(sheet->startButton()->isDefault());
    // The form scrolls between the header and the buttons.
    auto *scroll = sheet->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_GT(scroll->widget()->sizeHint().height(), scroll->viewport()->height());
    EXPECT_FALSE(scroll->isAncestorOf(sheet->startButton()));

    // "나중에", Escape, closing and a bare reject only hide, for good, and
    // none of them touches settings.json.
    const QList<QPair<const char *, std::function<void()>>> laters{
        {"later", [this] { sheet->laterButton()->click(); }},
        {"Escape", [this] { QTest::keyClick(sheet.data(), Qt::Key_Escape); }},
        {"close", [this] { sheet->close(); }},
        {"reject", [this] { sheet->reject(); }},
    };
    for (const auto &[name, later] : laters) {
        SCOPED_TRACE(name);
        if (!sheet->isVisible())
            reopen();
        later();
        EXPECT_FALSE(sheet->isVisible());
        EXPECT_FALSE(state->showSetup());
        EXPECT_EQ(read(file), before);
        EXPECT_EQ(written(), untouched);
    }

    // A plan made after the start-up scan is found by the rescan.
    makePlan(output + "/late", "늦게", "Late");
    ASSERT_TRUE(state->plans().isEmpty());
    QSignalSpy saved(state.get(), &AppState::settingsChanged);
    // Return in a field of the form acts as "시작하기".
    reopen();
    sheet->form()->modelField()->setFocus();
    QTest::keyClick(sheet->form()->modelField(), Qt::Key_Return);
    awaitFiles(*state);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(state->showSetup());
    EXPECT_TRUE(stored().setupDone);
    EXPECT_EQ(saved.count(), 1);
    ASSERT_EQ(state->plans().size(), 1);
    EXPECT_EQ(state->plans().first().title, QStringLiteral("늦게"));

    // Already done: nothing is written, the sheet still closes and rescans.
    age(file);
    const QDateTime aged = written();
    makePlan(output + "/later", "더 늦게", "Later");
    reopen();
    sheet->startButton()->click();
    awaitFiles(*state);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(written(), aged);
    EXPECT_EQ(saved.count(), 1);
    EXPECT_EQ(state->plans().size(), 2);
}

TEST_F(SetupSheetTest, FactoryGivesTheScrollingSettingsView)
{
    QWidget window;
    QWidget *view = ViewFactory::settingsView(state.get(), &window);
    ASSERT_NE(qobject_cast<SettingsView *>(view), nullptr);
    EXPECT_EQ(view->objectName(), QStringLiteral("settingsView"));
    EXPECT_EQ(view->findChildren<QPushButton *>(QString(), Qt::FindDirectChildrenOnly).size(), 0);
    auto *scroll = view->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(scroll->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(scroll->isAncestorOf(qobject_cast<SettingsView *>(view)->form()));
}

// The header speaks of this computer's keyring, and a connection job keeps
// the keyboard: the button that started it gives way to the job's own
// "취소", never to the next field of the form.
TEST_F(SetupSheetTest, AJobThatStartsLeavesTheOtherFieldsAlone)
{
    FakeClaude fake;
    const auto respond = [](const QStringList &args, const QJsonArray &steps) {
        return QJsonObject{{"args", QJsonArray::fromStringList(args)}, {"steps", steps}, {"exit", 0}};
    };
    fake.setScenario({{"readStdin", false},
                      {"responses",
                       QJsonArray{respond({"auth", "status", "--json"}, {QJsonObject{{"out", R"({"loggedIn":false})"}}}),
                                  respond({"auth", "login"}, {QJsonObject{{"awaitSigterm", QJsonObject()}}})}}});
    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    settings.userName = "김하나";
    state->setSettings(settings);
    open();

    QStringList texts;
    for (const QLabel *label : sheet->findChildren<QLabel *>())
        texts.append(label->text());
    EXPECT_TRUE(texts.contains("피그마를 읽고 계획서를 쓰려면 아래가 필요해요. 토큰·키는 이 컴퓨터의 키링에만 저장돼요. "
                               "나중에 설정(Ctrl+,)에서 바꿀 수 있어요."))
        << texts.join('\n').toStdString();
    EXPECT_FALSE(texts.join('\n').contains("맥"));

    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet.data()));
    ConnectionsView *connections = sheet->form()->connectionsView();
    QPushButton *login = connections->claudeRow().button;
    ASSERT_TRUE(QTest::qWaitFor([&] { return login->isVisible() && login->isEnabled(); }, 60000));
    login->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(QApplication::focusWidget(), login);
    QTest::keyClick(login, Qt::Key_Space);
    ASSERT_TRUE(QTest::qWaitFor([&] { return connections->jobPanel()->isVisible(); }, 60000));
    EXPECT_FALSE(login->isEnabled());
    EXPECT_EQ(QApplication::focusWidget(), connections->jobCancel());
    QLineEdit *name = sheet->form()->nameField();
    EXPECT_FALSE(name->hasSelectedText());
    QTest::keyClicks(QApplication::focusWidget(), "123456");
    EXPECT_EQ(name->text(), "김하나");

    Connections::shared().stopJob();
    EXPECT_TRUE(QTest::qWaitFor([] { return !Connections::shared().job(); }, 60000));
}

// A settings.json that cannot be read is moved aside whole and named in
// the sheet the start shows; a save that cannot write keeps the sheet open,
// saying so in the sheet and the window; once it can, "시작하기" saves
// afresh beside the kept file.
TEST_F(SetupSheetTest, SettingsNotReadOrNotSavedAreSaidAndNothingIsLost)
{
    state.reset();
    const QByteArray cut = read(file).left(40);
    write(file, cut);
    state = std::make_unique<AppState>();
    awaitFiles(*state);
    EXPECT_TRUE(state->showSetup());
    const QDir support(QFileInfo(file).absolutePath());
    const QStringList kept = support.entryList({"settings-unread-*.json"});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(read(support.filePath(kept[0])), cut);
    EXPECT_FALSE(QFileInfo::exists(file));

    open();
    QLabel *problem = sheet->form()->settingsProblemLine();
    EXPECT_TRUE(problem->isVisible());
    EXPECT_EQ(problem->text(), "설정 파일(settings.json)을 읽지 못했어요: 잘렸거나 망가져 있어요. 처음 설정으로 시작해요. "
                               "읽지 못한 파일은 지원 폴더에 " + kept[0] + " 로 남겨 두었어요.");
    EXPECT_EQ(state->message(), problem->text());

    ASSERT_TRUE(QDir().mkpath(file + "/in-the-way"));
    sheet->form()->modelField()->setFocus();
    QTest::keyClick(sheet->form()->modelField(), Qt::Key_Return);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(state->showSetup());
    EXPECT_TRUE(problem->isVisible());
    EXPECT_TRUE(problem->text().startsWith("설정을 저장하지 못했어요: ")) << qPrintable(problem->text());
    EXPECT_EQ(state->message(), problem->text());
    EXPECT_TRUE(QFileInfo(file + "/in-the-way").isDir());

    ASSERT_TRUE(QDir(file).removeRecursively());
    QTest::keyClick(sheet->form()->modelField(), Qt::Key_Return);
    awaitFiles(*state);
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_FALSE(state->settingsProblem());
    EXPECT_TRUE(problem->isHidden());
    EXPECT_TRUE(stored().setupDone);
    EXPECT_EQ(read(support.filePath(kept[0])), cut);
    EXPECT_TRUE(QFile::remove(support.filePath(kept[0])));
}
