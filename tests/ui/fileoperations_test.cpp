#include "library.h"
#include "support/qtprinters.h"

#include "app/mainwindow.h"
#include "app/planhtmlfilter.h"
#include "app/toast.h"
#include "core/folderlock.h"
#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "model/generateinput.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "support/executable.h"
#include "settings/apppaths.h"
#include "views/revisepanel.h"
#include "views/sidebar.h"
#include "views/sidebarmodel.h"
#include "support/fakeclaude.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QThreadPool>
#include <QTimer>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString samplePage = QStringLiteral(QUARRYSTONE_SOURCE_DIR "/examples/sample-plan/index.html");

QString today()
{
    return QDate::currentDate().toString("yyMMdd");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

} // namespace

class FileOperations : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        desktop = std::make_shared<TestDesktop>();
    }

    std::unique_ptr<AppState> makeState()
    {
        auto state = std::make_unique<AppState>();
        state->setDesktop(desktop);
        return state;
    }

    std::shared_ptr<TestDesktop> desktop;
};

TEST_F(FileOperations, RenameMovesTheFolderFollowsTheSelectionAndRefuses)
{
    const QString a = makePlan(output + "/a", "원래 제목", "Alpha", 10);
    const QString b = makePlan(output + "/b", "비", "Beta", 20);
    const QString far = makePlan(root.path() + "/far/c", "씨", "Gamma", 30);
    auto state = makeState();
    awaitFiles(*state);
    state->open(far, true);
    awaitFiles(*state);
    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    QSignalSpy loads(state.get(), &AppState::planChanged);

    state->rename(a, "  새 제목\n", " a2 ");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "이름을 바꿨어요");
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_EQ(state->selection(), Selection::plan(output + "/a2/"));
    EXPECT_EQ(state->planDir(), output + "/a2/");
    EXPECT_EQ(state->plan().meta.title, "새 제목");
    EXPECT_EQ(loads.count(), 1);
    // The whole folder was written with the new title.
    EXPECT_TRUE(read(output + "/a2/plan.md").contains("새 제목"));
    EXPECT_TRUE(QFileInfo::exists(output + "/a2/index.html"));

    // Another plan's rename leaves the selection alone; a remembered
    // folder stays remembered under its new path.
    state->rename(far, "", "c2");
    awaitFiles(*state);
    EXPECT_EQ(state->selection(), Selection::plan(output + "/a2/"));
    EXPECT_EQ(loads.count(), 1);
    EXPECT_EQ(stored().extraDirs, QStringList{root.path() + "/far/c2"});
    EXPECT_EQ(state->plans().size(), 3);

    // Nothing to change still rescans and reports.
    state->setMessage(std::nullopt);
    state->rename(b, "비", "b");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "이름을 바꿨어요");
    EXPECT_TRUE(QFileInfo::exists(b + "/plan.json"));
    EXPECT_FALSE(QFileInfo::exists(b + "/plan.md"));

    // Refusals, after the title asked for in the same call is written.
    const QString a2 = output + "/a2";
    struct Case {
        QString folder;
        QString message;
    };
    for (const Case &c : {Case{"x/y", "폴더 이름에 / 나 맨 앞 . 은 쓸 수 없어요"},
                          Case{".hidden", "폴더 이름에 / 나 맨 앞 . 은 쓸 수 없어요"},
                          Case{"b", "같은 이름의 폴더가 이미 있어요: b"}}) {
        const QString title = "제목 " + c.folder;
        state->rename(a2, title, c.folder);
        awaitFiles(*state);
        EXPECT_EQ(state->message(), c.message);
        EXPECT_EQ(Plan::decode(read(a2 + "/plan.json")).meta.title, title);
    }
    EXPECT_EQ(entries(output), (QStringList{"a2", "b"}));

    // A folder where the page goes makes the folder write fail: nothing moves.
    // The plan's next reading may then say that it could not redraw the
    // page either, so every message shown counts, not only the last.
    QFile::remove(a2 + "/index.html");
    write(a2 + "/index.html/keep", "x");
    QStringList shown;
    const QMetaObject::Connection watch = QObject::connect(state.get(), &AppState::messageChanged, [&] {
        if (state->message())
            shown << *state->message();
    });
    state->rename(a2, "새 이름", "a3");
    awaitFiles(*state);
    QObject::disconnect(watch);
    ASSERT_FALSE(shown.isEmpty());
    EXPECT_TRUE(shown.first().startsWith("이름을 바꾸지 못했어요: ")) << shown.join(" | ").toStdString();
    EXPECT_TRUE(QFileInfo::exists(a2));
    EXPECT_FALSE(QFileInfo::exists(output + "/a3"));
}

TEST_F(FileOperations, RenameKeepsWhatTheRewriteWouldDrop)
{
    const QString a = output + "/a";
    const QByteArray original = R"({"meta": {"title": "옛 제목", "feature": "Alpha", "owner": "기획팀"}, "extra": [1]})";
    write(a + "/plan.json", original);
    auto state = makeState();
    awaitFiles(*state);

    state->rename(a, "새 제목", "");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "이름을 바꿨어요");
    const QStringList history = entries(a + "/history");
    ASSERT_EQ(history.size(), 1);
    EXPECT_TRUE(history.first().startsWith("kept-"));
    EXPECT_EQ(read(a + "/history/" + history.first()), original);
    // The copy is no undo point: an undo still goes back past the last
    // revision, not to the old title.
    EXPECT_FALSE(Reviser::lastBackup(a));
    EXPECT_EQ(Plan::decode(read(a + "/plan.json")).meta.title, "새 제목");

    // A plain plan is rewritten without a copy.
    const QString b = makePlan(output + "/b", "비", "Beta");
    state->rename(b, "새 비", "");
    awaitFiles(*state);
    EXPECT_FALSE(QFileInfo::exists(b + "/history"));

    // When the copy cannot be made, nothing is written or moved.
    const QString c = output + "/c";
    write(c + "/plan.json", original);
    write(c + "/history", "a file where the folder goes");
    state->rename(c, "새 제목", "c2");
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_TRUE(state->message()->startsWith("이름을 바꾸지 못했어요: ")) << state->message()->toStdString();
    EXPECT_EQ(read(c + "/plan.json"), original);
    EXPECT_TRUE(QFileInfo::exists(c));

    // Neither is anything moved when plan.json cannot be read: a linked
    // one, one nobody may read. Half a rename is not reported as one.
    const QString d = makePlan(output + "/d", "디", "Delta");
    QFile::rename(d + "/plan.json", output + "/elsewhere.json");
    QFile::link(output + "/elsewhere.json", d + "/plan.json");
    const QString e = makePlan(output + "/e", "이", "Epsilon");
    QFile::setPermissions(e + "/plan.json", QFileDevice::WriteOwner);
    const bool readable = QFile(e + "/plan.json").open(QIODevice::ReadOnly);
    for (const auto &[folder, cause] : {std::pair{d, QString("링크예요(따라가지 않아요)")}, std::pair{e, QString("권한이 없어요")}}) {
        if (folder == e && readable)
            continue;
        SCOPED_TRACE(folder.toStdString());
        state->rename(folder, "새 제목", "moved");
        awaitFiles(*state);
        EXPECT_EQ(state->message(), "이름을 바꾸지 못했어요: plan.json (" + cause + ")");
        EXPECT_TRUE(QFileInfo::exists(folder));
        EXPECT_FALSE(QFileInfo::exists(output + "/moved"));
    }
}

