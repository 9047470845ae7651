#include "library.h"
#include "support/qtprinters.h"
#include "views/renamesheet.h"

#include "core/folderlock.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <future>

namespace {

class RenameSheetTest : public Library
{
protected:
    PlanRef refOf(const QString &dir)
    {
        for (const PlanRef &ref : state->plans())
            if (ref.url == AppState::standardFolder(dir))
                return ref;
        ADD_FAILURE() << "no library entry for " << dir.toStdString();
        return {};
    }

    // The sheet as the sidebar opens it, window-modal over a shown window.
    RenameSheet *open(const PlanRef &ref)
    {
        auto *sheet = new RenameSheet(state.get(), ref, &window);
        sheet->open();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet));
        // The title is read from plan.json beside the event loop.
        EXPECT_TRUE(QTest::qWaitFor([&] { return edit(sheet, "title")->isEnabled(); }));
        return sheet;
    }

    static QLineEdit *edit(RenameSheet *sheet, const char *name) { return sheet->findChild<QLineEdit *>(name); }
    static QPushButton *button(RenameSheet *sheet, const QString &text)
    {
        for (QPushButton *b : sheet->findChildren<QPushButton *>())
            if (b->text() == text)
                return b;
        return nullptr;
    }

    void SetUp() override
    {
        Library::SetUp();
        window.resize(600, 400);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    QWidget window;
    std::unique_ptr<AppState> state;
};

} // namespace

TEST_F(RenameSheetTest, PrefillBlankRuleEscapeAndReturn)
{
    const QString untitled = makePlan(output + "/Untitled-plan", "", "Untitled");
    const QString titled = makePlan(output + "/Alpha-plan", "알파", "Alpha");
    const QString broken = makePlan(output + "/Broken-plan", "깨진", "Broken");
    state = std::make_unique<AppState>();
    awaitFiles(*state);
    const PlanRef brokenRef = refOf(broken);
    write(broken + "/plan.json", "{ not json");

    // The library lists the folder name, but the sheet shows the plan's own
    // empty title and cannot rename until one is typed.
    const PlanRef untitledRef = refOf(untitled);
    EXPECT_EQ(untitledRef.title, "Untitled-plan");
    RenameSheet *sheet = open(untitledRef);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(edit(sheet, "title")->text(), "");
    EXPECT_EQ(edit(sheet, "folder")->text(), "Untitled-plan");
    QPushButton *rename = button(sheet, "바꾸기");
    QPushButton *cancel = button(sheet, "취소");
    ASSERT_TRUE(rename && cancel);
    EXPECT_TRUE(rename->isDefault());
    EXPECT_FALSE(cancel->autoDefault());
    EXPECT_FALSE(rename->isEnabled());

    // A disabled default button ignores Return.
    edit(sheet, "title")->setFocus();
    QTest::keyClick(edit(sheet, "title"), Qt::Key_Return);
    EXPECT_TRUE(sheet->isVisible());

    const struct { QString title, folder; bool enabled; } cases[] = {
        {"  ", "Untitled-plan", false}, {"\t\u3000", "Untitled-plan", false}, {"새 이름", "", false},
        {"새 이름", " \t", false},      {"새 이름", "Untitled-plan", true},   {" x ", " y ", true},
    };
    for (const auto &c : cases) {
        edit(sheet, "title")->setText(c.title);
        edit(sheet, "folder")->setText(c.folder);
        EXPECT_EQ(rename->isEnabled(), c.enabled) << c.title.toStdString() << "|" << c.folder.toStdString();
    }
    sheet->reject();

    EXPECT_EQ(RenameSheet::prefillTitle(refOf(titled)), "알파");
    // Unreadable plan.json: the library entry's title.
    EXPECT_EQ(RenameSheet::prefillTitle(brokenRef), "깨진");
    PlanRef missing = brokenRef;
    missing.url = root.path() + "/nowhere/";
    EXPECT_EQ(RenameSheet::prefillTitle(missing), "깨진");
    // A pipe named plan.json gives it at once instead of holding the reader.
    PlanRef piped = brokenRef;
    piped.url = root.path() + "/piped/";
    QDir().mkpath(piped.url);
    const QByteArray pipe = QFile::encodeName(piped.url + "plan.json");
    ASSERT_EQ(::mkfifo(pipe.constData(), 0600), 0);
    std::future<QString> pipedTitle = std::async(std::launch::async, [piped] { return RenameSheet::prefillTitle(piped); });
    const bool answered = QTest::qWaitFor(
        [&] { return pipedTitle.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 10000);
    if (!answered)
        ::close(::open(pipe.constData(), O_WRONLY | O_NONBLOCK));
    EXPECT_TRUE(answered);
    EXPECT_EQ(pipedTitle.get(), "깨진");

    // Escape leaves the plan; Return renames it with the texts as typed.
    const QString &dir = titled;
    sheet = open(refOf(dir));
    QPointer<RenameSheet> guard(sheet);
    edit(sheet, "title")->setText("베타");
    QTest::keyClick(edit(sheet, "title"), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }));
    EXPECT_TRUE(QFileInfo::exists(dir + "/plan.json"));
    EXPECT_TRUE(read(dir + "/plan.json").contains("알파"));

    sheet = open(refOf(dir));
    guard = sheet;
    edit(sheet, "title")->setText("베타");
    edit(sheet, "folder")->setText("Beta-plan");
    edit(sheet, "folder")->setFocus();
    QTest::keyClick(edit(sheet, "folder"), Qt::Key_Return);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }));
    EXPECT_FALSE(QFileInfo::exists(dir));
    EXPECT_TRUE(read(output + "/Beta-plan/plan.json").contains("베타"));

    // Unchanged texts still reach the rename, which changes nothing.
    awaitFiles(*state);
    sheet = open(refOf(output + "/Beta-plan"));
    guard = sheet;
    QTest::mouseClick(button(sheet, "바꾸기"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }));
    EXPECT_TRUE(QFileInfo::exists(output + "/Beta-plan/plan.json"));
}

// While another program writes the plan, the rename is refused with the
// lock's own sentence and the sheet stays open with what was typed; once
// the folder is free the same sheet renames it.
TEST_F(RenameSheetTest, RefusedByAnotherProgramKeepsTheSheetAndTheTypedTitle)
{
    const QString dir = makePlan(output + "/Alpha-plan", "알파", "Alpha");
    state = std::make_unique<AppState>();
    awaitFiles(*state);
    // One process that holds the folder's lock until it is killed.
    QProcess holder;
    holder.start("/bin/sh", {"-c", "exec 9<\"$0\" && flock -x 9 && exec sleep 600", dir});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] {
        try {
            FolderLock::take(dir);
            return false;
        } catch (const FolderLock::Failure &failure) {
            return failure.busy;
        }
    }));

    RenameSheet *sheet = open(refOf(dir));
    QPointer<RenameSheet> guard(sheet);
    edit(sheet, "title")->setText("베타");
    QTest::mouseClick(button(sheet, "바꾸기"), Qt::LeftButton);
    const QString locked = "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + dir;
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->message() == locked; })) << qPrintable(state->message().value_or(""));
    ASSERT_TRUE(guard);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(edit(sheet, "title")->text(), "베타");
    EXPECT_TRUE(read(dir + "/plan.json").contains("알파"));

    holder.kill();
    holder.waitForFinished();
    QTest::mouseClick(button(sheet, "바꾸기"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return guard.isNull(); }));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "이름을 바꿨어요"; }));
    EXPECT_TRUE(read(dir + "/plan.json").contains("베타"));
}
