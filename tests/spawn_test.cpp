#include "process/childprocess.h"
#include "process/spawn.h"
#include "support/fakeclaude.h"
#include "support/taskwait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

namespace {

const QString notStarted = QStringLiteral("claude 를 띄우지 못했어요: ");

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Starts a program with all three descriptors on /dev/null.
pid_t start(const QString &path, const QStringList &args, const QString &cwd = QString(),
            const Spawn::Environment &env = Spawn::processEnvironment())
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    const pid_t pid = Spawn::run(path, args, env, cwd, null, null, null);
    ::close(null);
    return pid;
}

int exitOf(const QString &path, const QStringList &args)
{
    return TaskWait::result(Spawn::wait(start(path, args)));
}

// The process, as this process numbers it, whose command line is `command`;
// 0 when there is none.
pid_t processWith(const QStringList &command)
{
    const QByteArray wanted = command.join(QChar(0)).toUtf8() + '\0';
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file("/proc/" + entry + "/cmdline");
        if (entry.toInt() > 0 && file.open(QIODevice::ReadOnly) && file.readAll() == wanted)
            return entry.toInt();
    }
    return 0;
}

bool processGone(pid_t pid)
{
    return ::kill(pid, 0) == -1 && errno == ESRCH;
}

} // namespace

TEST(Spawn, ChildSeesOnlyTheThreeStandardDescriptors)
{
    FakeClaude fake;
    // Deliberately inheritable: a plain pipe and a file without O_CLOEXEC.
    int leaky[2];
    ASSERT_EQ(::pipe(leaky), 0);
    QTemporaryDir dir;
    QFile file(dir.filePath("open.txt"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));

    EXPECT_EQ(exitOf(FakeClaude::path(), {"--anything"}), 0);
    const auto starts = fake.records("start");
    ASSERT_EQ(starts.size(), 1);
    EXPECT_EQ(starts[0].value("fds").toArray(), (QJsonArray{0, 1, 2}));
    ::close(leaky[0]);
    ::close(leaky[1]);
}

TEST(Spawn, ReportsExitCodesAndSignals)
{
    EXPECT_EQ(exitOf("/bin/sh", {"-c", "exit 3"}), 3);
    EXPECT_EQ(exitOf("/bin/sh", {"-c", "exit 0"}), 0);
    EXPECT_EQ(exitOf("/bin/sh", {"-c", "kill -TERM $$"}), 143);
    EXPECT_EQ(exitOf("/bin/sh", {"-c", "kill -KILL $$"}), 137);
}

TEST(Spawn, WaitingForAProcessThatIsNotOurChildIsNotSuccess)
{
    EXPECT_EQ(TaskWait::result(Spawn::wait(::getpid())), -1);
}