TEST_F(FileOperations, ExportProposesANameAndCopiesThePage)
{
    const QString a = makePlan(output + "/a", "A/B 화면", "Alpha");
    write(a + "/index.html", "<html>page</html>");
    const QString untitled = makePlan(output + "/untitled", "", "Beta");
    write(untitled + "/index.html", "<html>other</html>");
    auto state = makeState();
    awaitFiles(*state);

    // Nothing loaded and no folder given: no panel.
    state->exportHTML();
    awaitFiles(*state);
    EXPECT_TRUE(desktop->messages.isEmpty());

    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    const QString target = root.path() + "/sent.html";
    write(target, "old contents");
    desktop->next = target;
    state->exportHTML();
    awaitFiles(*state);
    EXPECT_EQ(desktop->proposed, "A_B 화면 계획서 " + today() + ".html");
    EXPECT_EQ(desktop->proposedFolder, output);
    EXPECT_EQ(desktop->messages.last(),
              "이 파일 하나만 보내면 돼요. 받은 사람은 브라우저로 보거나, 앱에서 가져와 고칠 수 있어요.");
    EXPECT_EQ(read(target), "<html>page</html>");
    EXPECT_EQ(desktop->revealed, QStringList{target});
    EXPECT_EQ(state->message(), "내보냈어요: sent.html");

    // An empty title proposes the folder's name; a cancelled panel does
    // nothing.
    state->setMessage(std::nullopt);
    state->exportHTML(untitled);
    awaitFiles(*state);
    EXPECT_EQ(desktop->proposed, "untitled 계획서 " + today() + ".html");
    EXPECT_FALSE(state->message());

    // The plan's own page as the target stays whole.
    desktop->next = a + "/index.html";
    state->exportHTML(a);
    awaitFiles(*state);
    EXPECT_EQ(read(a + "/index.html"), "<html>page</html>");
    EXPECT_EQ(state->message(), "내보냈어요: index.html");

    // A folder that cannot be shown leaves the success in sight, with a
    // note: the file is written all the same.
    desktop->opens = false;
    desktop->next = target;
    state->exportHTML(a);
    awaitFiles(*state);
    EXPECT_EQ(read(target), "<html>page</html>");
    EXPECT_EQ(state->message(), "내보냈어요: sent.html (폴더는 열지 못했어요)");
    desktop->opens = true;

    // A copy that fails leaves the file that was there.
    write(target, "earlier export");
    QFile::remove(a + "/index.html");
    desktop->next = target;
    state->exportHTML(a);
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_TRUE(state->message()->startsWith("내보내지 못했어요: "));
    EXPECT_EQ(read(target), "earlier export");

    write(a + "/index.html", "<html>page</html>");
    desktop->next = root.path() + "/missing/folder/x.html";
    state->exportHTML(a);
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "내보내지 못했어요: 파일이나 폴더가 없어요");
    EXPECT_EQ(desktop->revealed, (QStringList{target, a + "/index.html", target}));
}

TEST_F(FileOperations, ImportMakesANewPlanFolderEachTimeInsideTheOutputFolder)
{
    auto state = makeState();
    awaitFiles(*state);
    state->importHTML(samplePage);
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "새 계획서로 가져왔어요");
    const QString first = output + "/Gift-plan/";
    EXPECT_EQ(state->selection(), Selection::plan(first));
    EXPECT_EQ(state->planDir(), first);
    EXPECT_EQ(state->plan().meta.feature, "Gift");
    for (const char *file : {"plan.json", "plan.md", "index.html", "img/node-101-1.png"})
        EXPECT_TRUE(QFileInfo::exists(first + file)) << file;
    // The log starts with the import, by the user.
    const QString log = QString::fromUtf8(read(first + "history/revisions.md"));
    EXPECT_TRUE(log.contains("(가져오기) index.html")) << log.toStdString();
    EXPECT_TRUE(log.contains("- 공유받은 HTML 로 계획서를 바꿈"));
    EXPECT_TRUE(log.contains("tester"));

    state->importHTML(samplePage);
    awaitFiles(*state);
    EXPECT_EQ(state->selection(), Selection::plan(output + "/Gift-plan-2/"));
    state->importHTML(samplePage);
    awaitFiles(*state);
    EXPECT_EQ(state->selection(), Selection::plan(output + "/Gift-plan-3/"));
    EXPECT_EQ(state->plans().size(), 3);
    EXPECT_EQ(read(first + "plan.json"), read(output + "/Gift-plan-2/plan.json"));

    // A foreign page's feature names one folder inside the output folder.
    struct Case {
        QString feature;
        QString folder;
    };
    int n = 0;
    for (const Case &c : {Case{"../../escaped", ".._.._escaped-plan"}, Case{"", "Imported-plan"},
                          Case{"a\\b", "a_b-plan"}}) {
        const QString source = root.path() + QString("/source%1").arg(++n);
        Plan plan;
        plan.meta.feature = c.feature;
        plan.meta.title = "남의 계획서";
        Exporter::writeAll(plan, source, Conventions::builtIn());
        state->importHTML(source + "/index.html");
        awaitFiles(*state);
        EXPECT_EQ(state->message(), "새 계획서로 가져왔어요");
        EXPECT_EQ(state->planDir(), output + "/" + c.folder + "/") << c.feature.toStdString();
    }
    EXPECT_EQ(entries(root.path()), (QStringList{"plans", "source1", "source2", "source3"}));

    // A page that is not a plan page: the importer's own sentence.
    write(root.path() + "/other.html", "<html><body>hello</body></html>");
    state->importHTML(root.path() + "/other.html");
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_NE(state->message(), "새 계획서로 가져왔어요");
    EXPECT_FALSE(state->message()->isEmpty());
    EXPECT_EQ(entries(output).size(), 6);

    // An output folder that cannot be made: the reason, and nothing opened.
    AppSettings settings = state->settings();
    settings.outputDir = root.path() + "/other.html/plans";
    state->setSettings(settings);
    state->importHTML(samplePage);
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_EQ(*state->message(), "가져오지 못했어요: 폴더가 아니에요");
    EXPECT_EQ(state->planDir(), output + "/a_b-plan/");

    // A cleared output folder field means the folder loading the settings
    // fills in, never the file-system root or the working folder; the plan
    // stays in the library after the next start.
    for (const QString &cleared : {QString(), QString("  ")}) {
        settings.outputDir = cleared;
        state->setSettings(settings);
        state->importHTML(samplePage);
        awaitFiles(*state);
        EXPECT_EQ(state->message(), "새 계획서로 가져왔어요");
        ASSERT_TRUE(state->planDir());
        EXPECT_TRUE(state->planDir()->startsWith(AppSettings::defaultOutputDir() + "/Gift-plan"))
            << state->planDir()->toStdString();
        EXPECT_FALSE(QFileInfo::exists("/Gift-plan"));
        EXPECT_FALSE(QFileInfo::exists(QDir::current().filePath("Gift-plan")));
    }
    const QString imported = *state->planDir();
    auto restarted = makeState();
    awaitFiles(*restarted);
    EXPECT_TRUE(std::any_of(restarted->plans().begin(), restarted->plans().end(),
                            [&](const PlanRef &ref) { return ref.url == imported; }));

    // Into a plan where a picture's place is a link out of the folder: no
    // import, as on the command line, and the plan and the linked file stay.
    const QString linked = makePlan(output + "/linked", "링크", "Linked");
    QDir().mkpath(linked + "/img");
    write(root.path() + "/outside.png", "outside");
    ASSERT_TRUE(QFile::link(root.path() + "/outside.png", linked + "/img/node-101-1.png"));
    const QByteArray planBefore = read(linked + "/plan.json");
    state->setMessage(std::nullopt);
    state->applyImport(Importer::read(samplePage), linked);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->message().has_value(); }, 60000));
    awaitFiles(*state);
    EXPECT_TRUE(state->message()->startsWith("그림을 쓰지 못해 가져오지 않았어요: img/node-101-1.png"))
        << state->message()->toStdString();
    EXPECT_EQ(read(linked + "/plan.json"), planBefore);
    EXPECT_EQ(read(root.path() + "/outside.png"), "outside");
}

