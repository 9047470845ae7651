#include "model/folderclaim.h"
#include "model/plan.h"
#include "model/planhistory.h"
#include "settings/appsettings.h"
#include "support/chatplans.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/linkswapper.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"
#include "support/testimages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>

namespace {

using ChatPlans::brokenMovePlan;
using ChatPlans::cleanPlan;
using ChatPlans::editedPlan;
using TestFiles::readFile;
using TestFiles::writeFile;

QStringList backups(const QString &dir)
{
    return TestFiles::historyFiles(dir, "plan-*.json");
}

class HeadlessReviseTest : public testing::Test
{
protected:
    void SetUp() override
    {
        dir = work.filePath("Chat-plan");
        ChatPlans::writeFolder(dir);
        CommandLine::writeRevisionSettings(home.path(), work.path());
    }

    CommandLine::Outcome quarrystone(const QStringList &arguments)
    {
        return CommandLine::run(arguments, home.path(), work.path());
    }

    FakeClaude fake;
    QTemporaryDir home;
    QTemporaryDir work;
    QString dir;
};

} // namespace

// A whole revision through the executable: relative images, a wiki link,
// a fix round; then undo twice. A request that starts nothing ends at once
// instead of waiting for ever.
TEST_F(HeadlessReviseTest, RevisesThenUndoes)
{
    for (const QStringList &arguments : {QStringList{"--revise", dir}, QStringList{"--revise", dir, "--request", " \n "},
                                         QStringList{"--revise", dir, "--request", "", "--image", ","}}) {
        const auto r = quarrystone(arguments);
        EXPECT_EQ(r.code, 1) << qPrintable(arguments.join(' '));
        EXPECT_EQ(r.err, "--request \"고칠 내용\" 이 필요해요\n");
        EXPECT_TRUE(r.out.isEmpty());
    }
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    EXPECT_FALSE(QFileInfo::exists(dir + "/history"));
    EXPECT_TRUE(fake.records("start").isEmpty());

    // Every wiki server of the user's configuration, and only those.
    writeFile(home.filePath(".claude.json"), R"({"mcpServers": {"atlassian": {"url": "https://mcp.atlassian.com/v1/sse"},
        "team-wiki": {"url": "https://x.atlassian.net/mcp"}, "figma": {"url": "http://f"}}})");
    writeFile(work.filePath("shots/a.PNG"), TestImages::png(3, 2, 10));
    writeFile(work.filePath("shots/b"), TestImages::png(2, 3, 20));
    const QJsonObject pause{{"sleep", 700}};
    fake.setScenario(
        {{"responses",
          QJsonArray{QJsonObject{{"argsContain", QJsonArray{"--continue"}},
                                 {"steps", QJsonArray{pause, FakeClaude::writePlan(editedPlan),
                                                      FakeClaude::resultEvent("둘째 답\x1b[2J\n- 이동 고침")}}},
                     QJsonObject{{"steps", QJsonArray{FakeClaude::toolUse("t1", "Edit", {{"file_path", "plan.json"}}), pause,
                                                      FakeClaude::writePlan(brokenMovePlan), FakeClaude::resultEvent("첫 답")}}}}}});

    const auto r = quarrystone({"--revise", "Chat-plan", "--request",
                                "위키 https://team.atlassian.net/wiki/x 대로\n제목을 고쳐 줘", "--image", "shots/a.PNG,,shots/b"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);
    const QStringList lines = r.out.split('\n');
    EXPECT_TRUE(lines.contains("… plan.json 을 고치는 중")) << qPrintable(r.out);
    EXPECT_TRUE(lines.contains("… 검사에서 1건 — 한 번 더 고치는 중")) << qPrintable(r.out);
    EXPECT_EQ(lines.filter("…").removeDuplicates(), 0) << qPrintable(r.out);
    // Claude's answer reaches the terminal as text: its escape is no order.
    EXPECT_TRUE(r.out.endsWith("\n둘째 답\\x1B[2J\n- 이동 고침\n")) << qPrintable(r.out);

    const QStringList copies = QDir(dir + "/history/attachments").entryList(QDir::Files, QDir::Name);
    ASSERT_EQ(copies.size(), 2);
    EXPECT_TRUE(copies[0].endsWith("-1.png"));
    EXPECT_TRUE(copies[1].endsWith("-2.png"));
    EXPECT_EQ(readFile(dir + "/history/attachments/" + copies[1]), TestImages::png(2, 3, 20));
    ASSERT_EQ(backups(dir).size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + backups(dir).first()), cleanPlan);
    const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
    EXPECT_TRUE(log.contains(" · 테스터\n\n> 위키 https://team.atlassian.net/wiki/x 대로\n> 제목을 고쳐 줘\n> (첨부 이미지 2장: "
                             + copies.join(", ") + ")\n\n둘째 답\x1b[2J\n- 이동 고침\n\n"))
        << qPrintable(log);
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("고친 제목"));
    EXPECT_TRUE(readFile(dir + "/index.html").contains("고친 제목"));

    const QList<QJsonObject> starts = fake.records("start");
    ASSERT_EQ(starts.size(), 2);
    for (const QJsonObject &start : starts) {
        EXPECT_EQ(start.value("cwd").toString(), dir);
        const QStringList args = FakeClaude::arguments(start);
        // The real claude tool (2.1.337) anchors "/plan.json" at the working
        // folder: it refuses an Edit of a plan.json below it, which
        // "./plan.json" lets through. Without a bare Read, Grep or Glob it
        // keeps reads to the working folder and the --add-dir folders.
        // Of the wiki servers, the read tools only, by name.
        QStringList allowed{"Read(./**)", "Edit(/plan.json)", "Grep(./**)", "Glob(./**)"};
        for (const QString server : {"atlassian", "team-wiki"})
            for (const QString tool : {"getAccessibleAtlassianResources", "getConfluencePage", "getConfluenceSpaces",
                                       "getPagesInConfluenceSpace", "searchConfluenceUsingCql", "search", "fetch"})
                allowed.append("mcp__" + server + "__" + tool);
        EXPECT_EQ(args.value(args.indexOf("--allowedTools") + 1), allowed.join(','));
        QStringList added;
        for (qsizetype i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--add-dir")
                added.append(args[i + 1]);
        EXPECT_EQ(added, (QStringList{dir, work.filePath("android"), work.filePath("ios")}));
    }
    EXPECT_TRUE(starts[0].value("stdin").toString().contains(dir + "/history/attachments/" + copies[0]));

    // --undo wins over --request and goes back to the plan before the revision.
    // The command ends when the undo does, waiting for no timer: it ends
    // even with the clocks of timers stopped.
    qputenv("LD_PRELOAD", STOPPED_CLOCK);
    auto undo = quarrystone({"--revise", dir, "--request", "무시됨", "--undo"});
    qunsetenv("LD_PRELOAD");
    EXPECT_EQ(undo.code, 0) << qPrintable(undo.err);
    EXPECT_EQ(undo.out, "… 되돌리는 중\n직전 고치기 전으로 되돌렸어요\n");
    EXPECT_FALSE(readFile(dir + "/plan.json").contains("고친 제목"));
    EXPECT_FALSE(readFile(dir + "/plan.md").contains("고친 제목"));
    EXPECT_TRUE(backups(dir).isEmpty());
    EXPECT_EQ(fake.records("start").size(), 2);

    undo = quarrystone({"--revise", dir, "--undo"});
    EXPECT_EQ(undo.code, 1);
    EXPECT_EQ(undo.err, "되돌릴 백업이 없어요\n");
}