TEST(Spawn, WaitResumesTheTaskOnItsOwnThread)
{
    const pid_t pid = start("/bin/sh", {"-c", "exit 0"});
    auto task = [pid]() -> QCoro::Task<bool> {
        co_await Spawn::wait(pid);
        co_return QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    EXPECT_TRUE(TaskWait::result(task()));
}

TEST(Spawn, NeverSearchesPath)
{
    try {
        start("git", {"--version"});
        FAIL() << "a bare name started";
    } catch (const SpawnFailure &failure) {
        EXPECT_EQ(failure.message, notStarted + errorText(ENOENT));
    }
    // A relative name must not run a file of that name in the working folder.
    QTemporaryDir dir;
    QFile tool(dir.filePath("tool"));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\ntouch ran\n");
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_THROW(start("tool", {}, dir.path()), SpawnFailure);
    EXPECT_THROW(start("./tool", {}, dir.path()), SpawnFailure);
    QThread::msleep(100);
    EXPECT_FALSE(QFile::exists(dir.filePath("ran")));

    try {
        start("/nonexistent/program", {});
        FAIL() << "a missing program started";
    } catch (const SpawnFailure &failure) {
        EXPECT_EQ(failure.message, notStarted + errorText(ENOENT));
    }
    try {
        start("/bin/sh", {}, "/nonexistent-folder");
        FAIL() << "started in a missing folder";
    } catch (const SpawnFailure &failure) {
        EXPECT_EQ(failure.message, notStarted + errorText(ENOENT));
    }
}

TEST(Spawn, RunsInTheGivenFolderWithTheGivenEnvironment)
{
    FakeClaude fake;
    QTemporaryDir dir;
    Spawn::Environment env{{"ONLY", "this"},
                           {"FAKE_CLAUDE_LOG", qEnvironmentVariable("FAKE_CLAUDE_LOG")},
                           {"FAKE_CLAUDE_SCENARIO", qEnvironmentVariable("FAKE_CLAUDE_SCENARIO")}};
    EXPECT_EQ(TaskWait::result(Spawn::wait(start(FakeClaude::path(), {"a b", "ü"}, dir.path(), env))), 0);
    const QJsonObject log = fake.records("start").value(0);
    EXPECT_EQ(log.value("cwd").toString(), QDir(dir.path()).canonicalPath());
    EXPECT_EQ(log.value("args").toArray(), (QJsonArray{"a b", "ü"}));
    // The given environment and nothing else but the run's own token.
    QJsonObject seen = log.value("env").toObject();
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{32}$").match(seen.take("QUARRYSTONE_RUN").toString()).hasMatch());
    EXPECT_EQ(seen, QJsonObject::fromVariantMap({{"ONLY", "this"},
                                                                        {"FAKE_CLAUDE_LOG", env["FAKE_CLAUDE_LOG"]},
                                                                        {"FAKE_CLAUDE_SCENARIO", env["FAKE_CLAUDE_SCENARIO"]}}));
    // A PWD the caller gives is the one the program gets, as written, not
    // the folder the namespace was started in.
    env.insert("PWD", "/given = place");
    EXPECT_EQ(TaskWait::result(Spawn::wait(start(FakeClaude::path(), {}, dir.path(), env))), 0);
    EXPECT_EQ(fake.records("start").value(1).value("env").toObject().value("PWD").toString(), "/given = place");
}

TEST(Spawn, OutputGivesEmptyTextNotNothing)
{
    const auto env = Spawn::processEnvironment();
    EXPECT_EQ(Spawn::output("/bin/true", {}, env), std::optional<QString>(QString()));
    EXPECT_EQ(Spawn::output("/bin/echo", {"한글"}, env), std::optional<QString>(QString::fromUtf8("한글\n")));
    EXPECT_FALSE(Spawn::output("/nonexistent/program", {}, env).has_value());
    EXPECT_FALSE(Spawn::output("echo", {"x"}, env).has_value());
    EXPECT_FALSE(Spawn::output("/usr/bin/printf", {"\\377"}, env).has_value());
    // The bytes themselves, UTF-8 or not, for callers that read file names.
    EXPECT_EQ(Spawn::outputBytes("/usr/bin/printf", {"a\\377\\0b"}, env),
              std::optional<QByteArray>(QByteArray("a\377\0b", 4)));
    EXPECT_EQ(Spawn::outputBytes("/bin/true", {}, env), std::optional<QByteArray>(QByteArray()));
    EXPECT_FALSE(Spawn::outputBytes("/nonexistent/program", {}, env).has_value());
    // Output is not trimmed; the exit status does not matter.
    EXPECT_EQ(Spawn::output("/bin/sh", {"-c", "printf ' a \\n'; exit 4"}, env), std::optional<QString>(" a \n"));
}

// A run's /proc is its own: the shell finds itself as /proc/self under the
// number `$$` gives, /proc/1 is the run's first process (bwrap), and what
// /proc lists as the shell's children is the one command it runs, not the
// kernel threads of the system's process that shares its number.
TEST(Spawn, ARunSeesItsOwnProcessTree)
{
    if (!Spawn::confinementWorks())
        GTEST_SKIP() << "runs get no namespaces here";
    const QString script = QStringLiteral("cd -P /proc/self && echo \"${PWD#/proc/} $$\" && cat /proc/1/comm "
                                          "/proc/$$/task/$$/children");
    const std::optional<QString> out = Spawn::output("/bin/sh", {"-c", script}, Spawn::processEnvironment());
    ASSERT_TRUE(out.has_value());
    const QStringList lines = out->split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 3) << out->toStdString();
    const QStringList self = lines.at(0).split(QLatin1Char(' '));
    ASSERT_EQ(self.size(), 2);
    EXPECT_EQ(self.at(0), self.at(1));
    EXPECT_EQ(lines.at(1), "bwrap");
    EXPECT_EQ(lines.at(2).split(QLatin1Char(' '), Qt::SkipEmptyParts).size(), 1) << lines.at(2).toStdString();
}