// An import into an existing plan, stopped while its files are written,
// leaves the plan's files as they were.
TEST_F(FileOperations, AStoppedImportIntoAPlanLeavesItsFilesAsTheyWere)
{
    if (!HeldFile::canHold())
        GTEST_SKIP() << "holding a reader needs the right to take fanotify permission events";
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    write(a + "/plan.md", "old md");
    write(a + "/index.html", "old html");
    const auto files = [&] {
        QStringList digests;
        for (const char *file : {"/plan.json", "/plan.md", "/index.html"})
            digests.append(file + QString::fromLatin1(QCryptographicHash::hash(read(a + file), QCryptographicHash::Sha1).toHex()));
        return digests;
    };
    const QStringList before = files();
    auto state = makeState();
    awaitFiles(*state);
    QDir().mkpath(AppPaths::support());
    {
        // Held where the plan's files are about to be written.
        HeldFile held(QDir(AppPaths::support()).filePath("conventions.json"), "{}");
        held.holdUntilReleased();
        state->applyImport(Importer::read(samplePage), a);
        ASSERT_TRUE(QTest::qWaitFor([&] { return held.readerHeld(); }, 60000));
        EXPECT_EQ(state->tasks(), QStringList{"가져오는 중"});
        state->stopTasks();
        held.release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "가져오기를 멈췄어요"; }, 60000));
    }
    EXPECT_EQ(files(), before);
    EXPECT_TRUE(state->tasks().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(a + "/history/revisions.md"));
}

TEST_F(FileOperations, TrashMovesTheFolderToTheUsersTrash)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    const QString far = makePlan(root.path() + "/far", "먼", "Far");
    // The user's data folder does not exist yet; the Trash is made in it
    // all the same, never in the working folder.
    const QString trash = qEnvironmentVariable("XDG_DATA_HOME") + "/Trash";
    ASSERT_FALSE(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME")));
    const QString cwd = root.path() + "/cwd";
    QDir().mkpath(cwd);
    const QString before = QDir::currentPath();
    QDir::setCurrent(cwd);
    auto state = makeState();
    awaitFiles(*state);
    state->open(far, true);
    awaitFiles(*state);
    ASSERT_EQ(stored().extraDirs, QStringList{far});
    EXPECT_EQ(state->selection(), Selection::plan(far + "/"));

    state->trash(far + "/");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "휴지통으로 옮겼어요");
    EXPECT_FALSE(QFileInfo::exists(far));
    EXPECT_TRUE(stored().extraDirs.isEmpty());
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_TRUE(QFileInfo::exists(trash + "/files/far/plan.json"));
    EXPECT_TRUE(read(trash + "/info/far.trashinfo").contains("Path="));
    EXPECT_TRUE(entries(cwd).isEmpty());
    QDir::setCurrent(before);

    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    state->trash(a);
    awaitFiles(*state);
    EXPECT_TRUE(QFileInfo::exists(trash + "/files/a/plan.json"));
    EXPECT_TRUE(state->plans().isEmpty());

    state->trash(output + "/missing");
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_TRUE(state->message()->startsWith("삭제하지 못했어요: "));
}

