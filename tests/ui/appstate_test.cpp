#include "library.h"
#include "support/qtprinters.h"

#include "core/jsoncoding.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "settings/updater.h"
#include "support/fakeclaude.h"

#include <QJsonArray>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

namespace {

QStringList urls(const QList<PlanRef> &plans)
{
    QStringList out;
    for (const PlanRef &ref : plans)
        out.append(ref.url);
    return out;
}

} // namespace

using AppStateScan = Library;

TEST_F(AppStateScan, ListsPlansNewestFirstWithExtraFoldersAndTwinsOnce)
{
    const QString a = makePlan(output + "/a", "가 계획", "Alpha", 30, {"open", "decided", "asked"});
    const QString b = makePlan(output + "/.hidden", "", "Beta", 60);
    // Equal dates keep the scan's order: output children, then remembered.
    const QString c = makePlan(output + "/c", "다", "Gamma", 10);
    const QString extra = makePlan(root.path() + "/elsewhere/x", "바깥", "Extra", 10);
    const QString twin = makePlan(root.path() + "/elsewhere/y", "쌍둥이", "Twin", 5);
    write(output + "/unfinished/request.json", "{}");
    write(output + "/both/request.json", "{}");
    makePlan(output + "/both", "둘 다", "Both", 0);
    write(output + "/broken/plan.json", "[1, 2]");
    write(output + "/loose.json", "{}");
    // 64 GB of nothing is no plan either, nor a request to name an
    // unfinished run by, and the start goes on past both.
    write(output + "/huge/plan.json", "");
    ASSERT_TRUE(QFile::resize(output + "/huge/plan.json", qint64(64) << 30));
    write(output + "/vast/request.json", "");
    ASSERT_TRUE(QFile::resize(output + "/vast/request.json", qint64(64) << 30));

    AppSettings settings = stored();
    settings.extraDirs = {extra, twin + "/", root.path() + "/elsewhere/z/../y", output + "/a/",
                          root.path() + "/missing"};
    settings.save();

    AppState state;
    awaitFiles(state);
    // c and the first remembered folder share a date: the output child
    // comes first; the twins of y are listed once.
    EXPECT_EQ(urls(state.plans()), (QStringList{output + "/.hidden/", output + "/a/", output + "/c/", extra + "/",
                                                twin + "/", output + "/both/"}));
    const PlanRef &hidden = state.plans()[0];
    EXPECT_EQ(hidden.title, ".hidden");
    EXPECT_EQ(hidden.feature, "Beta");
    const PlanRef &alpha = state.plans()[1];
    EXPECT_EQ(alpha.title, "가 계획");
    EXPECT_EQ(alpha.openDecisions, 2);
    EXPECT_EQ(alpha.modified, QDateTime(QDate(2026, 3, 1), QTime(9, 0, 30), Qt::UTC));

    EXPECT_EQ(state.unfinished(), (QStringList{output + "/unfinished/", output + "/vast/"}));
    // The scan never changes the settings.
    EXPECT_EQ(stored().extraDirs.size(), 5);

    // A missing output folder lists the remembered folders only.
    settings.outputDir = root.path() + "/nowhere";
    settings.extraDirs = {extra};
    settings.save();
    AppState elsewhere;
    awaitFiles(elsewhere);
    EXPECT_EQ(urls(elsewhere.plans()), QStringList{extra + "/"});
    EXPECT_TRUE(elsewhere.unfinished().isEmpty());
}

// The library reads only what its entries show; each entry still equals
// what the whole plan's decode gives, however odd the file.
TEST_F(AppStateScan, EntriesMatchTheWholePlansReading)
{
    const QByteArray cases[] = {
        read(QUARRYSTONE_SOURCE_DIR "/examples/sample-plan/plan.json"),
        R"({"meta": "not an object", "decisions": {"a": 1}})",
        R"({"meta": {"title": 7, "feature": "F"}, "decisions": [1, null, {"id": "x"}, {"status": "decided"}]})",
        R"({"meta": {"title": "제목"}, "decisions": [{"id": "a", "status": null}, {"id": "b", "status": "asked"}]})",
        "{}",
    };
    int n = 0;
    for (const QByteArray &bytes : cases)
        write(output + QString("/p%1/plan.json").arg(++n), bytes);
    AppState state;
    awaitFiles(state);
    ASSERT_EQ(state.plans().size(), n);
    for (const PlanRef &ref : state.plans()) {
        const Plan plan = Plan::decode(read(ref.url + "plan.json"));
        const QString name = QFileInfo(ref.url.chopped(1)).fileName();
        EXPECT_EQ(ref.title, plan.meta.title.isEmpty() ? name : plan.meta.title) << name.toStdString();
        EXPECT_EQ(ref.feature, plan.meta.feature) << name.toStdString();
        EXPECT_EQ(ref.openDecisions, plan.openDecisions().size()) << name.toStdString();
    }
}