TEST(Spawn, OutputChildReadsEndOfFileAndGetsOnlyItsEnvironment)
{
    EXPECT_EQ(Spawn::output("/bin/cat", {}, Spawn::processEnvironment()), std::optional<QString>(QString()));
    const auto withoutToken = [](const std::optional<QString> &out) {
        return out ? out->split('\n').filter(QRegularExpression("^(?!QUARRYSTONE_RUN=[0-9a-f]{32}$)")).join('\n')
                   : QString("nothing");
    };
    EXPECT_EQ(withoutToken(Spawn::output("/usr/bin/env", {}, {})), QString());
    EXPECT_EQ(withoutToken(Spawn::output("/usr/bin/env", {}, {{"A", "1"}})), "A=1\n");
    EXPECT_EQ(Spawn::output("/bin/pwd", {}, {}), std::optional<QString>(QDir(QDir::tempPath()).canonicalPath() + "\n"));
}

TEST(Spawn, ChildrenDoNotInheritTheIgnoredSigpipe)
{
    ASSERT_EQ(std::signal(SIGPIPE, SIG_IGN), SIG_IGN);
    const auto status = Spawn::output("/bin/grep", {"^SigIgn", "/proc/self/status"}, {});
    ASSERT_TRUE(status.has_value());
    bool ok = false;
    const qulonglong ignored = status->section(':', 1).trimmed().toULongLong(&ok, 16);
    ASSERT_TRUE(ok) << status->toStdString();
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u);
}

TEST(Spawn, OutputReadsBothStreamsAtOnce)
{
    FakeClaude fake;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"fill", "err"}, {"bytes", 1 << 20}},
                                          QJsonObject{{"fill", "out"}, {"bytes", 1 << 20}},
                                          QJsonObject{{"fill", "err"}, {"bytes", 1 << 20}}}}});
    const auto out = Spawn::output(FakeClaude::path(), {}, Spawn::processEnvironment());
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->size(), 1 << 20);
}

TEST(Spawn, OutputDoesNotWaitForAGrandchildHoldingItsPipe)
{
    // The background job keeps standard output open long after sh ended and
    // leaves a mark if it is still there 10 s later. A number it printed
    // would mean nothing here: the run has a PID namespace of its own.
    QTemporaryDir folder;
    const QString late = folder.filePath("late");
    const auto out = Spawn::output("/bin/sh", {"-c", "(sleep 10; echo late > \"$0\") & echo started", late},
                                   Spawn::processEnvironment());
    EXPECT_EQ(out, std::optional<QString>("started\n"));
    EXPECT_FALSE(QFileInfo::exists(late));
}

// Nothing a run started outlives its program, whatever it did to get away:
// stayed in the group with an empty environment (no token to find it by),
// or left the group as a daemon does, with an empty environment too.
// Where runs get no namespaces only the run's holder, which adopts its
// orphans, can find the last.
TEST(Spawn, NothingOfARunOutlivesItsProgram)
{
    const QStringList ways{"env -i /bin/sleep 60.$1 &", "setsid -f env -i /bin/sleep 60.$1",
                           "setsid -f env -i /bin/sh -c \"/bin/sleep 60.$1; :\""};
    for (const QString &way : ways) {
        QTemporaryDir dir;
        const QString go = dir.filePath("go");
        const QString mark = QString::number(QRandomGenerator::global()->bounded(1000000u));
        const pid_t pid = start("/bin/sh", {"-c", way + "\nwhile [ ! -e \"$2\" ]; do sleep 0.01; done", "sh", mark, go});
        pid_t left = 0;
        for (int i = 0; i < 3000 && left == 0; ++i) {
            if (i > 0)
                QThread::msleep(10);
            left = processWith({"/bin/sleep", "60." + mark});
        }
        EXPECT_GT(left, 0) << qPrintable(way);
        QFile(go).open(QIODevice::WriteOnly);
        EXPECT_EQ(TaskWait::result(Spawn::wait(pid)), 0) << qPrintable(way);
        EXPECT_TRUE(left == 0 || processGone(left)) << qPrintable(way);
        if (left > 0 && !processGone(left))
            ::kill(left, SIGKILL);
    }
}

TEST(Spawn, OutputGivesUpAfterItsTimeOut)
{
    EXPECT_FALSE(Spawn::output("/bin/sleep", {"60"}, {}, std::chrono::milliseconds(200)).has_value());
    EXPECT_EQ(Spawn::output("/bin/echo", {"ok"}, {}, std::chrono::seconds(30)), std::optional<QString>("ok\n"));
}