// Stopping the command (Ctrl+C, a kill, a closed terminal) stops Claude,
// with the child it started even when that child outlives SIGTERM, and
// puts plan.json back before the process ends with the signal's code.
TEST_F(HeadlessReviseTest, SignalsStopTheRevisionAndRestore)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        QFile::remove(fake.folder() + "/log.jsonl");
        fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan),
                                               QJsonObject{{"startChild", QJsonObject{{"ignoreSigterm", true}}}},
                                               QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
        QProcess process;
        CommandLine::start(process, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
        QElapsedTimer timer;
        timer.start();
        while (fake.records("child").isEmpty() && timer.elapsed() < 20000)
            QThread::msleep(20);
        ASSERT_FALSE(fake.records("child").isEmpty());
        CommandLine::signal(process, signal);
        ASSERT_TRUE(process.waitForFinished(20000));

        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 128 + signal);
        EXPECT_EQ(QString::fromUtf8(process.readAllStandardError()), "멈췄어요. 고치기 전으로 돌려 놨어요.\n");
        EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
        EXPECT_EQ(readFile(dir + "/plan.md"), QByteArray("old md"));
        EXPECT_TRUE(backups(dir).isEmpty());
        EXPECT_EQ(fake.records("sigterm").size(), 1);
        const qint64 child = fake.records("start").first().value("pid").toInteger();
        EXPECT_TRUE(FakeClaude::hasEnded(child));
        EXPECT_EQ(fake.records("child").size(), 1);
        EXPECT_EQ(fake.running(), QList<qint64>());
        for (const qint64 left : fake.running())
            ::kill(static_cast<pid_t>(left), SIGKILL);
    }
}

// Where runs get no namespaces, a stop reaches what Claude's command started
// even once it has left the run's process group and folder, as a daemon
// does, and ignores SIGTERM: it is ended before plan.json is put back, so
// its write a moment later never lands on the plan the stop restored.
TEST_F(HeadlessReviseTest, WithoutNamespacesAStopEndsWhatLeftTheGroupBeforeRestoring)
{
    qputenv("QUARRYSTONE_BWRAP", "/nonexistent");
    const QJsonObject daemon{{"daemonise", true},
                             {"ignoreSigterm", true},
                             {"write", QJsonObject{{"ms", 2000}, {"path", "plan.json"}, {"content", "{\"late\":true}"}}}};
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), QJsonObject{{"startChild", daemon}},
                                           QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    QProcess process;
    CommandLine::start(process, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
    qunsetenv("QUARRYSTONE_BWRAP");
    QElapsedTimer timer;
    timer.start();
    while (fake.records("child").isEmpty() && timer.elapsed() < 20000)
        QThread::msleep(20);
    ASSERT_FALSE(fake.records("child").isEmpty());
    CommandLine::signal(process, SIGTERM);
    ASSERT_TRUE(process.waitForFinished(20000));

    EXPECT_EQ(process.exitCode(), 128 + SIGTERM);
    // After the line that says runs get no namespaces here.
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_TRUE(err.endsWith("\n멈췄어요. 고치기 전으로 돌려 놨어요.\n")) << qPrintable(err);
    EXPECT_TRUE(fake.noneRunning(3000));
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    for (const qint64 left : fake.running())
        ::kill(static_cast<pid_t>(left), SIGKILL);
}

