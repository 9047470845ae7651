#include "process/childprocess.h"
#include "process/spawn.h"
#include "process/pty.h"
#include "support/fakeclaude.h"
#include "support/taskwait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>
#include <cerrno>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace {

// The most a test waits for a child to get somewhere: far more than a
// loaded machine takes.
constexpr qint64 ceilingMs = 60000;

// Reads the terminal until `done` holds for what was read, the child side
// is gone (EIO) or the ceiling passed.
QByteArray readUntil(int fd, const std::function<bool(const QByteArray &)> &done)
{
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (!done(out) && clock.elapsed() < ceilingMs) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            out.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return out;
}

QByteArray readToEnd(int fd)
{
    return readUntil(fd, [](const QByteArray &) { return false; });
}

void writeAll(int fd, const QByteArray &bytes)
{
    ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
}

int openDescriptorCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

QJsonObject onlyStart(const FakeClaude &fake)
{
    const QList<QJsonObject> starts = fake.records("start");
    return starts.size() == 1 ? starts.first() : QJsonObject();
}

} // namespace

TEST(Pty, ChildLeadsASessionWithTheTerminalAsControllingTerminal)
{
    FakeClaude fake;
    // The child stays until it has been looked at.
    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"out", "hello\n"}}, QJsonObject{{"awaitFile", "seen"}, {"content", "yes"}}}}});
    QTemporaryDir cwd;
    const Pty::Child child = Pty::start(FakeClaude::path(), {"auth", "login"}, Spawn::processEnvironment(), cwd.path());
    // The person's own privileges, as in their terminal: never a user
    // namespace of its own (where sudo and setuid helpers fail).
    QElapsedTimer clock;
    clock.start();
    while (fake.running().isEmpty() && clock.elapsed() < ceilingMs)
        QThread::msleep(5);
    ASSERT_FALSE(fake.running().isEmpty());
    const auto userNamespace = [](const QString &pid) {
        char target[64] = {};
        ::readlink(QFile::encodeName("/proc/" + pid + "/ns/user").constData(), target, sizeof target - 1);
        return QByteArray(target);
    };
    EXPECT_EQ(userNamespace(QString::number(fake.running().value(0))), userNamespace("self"));
    // Seen from here, not from inside: the run's session is led by bwrap,
    // outside the run's namespace, so its number there reads 0, and so does
    // ours where our own session's leader is outside our namespace (as in a
    // container).
    const pid_t runSession = ::getsid(child.pid);
    QFile seen(cwd.filePath("seen"));
    ASSERT_TRUE(seen.open(QIODevice::WriteOnly));
    seen.write("yes");
    seen.close();

    // The terminal turns "\n" into "\r\n" on its way out.
    const QByteArray out = readToEnd(child.terminal);
    EXPECT_EQ(TaskWait::result(Spawn::wait(child.pid)), 0);
    ::close(child.terminal);
    EXPECT_EQ(out, "hello\r\n");

    const QJsonObject start = onlyStart(fake);
    const QJsonObject terminal = start.value("terminal").toObject();
    EXPECT_EQ(terminal.value("isatty").toArray(), (QJsonArray{true, true, true}));
    EXPECT_TRUE(terminal.value("controlling").toBool());
    EXPECT_EQ(runSession, child.pid);
    EXPECT_NE(runSession, ::getsid(0));
    EXPECT_EQ(start.value("fds").toArray(), (QJsonArray{0, 1, 2}));
    EXPECT_EQ(start.value("cwd").toString(), cwd.path());
    EXPECT_EQ(start.value("args").toArray(), (QJsonArray{"auth", "login"}));
}

