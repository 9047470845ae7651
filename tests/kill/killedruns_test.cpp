#include "core/jsonread.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/plan.h"
#include "support/chatplans.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// The built binary killed (SIGKILL to its whole process group, as a crash of
// the terminal would) at random moments of each writing mode, then checked:
// plan.json whole and either the plan before or a finished result (or, for
// a revision, rolled back by the next run), every history/ file whole, no
// temporary file left after the next run, and the next run of the same
// operation succeeding. QUARRYSTONE_KILLS sets the kills per mode (a few in
// the suite, hundreds by hand); the figures go to standard output.

namespace {

using TestFiles::json;
using TestFiles::readFile;
using TestFiles::writeFile;

const QString rolledBack = QStringLiteral("중단된 고치기를 되돌렸어요: ");
const QString busyPrefix = QStringLiteral("다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: ");
const QString designLink = QStringLiteral("https://www.figma.com/design/KEY/Harbor?node-id=1-1");

int killsPerMode()
{
    bool ok = false;
    const int wanted = qEnvironmentVariableIntValue("QUARRYSTONE_KILLS", &ok);
    return ok && wanted > 0 ? wanted : 4;
}

QByteArray planTitled(const QString &title)
{
    return json({{"meta", QJsonObject{{"feature", "Chat"}, {"title", title}}},
                 {"screens", QJsonArray{QJsonObject{{"id", "a"}, {"name", "ChatA"}, {"title", "A"}}}}});
}

// Whether the process `pid` holds the lock of the folder `dir`, as the
// system's table of locks says: reading it takes no lock of its own.
bool holdsLock(qint64 pid, const QString &dir)
{
    struct stat info {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (::stat(QFile::encodeName(dir).constData(), &info) != 0 || !locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray inode = ':' + QByteArray::number(quint64(info.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        // "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF"
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[4].toLongLong() == pid && fields[5].endsWith(inode))
            return true;
    }
    return false;
}

std::optional<QJsonObject> object(const QByteArray &bytes)
{
    try {
        return parseObject(bytes);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
}

QString titleOf(const QByteArray &bytes)
{
    const std::optional<QJsonObject> plan = object(bytes);
    return plan ? plan->value("meta").toObject().value("title").toString() : QString();
}

// What a mode's runs add to a plan folder by name (the pictures an import
// replaced are kept beside its undo point); anything else (a temporary file
// of a write that was cut short) is a leftover.
bool known(const QString &relative)
{
    static const QRegularExpression names(
        R"(^(plan\.json|plan\.md|index\.html|request\.json|figma-section\.json|figma-metadata\.xml|\.claude-draft\.txt|img|img/[^/]+\.png|spec-docs|api-docs|history|history/(plan-\d{6}-\d{6}(_\d{4})?\.json|plan-\d{6}-\d{6}(_\d{4})?\.img(/[^/]+\.png)?|kept-\d{6}-\d{6}(-\d+)?\.json|revisions\.md|revision-under-way)|\.quarrystone-made-from)$)");
    return names.match(relative).hasMatch();
}

QStringList leftovers(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(dir).relativeFilePath(it.next());
        if (!known(relative))
            found.append(relative);
    }
    return found;
}

// Every file of history/ whole: each backup reads as an object, the log is
// UTF-8 made of entries. Kept copies hold whatever was in plan.json, which
// may be what a killed Claude was cutting short: they are checked where they
// are made.
QStringList cutHistoryFiles(const QString &dir)
{
    QStringList cut;
    const QDir history(dir + "/history");
    for (const QString &name : history.entryList(QDir::Files | QDir::Hidden)) {
        const QByteArray bytes = readFile(history.filePath(name));
        if (name.startsWith("plan-") && !object(bytes))
            cut.append(name);
        if (name == "revisions.md") {
            QStringDecoder utf8(QStringDecoder::Utf8);
            const QString text = utf8(bytes);
            if (utf8.hasError() || !(text.isEmpty() || (text.startsWith("## ") && text.endsWith("\n\n"))))
                cut.append(name);
        }
    }
    return cut;
}

// The three files tell the same plan: its title is in plan.md and the page.
bool agree(const QString &dir)
{
    const QString title = titleOf(readFile(dir + "/plan.json"));
    return !title.isEmpty() && QString::fromUtf8(readFile(dir + "/plan.md")).contains(title)
        && QString::fromUtf8(readFile(dir + "/index.html")).contains(title);
}

// The bwrap runs are started with while it lives; the one chosen before
// (the whole harness run without namespaces) comes back after.
class Bwrap
{
public:
    explicit Bwrap(const QByteArray &path)
        : m_before(qgetenv("QUARRYSTONE_BWRAP"))
        , m_wasSet(qEnvironmentVariableIsSet("QUARRYSTONE_BWRAP"))
    {
        qputenv("QUARRYSTONE_BWRAP", path);
    }
    ~Bwrap()
    {
        if (m_wasSet)
            qputenv("QUARRYSTONE_BWRAP", m_before);
        else
            qunsetenv("QUARRYSTONE_BWRAP");
    }
    Bwrap(const Bwrap &) = delete;
    Bwrap &operator=(const Bwrap &) = delete;

private:
    const QByteArray m_before;
    const bool m_wasSet;
};

// Runs get no namespaces while it lives, as where bwrap cannot make them.
struct Fallback : Bwrap {
    Fallback()
        : Bwrap("/nonexistent")
    {
    }
};

class KilledRuns : public testing::Test
{
protected:
    void SetUp() override
    {
        // As a normal user a run is in a user namespace of its own, from
        // which the stand-in cannot read our environment: it finds its
        // scenario through the home folder the binary is given.
        QFile::copy(QDir::homePath() + "/.fake-claude.json", home.filePath(".fake-claude.json"));
        CommandLine::writeSettings(home.path(), json({{"claudePath", FakeClaude::path()},
                                                      {"userName", "테스터"},
                                                      {"figmaMode", "mcp"},
                                                      {"setupDone", true},
                                                      {"outputDir", work.filePath("default-out")}}));
    }

    void TearDown() override
    {
        std::cout << "[ figures ] " << testing::UnitTest::GetInstance()->current_test_info()->name() << ": " << kills
                  << " kills mid-run, " << finishedFirst << " runs ended before their kill, " << refused
                  << " second writers refused, " << processesLeft << " runs with a process left, " << mixed
                  << " mixed folders after the next use, " << unasked << " unasked edits, " << failures
                  << " failed checks\n";
    }

    // A check that counts toward the figures as well as failing the test.
    void check(bool ok, const QString &what)
    {
        if (ok)
            return;
        ++failures;
        ADD_FAILURE() << qPrintable(what);
    }

    CommandLine::Outcome run(const QStringList &arguments)
    {
        return CommandLine::run(arguments, home.path(), work.path());
    }

    // Starts the binary in a process group of its own.
    void start(QProcess &process, const QStringList &arguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("HOME", home.path());
        env.insert("QUARRYSTONE_SUPPORT", home.path() + "/support");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(work.path());
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
        process.start(QStringLiteral(QUARRYSTONE_BINARY), arguments);
        ASSERT_TRUE(process.waitForStarted());
    }

    // How long an unkilled run of the command takes, in milliseconds.
    qint64 timed(const QStringList &arguments)
    {
        QElapsedTimer timer;
        timer.start();
        const CommandLine::Outcome r = run(arguments);
        EXPECT_EQ(r.code, 0) << qPrintable(r.err);
        return std::max<qint64>(timer.elapsed(), 20);
    }

    // Runs the command and SIGKILLs its process group at a random moment
    // within `spanMs`. Claude, in a group of its own, dies with it: every
    // stand-in the run started is gone (one left is counted and killed).
    void killWithin(const QStringList &arguments, qint64 spanMs)
    {
        QProcess process;
        start(process, arguments);
        const pid_t group = static_cast<pid_t>(process.processId());
        QThread::msleep(QRandomGenerator::global()->bounded(static_cast<quint32>(spanMs)));
        if (!process.waitForFinished(0))
            ++kills;
        else
            ++finishedFirst;
        ::kill(-group, SIGKILL);
        process.waitForFinished(20000);
        checkNoneLeft();
    }

    void checkNoneLeft()
    {
        const bool none = fake.noneRunning();
        processesLeft += none ? 0 : 1;
        check(none, "a stand-in of the run is left after the application died");
        for (const qint64 left : fake.running())
            ::kill(static_cast<pid_t>(left), SIGKILL);
    }

    // The next run of the same operation succeeds and leaves a whole,
    // agreeing folder with no temporary file in it.
    CommandLine::Outcome nextRun(const QStringList &arguments, const QString &dir)
    {
        const CommandLine::Outcome r = run(arguments);
        check(r.code == 0, "the next run failed: " + r.err);
        check(agree(dir), "plan.json, plan.md and index.html disagree after the next run in " + dir);
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        check(leftovers(dir).isEmpty(), "left after the next run: " + leftovers(dir).join(", "));
        return r;
    }

    // The next use of a killed run's folder, one that writes no plan of its
    // own (a revision without its request, refused once it has claimed the
    // folder), leaves plan.json, plan.md and index.html telling one plan.
    void nextUseMends(const QString &dir)
    {
        if (!QFileInfo::exists(dir + "/plan.json"))
            return;
        const CommandLine::Outcome r = run({"--revise", dir});
        check(r.code == 1, "the folder's next use did not claim it: " + r.err);
        check(agree(dir), "plan.json, plan.md and index.html disagree after the next use of " + dir);
        if (!agree(dir))
            ++mixed;
    }

    // A plan folder written by the binary itself from `plan`.
    QString renderedFolder(const QString &name, const QByteArray &plan)
    {
        const QString dir = work.filePath(name);
        writeFile(dir + "/plan.json", plan);
        const CommandLine::Outcome r = run({"--render", dir});
        EXPECT_TRUE(r.code == 0 || r.code == 2) << qPrintable(r.err);
        return dir;
    }

    // A revision's answer: Claude reads, writes the plan titled `title`, and
    // answers, with pauses between that give kills somewhere to land.
    void reviseWrites(const QString &title)
    {
        fake.setScenario({{"steps", QJsonArray{QJsonObject{{"sleep", 30}}, FakeClaude::writePlan(planTitled(title)),
                                               QJsonObject{{"sleep", 30}}, FakeClaude::resultEvent("- 제목을 바꿈")}}});
    }

    // A page written by this system from a plan titled `title` with two
    // screen images.
    QString sharedPage(const QString &folder, const QString &title)
    {
        const auto image = [&title](char fill) {
            return QByteArray("\x89PNG\r\n\x1a\n") + QByteArray(200000, fill) + title.toUtf8();
        };
        return ChatPlans::writeSharedPage(work.filePath(folder), "Chat", title, image('a'), image('b'));
    }

    // The stand-in's answers for a generation: the section over MCP, then a
    // draft titled `title`.
    void generationWrites(const QString &title)
    {
        const QJsonObject frame{{"id", "1:2"}, {"name", "F2"}, {"x", 0}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}}};
        const QJsonObject section{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Harbor"},
                                  {"frames", QJsonArray{frame}}, {"notes", QJsonArray{}}};
        const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"1:2"}}};
        const QJsonObject plan{{"meta", QJsonObject{{"feature", "Kill"}, {"title", title}}}, {"screens", QJsonArray{screen}}};
        fake.setScenario({{"responses", QJsonArray{
            QJsonObject{{"stdinContains", "Figma MCP 도구로"},
                        {"steps", QJsonArray{QJsonObject{{"sleep", 30}},
                                             FakeClaude::resultEvent("```json\n" + QString::fromUtf8(json(section)) + "\n```")}}},
            QJsonObject{{"stdinContains", "## 입력"},
                        {"steps", QJsonArray{QJsonObject{{"sleep", 30}},
                                             FakeClaude::resultEvent("```json\n" + QString::fromUtf8(json(plan)) + "\n```")}}},
        }}});
    }

    void everyRunEndsWhole();

    QTemporaryDir home;
    QTemporaryDir work;
    FakeClaude fake;
    int kills = 0;
    int finishedFirst = 0;
    int refused = 0;
    int processesLeft = 0;
    int failures = 0;
    int mixed = 0;
    int unasked = 0;
};

} // namespace