// Where runs get no namespaces, what Claude's command left running after a
// revision that ended well is ended with it, even a daemon with an empty
// environment, which nothing of the run names: no late write lands on the
// plan the revision just wrote.
TEST_F(HeadlessReviseTest, WithoutNamespacesNothingOfTheRunOutlivesARevision)
{
    qputenv("QUARRYSTONE_BWRAP", "/nonexistent");
    const QJsonObject daemon{{"daemonise", true},
                             {"emptyEnvironment", true},
                             {"write", QJsonObject{{"ms", 2000}, {"path", "plan.json"}, {"content", "{\"late\":true}"}}}};
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), QJsonObject{{"startChild", daemon}},
                                           FakeClaude::resultEvent("고쳤어요")}}});
    QProcess process;
    CommandLine::start(process, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
    qunsetenv("QUARRYSTONE_BWRAP");
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    const QList<QJsonObject> children = fake.records("child");
    ASSERT_EQ(children.size(), 1);
    const auto daemonPid = static_cast<pid_t>(children.first().value("child").toInteger());
    EXPECT_TRUE(::kill(daemonPid, 0) == -1 && errno == ESRCH);
    EXPECT_FALSE(readFile(dir + "/plan.json").contains("late"));
    ::kill(daemonPid, SIGKILL);
}

// One writing operation per plan folder: while a revision runs, a second
// revision, an undo and a render are refused at once, naming the folder. A
// revision killed after Claude's edit is rolled back by the next run, which
// says so and keeps what Claude left.
TEST_F(HeadlessReviseTest, OneWriterAtATimeAndAKilledRevisionRollsBack)
{
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    QProcess first;
    CommandLine::start(first, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
    QElapsedTimer timer;
    timer.start();
    while ((fake.records("start").isEmpty() || readFile(dir + "/plan.json") != editedPlan) && timer.elapsed() < 20000)
        QThread::msleep(20);
    ASSERT_EQ(readFile(dir + "/plan.json"), editedPlan);

    const QString busy = "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + dir + "\n";
    for (const QStringList &arguments : {QStringList{"--revise", dir, "--request", "또 고쳐 줘"},
                                         QStringList{"--revise", dir, "--undo"}, QStringList{"--render", dir}}) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        const auto second = quarrystone(arguments);
        EXPECT_EQ(second.code, 1);
        EXPECT_EQ(second.err, busy);
    }
    EXPECT_EQ(fake.records("start").size(), 1);
    EXPECT_EQ(readFile(dir + "/plan.json"), editedPlan);

    CommandLine::signal(first, SIGKILL);
    ASSERT_TRUE(first.waitForFinished(20000));
    const qint64 child = fake.records("start").first().value("pid").toInteger();
    ::kill(static_cast<pid_t>(child), SIGKILL);
    timer.restart();
    while (!FakeClaude::hasEnded(child) && timer.elapsed() < 10000)
        QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(dir + "/history/revision-under-way"));

    const auto next = quarrystone({"--render", dir});
    EXPECT_TRUE(next.code == 0 || next.code == 2) << next.code;
    EXPECT_TRUE(next.err.startsWith("중단된 고치기를 되돌렸어요: plan.json 을 고치기 전으로 돌려 놨어요 (Claude 가 남긴 파일: "))
        << qPrintable(next.err);
    EXPECT_EQ(next.err.count('\n'), 1);
    EXPECT_FALSE(readFile(dir + "/plan.json").contains("고친 제목"));
    EXPECT_FALSE(readFile(dir + "/plan.md").contains("고친 제목"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way"));
    EXPECT_TRUE(backups(dir).isEmpty());
    const QStringList kept = TestFiles::historyFiles(dir, "kept-*.json");
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + kept.first()), editedPlan);

    // An undo right after an interrupted revision is that rollback: it goes
    // back no further, and the older backup stays.
    const QByteArray rendered = readFile(dir + "/plan.json");
    writeFile(dir + "/history/plan-200101-000000.json", rendered);
    writeFile(dir + "/history/plan-261207-100000.json", rendered);
    writeFile(dir + "/history/revision-under-way", "plan-261207-100000.json");
    writeFile(dir + "/plan.json", editedPlan);
    const auto undo = quarrystone({"--revise", dir, "--undo"});
    EXPECT_EQ(undo.code, 0);
    EXPECT_TRUE(undo.err.startsWith("중단된 고치기를 되돌렸어요: ")) << qPrintable(undo.err);
    EXPECT_EQ(readFile(dir + "/plan.json"), rendered);
    EXPECT_EQ(backups(dir), QStringList{"plan-200101-000000.json"});

    // After an interrupted one, standard output stays the revision's answer.
    writeFile(dir + "/history/revision-under-way", "plan-200101-000000.json");
    writeFile(dir + "/plan.json", editedPlan);
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("제목을 고쳤어요")}}});
    const auto revised = quarrystone({"--revise", dir, "--request", "제목을 고쳐 줘"});
    EXPECT_TRUE(revised.err.startsWith("중단된 고치기를 되돌렸어요: ")) << qPrintable(revised.err);
    EXPECT_FALSE(revised.out.contains("되돌렸어요")) << qPrintable(revised.out);
    EXPECT_TRUE(revised.out.endsWith("제목을 고쳤어요\n")) << qPrintable(revised.out) << qPrintable(revised.err);
}

