#include "library.h"
#include "model/developer.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "support/testrepo.h"
#include "views/developsheet.h"
#include "views/focusstyle.h"
#include "views/revisedrafts.h"
#include "views/revisepanel.h"

#include <QCheckBox>
#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTest>
#include <functional>
#include <memory>

namespace {

using Kind = Developer::PlatformKind;
using Phase = Developer::Run::Phase;
using TestRepo::sh;
using TestRepo::tree;

QJsonObject assistantTool(const QString &id, const QString &name, const QString &file)
{
    const QJsonObject use{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", QJsonObject{{"file_path", file}}}};
    return FakeClaude::event({{"type", "assistant"}, {"message", QJsonObject{{"content", QJsonArray{use}}}}});
}

// A plan "HarborClips" selected in the state, an origin repository with a
// clone that knows origin/HEAD, and the claude tool played by fake-claude.
class DevelopSheetTest : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        base = QDir(root.path()).canonicalPath();
        origin = base + "/origin";
        QDir().mkpath(origin);
        sh(origin, {"init", "-q", "-b", "main"});
        write(origin + "/src/Main.kt", "fun main() {}\n");
        sh(origin, {"add", "-A"});
        sh(origin, {"commit", "-q", "-m", "init"});
        sh(origin, {"branch", "develop"});
        QDir().mkpath(base + "/repos");
        sh(base + "/repos", {"clone", "-q", origin, "app-android"});
        android = base + "/repos/app-android";

        AppSettings settings = stored();
        settings.androidRepo = android;
        settings.iosRepo.clear();
        settings.claudePath = FakeClaude::path();
        settings.save();
        planDir = makePlan(output + "/harbor", "항구", "HarborClips");
        state = std::make_unique<AppState>();
        state->setDesktop(desktop);
        state->setSelection(Selection::plan(planDir));
        awaitFiles(*state);
        ASSERT_EQ(state->plan().meta.feature, QStringLiteral("HarborClips"));
        Developer::shared().setRuns({});
    }

    void TearDown() override
    {
        Developer::shared().cancel();
        ASSERT_TRUE(QTest::qWaitFor([] { return !Developer::shared().isRunning(); }, 30000));
        Developer::shared().setRuns({});
        delete sheet.data();
        state.reset();
    }

    void setRepos(const QString &androidRepo, const QString &iosRepo)
    {
        AppSettings settings = state->settings();
        settings.androidRepo = androidRepo;
        settings.iosRepo = iosRepo;
        state->setSettings(settings);
    }

    void open()
    {
        sheet = new DevelopSheet(state.get(), planDir);
        sheet->open();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet.data()));
    }

    bool listed(Kind platform) const
    {
        return QTest::qWaitFor([&] { return sheet && sheet->lists().contains(platform); }, 10000);
    }

    static bool settled()
    {
        return QTest::qWaitFor([] { return !Developer::shared().isRunning(); }, 60000);
    }

    QString base;
    QString origin;
    QString android;
    QString planDir;
    // A confined run writes no log outside its worktree: what it did shows
    // in the run's card and its worktree; how a stop ends the stand-in is
    // the development tests' (unconfined) to see.
    FakeClaude fake;
    std::shared_ptr<TestDesktop> desktop = std::make_shared<TestDesktop>();
    std::unique_ptr<AppState> state;
    QPointer<DevelopSheet> sheet;
};

} // namespace