// A folder another process writes (its lock taken) is refused like a busy
// one and left as it is; a revision another run left interrupted is rolled
// back when the folder is opened, and the message says so.
TEST_F(FileOperations, LockedFoldersAreRefusedAndInterruptedRevisionsRolledBack)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    auto state = makeState();
    awaitFiles(*state);
    {
        // Nothing of the window works on the folder: the lock's own
        // sentence says why.
        const FolderLock elsewhere = FolderLock::take(a);
        state->trash(a);
        awaitFiles(*state);
        awaitFiles(*state);
        const QString locked = "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + a;
        EXPECT_EQ(state->message(), locked);
        EXPECT_TRUE(QFileInfo::exists(a + "/plan.json"));
        state->setMessage(std::nullopt);
        bool renamed = true;
        state->rename(a, "다른 제목", "b", [&](bool done) { renamed = done; });
        awaitFiles(*state);
        awaitFiles(*state);
        EXPECT_EQ(state->message(), locked);
        EXPECT_FALSE(renamed);
        EXPECT_TRUE(read(a + "/plan.json").contains("에이"));
        EXPECT_FALSE(QFileInfo::exists(output + "/b"));
    }
    {
        // A hold that ends within moments, as the window's own look at a
        // plan it opens, is waited out.
        auto brief = std::make_shared<std::optional<FolderLock>>(FolderLock::take(a));
        QTimer::singleShot(300, [brief] { brief->reset(); });
        state->setMessage(std::nullopt);
        state->renderPage(a);
        awaitFiles(*state);
        awaitFiles(*state);
        EXPECT_EQ(state->message(), QStringLiteral("index.html 을 다시 그렸어요"));
    }
    {
        // A folder that takes no new file is named as the cause of a failed
        // redraw, not plan.json, which the redraw did not need to change: a
        // read-only file system where one can be mounted (root passes by
        // permissions), else a folder without the right to write.
        const QString held = output + "/readonly";
        QDir().mkpath(held);
        const bool mounted = ::geteuid() == 0 && ::mount("tmpfs", QFile::encodeName(held).constData(), "tmpfs", 0, "size=4m") == 0;
        const auto unmount = qScopeGuard([&] {
            if (mounted)
                ::umount2(QFile::encodeName(held).constData(), MNT_DETACH);
        });
        const QString c = makePlan(held + "/c", "씨", "Gamma");
        const bool closed = mounted ? ::mount(nullptr, QFile::encodeName(held).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0
                                    : QFile::setPermissions(c, QFileDevice::ReadOwner | QFileDevice::ExeOwner)
                                          && !QFile(c + "/probe").open(QIODevice::WriteOnly);
        if (closed) {
            state->setMessage(std::nullopt);
            state->renderPage(c);
            awaitFiles(*state);
            awaitFiles(*state);
            EXPECT_EQ(state->message(), "index.html 을 다시 그리지 못했어요: " + c + " 폴더에 새 파일을 만들 수 없어요: "
                                            + (mounted ? "읽기 전용 파일 시스템이에요" : "권한이 없어요"));
        }
        QFile::setPermissions(c, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }

    const QByteArray before = read(a + "/plan.json");
    write(a + "/history/plan-261207-100000.json", before);
    write(a + "/history/revision-under-way", "plan-261207-100000.json");
    write(a + "/plan.json", "{half written");
    state->setMessage(std::nullopt);
    state->setSelection(Selection::plan(a));
    awaitFiles(*state);
    awaitFiles(*state);
    ASSERT_TRUE(state->message());
    EXPECT_TRUE(state->message()->startsWith("중단된 고치기를 되돌렸어요: ")) << qPrintable(*state->message());
    EXPECT_EQ(state->plan().meta.title, "에이");
    EXPECT_TRUE(read(a + "/plan.md").contains("에이"));
    EXPECT_FALSE(QFileInfo::exists(a + "/history/revision-under-way"));
    EXPECT_EQ(QDir(a + "/history").entryList({"kept-*.json"}, QDir::Files).size(), 1);
}

// The state may go while a rename or a move to the Trash still claims its
// folder (here: rewrites its stale page): the claim ends before the state
// has gone, and what it found to tell never reaches the gone state.
TEST_F(FileOperations, TheStateGoesWhileAClaimStillWorks)
{
    if (!HeldFile::canHold())
        GTEST_SKIP() << "holding a reader needs the right to take fanotify permission events";
    QDir().mkpath(AppPaths::support());
    for (const QString name : {"trashed", "renamed"}) {
        const QString a = makePlan(output + '/' + name, "에이", "Alpha");
        write(a + "/plan.md", "not made from plan.json");
        write(a + "/.quarrystone-made-from", "another plan");
        auto state = makeState();
        awaitFiles(*state);
        HeldFile held(QDir(AppPaths::support()).filePath("conventions.json"), "{}");
        held.holdUntilReleased();
        if (name == "renamed")
            state->rename(a, "새 제목", "renamed2");
        else
            state->trash(a);
        ASSERT_TRUE(QTest::qWaitFor([&] { return held.readerHeld(); }, 60000)) << qPrintable(name);
        // The claim goes on while the state goes, whose end may wait for it.
        std::thread releaser([&] { held.release(); });
        state.reset();
        EXPECT_FALSE(AppState::busy()) << qPrintable(name);
        releaser.join();
        // Whatever is still queued for the gone state is delivered now.
        QCoreApplication::processEvents();
        // The folder, where it stayed, is free again.
        for (const QString &left : {a, output + "/renamed2"}) {
            if (QFileInfo::exists(left)) {
                EXPECT_NO_THROW(FolderLock::take(left)) << qPrintable(name);
            }
        }
    }
}

// Every read and write of a plan folder's files runs beside the event loop:
// with a reader held at a file each step reads, the main thread goes on.
TEST_F(FileOperations, ReadsAndWritesOfPlanFilesLeaveTheMainThreadLive)
{
    if (!HeldFile::canHold())
        GTEST_SKIP() << "holding a reader needs the right to take fanotify permission events";
    const QString a = makePlan(output + "/a", "에이", "Alpha", 10);
    const QString held = output + "/held";
    QDir().mkpath(held);
    // Writing a plan folder reads the person's conventions first.
    QDir().mkpath(AppPaths::support());
    const QString conventions = QDir(AppPaths::support()).filePath("conventions.json");
    std::unique_ptr<AppState> state;
    const auto messageIs = [&](const QString &start) {
        return QTest::qWaitFor([&] { return state->message() && state->message()->startsWith(start); }, 60000);
    };
    QDir().mkpath(output + "/stopped");
    {
        HeldFile file(held + "/plan.json", planJson("붙잡힘", "Held"));
        GenerateInput stopped;
        stopped.link = *FigmaLink::parse("https://www.figma.com/design/KEY123/App?node-id=12-34");
        stopped.feature = "Stopped";
        stopped.title = "멈춘 계획";
        HeldFile request(output + "/stopped/request.json", QJsonDocument(stopped.toJson()).toJson());
        state = makeState();
        // Quitting waits for file work under way.
        EXPECT_TRUE(AppState::busy());
        SidebarModel rows(state.get(), Generator::shared());
        rows.rebuild();
        EXPECT_TRUE(file.liveWhileHeld()) << "library scan";
        EXPECT_TRUE(request.liveWhileHeld()) << "unfinished folder's title";
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->plans().size() == 2; }, 60000));
    EXPECT_EQ(state->unfinishedTitle(output + "/stopped/"), "멈춘 계획");
    {
        HeldFile file(a + "/plan.json", planJson("에이 둘", "Alpha"));
        state->setSelection(Selection::plan(a));
        EXPECT_TRUE(file.liveWhileHeld()) << "select";
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->plan().meta.title == "에이 둘"; }, 60000));

    // A load that a later selection overtook is dropped when it ends.
    const QString b = makePlan(output + "/b", "비", "Beta", 20);
    state->setSelection(Selection::newPlan());
    {
        HeldFile file(a + "/plan.json", planJson("에이 늦음", "Alpha"));
        state->setSelection(Selection::plan(a));
        state->setSelection(Selection::plan(b));
        EXPECT_TRUE(file.liveWhileHeld()) << "overtaken select";
    }
    awaitFiles(*state);
    EXPECT_EQ(state->planDir(), b + "/");
    EXPECT_EQ(state->plan().meta.title, "비");

    write(a + "/plan.json", planJson("에이 셋", "Alpha"));
    write(a + "/history/plan-261207-100000.json", planJson("에이 둘", "Alpha"));
    write(a + "/history/revision-under-way", "plan-261207-100000.json");
    state->setSelection(Selection::newPlan());
    awaitFiles(*state);
    {
        HeldFile file(conventions, "{}");
        state->setSelection(Selection::plan(a));
        EXPECT_TRUE(file.liveWhileHeld()) << "rollback of an interrupted revision";
    }
    EXPECT_TRUE(messageIs("중단된 고치기를 되돌렸어요"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->plan().meta.title == "에이 둘"; }, 60000));

    write(a + "/history/plan-261208-100000.json", planJson("에이 넷", "Alpha"));
    {
        HeldFile file(conventions, "{}");
        ASSERT_TRUE(Reviser::shared().undo(a, state->settings()));
        EXPECT_TRUE(file.liveWhileHeld()) << "undo";
    }
    EXPECT_TRUE(QTest::qWaitFor([] { return !Reviser::shared().phase().isRunning(); }, 60000));
    EXPECT_EQ(Reviser::shared().phase().kind, Reviser::Phase::Kind::done) << qPrintable(Reviser::shared().phase().text);
    EXPECT_TRUE(read(a + "/plan.json").contains("에이 넷"));

    state->setMessage(std::nullopt);
    {
        HeldFile file(conventions, "{}");
        state->rename(a, "새 제목", "a");
        EXPECT_TRUE(file.liveWhileHeld()) << "rename";
    }
    EXPECT_TRUE(messageIs("이름을 바꿨어요"));
    EXPECT_TRUE(read(a + "/plan.md").contains("새 제목"));

    state->setMessage(std::nullopt);
    desktop->next = root.path() + "/shared.html";
    const QByteArray page = read(a + "/index.html");
    const QByteArray plan = read(a + "/plan.json");
    {
        HeldFile title(a + "/plan.json", plan);
        HeldFile copied(a + "/index.html", page);
        state->exportHTML(a);
        EXPECT_TRUE(title.liveWhileHeld()) << "export's title";
        EXPECT_TRUE(copied.liveWhileHeld()) << "export's copy";
    }
    EXPECT_TRUE(messageIs("내보냈어요"));
    EXPECT_EQ(read(root.path() + "/shared.html"), page);

    state->setMessage(std::nullopt);
    {
        HeldFile file(conventions, "{}");
        state->importHTML(root.path() + "/shared.html");
        EXPECT_TRUE(file.liveWhileHeld()) << "import";
    }
    EXPECT_TRUE(messageIs("새 계획서로 가져왔어요"));
    EXPECT_TRUE(awaitFiles(*state));

    // The revise panel's revision log and its undo, from the history folder.
    write(a + "/history/revisions.md", "## 2026-12-07 10:00 · tester\n\n> 제목\n\n- 제목을 바꿈\n\n");
    {
        HeldFile log(a + "/history/revisions.md", read(a + "/history/revisions.md"));
        RevisePanel panel(state.get(), a, {});
        EXPECT_TRUE(log.liveWhileHeld()) << "revision log";
        auto *text = panel.findChild<QLabel *>("logText");
        ASSERT_TRUE(text);
        EXPECT_TRUE(QTest::qWaitFor([&] { return text->text().contains("제목을 바꿈"); }, 60000));
    }
    {
        HeldFile history(a + "/history", HeldFile::Folder::itself);
        RevisePanel panel(state.get(), a, {});
        EXPECT_TRUE(history.liveWhileHeld()) << "undo's backups";
    }
    {
        // A revision asked in the panel takes its folder, which reads all
        // of plan.json to see whether the page was made from it.
        RevisePanel panel(state.get(), a, {});
        HeldFile plan(a + "/plan.json", read(a + "/plan.json"));
        panel.findChild<QPlainTextEdit *>("request")->setPlainText("제목을 바꿔 줘");
        panel.findChild<QPushButton *>("revise")->click();
        EXPECT_TRUE(plan.liveWhileHeld()) << "revision's claim";
        EXPECT_TRUE(QTest::qWaitFor([] { return !Reviser::shared().phase().isRunning(); }, 60000));
    }

    // A resume and a redraft asked at start read the folder's request; one
    // that is no request starts nothing.
    const QString pending = output + "/pending";
    QDir().mkpath(pending);
    {
        HeldFile request(pending + "/request.json", "no request");
        state->resume(pending);
        EXPECT_TRUE(request.liveWhileHeld()) << "resume";
    }
    const QString redrafted = makePlan(output + "/redrafted", "다시", "Again");
    {
        HeldFile request(redrafted + "/request.json", "no request");
        qputenv("QUARRYSTONE_OPEN", redrafted.toUtf8());
        qputenv("QUARRYSTONE_REDRAFT", "1");
        auto started = makeState();
        qunsetenv("QUARRYSTONE_OPEN");
        qunsetenv("QUARRYSTONE_REDRAFT");
        EXPECT_TRUE(request.liveWhileHeld()) << "redraft";
        EXPECT_TRUE(awaitFiles(*started));
    }
    {
        // A generation into a plan folder takes it the same way.
        AppSettings toolless = state->settings();
        toolless.claudePath = root.path() + "/no-claude";
        HeldFile plan(redrafted + "/plan.json", read(redrafted + "/plan.json"));
        Generator::shared().run(GenerateInput(), redrafted, toolless, true, {});
        EXPECT_TRUE(plan.liveWhileHeld()) << "generation's claim";
        EXPECT_TRUE(QTest::qWaitFor([] { return !Generator::shared().phase().isRunning(); }, 60000));
    }
    EXPECT_TRUE(awaitFiles(*state));
    EXPECT_FALSE(Generator::shared().phase().isRunning());

    // A cancelled generation's folder, and an unfinished one from the
    // sidebar, go to the Trash beside the event loop.
    const QString trashInfo = qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/info";
    QDir().mkpath(trashInfo);
    QDir().mkpath(qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files");
    FakeClaude fake;
    fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    AppSettings settings = state->settings();
    settings.claudePath = FakeClaude::path();
    settings.figmaMode = AppSettings::FigmaMode::mcp;
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    state->setSettings(settings);
    GenerateInput input;
    input.link = *FigmaLink::parse("https://www.figma.com/design/KEY123/App?node-id=12-34");
    input.feature = "Gone";
    const QString gone = output + "/gone";
    write(gone + "/request.json", JSONCoding::pretty(input));
    state->resume(gone);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fake.records("start").isEmpty(); }, 60000));
    {
        HeldFile trashed(trashInfo, HeldFile::Folder::anythingIn);
        state->cancelGeneration(false);
        EXPECT_TRUE(trashed.liveWhileHeld()) << "cancelled generation's folder";
    }
    EXPECT_TRUE(messageIs("만들기를 취소하고 지웠어요"));
    EXPECT_FALSE(QFileInfo::exists(gone));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !fake.records("sigterm").isEmpty(); }, 60000));

    const QString left = output + "/left";
    write(left + "/request.json", "{ nope");
    state->refresh();
    EXPECT_TRUE(awaitFiles(*state));
    {
        Sidebar sidebar(state.get(), Generator::shared(), nullptr);
        int row = -1;
        for (int i = 0; i < sidebar.model()->rowCount(); ++i)
            if (sidebar.model()->row(i).kind == SidebarModel::Kind::unfinished
                && sidebar.model()->row(i).url == AppState::standardFolder(left))
                row = i;
        ASSERT_GE(row, 0);
        QMenu *menu = sidebar.menuFor(row);
        ASSERT_TRUE(menu);
        const QList<QAction *> actions = menu->actions();
        const auto trash = std::find_if(actions.begin(), actions.end(),
                                        [](QAction *action) { return action->text() == "휴지통으로"; });
        ASSERT_NE(trash, actions.end());
        HeldFile trashed(trashInfo, HeldFile::Folder::anythingIn);
        (*trash)->trigger();
        EXPECT_TRUE(trashed.liveWhileHeld()) << "sidebar's unfinished folder";
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !QFileInfo::exists(left); }, 60000));

    // A plan.json that is no regular file fails the load at once, in words,
    // instead of holding a thread and the window's quit for ever.
    const QString piped = output + "/piped";
    QDir().mkpath(piped);
    ASSERT_EQ(::mkfifo(QFile::encodeName(piped + "/plan.json").constData(), 0600), 0);
    state->setMessage(std::nullopt);
    state->setSelection(Selection::plan(piped));
    EXPECT_TRUE(messageIs("계획서를 열지 못했어요: 보통 파일이 아니에요"));
    EXPECT_FALSE(state->planDir());
    EXPECT_TRUE(awaitFiles(*state));
    EXPECT_FALSE(AppState::busy());
}