// A stop that comes once Claude has answered, while the revised plan is
// written out or after the revision ended, finds the revision complete: the
// exit status tells the truth about plan.json, at whatever moment the
// signal arrives.
TEST_F(HeadlessReviseTest, ASignalAfterClaudeAnsweredNeverHidesTheRevision)
{
    const auto revisedOrPutBack = [this](QProcess &process, int signal) {
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        if (process.exitCode() == 0) {
            EXPECT_TRUE(out.endsWith("고쳤어요 답\n")) << qPrintable(out);
            EXPECT_TRUE(readFile(dir + "/plan.json").contains("고친 제목"));
            EXPECT_EQ(backups(dir).size(), 1);
            EXPECT_TRUE(readFile(dir + "/history/revisions.md").contains("> 고쳐 줘\n\n고쳤어요 답\n"));
        } else {
            EXPECT_EQ(process.exitCode(), 128 + signal);
            EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
            EXPECT_TRUE(backups(dir).isEmpty());
        }
    };
    const auto reset = [this] {
        QDir(dir).removeRecursively();
        ChatPlans::writeFolder(dir);
        QFile::remove(fake.folder() + "/log.jsonl");
    };
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("고쳤어요 답")}}});

    // Once the log entry is written the revision is whole: a signal then
    // ends it with its answer.
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        reset();
        QProcess process;
        CommandLine::start(process, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
        QElapsedTimer timer;
        timer.start();
        while (!QFileInfo::exists(dir + "/history/revisions.md") && timer.elapsed() < 20000)
            QThread::msleep(2);
        CommandLine::signal(process, signal);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 0);
        revisedOrPutBack(process, signal);
    }

    // Signals at spread moments after Claude's start: either way, the truth.
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        reset();
        QProcess process;
        CommandLine::start(process, {"--revise", dir, "--request", "고쳐 줘"}, home.path(), work.path());
        QElapsedTimer timer;
        timer.start();
        while (fake.records("start").isEmpty() && timer.elapsed() < 20000)
            QThread::msleep(2);
        QThread::msleep(40 * i);
        CommandLine::signal(process, SIGTERM);
        ASSERT_TRUE(process.waitForFinished(20000));
        revisedOrPutBack(process, SIGTERM);
    }
}