TEST_F(KilledRuns, Revise)
{
    const QString dir = renderedFolder("revise", ChatPlans::cleanPlan);
    reviseWrites("판 0");
    const qint64 span = timed({"--revise", dir, "--request", "고쳐 줘"});
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString title = QStringLiteral("판 %1").arg(n);
        reviseWrites(title);
        const QByteArray before = readFile(dir + "/plan.json");
        killWithin({"--revise", dir, "--request", "고쳐 줘"}, span);
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        if (QFileInfo::exists(dir + "/history/revision-under-way")) {
            const QString backup = QString::fromUtf8(readFile(dir + "/history/revision-under-way")).section(u'\n', 0, 0);
            check(readFile(dir + "/history/" + backup) == before, "the recorded backup is not the plan before");
            // Any mode rolls the interrupted revision back, keeping what
            // Claude left as it was.
            const QByteArray left = readFile(dir + "/plan.json");
            const QStringList keptBefore = TestFiles::historyFiles(dir, "kept-*.json");
            const CommandLine::Outcome render = run({"--render", dir});
            QStringList kept = TestFiles::historyFiles(dir, "kept-*.json");
            for (const QString &name : keptBefore)
                kept.removeOne(name);
            check(left == before || (kept.size() == 1 && readFile(dir + "/history/" + kept.value(0)) == left),
                  "what Claude left is not kept as it was");
            check(render.err.startsWith(rolledBack), "no rollback line: " + render.err);
            check(readFile(dir + "/plan.json") == before, "the rollback did not bring the plan before back");
            check(agree(dir), "plan.json, plan.md and index.html disagree after the rollback");
        } else {
            const QByteArray now = readFile(dir + "/plan.json");
            check(now == before || (object(now) && titleOf(now) == title), "plan.json is neither before nor finished");
        }
        nextRun({"--revise", dir, "--request", "고쳐 줘"}, dir);
        check(titleOf(readFile(dir + "/plan.json")) == title, "the next revision's plan is not in place");
    }
}