// A command with a time-out ends with everything it started, whichever
// way it is ended: its time-out, its owner's stop, or the application's
// end. The sleeper ignores SIGTERM, so only SIGKILL to the group ends it.
TEST(Spawn, ATimedCommandEndsWithItsWholeGroup)
{
    // The application's end comes last: from then on this process starts
    // no command with a time-out.
    enum class End { timeOut, stop, application };
    for (const End end : {End::timeOut, End::stop, End::application}) {
        QTemporaryDir dir;
        const QString pidFile = dir.filePath("pid");
        // Found as this process numbers them, by a mark of their own: a run
        // may have a PID namespace and a /proc of its own, where they count
        // from 1.
        const QString mark = QString::number(QRandomGenerator::global()->bounded(1000000u));
        const QStringList args{"-c", "trap '' TERM; sleep 60." + mark + " & echo started > " + pidFile + "; wait"};
        const auto timeout = end == End::timeOut ? std::chrono::milliseconds(500) : std::chrono::milliseconds(60000);
        CancelToken stop;
        std::optional<QString> out = QStringLiteral("unset");
        std::thread check([&] { out = Spawn::output("/bin/sh", args, Spawn::processEnvironment(), timeout, stop); });
        for (int i = 0; i < 1000 && !QFileInfo::exists(pidFile); ++i)
            QThread::msleep(10);
        // The mark can be written before the background child has become
        // the sleeper.
        pid_t shell = 0;
        pid_t sleeper = 0;
        for (int i = 0; i < 300 && (shell <= 0 || sleeper <= 0 || shell == sleeper); ++i) {
            if (i > 0)
                QThread::msleep(10);
            shell = processWith({"/bin/sh", "-c", args.at(1)});
            sleeper = processWith({"sleep", "60." + mark});
        }
        if (shell <= 0 || sleeper <= 0) {
            stop.cancel();
            check.join();
            FAIL() << "the command never started " << int(end);
        }
        if (end == End::stop)
            stop.cancel();
        if (end == End::application) {
            Spawn::endChildren(std::chrono::milliseconds(300));
            // Ended and reaped by the time it returns.
            EXPECT_TRUE(processGone(shell));
        }
        check.join();
        EXPECT_EQ(out, std::nullopt) << int(end);
        EXPECT_TRUE(processGone(shell)) << int(end);
        for (int i = 0; i < 300 && !processGone(sleeper); ++i)
            QThread::msleep(10);
        EXPECT_TRUE(processGone(sleeper)) << int(end);
        ::kill(sleeper, SIGKILL);
    }
}

TEST(Spawn, AwaitedOutputKeepsTheEventLoopTurningAndResumesOnItsThread)
{
    // The loop must go on ticking while the command runs, and the task must
    // come back on the main thread with what the blocking form would give.
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(10);
    bool onMain = false;
    auto task = [&onMain]() -> QCoro::Task<std::optional<QString>> {
        const QStringList args{"-c", "sleep 0.3; printf ' a \\n'; exit 3"};
        const std::optional<QString> out = co_await Spawn::outputAsync(QStringLiteral("/bin/sh"), args, {});
        onMain = QThread::currentThread() == QCoreApplication::instance()->thread();
        co_return out;
    };
    EXPECT_EQ(TaskWait::result(task()), std::optional<QString>(" a \n"));
    EXPECT_TRUE(onMain);
    EXPECT_GE(ticks, 10);
    auto missing = []() -> QCoro::Task<bool> {
        const std::optional<QString> out = co_await Spawn::outputAsync(QStringLiteral("/nonexistent/git"), {}, {});
        co_return !out.has_value();
    };
    EXPECT_TRUE(TaskWait::result(missing()));
    auto bytes = []() -> QCoro::Task<std::optional<QByteArray>> {
        const QStringList args{"\\377"};
        co_return co_await Spawn::outputBytesAsync(QStringLiteral("/usr/bin/printf"), args, {});
    };
    EXPECT_EQ(TaskWait::result(bytes()), std::optional<QByteArray>(QByteArray("\377")));
}

TEST(ChildProcess, TerminateSendsSigtermOnceThenSigkill)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}});
    const pid_t pid = start(FakeClaude::path(), {});
    const ChildProcess child(pid);
    while (fake.records("start").isEmpty())
        QThread::msleep(10);
    child.terminate(std::chrono::milliseconds(300));
    child.terminate(std::chrono::milliseconds(300));
    EXPECT_EQ(TaskWait::result(Spawn::wait(pid)), 137);
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(child.hasEnded());
    // After the reap the number may belong to someone else: nothing is sent.
    child.kill();
    child.terminate();
}

TEST(ChildProcess, NoticesTheEndWithoutReaping)
{
    const pid_t pid = start("/bin/sh", {"-c", "exit 5"});
    const ChildProcess child(pid);
    EXPECT_TRUE(child.waitForEnd(std::chrono::seconds(30)));
    EXPECT_TRUE(child.hasEnded());
    EXPECT_EQ(TaskWait::result(Spawn::wait(pid)), 5);
}