// Where a picture is expected, a folder, a pipe, a text or 8 GB of nothing
// is refused before anything changes, instead of waiting on the pipe for
// ever or copying gigabytes into history/.
TEST_F(HeadlessReviseTest, AFolderOrPipeIsNoImage)
{
    QTemporaryDir others;
    const QString pipe = others.filePath("shot.png");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QDir(others.path()).mkpath("shots.png");
    writeFile(work.filePath("a.png"), TestImages::png(2, 2, 10));
    writeFile(others.filePath("notes.png"), "no picture");
    {
        QFile huge(others.filePath("huge.png"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        huge.write(TestImages::png(2, 2, 10));
        ASSERT_TRUE(huge.resize(qint64(8) << 30));
    }
    const QList<std::pair<QString, QString>> rows{
        {pipe, "보통 파일이 아니에요"},
        {others.filePath("shots.png"), "파일이 아니라 폴더예요"},
        {others.filePath("gone.png"), "파일이나 폴더가 없어요"},
        {others.filePath("notes.png"), "그림 파일(PNG, JPEG, GIF, WebP)이 아니에요"},
        {others.filePath("huge.png"), "파일이 너무 커요: huge.png (8GB, 많아야 64MB)"}};
    for (const auto &[image, reason] : rows) {
        SCOPED_TRACE(qPrintable(image));
        const auto r = quarrystone({"--revise", dir, "--request", "고쳐 줘", "--image", "a.png," + image});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "이미지를 읽지 못했어요: " + image + " (" + reason + ")\n");
        EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
        EXPECT_FALSE(QFileInfo::exists(dir + "/history"));
    }
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// Every step of a revision ends it with its message, whatever it throws:
// copying an attachment of 200 TiB (a sparse file, which no memory and no
// address space can hold) fails at once, and the command ends with the
// plan as it was instead of waiting for ever.
TEST_F(HeadlessReviseTest, AStepThatThrowsEndsTheRevision)
{
    // A tmpfs file may be that large; a disk's file system may refuse it.
    QTemporaryDir shared(QStringLiteral("/dev/shm/quarrystone-test-XXXXXX"));
    const QString huge = shared.filePath("huge.png");
    QFile file(huge);
    if (!shared.isValid() || !file.open(QIODevice::WriteOnly) || !file.resize(qint64(200) << 40))
        GTEST_SKIP() << "no file system here holds a sparse file of 200 TiB";
    file.close();
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("고쳤어요")}}});
    const auto r = quarrystone({"--revise", dir, "--request", "고쳐 줘", "--image", huge});
    EXPECT_EQ(r.code, 1) << qPrintable(r.err);
    EXPECT_FALSE(r.err.isEmpty());
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    EXPECT_TRUE(backups(dir).isEmpty());
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// A revision whose fix round still leaves problems names each of them after
// Claude's answer, as the generation does, instead of ending as if all were
// well.
TEST_F(HeadlessReviseTest, ProblemsLeftAfterTheFixRoundAreListed)
{
    fake.setScenario(
        {{"responses",
          QJsonArray{QJsonObject{{"argsContain", QJsonArray{"--continue"}},
                                 {"steps", QJsonArray{FakeClaude::writePlan(brokenMovePlan), FakeClaude::resultEvent("둘째 답")}}},
                     QJsonObject{{"steps", QJsonArray{FakeClaude::writePlan(brokenMovePlan), FakeClaude::resultEvent("첫 답")}}}}}});
    const auto r = quarrystone({"--revise", dir, "--request", "이동을 고쳐 줘"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QStringList problems = Plan::decode(brokenMovePlan).problems();
    ASSERT_FALSE(problems.isEmpty());
    QString listed = QStringLiteral("\n둘째 답\n남은 문제 %1건은 편집 화면에서 고쳐 주세요\n").arg(problems.size());
    for (const QString &problem : problems)
        listed += "  · " + problem + "\n";
    EXPECT_TRUE(("\n" + r.out).endsWith(listed)) << qPrintable(r.out);
    EXPECT_EQ(fake.records("start").size(), 2);
}

// A result that would lose what the plan had is refused: the three files go
// back byte for byte and the command says what would have been lost.
TEST_F(HeadlessReviseTest, AResultThatLosesThePlanIsRefused)
{
    const QString hint = "\n" + PlanHistory::removalHint();
    const struct {
        const char *name;
        QString request;
        QByteArray result;
        int code;
        QString said; // the end of the error output, or of the output
        QByteArray title; // the screen's title kept
    } rows[] = {
        {"no plan", "제목을 고쳐 줘", R"({"hello": "world"})", 1,
         "고치지 못해서 원래대로 돌려 놨어요: Claude 가 고친 plan.json 을 받으면 없어지는 내용: meta.feature, screens" + hint,
         "A"},
        // A screen added beside one whose title went: the list grew, and
        // the screen kept is still compared whole.
        {"a screen added, another's title emptied", "공유 시트 화면을 추가해 줘",
         R"({"meta": {"feature": "Chat"}, "screens": [{"id": "share", "name": "ChatShare", "title": "공유"},
             {"id": "a", "name": "ChatA", "title": ""}]})",
         1, "고치지 못해서 원래대로 돌려 놨어요: Claude 가 고친 plan.json 을 받으면 없어지는 내용: screens[0].title" + hint, "A"},
        // The person's own words ask for it to go.
        {"an asked removal", "A 화면 제목은 지워 줘",
         R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": ""}]})", 0,
         "고쳤어요\n요청대로 지운 내용: screens[0].title", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ChatPlans::writeFolder(dir);
        QDir(dir + "/history").removeRecursively();
        const QByteArray md = readFile(dir + "/plan.md");
        const QByteArray html = readFile(dir + "/index.html");
        fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(row.result), FakeClaude::resultEvent("고쳤어요")}}});
        const auto r = quarrystone({"--revise", dir, "--request", row.request});
        EXPECT_EQ(r.code, row.code) << qPrintable(r.err);
        EXPECT_TRUE((row.code ? r.err : r.out).endsWith(row.said + "\n")) << qPrintable(r.err) << qPrintable(r.out);
        EXPECT_EQ(Plan::decode(readFile(dir + "/plan.json")).screen("a").value_or(Screen()).title, row.title);
        if (row.code) {
            EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
            EXPECT_EQ(readFile(dir + "/plan.md"), md);
            EXPECT_EQ(readFile(dir + "/index.html"), html);
            EXPECT_TRUE(backups(dir).isEmpty());
        } else {
            EXPECT_EQ(backups(dir).size(), 1);
        }
    }
}

namespace {

// The chat plan with 70 strings on its screen: a list long enough to be
// turned into JSON on several threads when the plan is saved.
QByteArray longPlan(const QString &title)
{
    QJsonObject meta{{"feature", "Chat"}};
    if (!title.isEmpty())
        meta.insert("title", title);
    QJsonArray strings;
    for (int i = 0; i < 70; ++i)
        strings.append(QJsonObject{{"key", QString("chat_text_%1").arg(i)}, {"ko", QString("문구 %1").arg(i)}, {"screen", "a"}});
    return QJsonDocument(QJsonObject{{"meta", meta},
                                     {"screens", QJsonArray{QJsonObject{{"id", "a"}, {"name", "ChatA"}, {"title", "A"}}}},
                                     {"strings", strings}})
        .toJson();
}

} // namespace