using AppStateSelection = Library;

TEST_F(AppStateSelection, LoadsWhatTheSelectionNamesOnceAndOnlyOnChange)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha", 10, {"open"});
    const QString outside = makePlan(root.path() + "/outside", "", "Out", 20);
    AppState state;
    awaitFiles(state);
    EXPECT_EQ(state.selection(), Selection::newPlan());
    EXPECT_FALSE(state.planDir());
    QSignalSpy planLoads(&state, &AppState::planChanged);
    QSignalSpy selections(&state, &AppState::selectionChanged);
    OpenCounter opens(a + "/plan.json");
    // The form again only raises the token.
    state.openNewPlan();
    awaitFiles(state);
    EXPECT_EQ(state.newPlanToken(), 1);
    EXPECT_EQ(selections.count(), 0);

    state.setSelection(Selection::plan(a + "/"));
    awaitFiles(state);
    EXPECT_EQ(state.planDir(), a + "/");
    EXPECT_EQ(state.plan().meta.title, "에이");
    EXPECT_EQ(planLoads.count(), 1);
    EXPECT_EQ(opens.take(), 1);

    // The same selection again loads nothing; a spelling of the same folder
    // that is not in standard form always loads, and is replaced.
    state.setSelection(Selection::plan(a + "/"));
    awaitFiles(state);
    EXPECT_EQ(planLoads.count(), 1);
    state.setSelection(Selection::plan(root.path() + "/plans/x/../a"));
    awaitFiles(state);
    EXPECT_EQ(state.selection(), Selection::plan(a + "/"));
    EXPECT_EQ(planLoads.count(), 2);
    EXPECT_EQ(opens.take(), 1);

    // A folder the library does not list yet goes to the front, read once.
    OpenCounter outsideOpens(outside + "/plan.json");
    ASSERT_EQ(state.plans().size(), 1);
    state.setSelection(Selection::plan(outside));
    awaitFiles(state);
    ASSERT_EQ(state.plans().size(), 2);
    EXPECT_EQ(state.plans().first().url, outside + "/");
    EXPECT_EQ(state.plans().first().title, "outside");
    EXPECT_EQ(outsideOpens.take(), 1);

    // Not a plan: planDir clears, the plan stays.
    state.setSelection(Selection::generating());
    awaitFiles(state);
    EXPECT_FALSE(state.planDir());
    EXPECT_EQ(state.plan().meta.feature, "Out");
    state.setSelection(std::nullopt);
    awaitFiles(state);
    EXPECT_FALSE(state.selection());

    // A folder whose plan cannot be read: a message, no planDir, the
    // previous plan kept.
    write(output + "/bad/plan.json", "not json");
    state.setSelection(Selection::plan(output + "/bad"));
    awaitFiles(state);
    EXPECT_FALSE(state.planDir());
    ASSERT_TRUE(state.message());
    EXPECT_TRUE(state.message()->startsWith("계획서를 열지 못했어요: "));
    EXPECT_EQ(state.plan().meta.feature, "Out");
    // The cause in Korean words, not the system's English.
    state.setSelection(Selection::plan(output + "/gone"));
    awaitFiles(state);
    EXPECT_EQ(state.message(), "계획서를 열지 못했어요: 파일이나 폴더가 없어요");

    state.setSelection(Selection::plan(a));
    awaitFiles(state);
    state.openNewPlan();
    awaitFiles(state);
    EXPECT_EQ(state.newPlanToken(), 2);
    EXPECT_EQ(state.selection(), Selection::newPlan());
    EXPECT_FALSE(state.planDir());
}

