#include "claude/clauderunner.h"
#include "process/loginshell.h"
#include "support/executable.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// Every case starts from a home folder without the tool and a login shell
// that knows nothing of it.
class FindClaude : public testing::Test
{
protected:
    void SetUp() override
    {
        if (QFileInfo(QStringLiteral("/opt/homebrew/bin/claude")).isExecutable()
            || QFileInfo(QStringLiteral("/usr/local/bin/claude")).isExecutable())
            GTEST_SKIP() << "a system-wide claude is installed on this machine";
        oldShell = qgetenv("SHELL");
        useShell("#!/bin/sh\nexit 1\n");
    }

    void TearDown() override
    {
        qputenv("SHELL", oldShell);
        QDir(home.filePath(".local")).removeRecursively();
        QDir(home.filePath(".claude")).removeRecursively();
        QDir(home.filePath("tools")).removeRecursively();
        QFile::remove(home.filePath(".bash_profile"));
    }

    // A stand-in login shell that logs its arguments.
    void useShell(const QByteArray &script)
    {
        const QString path = scratch.filePath("shell");
        ASSERT_TRUE(writeExecutable(path, script));
        qputenv("SHELL", path.toUtf8());
    }

    QString log() const
    {
        QFile file(scratch.filePath("args"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QByteArray oldShell;
    QTemporaryDir scratch;
    QDir home{QDir::homePath()};
};

} // namespace

TEST_F(FindClaude, FixedLocationsInOrder)
{
    EXPECT_EQ(ClaudeRunner::findClaude(), std::nullopt);

    ASSERT_TRUE(writeExecutable(home.filePath(".claude/local/claude"), "#!/bin/sh\n"));
    EXPECT_EQ(ClaudeRunner::findClaude(), QDir::homePath() + "/.claude/local/claude");

    ASSERT_TRUE(writeExecutable(home.filePath(".local/bin/claude"), "#!/bin/sh\n"));
    EXPECT_EQ(ClaudeRunner::findClaude(), QDir::homePath() + "/.local/bin/claude");
}

TEST_F(FindClaude, OnlyExecutableFilesCount)
{
    QDir().mkpath(home.filePath(".local/bin/claude"));
    QDir().mkpath(home.filePath(".claude/local"));
    QFile plain(home.filePath(".claude/local/claude"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_EQ(ClaudeRunner::findClaude(), std::nullopt);
}

TEST_F(FindClaude, AsksTheLoginShellLast)
{
    useShell("#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > \"$(dirname \"$0\")/args\"\n"
             "printf '  /opt/tools/claude \\n\\n'\n");
    EXPECT_EQ(ClaudeRunner::findClaude(), "/opt/tools/claude");
    EXPECT_EQ(log(), "[-lc]\n[command -v claude]\n");

    ASSERT_TRUE(writeExecutable(home.filePath(".local/bin/claude"), "#!/bin/sh\n"));
    QFile::remove(scratch.filePath("args"));
    EXPECT_EQ(ClaudeRunner::findClaude(), QDir::homePath() + "/.local/bin/claude");
    EXPECT_EQ(log(), QString()) << "no shell is started when a fixed location has the tool";
}

TEST_F(FindClaude, ShellOutputThatIsNotAPathIsStillGivenTrimmed)
{
    useShell("#!/bin/sh\necho 'claude: aliased to x'\n");
    EXPECT_EQ(ClaudeRunner::findClaude(), "claude: aliased to x");
}

TEST_F(FindClaude, BashWhenShellIsNotAnAbsoluteExecutable)
{
    ASSERT_TRUE(writeExecutable(home.filePath("tools/claude"), "#!/bin/sh\n"));
    QFile profile(home.filePath(".bash_profile"));
    ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
    profile.write("export PATH=\"$HOME/tools:$PATH\"\n");
    profile.close();

    qputenv("SHELL", "sh");
    EXPECT_EQ(LoginShell::program(), "/bin/bash");
    EXPECT_EQ(ClaudeRunner::findClaude(), QDir::homePath() + "/tools/claude");

    const QString notExecutable = scratch.filePath("plain-shell");
    QFile plain(notExecutable);
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    qputenv("SHELL", notExecutable.toUtf8());
    EXPECT_EQ(LoginShell::program(), "/bin/bash");
    qputenv("SHELL", "");
    EXPECT_EQ(LoginShell::program(), "/bin/bash");
}

// The shell is stopped with what its profile started, at the time-out and
// when its caller cancels.
TEST_F(FindClaude, LoginShellThatHangsIsStopped)
{
    // The shell runs in a PID namespace of its own, where $! counts from 1:
    // the background sleeper's number is written with its namespace, whole
    // or not at all.
    useShell("#!/bin/sh\ncd \"$(dirname \"$0\")\"\n"
             "sleep 120 & echo \"$! $(readlink /proc/self/ns/pid)\" > started.part && mv started.part started\n"
             "exec sleep 120\n");
    for (const bool cancelled : {false, true}) {
        QFile::remove(scratch.filePath("started"));
        CancelToken stop;
        if (cancelled)
            stop.cancel();
        // A loaded machine may not reach the profile's sleeper before a
        // short time-out: each time-out that came first is tried longer.
        std::chrono::milliseconds timeout = cancelled ? 60s : 300ms;
        do {
            QElapsedTimer clock;
            clock.start();
            EXPECT_EQ(LoginShell::output("command -v claude", timeout, stop), std::nullopt);
            EXPECT_LT(clock.elapsed(), 100000) << "the shell was waited out instead of stopped";
            timeout *= 4;
        } while (!cancelled && !QFile::exists(scratch.filePath("started")) && timeout <= 20s);
        if (cancelled) {
            EXPECT_FALSE(QFile::exists(scratch.filePath("started"))) << "a cancelled search starts no shell";
            continue;
        }
        QFile file(scratch.filePath("started"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray started = file.readAll();
        EXPECT_TRUE(QTest::qWaitFor([&] { return FakeClaude::numbersHere(started) == QList<qint64>{0}; }, 60000))
            << started.toStdString();
        for (const qint64 pid : FakeClaude::numbersHere(started))
            if (pid > 0)
                ::kill(pid_t(pid), SIGKILL);
    }
}

TEST_F(FindClaude, LoginShellOutputMustBeUtf8)
{
    useShell("#!/bin/sh\nprintf '/opt/\\377/claude\\n'\n");
    EXPECT_EQ(LoginShell::output("command -v claude", 10s), std::nullopt);
    useShell("#!/bin/sh\nprintf '/opt/\\355\\214\\214\\354\\235\\274/claude\\n'\n");
    EXPECT_EQ(LoginShell::output("command -v claude", 10s), QString::fromUtf8("/opt/파일/claude"));
    useShell("#!/bin/sh\nprintf ' \\n\\t\\n'\n");
    EXPECT_EQ(LoginShell::output("command -v claude", 10s), std::nullopt);
}