// On one processor the save after Claude's answer holds the only thread of
// the shared pool, and a plan with a long list must still be saved: the
// revision ends and writes all three files, and a stop at any moment ends
// the command with the truth about plan.json.
TEST_F(HeadlessReviseTest, OnOneProcessorALongPlanIsSavedAndAStopEndsIt)
{
    const QByteArray clean = longPlan({});
    const QByteArray edited = longPlan("고친 제목");
    const QStringList oneProcessor{"-c", "0", QUARRYSTONE_BINARY};
    const auto reset = [&] {
        QDir(dir).removeRecursively();
        ChatPlans::writeFolder(dir);
        writeFile(dir + "/plan.json", clean);
        QFile::remove(fake.folder() + "/log.jsonl");
    };
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(edited), FakeClaude::resultEvent("고쳤어요 답")}}});

    reset();
    const auto r = CommandLine::run(oneProcessor + QStringList{"--revise", dir, "--request", "고쳐 줘"}, home.path(),
                                    work.path(), {}, "taskset");
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.out.endsWith("고쳤어요 답\n")) << qPrintable(r.out);
    const QJsonObject saved = QJsonDocument::fromJson(readFile(dir + "/plan.json")).object();
    EXPECT_EQ(saved.value("meta").toObject().value("title").toString(), "고친 제목");
    EXPECT_EQ(saved.value("strings").toArray().size(), 70);
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("chat_text_69"));
    EXPECT_TRUE(readFile(dir + "/index.html").contains("chat_text_69"));

    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        reset();
        QProcess process;
        CommandLine::start(process, oneProcessor + QStringList{"--revise", dir, "--request", "고쳐 줘"}, home.path(),
                           work.path(), {}, "taskset");
        QElapsedTimer timer;
        timer.start();
        while (fake.records("start").isEmpty() && timer.elapsed() < 20000)
            QThread::msleep(2);
        QThread::msleep(25 * i);
        CommandLine::signal(process, SIGTERM);
        ASSERT_TRUE(process.waitForFinished(20000));
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        if (process.exitCode() == 0) {
            EXPECT_TRUE(out.endsWith("고쳤어요 답\n")) << qPrintable(out);
            EXPECT_TRUE(readFile(dir + "/plan.json").contains("고친 제목"));
            EXPECT_TRUE(readFile(dir + "/index.html").contains("고친 제목"));
        } else {
            EXPECT_EQ(process.exitCode(), 128 + SIGTERM);
            EXPECT_EQ(readFile(dir + "/plan.json"), clean);
        }
    }
}

// Every name the program writes in a plan folder but plan.json (below)
// holds a link to a file outside it: a render, an undo and the window's
// claim (rolling back a cut revision) replace the links and leave the files
// outside as they were.
TEST_F(HeadlessReviseTest, ALinkAtANameTheProgramWritesIsReplacedNeverWrittenThrough)
{
    const QStringList names{"plan.md", "index.html", ".quarrystone-made-from", "figma-section.json",
                            "request.json", "history/revisions.md", "history/revision-under-way"};
    const auto target = [&](QString name) { return work.filePath("outside/" + name.replace('/', '_')); };
    const auto linkAll = [&](const QByteArray &plan) {
        writeFile(dir + "/plan.json", plan);
        for (const QString &name : names) {
            writeFile(target(name), name.toUtf8());
            QFile::remove(dir + "/" + name);
            QFile::link(target(name), dir + "/" + name);
        }
        return [&] {
            return std::all_of(names.begin(), names.end(),
                               [&](const QString &name) { return readFile(target(name)) == name.toUtf8(); })
                && !QFileInfo(dir + "/plan.md").isSymLink();
        };
    };
    QDir().mkpath(dir + "/history");
    std::function<bool()> untouched = linkAll(cleanPlan);
    EXPECT_EQ(quarrystone({"--render", dir}).code, 0);
    EXPECT_TRUE(untouched());
    writeFile(dir + "/history/plan-260101-120000.json", cleanPlan);
    untouched = linkAll(editedPlan);
    EXPECT_EQ(quarrystone({"--revise", dir, "--undo"}).code, 0);
    EXPECT_TRUE(untouched());
    writeFile(dir + "/history/plan-260101-130000.json", cleanPlan);
    untouched = linkAll(editedPlan);
    QFile::remove(dir + "/history/revision-under-way");
    writeFile(dir + "/history/revision-under-way", "plan-260101-130000.json\n");
    EXPECT_TRUE(FolderClaim::take(dir, AppSettings()).rolledBack());
    EXPECT_TRUE(untouched() && !QFileInfo(dir + "/history/revisions.md").isSymLink());
}