TEST_F(FileOperations, PanelsOpenFoldersAndPages)
{
    const QString a = makePlan(root.path() + "/elsewhere", "에이", "Alpha");
    auto state = makeState();
    awaitFiles(*state);
    desktop->next = root.path();
    state->openPanel();
    awaitFiles(*state);
    EXPECT_EQ(desktop->messages.last(), "plan.json 이 들어 있는 계획서 폴더를 고르세요");
    EXPECT_EQ(state->message(), "이 폴더에는 plan.json 이 없어요.");

    desktop->next = a;
    state->openPanel();
    awaitFiles(*state);
    EXPECT_EQ(state->planDir(), a + "/");
    EXPECT_EQ(stored().extraDirs, QStringList{a});

    state->openInBrowser();
    EXPECT_EQ(desktop->opened, QList<QUrl>{QUrl::fromLocalFile(a + "/index.html")});

    desktop->next = samplePage;
    state->importPanel();
    awaitFiles(*state);
    EXPECT_EQ(desktop->messages.last(), "이 앱에서 내보낸 계획서 HTML 만 고를 수 있어요(다른 HTML 은 흐리게 보여요)");
    EXPECT_EQ(state->planDir(), output + "/Gift-plan/");
    // The panel's filter: folders and this app's pages only.
    write(root.path() + "/other.html", "<html>not a plan</html>");
    EXPECT_TRUE(PlanHTMLFilter::shouldEnable(root.path()));
    EXPECT_TRUE(PlanHTMLFilter::shouldEnable(samplePage));
    EXPECT_FALSE(PlanHTMLFilter::shouldEnable(root.path() + "/other.html"));

    // A cancelled panel changes nothing.
    state->setMessage(std::nullopt);
    state->openPanel();
    awaitFiles(*state);
    state->importPanel();
    awaitFiles(*state);
    EXPECT_FALSE(state->message());
    EXPECT_EQ(state->planDir(), output + "/Gift-plan/");
}