TEST(Pty, ArgumentsAndEnvironmentReachTheChildAsGiven)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", false}});
    const QStringList args{"mcp", "login", "wiki's \"server\"; rm -rf ~", "$(id)", "--no-browser"};
    Spawn::Environment env{{"FAKE_CLAUDE_SCENARIO", fake.folder() + "/scenario.json"},
                           {"FAKE_CLAUDE_LOG", fake.folder() + "/log.jsonl"},
                           {"ONLY", "this"}};
    const Pty::Child child = Pty::start(FakeClaude::path(), args, env, QString());
    readToEnd(child.terminal);
    EXPECT_EQ(TaskWait::result(Spawn::wait(child.pid)), 0);
    ::close(child.terminal);

    const QJsonObject start = onlyStart(fake);
    EXPECT_EQ(start.value("args").toArray(), QJsonArray::fromStringList(args));
    EXPECT_EQ(start.value("env").toObject().keys(),
              (QStringList{"FAKE_CLAUDE_LOG", "FAKE_CLAUDE_SCENARIO", "ONLY", "QUARRYSTONE_RUN"}));
}

TEST(Pty, WrittenBytesArriveAsTypedInput)
{
    FakeClaude fake;
    // In raw mode the tool sees exactly what was typed; in the terminal's
    // normal mode a carriage return arrives as a line feed.
    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"raw", true}}, QJsonObject{{"out", "Paste code here > "}},
                                           QJsonObject{{"readLine", true}}, QJsonObject{{"out", "thanks"}}}}});
    const Pty::Child raw = Pty::start(FakeClaude::path(), {}, Spawn::processEnvironment(), QString());
    readUntil(raw.terminal, [](const QByteArray &out) { return out.contains("> "); });
    writeAll(raw.terminal, "abc-123\r");
    EXPECT_TRUE(readToEnd(raw.terminal).endsWith("thanks"));
    EXPECT_EQ(TaskWait::result(Spawn::wait(raw.pid)), 0);
    ::close(raw.terminal);

    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"out", "> "}}, QJsonObject{{"readLine", true}}}}});
    const Pty::Child cooked = Pty::start(FakeClaude::path(), {}, Spawn::processEnvironment(), QString());
    readUntil(cooked.terminal, [](const QByteArray &out) { return out.contains("> "); });
    writeAll(cooked.terminal, "xyz\r");
    readToEnd(cooked.terminal);
    EXPECT_EQ(TaskWait::result(Spawn::wait(cooked.pid)), 0);
    ::close(cooked.terminal);

    const QList<QJsonObject> lines = fake.records("line");
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0].value("text").toString(), "abc-123\r");
    EXPECT_EQ(lines[1].value("text").toString(), "xyz\n");
}

TEST(Pty, OutputOfAChildThatAlreadyEndedIsStillReadable)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", false},
                      {"steps", QJsonArray{QJsonObject{{"out", "first\nsecond\n"}}}},
                      {"exit", 3}});
    const Pty::Child child = Pty::start(FakeClaude::path(), {}, Spawn::processEnvironment(), QString());
    EXPECT_EQ(TaskWait::result(Spawn::wait(child.pid)), 3);
    EXPECT_EQ(readToEnd(child.terminal), "first\r\nsecond\r\n");
    ::close(child.terminal);
}

TEST(Pty, StopSignalEndsTheChild)
{
    FakeClaude fake;
    fake.setScenario({{"readStdin", false}, {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    const Pty::Child child = Pty::start(FakeClaude::path(), {}, Spawn::processEnvironment(), QString());
    QElapsedTimer clock;
    clock.start();
    while (fake.records("start").isEmpty() && clock.elapsed() < ceilingMs)
        QThread::msleep(10);
    ChildProcess(child.pid).terminate();
    EXPECT_EQ(TaskWait::result(Spawn::wait(child.pid)), 143);
    ::close(child.terminal);
    EXPECT_EQ(fake.records("sigterm").size(), 1);
}

TEST(Pty, AProgramThatCannotStartLeavesNothingOpen)
{
    const int before = openDescriptorCount();
    for (const QString &path : {QStringLiteral("/nonexistent/claude"), QStringLiteral("claude")}) {
        try {
            Pty::start(path, {}, Spawn::processEnvironment(), QString());
            ADD_FAILURE() << "started " << path.toStdString();
        } catch (const SpawnFailure &failure) {
            EXPECT_EQ(failure.message, QStringLiteral("claude 를 띄우지 못했어요: No such file or directory"));
        }
    }
    EXPECT_EQ(openDescriptorCount(), before);
}