// A plan.json or a history/ that leads out of the plan folder is never read
// or written through: every mode refuses before Claude starts, and the
// files outside stay as they were. A claim that rolls a cut revision back
// copies the plan in over the link.
TEST_F(HeadlessReviseTest, ALinkedPlanOrHistoryLeadsNowhere)
{
    const QString outside = work.filePath("outside");
    QDir().mkpath(outside);
    writeFile(outside + "/plan.json", editedPlan);
    QFile::remove(dir + "/plan.json");
    QFile::link(outside + "/plan.json", dir + "/plan.json");
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(brokenMovePlan), FakeClaude::resultEvent("고쳤어요")}}});
    const QString linked = "링크예요(따라가지 않아요)";
    for (const QStringList &arguments : {QStringList{"--revise", dir, "--request", "고쳐 줘"}, QStringList{"--render", dir}}) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        const auto r = quarrystone(arguments);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.contains(linked)) << qPrintable(r.err);
    }
    writeFile(dir + "/history/plan-260101-120000.json", cleanPlan);
    auto r = quarrystone({"--revise", dir, "--undo"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(linked)) << qPrintable(r.err);
    EXPECT_EQ(readFile(outside + "/plan.json"), editedPlan);
    EXPECT_TRUE(QFileInfo(dir + "/plan.json").isSymLink());
    EXPECT_EQ(backups(dir), QStringList{"plan-260101-120000.json"});
    EXPECT_TRUE(fake.records("start").isEmpty());
    writeFile(dir + "/history/revision-under-way", "plan-260101-120000.json\n");
    EXPECT_TRUE(FolderClaim::take(dir, AppSettings()).rolledBack());
    const QByteArray plan = readFile(dir + "/plan.json");
    EXPECT_FALSE(QFileInfo(dir + "/plan.json").isSymLink());
    EXPECT_EQ(Plan::decode(plan).toJson().value("screens"), Plan::decode(cleanPlan).toJson().value("screens"));
    EXPECT_EQ(readFile(outside + "/plan.json"), editedPlan);

    // history/ leads to a folder outside that holds what looks like an undo
    // point: neither an undo nor a revision takes it, deletes it or writes
    // beside it.
    QDir(dir + "/history").removeRecursively();
    QFile::remove(outside + "/plan.json");
    writeFile(outside + "/plan-991231-235900.json", editedPlan);
    writeFile(outside + "/revisions.md", "outside log");
    QFile::link(outside, dir + "/history");
    const QStringList there = QDir(outside).entryList(QDir::Files);
    for (const QStringList &arguments :
         {QStringList{"--revise", dir, "--undo"}, QStringList{"--revise", dir, "--request", "고쳐 줘"}}) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        r = quarrystone(arguments);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.contains("폴더가 아니거나 링크라서 쓰지 않았어요: " + dir + "/history")) << qPrintable(r.err);
        EXPECT_EQ(readFile(dir + "/plan.json"), plan);
        EXPECT_EQ(QDir(outside).entryList(QDir::Files), there);
        EXPECT_EQ(readFile(outside + "/plan-991231-235900.json"), editedPlan);
        EXPECT_EQ(readFile(outside + "/revisions.md"), QByteArray("outside log"));
    }
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// A 64 GB sparse file at each name the program reads whole, in each mode
// that reads it: the mode ends with its own answer or a Korean refusal
// naming the file and its size, never with a signal or a wait for ever.
TEST_F(HeadlessReviseTest, AHugeFileAtANameReadWholeEndsTheModeInKorean)
{
    const QString page = ChatPlans::writeSharedPage(work.filePath("shared"), "Chat", "공유된 제목",
                                                    TestImages::png(2, 2, 10), TestImages::png(2, 2, 20));
    const QStringList names{"plan.json", "plan.md", "index.html", "figma-section.json", "request.json",
                            ".quarrystone-made-from", "history/revisions.md", "history/revision-under-way", "img/a.png"};
    const QList<QStringList> modes{{"--render", dir},
                                   {"--revise", dir, "--request", "제목을 고쳐 줘"},
                                   {"--revise", dir, "--undo"},
                                   {"--import", page, "--into", dir}};
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("고쳤어요")}}});
    for (const QString &name : names)
        for (const QStringList &mode : modes) {
            SCOPED_TRACE(qPrintable(name + " · " + mode.first()));
            QDir(dir).removeRecursively();
            ChatPlans::writeFolder(dir);
            writeFile(dir + "/history/plan-260101-120000.json", cleanPlan);
            QDir(dir).mkpath("img");
            {
                QFile huge(dir + "/" + name);
                ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
                ASSERT_TRUE(huge.resize(qint64(64) << 30));
            }
            const auto r = quarrystone(mode);
            ASSERT_TRUE(r.code == 0 || r.code == 1) << r.code << qPrintable(r.err);
            if (r.code == 1) {
                EXPECT_TRUE(r.err.contains(QRegularExpression("[가-힣]"))) << qPrintable(r.err);
            }
            // The plan is refused and left as it was.
            if (name == "plan.json") {
                EXPECT_EQ(r.code, 1);
                EXPECT_TRUE(r.err.contains("파일이 너무 커요: plan.json (64GB, 많아야 512MB)")) << qPrintable(r.err);
                EXPECT_EQ(QFileInfo(dir + "/plan.json").size(), qint64(64) << 30);
            }
        }
}