TEST(DevelopSheetTexts, WorkNamesAndClocks)
{
    const std::pair<QString, QString> names[] = {
        {"HarborClips", "feat/harbor_clips"}, {"", "feat/cairn"}, {"ABTest", "feat/a_b_test"}, {"login", "feat/login"}};
    for (const auto &[feature, name] : names)
        EXPECT_EQ(DevelopSheet::workName(feature), name) << feature.toStdString();
    const QDateTime start(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
    const std::pair<qint64, QString> clocks[] = {{0, "0분 0초"}, {187999, "3분 7초"}, {3600000, "60분 0초"}, {-5000, "0분 0초"}};
    for (const auto &[msecs, text] : clocks)
        EXPECT_EQ(DevelopSheet::elapsedText(start, start.addMSecs(msecs)), text) << msecs;
}

TEST_F(DevelopSheetTest, SetupFaceListsBranchesPreviewsAndStartsAfresh)
{
    // A repository whose .git points nowhere: present, but git fails there.
    const QString broken = base + "/repos/app-ios";
    write(broken + "/.git", "gitdir: " + (base + "/nowhere").toUtf8() + "\n");
    setRepos(android, broken);
    open();
    EXPECT_EQ(sheet->width(), 620);
    EXPECT_EQ(sheet->nameField()->text(), QStringLiteral("feat/harbor_clips"));
    EXPECT_EQ(sheet->nameField()->placeholderText(), QStringLiteral("feat/harbor_clips"));
    EXPECT_EQ(sheet->pick(), (QSet<Kind>{Kind::android, Kind::ios}));
    ASSERT_TRUE(listed(Kind::android));
    ASSERT_TRUE(listed(Kind::ios));
    EXPECT_EQ(sheet->lists().value(Kind::android), (QStringList{"main", "origin/develop", "origin/main"}));
    EXPECT_EQ(sheet->base().value(Kind::android), QStringLiteral("main"));
    EXPECT_EQ(sheet->lists().value(Kind::ios), QStringList{""});
    EXPECT_EQ(sheet->base().value(Kind::ios), QString());
    EXPECT_TRUE(sheet->setupFace()->isVisible());
    EXPECT_FALSE(sheet->startButton()->isEnabled()) << "git failed for iOS";
    EXPECT_TRUE(sheet->startButton()->isDefault());

    const DevelopSheet::SetupCard &card = sheet->setupCard(Kind::android);
    EXPECT_TRUE(card.check->isChecked());
    EXPECT_TRUE(card.check->isEnabled());
    EXPECT_FALSE(card.missing->isVisible());
    ASSERT_TRUE(card.branchRow->isVisible());
    EXPECT_EQ(card.branches->count(), 3);
    EXPECT_EQ(card.branches->currentText(), QStringLiteral("main"));
    EXPECT_EQ(sheet->preview(Kind::android), Developer::worktreePath(android, "feat/harbor_clips"));
    EXPECT_EQ(sheet->preview(Kind::android), base + "/repos/app-android-worktrees/feat-harbor_clips");
    EXPECT_EQ(card.preview->toolTip(), sheet->preview(Kind::android));

    sheet->setupCard(Kind::ios).check->click();
    EXPECT_EQ(sheet->pick(), QSet<Kind>{Kind::android});
    EXPECT_FALSE(sheet->setupCard(Kind::ios).branchRow->isVisible());
    EXPECT_TRUE(sheet->startButton()->isEnabled());

    card.branches->setCurrentIndex(1);
    Q_EMIT card.branches->activated(1);
    EXPECT_EQ(sheet->base().value(Kind::android), QStringLiteral("origin/develop"));

    sheet->nameField()->clear();
    QTest::keyClicks(sheet->nameField(), "  feat/a/b\t");
    EXPECT_EQ(sheet->preview(Kind::android), base + "/repos/app-android-worktrees/feat-a-b");
    EXPECT_TRUE(sheet->startButton()->isEnabled());
    sheet->nameField()->clear();
    QTest::keyClicks(sheet->nameField(), "   ");
    EXPECT_FALSE(sheet->startButton()->isEnabled());
    EXPECT_EQ(sheet->preview(Kind::android), base + "/repos/app-android-worktrees/…");

    // Enough branches that the next listing is still on its way at the close.
    const QString head = sh(android, {"rev-parse", "HEAD"});
    QProcess git;
    git.setWorkingDirectory(android);
    git.start("/usr/bin/git", {"update-ref", "--stdin"});
    ASSERT_TRUE(git.waitForStarted());
    for (int i = 0; i < 5000; ++i)
        git.write(("create refs/heads/b" + QString::number(i) + " " + head + "\n").toUtf8());
    git.closeWriteChannel();
    ASSERT_TRUE(git.waitForFinished(60000));
    ASSERT_EQ(git.exitCode(), 0) << git.readAllStandardError().toStdString();

    // The next presentation starts afresh from the plan; a listing that
    // lands after its close goes nowhere.
    sheet->cancelButton()->click();
    QTest::qWait(50);
    EXPECT_TRUE(sheet.isNull()) << "a closed sheet is gone";
    open();
    EXPECT_EQ(sheet->nameField()->text(), QStringLiteral("feat/harbor_clips"));
    EXPECT_EQ(sheet->pick(), (QSet<Kind>{Kind::android, Kind::ios}));
    sheet->cancelButton()->click();
    QTest::qWait(50);
    EXPECT_TRUE(sheet.isNull());
    QTest::qWait(1500);
    EXPECT_TRUE(Developer::shared().runs().isEmpty());
    open();
    ASSERT_TRUE(listed(Kind::android));
    EXPECT_EQ(sheet->lists().value(Kind::android).size(), 5003);
}

TEST_F(DevelopSheetTest, AMissingRepositoryStartsUnchosenAndDoesNotBlock)
{
    state->setSelection(Selection::plan(makePlan(output + "/blank", "빈", "")));
    awaitFiles(*state);
    open();
    EXPECT_EQ(sheet->nameField()->text(), QStringLiteral("feat/cairn"));
    const DevelopSheet::SetupCard &ios = sheet->setupCard(Kind::ios);
    EXPECT_FALSE(ios.check->isEnabled());
    EXPECT_FALSE(ios.check->isChecked());
    EXPECT_TRUE(ios.missing->isVisible());
    EXPECT_EQ(ios.missing->text(), QStringLiteral("저장소가 없어요 — 설정에서 iOS 저장소 위치를 정해 주세요"));
    EXPECT_EQ(ios.missing->property("tone").toString(), QStringLiteral("orange"));
    EXPECT_FALSE(ios.branchRow->isVisible());
    EXPECT_EQ(sheet->pick(), QSet<Kind>{Kind::android});
    ASSERT_TRUE(listed(Kind::android));
    EXPECT_FALSE(sheet->lists().contains(Kind::ios));
    EXPECT_TRUE(sheet->startButton()->isEnabled());

    // A repository that turns up while the sheet is open can be chosen.
    const QString ios2 = base + "/repos/app-ios";
    sh(base + "/repos", {"clone", "-q", origin, "app-ios"});
    setRepos(android, ios2);
    EXPECT_TRUE(ios.check->isEnabled());
    EXPECT_FALSE(ios.check->isChecked());
    ASSERT_TRUE(listed(Kind::ios));
    EXPECT_EQ(sheet->base().value(Kind::ios), QStringLiteral("main"));
    // Another repository in its place brings its own branches.
    const QString ios3 = base + "/repos/app-ios-develop";
    sh(base + "/repos", {"clone", "-q", "-b", "develop", origin, "app-ios-develop"});
    setRepos(android, ios3);
    ASSERT_TRUE(listed(Kind::ios));
    EXPECT_EQ(sheet->base().value(Kind::ios), QStringLiteral("develop"));
    EXPECT_EQ(sheet->lists().value(Kind::ios).first(), QStringLiteral("develop"));
    EXPECT_EQ(sheet->preview(Kind::ios), base + "/repos/app-ios-develop-worktrees/feat-cairn");
    // And one that goes away is no longer chosen.
    setRepos("", ios3);
    EXPECT_FALSE(sheet->setupCard(Kind::android).check->isChecked());
    EXPECT_FALSE(sheet->startButton()->isEnabled());
}

TEST_F(DevelopSheetTest, RunsToChangedFilesThenClosesMidRun)
{
    fake.setScenario({{"steps", QJsonArray{assistantTool("t1", "Write", "feature/harbor/A.kt"),
                                          QJsonObject{{"writeFile", "feature/harbor/A.kt"}, {"content", "class A\n"}},
                                          QJsonObject{{"writeFile", "src/Main.kt"}, {"content", "fun main() { a() }\n"}},
                                          FakeClaude::resultEvent("  - A.kt 만듦\n- Main.kt 고침\n")}}});
    open();
    ASSERT_TRUE(listed(Kind::android));
    const QString previewed = sheet->preview(Kind::android);
    // Return starts, as the default button.
    sheet->nameField()->setFocus();
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    ASSERT_FALSE(Developer::shared().runs().isEmpty());
    EXPECT_TRUE(sheet->progressFace()->isVisible());
    EXPECT_TRUE(sheet->stopButton()->isVisible());
    EXPECT_TRUE(sheet->closeBehindButton()->isVisible());
    EXPECT_TRUE(sheet->closeBehindButton()->isDefault());
    EXPECT_FALSE(sheet->startButton()->isVisible());
    EXPECT_FALSE(sheet->runCard(Kind::ios).frame->isVisible());
    ASSERT_TRUE(settled());

    const Developer::Run run = Developer::shared().runs().value(Kind::android);
    ASSERT_EQ(run.phase, Phase::done) << run.detail.toStdString();
    EXPECT_EQ(run.worktree, previewed);
    const DevelopSheet::RunCard &card = sheet->runCard(Kind::android);
    EXPECT_FALSE(card.spinner->isVisible());
    EXPECT_EQ(card.mark->property("symbol").toString(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(card.mark->property("tone").toString(), QStringLiteral("green"));
    EXPECT_EQ(card.title->text(), QStringLiteral("Android · feat/harbor_clips"));
    EXPECT_EQ(card.detail->text(), QStringLiteral("바뀐 파일 2개"));
    EXPECT_TRUE(card.summaryArea->isVisible());
    EXPECT_EQ(card.summary->text(), QStringLiteral("- A.kt 만듦\n- Main.kt 고침"));
    EXPECT_LE(card.summaryArea->maximumHeight(), 180);
    EXPECT_TRUE(card.changed->isVisible());
    EXPECT_EQ(card.changed->text(), QStringLiteral("바뀐 파일 2개"));
    EXPECT_EQ(card.clock->text(), DevelopSheet::elapsedText(run.started, *run.ended));
    card.openFolder->click();
    EXPECT_EQ(desktop->revealed, QStringList{previewed});
    EXPECT_EQ(sh(previewed, {"rev-parse", "--abbrev-ref", "HEAD"}), QStringLiteral("feat/harbor_clips"));

    EXPECT_TRUE(sheet->restartButton()->isVisible());
    EXPECT_TRUE(sheet->closeButton()->isDefault());
    EXPECT_FALSE(sheet->stopButton()->isVisible());
    sheet->restartButton()->click();
    EXPECT_TRUE(sheet->setupFace()->isVisible());
    EXPECT_EQ(sheet->nameField()->text(), QStringLiteral("feat/harbor_clips"));
    EXPECT_EQ(sheet->base().value(Kind::android), QStringLiteral("main"));

    // A work name that is no branch name ends in the red card, making
    // nothing.
    const QStringList before = tree(base + "/repos");
    sheet->nameField()->clear();
    QTest::keyClicks(sheet->nameField(), "..");
    sheet->startButton()->click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(Developer::shared().runs().value(Kind::android).phase, Phase::failed);
    EXPECT_EQ(card.mark->property("symbol").toString(), QStringLiteral("xmark.octagon.fill"));
    EXPECT_EQ(card.mark->property("tone").toString(), QStringLiteral("red"));
    EXPECT_EQ(card.detail->text(), Developer::shared().runs().value(Kind::android).detail);
    EXPECT_FALSE(card.folderRow->isVisible());
    EXPECT_FALSE(card.summaryArea->isVisible());
    EXPECT_EQ(tree(base + "/repos"), before);

    // Closing mid-run keeps it going; reopening shows it.
    fake.setScenario({{"steps", QJsonArray{assistantTool("t1", "Edit", "src/Main.kt"),
                                          assistantTool("t2", "Write", "src/B.kt"),
                                          QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    sheet->restartButton()->click();
    sheet->nameField()->clear();
    QTest::keyClicks(sheet->nameField(), "feat/second");
    ASSERT_TRUE(listed(Kind::android));
    sheet->startButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([] { return Developer::shared().runs().value(Kind::android).edits == 2; }, 30000));
    EXPECT_TRUE(card.spinner->isVisible());
    EXPECT_FALSE(card.mark->isVisible());
    EXPECT_TRUE(card.detail->text().endsWith(QStringLiteral(" · 수정 2번"))) << card.detail->text().toStdString();
    EXPECT_TRUE(card.folderRow->isVisible());
    EXPECT_FALSE(card.changed->isVisible());
    const QString shown = card.clock->text();
    EXPECT_TRUE(QTest::qWaitFor([&] { return card.clock->text() != shown; }, 60000)) << "the clock ticks";

    // Escape closes; the run goes on.
    QTest::keyClick(sheet.data(), Qt::Key_Escape);
    QTest::qWait(50);
    EXPECT_TRUE(sheet.isNull());
    QTest::qWait(300);
    EXPECT_TRUE(Developer::shared().isRunning());

    open();
    EXPECT_TRUE(sheet->progressFace()->isVisible());
    EXPECT_TRUE(sheet->runCard(Kind::android).spinner->isVisible());
    sheet->closeBehindButton()->click();
    QTest::qWait(50);
    EXPECT_TRUE(Developer::shared().isRunning());

    open();
    sheet->stopButton()->click();
    ASSERT_TRUE(settled());
    EXPECT_EQ(sheet->runCard(Kind::android).detail->text(),
              QStringLiteral("멈췄어요. 그때까지 쓴 코드는 작업 폴더에 남아 있어요."));
    EXPECT_TRUE(sheet->closeButton()->isVisible());
}


namespace {

// Pixels of exactly the colour in a widget's picture.
qsizetype pixelsOf(const QImage &image, const QColor &colour)
{
    qsizetype count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixelColor(x, y) == colour;
    return count;
}

} // namespace

// With the window's style, every stop of the Tab round looks different
// with the focus than without it, the first one after opening included;
// a focused button wears a ring of the highlight colour that the default
// button's frame does not show.
TEST_F(DevelopSheetTest, EveryTabStopShowsItsFocus)
{
    FocusStyle::install();
    open();
    sheet->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(sheet.data()));
    ASSERT_TRUE(listed(Kind::android));
    const QColor highlight = sheet->palette().color(QPalette::Highlight);
    QPushButton *start = nullptr;
    for (QPushButton *button : sheet->findChildren<QPushButton *>())
        if (button->text() == "시작")
            start = button;
    ASSERT_TRUE(start && start->isDefault());

    QList<QWidget *> stops;
    for (int tab = 0; tab < 12; ++tab) {
        QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : sheet.data(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        ASSERT_TRUE(focus);
        if (stops.contains(focus))
            break;
        stops.append(focus);
        const QImage focused = focus->grab().toImage();
        focus->clearFocus();
        const QImage plain = focus->grab().toImage();
        focus->setFocus(Qt::TabFocusReason);
        const auto *button = qobject_cast<QPushButton *>(focus);
        SCOPED_TRACE(button ? button->text().toStdString() : focus->metaObject()->className());
        EXPECT_NE(focused, plain);
        if (button) {
            const qsizetype ring = 2 * (button->width() + button->height());
            EXPECT_GE(pixelsOf(focused, highlight), ring);
            EXPECT_LT(pixelsOf(plain, highlight), ring / 4);
        }
    }
    EXPECT_GE(stops.size(), 5);
    EXPECT_TRUE(stops.contains(start));
}

// While a development run works on the plan, which it holds to its end,
// the plan's revise panel offers neither a revision nor an undo; once the
// run has ended, it offers them again.
TEST_F(DevelopSheetTest, TheRevisePanelOffersNoRevisionWhileTheRunWorks)
{
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    ReviseDrafts::of(planDir).request = QStringLiteral("제목을 고쳐 줘");
    const std::unique_ptr<RevisePanel> panel = std::make_unique<RevisePanel>(state.get(), planDir, std::function<void()>());
    QPushButton *revise = panel->findChild<QPushButton *>(QStringLiteral("revise"));
    ASSERT_TRUE(revise);
    EXPECT_TRUE(revise->isEnabled());
    open();
    ASSERT_TRUE(listed(Kind::android));
    QTest::keyClick(sheet->nameField(), Qt::Key_Return);
    ASSERT_TRUE(Developer::shared().isRunning());
    EXPECT_FALSE(revise->isEnabled());
    EXPECT_FALSE(panel->findChild<QPushButton *>(QStringLiteral("undo"))->isEnabled());
    Developer::shared().cancel();
    ASSERT_TRUE(settled());
    EXPECT_TRUE(revise->isEnabled());
    ReviseDrafts::clear(planDir);
}