TEST_F(KilledRuns, Undo)
{
    const QString dir = renderedFolder("undo", ChatPlans::cleanPlan);
    for (const char *title : {"판 0", "판 00"}) {
        reviseWrites(title);
        ASSERT_EQ(run({"--revise", dir, "--request", "고쳐 줘"}).code, 0);
    }
    const qint64 span = timed({"--revise", dir, "--undo"});
    for (int n = 1; n <= killsPerMode(); ++n) {
        for (const QString &title : {QStringLiteral("판 %1-1").arg(n), QStringLiteral("판 %1-2").arg(n)}) {
            reviseWrites(title);
            ASSERT_EQ(run({"--revise", dir, "--request", "고쳐 줘"}).code, 0);
        }
        const QByteArray before = readFile(dir + "/plan.json");
        const QByteArray target = readFile(dir + "/history/" + TestFiles::historyFiles(dir, "plan-*.json").last());
        killWithin({"--revise", dir, "--undo"}, span);
        nextUseMends(dir);
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        const QByteArray now = readFile(dir + "/plan.json");
        check(now == before || now == target, "plan.json is neither before nor the undone plan");
        nextRun({"--revise", dir, "--undo"}, dir);
    }
}

TEST_F(KilledRuns, ImportToANewFolder)
{
    const QString page = sharedPage("source", "공유된 계획");
    const qint64 span = timed({"--import", page, "--out", work.filePath("out-0")});
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString out = work.filePath(QStringLiteral("out-%1").arg(n));
        const QString dir = out + "/Chat-plan-imported";
        killWithin({"--import", page, "--out", out}, span);
        nextUseMends(dir);
        if (QFileInfo::exists(dir + "/plan.json"))
            check(titleOf(readFile(dir + "/plan.json")) == "공유된 계획", "a killed import left a cut plan.json");
        for (const char *id : {"a", "b"}) {
            const QString image = dir + "/img/" + id + ".png";
            if (QFileInfo::exists(image))
                check(readFile(image) == readFile(work.filePath("source/img/") + id + ".png"), "a cut image");
        }
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        const CommandLine::Outcome r = nextRun({"--import", page, "--out", out}, dir);
        check(r.out.endsWith(" (그림 2개)\n"), "the next import did not write both images: " + r.out);
    }
}