// The claude tool's own configuration is read as the person's file, never
// waited on: a pipe at ~/.claude.json or at its settings.json (which no
// writer feeds) and a 64 GB ~/.claude.json neither hang a revision that asks
// for a wiki nor end it; the revision goes on without the wiki's server, and
// the connection check names what it could not read.
TEST_F(HeadlessReviseTest, TheToolsConfigurationNeverHoldsARevision)
{
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("고쳤어요")}}});
    const QString config = home.filePath(".claude.json");
    const QString settings = home.filePath(".claude/settings.json");
    QDir(home.path()).mkpath(".claude");
    const QString pipe = "✗ Wiki: Claude Code 설정 파일을 읽지 못했어요: " + config + " (보통 파일이 아니에요)\n";
    struct Row {
        const char *what;
        std::function<void()> make;
        // What the connection check says of the wiki; nothing for no check.
        QString wiki;
    };
    const QList<Row> rows{
        {"a pipe at ~/.claude.json", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(config).constData(), 0600), 0); }, pipe},
        {"a link to a pipe", [&] {
             ASSERT_EQ(::mkfifo(QFile::encodeName(home.filePath("pipe")).constData(), 0600), 0);
             ASSERT_TRUE(QFile::link(home.filePath("pipe"), config));
         }, pipe},
        {"64 GB at ~/.claude.json", [&] {
             QFile huge(config);
             ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
             ASSERT_TRUE(huge.resize(qint64(64) << 30));
         }, "✗ Wiki: Claude Code 설정 파일을 읽지 못했어요: " + config + " (파일이 너무 커요: .claude.json (64GB, 많아야 64MB))\n"},
        // The stand-in reads the tool's settings as the tool does, and
        // would wait at the pipe in the check: this row checks the revision
        // alone.
        {"a pipe at the tool's settings", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0); },
         QString()},
    };
    for (const auto &[what, make, wiki] : rows) {
        SCOPED_TRACE(what);
        for (const QString &path : {config, settings, home.filePath("pipe")})
            QFile::remove(path);
        ChatPlans::writeFolder(dir);
        make();
        const auto r = quarrystone({"--revise", dir, "--request", "위키 https://team.atlassian.net/wiki/x 대로 고쳐 줘"});
        EXPECT_EQ(r.code, 0) << qPrintable(r.err);
        EXPECT_EQ(Plan::decode(readFile(dir + "/plan.json")).meta.title, "고친 제목");
        if (wiki.isEmpty())
            continue;
        const auto checked = quarrystone({"--check-connections"});
        EXPECT_TRUE(checked.out.contains(wiki)) << qPrintable(checked.out);
    }
}

// history/ swapped for a link to a folder of the person's while an undo or
// a revision works: the backup, the kept plan, the record of the revision
// under way and the log are read, written and removed beneath the plan
// folder or not at all, so the folder outside keeps every file as it was
// and the plan never becomes a file from outside. As many tries of each as
// QUARRYSTONE_RACE_TRIES says (200 when unset).
TEST_F(HeadlessReviseTest, WithHistorySwappedForALinkNothingOutsideIsHarmed)
{
    const int tries = qEnvironmentVariableIsSet("QUARRYSTONE_RACE_TRIES") ? qEnvironmentVariableIntValue("QUARRYSTONE_RACE_TRIES") : 200;
    const QString outside = work.filePath("outside");
    const QString backupName = "plan-260101-120000.json";
    const QByteArray outsidePlan = R"({"meta": {"feature": "Chat", "title": "밖의 계획"}, "screens": [{"id": "a", "name": "ChatA"}]})";
    writeFile(outside + "/" + backupName, outsidePlan);
    writeFile(outside + "/revisions.md", "## 밖의 기록\n");
    writeFile(outside + "/revision-under-way", "plan-260101-120000.json\n");
    const QMap<QString, QByteArray> outsideBefore = LinkSwapper::filesBelow(outside);
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("고쳤어요")}}});
    const QList<std::pair<const char *, QStringList>> operations{
        {"undo", {"--revise", dir, "--undo"}},
        {"revise", {"--revise", dir, "--request", "제목을 고쳐 줘"}},
    };
    for (const auto &[what, arguments] : operations) {
        int harms = 0;
        int done = 0;
        for (int attempt = 0; attempt < tries; ++attempt) {
            writeFile(dir + "/history/" + backupName, editedPlan);
            CommandLine::Outcome r;
            {
                LinkSwapper swapper(dir + "/history", outside);
                r = quarrystone(arguments);
            }
            done += r.code == 0 ? 1 : 0;
            const bool outsideChanged = LinkSwapper::filesBelow(outside) != outsideBefore;
            const bool planFromOutside = readFile(dir + "/plan.json").contains("밖의 계획");
            if (outsideChanged || planFromOutside) {
                ++harms;
                ADD_FAILURE() << what << " try " << attempt << ": outside " << (outsideChanged ? "changed" : "kept")
                              << ", plan " << (planFromOutside ? "from outside" : "own") << "\n" << qPrintable(r.out + r.err);
                QDir(outside).removeRecursively();
                for (auto it = outsideBefore.begin(); it != outsideBefore.end(); ++it)
                    writeFile(outside + "/" + it.key(), it.value());
            }
            if (QFileInfo(dir + "/history").isSymLink()) {
                QFile::remove(dir + "/history");
                QDir(dir).rename("history-parked", "history");
            }
            QDir(dir + "/history").removeRecursively();
            ChatPlans::writeFolder(dir);
        }
        std::cout << what << " with history/ swapped: " << tries << " tries, " << done << " done, " << harms << " harms\n";
        EXPECT_EQ(harms, 0) << what;
        EXPECT_GT(done, 0) << what;
    }
}