// Generations run by the real generator against fake-claude, which sleeps
// until it is stopped.
class GenerationControl : public FileOperations
{
protected:
    void SetUp() override
    {
        FileOperations::SetUp();
        AppSettings settings = stored();
        settings.claudePath = FakeClaude::path();
        settings.figmaMode = AppSettings::FigmaMode::mcp;
        settings.claudeAuth = AppSettings::ClaudeAuth::login;
        settings.save();
        fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    }

    QString unfinished(const QString &name)
    {
        GenerateInput input;
        input.link = *FigmaLink::parse("https://www.figma.com/design/KEY123/App?node-id=12-34");
        input.feature = "Gift";
        input.title = "선물";
        const QString dir = output + "/" + name;
        write(dir + "/request.json", JSONCoding::pretty(input));
        return dir;
    }

    // Resumes the folder and waits until fake-claude runs for it.
    void startIn(AppState &state, const QString &dir)
    {
        const qsizetype before = fake.records("start").size();
        state.resume(dir);
        awaitFiles(state);
        ASSERT_TRUE(QTest::qWaitFor([&] { return fake.records("start").size() > before; }, 60000));
        ASSERT_TRUE(Generator::shared().phase().isRunning());
    }

    bool stopped(qsizetype count)
    {
        return QTest::qWaitFor([&] { return fake.records("sigterm").size() >= count; }, 10000);
    }