TEST_F(KilledRuns, ImportIntoAPlan)
{
    const QString dir = renderedFolder("into", ChatPlans::cleanPlan);
    const QStringList pages{sharedPage("source-a", "공유 A"), sharedPage("source-b", "공유 B")};
    const qint64 span = timed({"--import", pages.first(), "--into", dir});
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString page = pages.at(n % 2);
        const QByteArray before = readFile(dir + "/plan.json");
        killWithin({"--import", page, "--into", dir}, span);
        nextUseMends(dir);
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        const QByteArray now = readFile(dir + "/plan.json");
        check(now == before || titleOf(now) == (n % 2 ? "공유 B" : "공유 A"), "plan.json is neither before nor imported");
        nextRun({"--import", page, "--into", dir}, dir);
    }
}

TEST_F(KilledRuns, Redraft)
{
    generationWrites("초안 0");
    const QString out = work.filePath("gen");
    ASSERT_EQ(run({"--generate", designLink, "--feature", "Kill", "--out", out}).code, 0);
    const QString dir = out + "/Kill-plan";
    const qint64 span = timed({"--redraft", dir});
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString title = QStringLiteral("초안 %1").arg(n);
        generationWrites(title);
        const QByteArray before = readFile(dir + "/plan.json");
        killWithin({"--redraft", dir}, span);
        nextUseMends(dir);
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        const QByteArray now = readFile(dir + "/plan.json");
        check(now == before || titleOf(now) == title, "plan.json is neither before nor the new draft");
        nextRun({"--redraft", dir}, dir);
        check(titleOf(readFile(dir + "/plan.json")) == title, "the redraft's plan is not in place");
    }
}