TEST_F(AppStateSelection, OpenRemembersEveryFolderTheScanWouldMiss)
{
    const QString inOutput = makePlan(output + "/direct", "안", "In");
    const QString sibling = makePlan(output + "-old/x", "옛", "Old");
    const QString deeper = makePlan(output + "/group/y", "깊은", "Deep");
    const QString outside = makePlan(root.path() + "/far/z", "먼", "Far");
    AppState state;
    awaitFiles(state);

    struct Case {
        QString dir;
        bool remembered;
    };
    for (const Case &c : {Case{inOutput, false}, Case{sibling, true}, Case{deeper, true}, Case{outside, true}}) {
        state.open(c.dir, true);
        awaitFiles(state);
        EXPECT_EQ(stored().extraDirs.contains(c.dir), c.remembered) << c.dir.toStdString();
        EXPECT_EQ(state.selection(), Selection::plan(c.dir + "/"));
        EXPECT_EQ(state.planDir(), c.dir + "/");
        EXPECT_TRUE(urls(state.plans()).contains(c.dir + "/"));
    }
    // Each stays in the library after a rescan, listed once.
    state.refresh();
    awaitFiles(state);
    EXPECT_EQ(state.plans().size(), 4);
    // Opening again, or under another spelling, remembers nothing more.
    state.open(outside + "/", true);
    awaitFiles(state);
    state.open(root.path() + "/far/./z", true);
    awaitFiles(state);
    EXPECT_EQ(stored().extraDirs, (QStringList{sibling, deeper, outside}));
    // Without remembering, nothing is stored; the folder is listed until
    // the next scan, and opening it with remembering then keeps it.
    const QString other = makePlan(root.path() + "/far/w", "딴", "Other");
    state.open(other, false);
    awaitFiles(state);
    EXPECT_EQ(stored().extraDirs.size(), 3);
    EXPECT_EQ(state.planDir(), other + "/");
    EXPECT_EQ(state.plans().first().url, other + "/");
    state.open(other, true);
    awaitFiles(state);
    EXPECT_EQ(stored().extraDirs.size(), 4);
    EXPECT_EQ(state.plans().size(), 5);
}

TEST_F(AppStateSelection, StartUpFollowsTheSettingsAndTheEnvironment)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    {
        AppState state;
        awaitFiles(state);
        EXPECT_FALSE(state.showSetup());
        EXPECT_EQ(state.selection(), Selection::newPlan());
    }
    AppSettings settings = stored();
    settings.setupDone = false;
    settings.save();
    {
        qputenv("QUARRYSTONE_OPEN", "");
        AppState state;
        awaitFiles(state);
        EXPECT_TRUE(state.showSetup());
        EXPECT_FALSE(state.planDir());
    }
    {
        qputenv("QUARRYSTONE_OPEN", a.toUtf8());
        AppState state;
        awaitFiles(state);
        EXPECT_FALSE(state.showSetup());
        EXPECT_EQ(state.selection(), Selection::plan(a + "/"));
        EXPECT_EQ(state.plan().meta.title, "에이");
        // The opened folder is not remembered.
        EXPECT_TRUE(stored().extraDirs.isEmpty());
    }
    qunsetenv("QUARRYSTONE_OPEN");

    // The tool is looked for beside the event loop: a profile that takes its
    // time holds up no start, and the tool it finds comes in later.
    {
        const QString home = QDir::homePath();
        write(home + "/tools/claude", "#!/bin/sh\n");
        QFile::setPermissions(home + "/tools/claude", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        write(home + "/.bash_profile",
              "while [ ! -e \"$HOME/release\" ]; do sleep 0.05; done\nexport PATH=\"$HOME/tools:$PATH\"\n");
        const auto cleanUp = qScopeGuard([&] {
            QFile::remove(home + "/.bash_profile");
            QFile::remove(home + "/release");
        });
        AppState state;
        EXPECT_TRUE(state.settings().claudePath.isEmpty());
        QSignalSpy changes(&state, &AppState::settingsChanged);
        write(home + "/release", "");
        EXPECT_TRUE(QTest::qWaitFor([&] { return state.settings().claudePath == home + "/tools/claude"; }, 60000));
        EXPECT_EQ(changes.count(), 1);
        awaitFiles(state);
    }
    EXPECT_TRUE(stored().claudePath.isEmpty());

    // Settings are saved only when changed.
    AppState state;
    awaitFiles(state);
    QSignalSpy changes(&state, &AppState::settingsChanged);
    const QString file = qEnvironmentVariable("QUARRYSTONE_SUPPORT") + "/settings.json";
    QFile::remove(file);
    state.setSettings(state.settings());
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_EQ(changes.count(), 0);
    AppSettings next = state.settings();
    next.userName = "다른 사람";
    state.setSettings(next);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(stored().userName, "다른 사람");
    state.setExtraDirs({"/x/y"});
    EXPECT_EQ(stored().extraDirs, QStringList{"/x/y"});
    EXPECT_EQ(state.extraDirs(), QStringList{"/x/y"});
}