    // A run of the folder whose save writes a page of many large images, so
    // that the write is still going when the test stops it; it waits until
    // the save has started, or until its plan.json is written.
    void startSlowSave(AppState &state, const QString &dir, bool untilPlanWritten)
    {
        QJsonArray frames;
        QJsonArray screens;
        const QByteArray image(8 << 20, 'i');
        for (int i = 1; i <= 24; ++i) {
            const QString id = QString("2:%1").arg(i);
            const QString file = QString("img/node-2-%1.png").arg(i);
            write(dir + "/" + file, image);
            frames.append(QJsonObject{{"id", id}, {"name", QString("F%1").arg(i)}, {"x", i * 400}, {"y", 0}, {"w", 360},
                                      {"h", 640}, {"texts", QJsonArray{}}, {"image", file}});
            screens.append(QJsonObject{{"id", QString("s%1").arg(i)}, {"name", QString("Screen%1").arg(i)},
                                       {"title", QString("화면 %1").arg(i)}, {"figmaNodes", QJsonArray{id}}});
        }
        write(dir + "/figma-section.json",
              QJsonDocument(QJsonObject{{"fileKey", "KEY123"}, {"nodeId", "12:34"}, {"name", "S"}, {"frames", frames},
                                        {"notes", QJsonArray{}}})
                  .toJson());
        const QJsonObject plan{{"meta", QJsonObject{{"feature", "Gift"}}}, {"screens", screens}};
        const QString answer = "```json\n" + QString::fromUtf8(QJsonDocument(plan).toJson()) + "\n```";
        fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{FakeClaude::resultEvent(answer)}}});
        state.setMessage(std::nullopt);
        state.resume(dir);
        awaitFiles(state);
        ASSERT_TRUE(QTest::qWaitFor(
            [] {
                return Generator::shared().stageState(Generator::Stage::save).status
                    == Generator::StageState::Status::running;
            },
            30000));
        if (untilPlanWritten) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return read(dir + "/plan.json").contains("Screen1"); }, 30000));
        }
        ASSERT_TRUE(Generator::shared().phase().isRunning());
    }

    // Waits for the state's answer to a cancel, then for whatever work the
    // stopped run still had on the pool.
    static void settleCancel(AppState &state, const QString &message)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return state.message() == message; }, 30000));
        QThreadPool::globalInstance()->waitForDone();
        QTest::qWait(50);
    }

    // Every file under the folder with its bytes, for the given parts.
    static QStringList filesOf(const QString &dir, const QStringList &parts)
    {
        QStringList files;
        for (const QString &part : parts) {
            QDirIterator it(dir + "/" + part, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                files.append(QDir(dir).relativeFilePath(path) + " " + QString::fromLatin1(read(path).toBase64()));
            }
            if (QFileInfo(dir + "/" + part).isFile())
                files.append(part + " " + QString::fromLatin1(read(dir + "/" + part).toBase64()));
        }
        files.sort();
        return files;
    }

    FakeClaude fake;
};

TEST_F(GenerationControl, CancelKeepsTheFolderForResumingOrMovesItToTheTrash)
{
    const QString kept = unfinished("kept");
    auto state = makeState();
    awaitFiles(*state);
    EXPECT_EQ(state->unfinished(), QStringList{kept + "/"});

    startIn(*state, kept);
    EXPECT_EQ(state->selection(), Selection::generating());
    // The first Claude run reads the design: no saved section to reuse.
    EXPECT_TRUE(fake.records("start").last().value("stdin").toString().contains("- fileKey: KEY123"));

    // A working folder can be neither renamed nor trashed.
    state->rename(kept, "새 이름", "moved");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요");
    state->setMessage(std::nullopt);
    state->trash(kept + "/");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요");
    EXPECT_TRUE(QFileInfo::exists(kept + "/request.json"));
    EXPECT_FALSE(QFileInfo::exists(output + "/moved"));

    // A second resume while one runs does nothing.
    const QString other = unfinished("other");
    state->resume(other);
    awaitFiles(*state);
    EXPECT_EQ(Generator::shared().runningDir(), kept);

    state->cancelGeneration(true);
    awaitFiles(*state);
    EXPECT_TRUE(stopped(1));
    // The answer comes once the stopped run has let go of its folder.
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "만들기를 취소했어요. 사이드바에서 이어서 만들 수 있어요"; }, 60000));
    EXPECT_EQ(Generator::shared().phase(), Generator::Phase::idle());
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_TRUE(QFileInfo::exists(kept + "/request.json"));
    EXPECT_TRUE(state->unfinished().contains(kept + "/"));

    // With a saved design section the resumed run goes straight on.
    write(kept + "/figma-section.json", R"({"fileKey":"KEY123","nodeId":"12:34","name":"S","frames":[],"notes":[]})");
    startIn(*state, kept);
    EXPECT_FALSE(fake.records("start").last().value("stdin").toString().contains("- fileKey: KEY123"));
    state->cancelGeneration(false);
    awaitFiles(*state);
    EXPECT_TRUE(stopped(2));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "만들기를 취소하고 지웠어요"; }, 60000));
    EXPECT_FALSE(QFileInfo::exists(kept));
    EXPECT_TRUE(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files/kept/request.json"));
    // The library is scanned beside the event loop.
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->unfinished() == QStringList{other + "/"}; }, 60000));

    // The run ends on its own (here: stopped elsewhere) before the answer
    // to the cancel question: the finished folder stays.
    const QString dir = other;
    startIn(*state, dir);
    Generator::shared().cancel();
    EXPECT_TRUE(stopped(3));
    makePlan(dir, "다 만든 계획서", "Gift");
    state->setMessage(std::nullopt);
    state->cancelGeneration(false);
    awaitFiles(*state);
    EXPECT_FALSE(state->message());
    EXPECT_TRUE(QFileInfo::exists(dir + "/plan.json"));
    EXPECT_EQ(state->selection(), Selection::generating());

    // An unreadable request starts nothing.
    write(output + "/broken/request.json", "{\"link\": 1}");
    state->resume(output + "/broken");
    awaitFiles(*state);
    EXPECT_FALSE(Generator::shared().phase().isRunning());
}

TEST_F(GenerationControl, ResumeFinishesIntoThePlan)
{
    const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"1:2"}}};
    const QJsonObject plan{{"meta", QJsonObject{{"feature", "Gift"}}}, {"screens", QJsonArray{screen}}};
    const QString answer = "```json\n" + QString::fromUtf8(QJsonDocument(plan).toJson()) + "\n```";
    fake.setScenario({{"readStdin", true}, {"steps", QJsonArray{FakeClaude::resultEvent(answer)}}});
    const QString dir = unfinished("resumed");
    write(dir + "/figma-section.json", R"({"fileKey":"KEY123","nodeId":"12:34","name":"S","frames":[],"notes":[]})");
    auto state = makeState();
    awaitFiles(*state);
    state->resume(dir);
    awaitFiles(*state);
    EXPECT_EQ(state->selection(), Selection::generating());
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->message() == "계획서를 만들었어요"; }, 30000))
        << Generator::shared().phase().text.toStdString();
    awaitFiles(*state);
    EXPECT_EQ(state->selection(), Selection::plan(dir + "/"));
    EXPECT_EQ(state->planDir(), dir + "/");
    EXPECT_EQ(state->plan().screens.size(), 1);
    EXPECT_TRUE(state->unfinished().isEmpty());
    ASSERT_EQ(state->plans().size(), 1);
    EXPECT_EQ(state->plans().first().url, dir + "/");
}