TEST_F(KilledRuns, Generate)
{
    generationWrites("초안");
    const qint64 span = timed({"--generate", designLink, "--feature", "Kill", "--out", work.filePath("gen-0")});
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString out = work.filePath(QStringLiteral("gen-%1").arg(n));
        const QString dir = out + "/Kill-plan";
        killWithin({"--generate", designLink, "--feature", "Kill", "--out", out}, span);
        nextUseMends(dir);
        if (QFileInfo::exists(dir + "/plan.json"))
            check(titleOf(readFile(dir + "/plan.json")) == "초안", "a killed generation left a cut plan.json");
        check(cutHistoryFiles(dir).isEmpty(), "cut history files: " + cutHistoryFiles(dir).join(", "));
        // A killed generation resumes with a redraft; a new one still runs.
        if (QFileInfo::exists(dir + "/request.json"))
            nextRun({"--redraft", dir}, dir);
        const CommandLine::Outcome again = run({"--generate", designLink, "--feature", "Kill", "--out", out});
        check(again.code == 0, "the next generation failed: " + again.err);
    }
}

// Two revisions of one folder at once, and a render during a revision: the
// second writer is refused while the first holds the folder, and no finished
// revision is lost.
TEST_F(KilledRuns, OverlappingRunsLoseNoFinishedRevision)
{
    const QString dir = renderedFolder("overlap", ChatPlans::cleanPlan);
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString first = QStringLiteral("첫째 %1").arg(n);
        const QString second = QStringLiteral("둘째 %1").arg(n);
        const auto answer = [](const QString &title) {
            return QJsonArray{QJsonObject{{"sleep", 150}}, FakeClaude::writePlan(planTitled(title)),
                              QJsonObject{{"sleep", 50}}, FakeClaude::resultEvent("- " + title)};
        };
        fake.setScenario({{"responses", QJsonArray{QJsonObject{{"stdinContains", first}, {"steps", answer(first)}},
                                                   QJsonObject{{"stdinContains", second}, {"steps", answer(second)}}}}});
        const bool render = n % 2 == 0;
        QProcess a;
        QProcess b;
        start(a, {"--revise", dir, "--request", first});
        // The second writer comes at a random moment after the first has
        // taken the folder (before, it would rightly be the first), or has
        // even finished with it.
        ASSERT_TRUE(QTest::qWaitFor([&] { return holdsLock(a.processId(), dir) || a.state() == QProcess::NotRunning; }, 60000));
        QThread::msleep(QRandomGenerator::global()->bounded(600u));
        start(b, render ? QStringList{"--render", dir} : QStringList{"--revise", dir, "--request", second});
        ASSERT_TRUE(a.waitForFinished(120000));
        ASSERT_TRUE(b.waitForFinished(120000));
        const QString aErr = QString::fromUtf8(a.readAllStandardError());
        const QString bErr = QString::fromUtf8(b.readAllStandardError());
        if (a.exitCode() == 1 && aErr == busyPrefix + dir + "\n") {
            // Started a moment later, the second took the folder first: the
            // first was the one refused, and the second's result stands.
            ++refused;
            check(b.exitCode() == 0, "the second writer failed after taking the folder first: " + bErr);
            if (!render)
                check(titleOf(readFile(dir + "/plan.json")) == second, "the finished second revision is not in plan.json");
            check(agree(dir), "plan.json, plan.md and index.html disagree");
            check(leftovers(dir).isEmpty(), "left behind: " + leftovers(dir).join(", "));
            continue;
        }
        refused += b.exitCode() == 1 ? 1 : 0;
        check(a.exitCode() == 0, "the first revision failed: " + aErr);
        check(b.exitCode() != 1 || bErr == busyPrefix + dir + "\n", "the second writer failed otherwise: " + bErr);
        const QString title = titleOf(readFile(dir + "/plan.json"));
        const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
        if (render || b.exitCode() != 0) {
            check(title == first, "the finished revision is not in plan.json: " + title);
        } else {
            check(title == second, "the later finished revision is not in plan.json: " + title);
            check(log.contains("> " + second), "the second revision is not logged");
        }
        check(log.contains("> " + first), "the first revision is not logged");
        check(agree(dir), "plan.json, plan.md and index.html disagree");
        check(leftovers(dir).isEmpty(), "left behind: " + leftovers(dir).join(", "));
    }
}