TEST(AppStateForms, StandardFolderFormSelectionEqualityAndWeakHolder)
{
    for (const auto &[path, form] : std::initializer_list<std::pair<QString, QString>>{
             {"/a/b", "/a/b/"}, {"/a/b/", "/a/b/"}, {"/a/./c/../b//", "/a/b/"}, {"/", "/"},
             {"rel", QDir::currentPath() + "/rel/"}})
        EXPECT_EQ(AppState::standardFolder(path), form) << path.toStdString();
    EXPECT_EQ(Selection::plan("/a/"), Selection::plan("/a/"));
    EXPECT_NE(Selection::plan("/a/"), Selection::plan("/a"));
    EXPECT_EQ(Selection::newPlan(), (Selection{Selection::Kind::newPlan, "ignored"}));
    EXPECT_NE(Selection::newPlan(), Selection::generating());
    EXPECT_EQ(qHash(Selection::plan("/a/")), qHash(Selection::plan("/a/")));
    EXPECT_NE(qHash(Selection::newPlan()), qHash(Selection::generating()));

    EXPECT_EQ(AppStateHolder::state(), nullptr);
    auto state = std::make_unique<AppState>();
    AppStateHolder::setState(state.get());
    EXPECT_EQ(AppStateHolder::state(), state.get());
    state.reset();
    EXPECT_EQ(AppStateHolder::state(), nullptr);
}

TEST_F(AppStateSelection, StartUpRedraftsAnOpenedFolderOnlyWhenAskedAndLoadsTheResult)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    AppSettings settings = stored();
    settings.claudePath = FakeClaude::path();
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    settings.save();
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY123/App?node-id=12-34");
    input.feature = "Alpha";

    // Anything but "1", or no folder to open, starts nothing; so does an
    // unreadable request.
    qputenv("QUARRYSTONE_UPDATE_AUTOINSTALL", "true");
    qputenv("QUARRYSTONE_REDRAFT", "1");
    { AppState state; }
    qputenv("QUARRYSTONE_OPEN", a.toUtf8());
    qputenv("QUARRYSTONE_REDRAFT", "yes");
    write(a + "/request.json", JSONCoding::pretty(input));
    { AppState state; }
    qputenv("QUARRYSTONE_REDRAFT", "1");
    write(a + "/request.json", "{\"feature\": \"Alpha\"}");
    { AppState state; }
    EXPECT_FALSE(Generator::shared().phase().isRunning());
    EXPECT_EQ(Updater::shared().phase(), Updater::Phase::idle());

    // The saved request runs again in the same folder, reusing its design.
    write(a + "/request.json", JSONCoding::pretty(input));
    write(a + "/figma-section.json", R"({"fileKey":"KEY123","nodeId":"12:34","name":"S","frames":[],"notes":[]})");
    {
        AppState state;
        awaitFiles(state);
        EXPECT_TRUE(QTest::qWaitFor([] { return Generator::shared().phase().isRunning(); }, 60000));
        EXPECT_EQ(Generator::shared().runningDir(), a);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !fake.records("start").isEmpty(); }, 60000));
        EXPECT_FALSE(fake.records("start").first().value("stdin").toString().contains("- fileKey: KEY123"));
        EXPECT_EQ(state.planDir(), a + "/");
        Generator::shared().cancel();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !fake.records("sigterm").isEmpty(); }, 60000));
        ASSERT_TRUE(QTest::qWaitFor([] { return !Generator::shared().phase().isRunning(); }, 60000));
    }

    // A finished redraft loads the plan again, through none and back to the
    // same folder.
    const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"1:2"}}};
    const QJsonObject drafted{{"meta", QJsonObject{{"feature", "Alpha"}}}, {"screens", QJsonArray{screen}}};
    fake.setScenario({{"readStdin", true},
                      {"steps", QJsonArray{FakeClaude::resultEvent("```json\n" + QString::fromUtf8(QJsonDocument(drafted).toJson()) + "\n```")}}});
    AppState state;
    awaitFiles(state);
    for (const char *name : {"QUARRYSTONE_UPDATE_AUTOINSTALL", "QUARRYSTONE_REDRAFT", "QUARRYSTONE_OPEN"})
        qunsetenv(name);
    EXPECT_TRUE(state.plan().screens.isEmpty());
    QSignalSpy selections(&state, &AppState::selectionChanged);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state.plan().screens.size() == 1; }, 30000));
    EXPECT_EQ(selections.count(), 2);
    EXPECT_EQ(state.selection(), Selection::plan(a + "/"));
    EXPECT_EQ(state.planDir(), a + "/");
}