// "Cancel and delete" while the plan's files are being written: the folder
// goes to the Trash once the writer is done with it, never to come back,
// and the files the stopped run was writing are not in it.
TEST_F(GenerationControl, CancelWhileTheFilesAreSavedTrashesTheFolderForGood)
{
    const QString dir = unfinished("slow");
    auto state = makeState();
    awaitFiles(*state);
    startSlowSave(*state, dir, true);
    state->cancelGeneration(false);
    awaitFiles(*state);
    settleCancel(*state, "만들기를 취소하고 지웠어요");

    EXPECT_FALSE(QFileInfo::exists(dir));
    const QString trashed = qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files/slow";
    EXPECT_TRUE(QFileInfo::exists(trashed + "/request.json"));
    for (const char *file : {"/plan.json", "/plan.md", "/index.html"})
        EXPECT_FALSE(QFileInfo::exists(trashed + file)) << file;
    EXPECT_EQ(Generator::shared().phase(), Generator::Phase::idle());
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_TRUE(state->unfinished().isEmpty());
}

// "Cancel and delete" during a redraft of a plan folder stops the run and
// leaves the earlier plan, its page and its history as they were, whether
// the stop comes while Claude drafts or while the new files are written.
TEST_F(GenerationControl, CancelAndDeleteDuringARedraftKeepsTheEarlierPlan)
{
    const QString dir = unfinished("redrafted");
    makePlan(dir, "있던 계획서", "Gift");
    write(dir + "/plan.md", "old md");
    write(dir + "/index.html", "old html");
    write(dir + "/history/plan-200101-000000.json", "older backup");
    write(dir + "/history/revisions.md", "## 2020-01-01 00:00 · tester\n\n> 처음\n\n- 만듦\n\n");
    const QStringList kept{"plan.json", "plan.md", "index.html", "history"};
    const QStringList before = filesOf(dir, kept);
    auto state = makeState();
    awaitFiles(*state);
    const QString message = "만들기를 멈췄어요. 있던 계획서는 그대로 뒀어요";

    startIn(*state, dir);
    state->cancelGeneration(false);
    awaitFiles(*state);
    EXPECT_TRUE(stopped(1));
    settleCancel(*state, message);
    EXPECT_EQ(filesOf(dir, kept), before);
    EXPECT_EQ(Generator::shared().phase(), Generator::Phase::idle());

    for (const bool untilPlanWritten : {false, true}) {
        SCOPED_TRACE(untilPlanWritten);
        startSlowSave(*state, dir, untilPlanWritten);
        state->cancelGeneration(false);
        awaitFiles(*state);
        settleCancel(*state, message);
        EXPECT_EQ(filesOf(dir, kept), before);
    }
    ASSERT_EQ(state->plans().size(), 1);
    EXPECT_EQ(state->plans().first().title, "있던 계획서");
    EXPECT_FALSE(QFileInfo::exists(qEnvironmentVariable("XDG_DATA_HOME") + "/Trash/files/redrafted"));
}

// The desktop's own opener, found on PATH as the desktop finds it: with
// none there, or one that finds no program or a failing one, the page does
// not open and a toast says why; with one that works, it gets the page's
// address.
TEST_F(FileOperations, BrowserOpensThroughTheDesktopOrSaysItCannot)
{
    const QString a = makePlan(output + "/a", "에이", "Alpha");
    auto state = std::make_unique<AppState>();
    state->open(a, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->planDir().has_value(); }, 60000));
    const QByteArray path = qgetenv("PATH");
    const QByteArray browser = qgetenv("BROWSER");
    const QByteArray defaultBrowser = qgetenv("DEFAULT_BROWSER");
    const auto restore = qScopeGuard([&] {
        qputenv("PATH", path);
        qputenv("BROWSER", browser);
        qputenv("DEFAULT_BROWSER", defaultBrowser);
    });
    qunsetenv("BROWSER");
    qunsetenv("DEFAULT_BROWSER");
    const QString tools = root.filePath("tools");
    QDir().mkpath(tools);
    qputenv("PATH", tools.toUtf8());

    state->openInBrowser();
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message().has_value(); }, 60000));
    EXPECT_EQ(state->message(), "주소를 열 프로그램을 찾지 못했어요: " + a + "/index.html");

    // xdg-open finds no program (exit 3): said too; a folder shown without
    // a file manager on the bus opens itself, not its parent.
    const QString seen = root.filePath("seen");
    const auto xdgOpen = [&](int code) {
        return writeExecutable(tools + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + seen.toUtf8() + "\nexit "
                                                       + QByteArray::number(code) + "\n");
    };
    ASSERT_TRUE(xdgOpen(3));
    state->reveal(a);
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "폴더를 열 프로그램을 찾지 못했어요: " + a; }, 60000));
    EXPECT_EQ(QUrl(QString::fromUtf8(read(seen))), QUrl::fromLocalFile(a));
    // A program was found but failed (exit 4): that is what the toast says
    // after a click on the page's "브라우저로 열기".
    ASSERT_TRUE(xdgOpen(4));
    state->setMessage(std::nullopt);
    MainWindow window(state.get());
    window.show();
    QPushButton *button = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        button = window.findChild<QPushButton *>("browserButton");
        return button && button->isVisible();
    }, 60000));
    QTest::mouseClick(button, Qt::LeftButton);
    auto *toast = window.findChild<Toast *>("toast");
    ASSERT_TRUE(toast);
    const QString failed = "주소를 여는 프로그램이 실패했어요: " + a + "/index.html";
    EXPECT_TRUE(QTest::qWaitFor([&] { return toast->isVisible() && toast->text() == failed; }, 60000))
        << toast->text().toStdString();
    state->reveal(a);
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "폴더를 여는 프로그램이 실패했어요: " + a; }, 60000))
        << state->message().value_or("").toStdString();
    ASSERT_TRUE(xdgOpen(0));
    state->setMessage(std::nullopt);
    state->openInBrowser();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QUrl(QString::fromUtf8(read(seen))) == QUrl::fromLocalFile(a + "/index.html"); }, 60000));
    EXPECT_EQ(state->message(), std::nullopt);
}