// The application alone is killed (a crash, the OOM killer, `kill <pid>`)
// while Claude still works, and the folder is used again at once: Claude
// dies with the application, so the edit it was about to make never lands
// after the next run has rolled the revision back, and no process of the
// run is left.
TEST_F(KilledRuns, TheApplicationDiesAloneWhileClaudeStillWorks)
{
    const QString dir = renderedFolder("alone", planTitled("원래"));
    for (int n = 1; n <= killsPerMode(); ++n) {
        const QString ghost = QStringLiteral("유령 %1").arg(n);
        // Long enough for the next run to be over before the edit would land.
        fake.setScenario({{"steps", QJsonArray{QJsonObject{{"sleep", 3000}}, FakeClaude::writePlan(planTitled(ghost)),
                                               FakeClaude::resultEvent("- 유령")}}});
        const qsizetype started = fake.records("start").size();
        QProcess process;
        start(process, {"--revise", dir, "--request", "고쳐 줘"});
        QElapsedTimer timer;
        timer.start();
        while (fake.records("start").size() == started && timer.elapsed() < 20000)
            QThread::msleep(5);
        ASSERT_GT(fake.records("start").size(), started);
        QThread::msleep(QRandomGenerator::global()->bounded(200u));
        CommandLine::signal(process, SIGKILL);
        ASSERT_TRUE(process.waitForFinished(20000));
        ++kills;

        const CommandLine::Outcome next = run({"--render", dir});
        check(next.code == 0 || next.code == 2, "the next run failed: " + next.err);
        checkNoneLeft();
        check(titleOf(readFile(dir + "/plan.json")) != ghost, "an edit nobody asked for landed in plan.json");
        check(agree(dir), "plan.json, plan.md and index.html disagree after the next run");
        check(leftovers(dir).isEmpty(), "left after the next run: " + leftovers(dir).join(", "));
    }
}

// The application alone is killed at a random moment of every mode that
// runs Claude, while what Claude started ignores SIGTERM and would write
// plan.json a moment later: 3 seconds after the application died no process
// of the run is left, and no edit nobody asked for lands in any plan. What
// Claude started has left the run's process group and its folder, as a
// daemon does, which matters where runs get no namespaces. Every other kill
// lands in the first 50 ms of the run instead.
TEST_F(KilledRuns, EveryRunEndsWholeWhenTheApplicationAloneDies)
{
    everyRunEndsWhole();
}

TEST_F(KilledRuns, WithoutNamespacesEveryRunEndsWholeEvenWhatLeftItsGroup)
{
    const Fallback fallback;
    everyRunEndsWhole();
}

void KilledRuns::everyRunEndsWhole()
{
    const QString revised = renderedFolder("whole-revise", planTitled("원래"));
    generationWrites("초안");
    const CommandLine::Outcome generated = run({"--generate", designLink, "--feature", "Kill", "--out", work.filePath("whole-gen")});
    ASSERT_EQ(generated.code, 0) << qPrintable(generated.err);
    const QString redrafted = work.filePath("whole-gen") + "/Kill-plan";
    const QString ghost = QStringLiteral("유령");
    // Every fourth daemon also empties its environment (`env -i`): nothing
    // of the run names it, and only its ancestry is left to find it by.
    const auto steps = [&ghost](bool emptyEnvironment) {
        const QJsonObject lingering{
            {"startChild", QJsonObject{{"ignoreSigterm", true}, {"daemonise", true}, {"emptyEnvironment", emptyEnvironment},
                                       {"write", QJsonObject{{"ms", 1500}, {"path", "plan.json"},
                                                             {"content", QString::fromUtf8(planTitled(ghost))}}}}}};
        return QJsonArray{lingering, QJsonObject{{"sleep", 400}}, FakeClaude::resultEvent("- 끝")};
    };
    for (int n = 1; n <= killsPerMode(); ++n) {
        const bool emptyEnvironment = n % 4 == 1;
        const int mode = n % 3;
        const QString out = work.filePath(QStringLiteral("whole-new-%1").arg(n));
        const QStringList arguments = mode == 0 ? QStringList{"--revise", revised, "--request", "고쳐 줘"}
            : mode == 1                         ? QStringList{"--redraft", redrafted}
                                                : QStringList{"--generate", designLink, "--feature", "Kill", "--out", out};
        const QString dir = mode == 0 ? revised : mode == 1 ? redrafted : out + "/Kill-plan";
        fake.setScenario({{"steps", steps(emptyEnvironment)}});
        const qsizetype started = fake.records("child").size();
        QProcess process;
        start(process, arguments);
        if (n % 2 == 0) {
            QThread::msleep(QRandomGenerator::global()->bounded(50u));
        } else if (!QTest::qWaitFor([&] { return fake.records("child").size() > started; }, 20000)) {
            process.kill();
            process.waitForFinished();
            FAIL() << qPrintable(arguments.join(' ')) << ": " << process.exitCode() << " "
                   << process.readAllStandardError().toStdString();
        }
        if (n % 2 != 0)
            QThread::msleep(QRandomGenerator::global()->bounded(300u));
        CommandLine::signal(process, SIGKILL);
        ASSERT_TRUE(process.waitForFinished(20000));
        ++kills;
        QElapsedTimer sinceKill;
        sinceKill.start();
        bool none = fake.noneRunning(3000);
        if (emptyEnvironment && fake.records("child").size() > started) {
            // Not found by its environment: by its number, and by the write
            // it would have made by then.
            const auto daemon = static_cast<pid_t>(fake.records("child").last().value("child").toInteger());
            const auto gone = [daemon] {
                // A zombie runs no more, whoever reaps it.
                const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(daemon));
                return stat.isEmpty() || stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
            };
            while (!gone() && sinceKill.elapsed() < 3000)
                QThread::msleep(20);
            none = none && gone();
            if (!gone())
                ::kill(daemon, SIGKILL);
            QThread::msleep(std::max<qint64>(0, 2000 - sinceKill.elapsed()));
        }
        processesLeft += none ? 0 : 1;
        check(none, "a process of the run is left 3 s after the application died");
        for (const qint64 left : fake.running()) {
            std::cout << "[ left ] " << left << " " << readFile(QStringLiteral("/proc/%1/stat").arg(left)).toStdString()
                      << "\n";
            ::kill(static_cast<pid_t>(left), SIGKILL);
        }
        if (QFileInfo::exists(dir + "/plan.json")) {
            const bool asked = titleOf(readFile(dir + "/plan.json")) != ghost;
            unasked += asked ? 0 : 1;
            check(asked, "an edit nobody asked for landed in " + dir);
            if (!asked)
                writeFile(dir + "/plan.json", planTitled("원래"));
        }
    }
}

// The application is killed in the first milliseconds of a run, after bwrap
// has made the namespace and before its first process has tied itself to
// bwrap: a stand-in for bwrap holds the start at that point, runs the real
// one without the tie, on its own, and kills the application. The program
// of the run must never start.
TEST_F(KilledRuns, AKillBeforeTheNamespaceIsTiedRunsNothing)
{
    const QString dir = renderedFolder("first-ms", planTitled("원래"));
    const QString standIn = work.filePath("bwrap");
    writeFile(standIn, "#!/bin/bash\n"
                       "for last; do :; done\n"
                       "[ \"$last\" = /bin/true ] && exec /usr/bin/bwrap \"$@\"\n"
                       "untied=()\n"
                       "for a; do [ \"$a\" = --die-with-parent ] || untied+=(\"$a\"); done\n"
                       "setsid /usr/bin/bwrap \"${untied[@]}\" 3>/dev/null &\n"
                       "sleep 0.05\n"
                       "kill -9 $PPID\n"
                       "wait\n");
    QFile(standIn).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (::system("/usr/bin/bwrap --unshare-pid --dev-bind / / /bin/true") != 0)
        GTEST_SKIP() << "bwrap makes no namespaces here";
    const Bwrap untying(QFile::encodeName(standIn));
    for (int n = 1; n <= killsPerMode(); ++n) {
        fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(planTitled("유령")), FakeClaude::resultEvent("- 유령")}}});
        QProcess process;
        start(process, {"--revise", dir, "--request", "고쳐 줘"});
        ASSERT_TRUE(process.waitForFinished(20000));
        ++kills;
        QThread::msleep(1000);
        check(fake.records("start").isEmpty(), "the run's program started after the application died");
        const bool asked = titleOf(readFile(dir + "/plan.json")) != "유령";
        unasked += asked ? 0 : 1;
        check(asked, "an edit nobody asked for landed");
        checkNoneLeft();
    }
}

// A process of a run that outlived the killed application, as a bwrap
// killed with it in its first milliseconds can before its tie to us holds,
// carries the run's token: the next start ends it, whatever it is started
// for. A stand-in for bwrap leaves such a process and kills the
// application.
TEST_F(KilledRuns, WhatOutlivedAKilledApplicationEndsAtTheNextStart)
{
    const QString dir = renderedFolder("outlived", planTitled("원래"));
    const QString standIn = work.filePath("bwrap");
    const QString mark = QString::number(QRandomGenerator::global()->bounded(1000000u));
    writeFile(standIn, "#!/bin/bash\n"
                       "for last; do :; done\n"
                       "[ \"$last\" = /bin/true ] && exec /usr/bin/bwrap \"$@\"\n"
                       "setsid /bin/sleep 600." + mark.toUtf8() + " 3>&- 4<&- 5>&- &\n"
                       "kill -9 $PPID\n");
    QFile(standIn).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (::system("/usr/bin/bwrap --unshare-pid --dev-bind / / /bin/true") != 0)
        GTEST_SKIP() << "bwrap makes no namespaces here";
    const QByteArray sleeper = QByteArray("/bin/sleep") + '\0' + "600." + mark.toUtf8() + '\0';
    const auto left = [&sleeper] {
        QList<pid_t> found;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (entry.toInt() > 0 && readFile("/proc/" + entry + "/cmdline") == sleeper)
                found.append(entry.toInt());
        return found;
    };
    // Neither a generation nor a check leaves a record in a folder that a
    // next use of it would end the run by.
    const QList<QStringList> killed{{"--generate", designLink, "--feature", "Kill", "--out", work.filePath("outlived-gen")},
                                    {"--check-connections"}};
    for (const QStringList &arguments : killed) {
        {
            const Bwrap leaving(QFile::encodeName(standIn));
            QProcess process;
            start(process, arguments);
            ASSERT_TRUE(process.waitForFinished(20000));
        }
        ++kills;
        QElapsedTimer timer;
        timer.start();
        while (left().isEmpty() && timer.elapsed() < 20000)
            QThread::msleep(20);
        ASSERT_EQ(left().size(), 1) << "the stand-in left nothing";
        // And the private /tmp a killed development run left, 31 MB of build
        // output as the application died, unheld and a few minutes old.
        const QString privateTemp = QDir::tempPath() + "/quarrystone-" + QString::number(::geteuid());
        const QString killedRunsTemp = privateTemp + "/develop-Kl" + mark.right(4).rightJustified(4, '0');
        ASSERT_TRUE(QDir().mkpath(killedRunsTemp + "/gradle"));
        writeFile(killedRunsTemp + "/gradle/out.bin", QByteArray(1 << 20, 'x'));
        const timeval minutesAgo[2] = {{::time(nullptr) - 300, 0}, {::time(nullptr) - 300, 0}};
        ASSERT_EQ(::utimes(QFile::encodeName(killedRunsTemp).constData(), minutesAgo), 0);
        run({"--render", dir});
        check(!QFileInfo::exists(killedRunsTemp), "a killed run's private folder outlived the next start");
        timer.restart();
        while (!left().isEmpty() && timer.elapsed() < 20000)
            QThread::msleep(20);
        processesLeft += left().isEmpty() ? 0 : 1;
        check(left().isEmpty(), "what outlived the killed application outlived the next start too");
        for (const pid_t pid : left())
            ::kill(pid, SIGKILL);
    }
}

// The application as the first process of a PID namespace of its own, as in
// a container, without namespaces for its runs: a command Claude started
// outlives Claude by half a second and ends as the application's zombie.
// The revision still ends.
TEST_F(KilledRuns, AsTheFirstProcessOfItsNamespaceARevisionEnds)
{
    const QString dir = renderedFolder("container", planTitled("원래"));
    const Fallback fallback;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"startChild", QJsonObject{{"ms", 500}}}},
                                           FakeClaude::writePlan(planTitled("고침")), FakeClaude::resultEvent("- 고침")}}});
    QProcess contained;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home.path());
    env.insert("QUARRYSTONE_SUPPORT", home.path() + "/support");
    contained.setProcessEnvironment(env);
    contained.start("/usr/bin/unshare", {"-p", "-f", "--mount-proc", "--kill-child", QStringLiteral(QUARRYSTONE_BINARY),
                                         "--revise", dir, "--request", "고쳐 줘"});
    ASSERT_TRUE(contained.waitForStarted());
    const bool ended = contained.waitForFinished(30000);
    const QString err = QString::fromUtf8(contained.readAllStandardError());
    if (ended && err.contains("unshare"))
        GTEST_SKIP() << "no PID namespace can be made here: " << qPrintable(err);
    check(ended, "the revision never ended");
    if (!ended) {
        contained.kill();
        contained.waitForFinished();
    }
    check(contained.exitCode() == 0, "the revision failed: " + err);
    check(titleOf(readFile(dir + "/plan.json")) == "고침", "the revision is not in plan.json");
}
