#include "settings/keychain.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/secretsession.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <gtest/gtest.h>

namespace {

QJsonObject answer(const QStringList &args, const QString &out, int exit = 0)
{
    return QJsonObject{{"args", QJsonArray::fromStringList(args)},
                       {"steps", QJsonArray{QJsonObject{{"out", out}}}},
                       {"exit", exit}};
}

void writeJson(const QString &path, const QJsonObject &object)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(object).toJson());
}

struct Outcome {
    int code = -1;
    QString out;
};

// The built executable with a private home (for ~/.claude.json) and support
// folder (for settings.json), and no display.
class CheckConnections : public testing::Test
{
protected:
    void SetUp() override
    {
        QDir(home.path()).mkpath("support");
        settings = QJsonObject{{"claudePath", FakeClaude::path()}, {"figmaMode", "mcp"}};
        FakeClaude::pointHome(home.path());
    }

    Outcome run(const QString &bus = QString())
    {
        writeJson(home.filePath("support/settings.json"), settings);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("HOME", home.path());
        env.insert("QUARRYSTONE_SUPPORT", home.filePath("support"));
        if (!bus.isEmpty())
            env.insert("DBUS_SESSION_BUS_ADDRESS", bus);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUARRYSTONE_BINARY), {"--check-connections"});
        process.waitForFinished(120000);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput())};
    }

    QTemporaryDir home;
    FakeClaude claude;
    QJsonObject settings;
};

} // namespace

// Each status line of claude 2.1.337's "mcp get" maps to its own state:
// only a server that needs authentication is said to need a login. The
// login check runs in a run's environment: credentials inherited from ours
// never reach it.
TEST_F(CheckConnections, LoggedInWithServersReportsEveryLine)
{
    writeJson(home.filePath(".claude.json"),
              QJsonObject{{"mcpServers", QJsonObject{{"wiki-b", QJsonObject{{"url", "https://mcp.atlassian.com/v1/sse"}}},
                                                     {"Atlassian-A", QJsonObject{{"url", "https://example.com"}}},
                                                     {"atlassian-down", QJsonObject{{"url", "http://127.0.0.1:9/sse"}}},
                                                     {"atlassian-local", QJsonObject{{"command", "wiki-mcp"}}},
                                                     {"other", QJsonObject{{"url", "https://example.org"}}}}}});
    claude.setScenario(QJsonObject{
        {"responses",
         QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true,"email":"dev@example.com","authMethod":"claude.ai"})"),
                    answer({"mcp", "get", "figma"}, "figma:\n  Status: ✔ Connected\n"),
                    answer({"mcp", "get", "Atlassian-A"}, "Atlassian-A:\n  Status: ! Needs authentication\n"),
                    answer({"mcp", "get", "atlassian-down"},
                           "atlassian-down:\n  Scope: User config (available in all your projects)\n"
                           "  Status: ✘ Failed to connect\n  Issue: SSE error: ECONNREFUSED: Unable to connect.\n"
                           "  Type: sse\n"),
                    answer({"mcp", "get", "atlassian-local"},
                           "atlassian-local:\n  Status: - Not checked (folder not trusted; run `claude` here)\n"),
                    answer({"mcp", "get", "wiki-b"}, "wiki-b:\n  Status: ✓ Connected\n")}}});
    const QStringList credentials{"ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "CLAUDE_CODE_OAUTH_TOKEN"};
    for (const QString &name : credentials)
        qputenv(name.toUtf8(), "someone-else");
    const Outcome r = run();
    for (const QString &name : credentials)
        qunsetenv(name.toUtf8());
    EXPECT_EQ(r.code, 0);
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6) << qPrintable(r.out);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("✓ Claude Code (") + FakeClaude::path() + "): ")) << qPrintable(lines[0]);
    EXPECT_TRUE(lines[0].contains("dev@example.com")) << qPrintable(lines[0]);
    EXPECT_EQ(lines[1], QStringLiteral("✓ Figma: figma 연결됨"));
    EXPECT_EQ(lines[2], QStringLiteral("! Wiki · Atlassian-A: 로그인 필요 (Atlassian-A)"));
    EXPECT_EQ(lines[3], QStringLiteral("✗ Wiki · atlassian-down: 연결 실패 (SSE error: ECONNREFUSED: Unable to connect.)"));
    // The folder the check ran in is named, and no one is told to trust it.
    EXPECT_EQ(lines[4], "- Wiki · atlassian-local: 확인 안 됨 (Claude 가 확인에 쓴 임시 폴더를 신뢰하지 않아 확인하지 못했어요: "
                            + QDir::tempPath() + ")");
    EXPECT_EQ(lines[5], QStringLiteral("✓ Wiki · wiki-b: wiki-b 연결됨"));
    const QJsonObject status = claude.records("start").first();
    ASSERT_EQ(status.value("args").toArray().first().toString(), QStringLiteral("auth"));
    for (const QString &name : credentials)
        EXPECT_FALSE(status.value("env").toObject().contains(name)) << qPrintable(name);
}

TEST_F(CheckConnections, OnlyTheClaudeStatusDecidesTheExitCode)
{
    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":false})"),
                                 answer({"mcp", "get", "figma"}, "figma:\n  Status: ✓ Connected\n")}}});
    Outcome r = run();
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, QStringLiteral("! Claude Code (%1): 로그인 필요 (로그인이 필요해요)\n"
                                    "✓ Figma: figma 연결됨\n"
                                    "✗ Wiki: 연결 안 됨\n")
                         .arg(FakeClaude::path()));

    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true})"),
                                 answer({"mcp", "get", "figma"}, "No MCP server named figma\n", 1)}}});
    r = run();
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains(QStringLiteral("✗ Figma: 연결 안 됨\n"))) << qPrintable(r.out);
}

TEST_F(CheckConnections, NoToolFoundIsMissing)
{
    settings.insert("claudePath", "");
    const Outcome r = run();
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, QStringLiteral("✗ Claude Code (없음): 연결 안 됨\n✗ Figma: 연결 안 됨\n✗ Wiki: 연결 안 됨\n"));
}

TEST_F(CheckConnections, TokenModeAsksOnlyWhetherATokenIsStored)
{
    settings.insert("figmaMode", "token");
    claude.setScenario(QJsonObject{{"responses", QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true})")}}});
    // With no reachable session bus the keychain cannot say whether a token
    // is stored: the line names why, never "not connected".
    const Outcome r = run(QStringLiteral("unix:path=/nonexistent/bus"));
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains(
        QStringLiteral("\n- Figma: 확인 안 됨 (세션 D-Bus 에 연결할 수 없어서 Figma 토큰을 읽지 못했어요.)\n")))
        << qPrintable(r.out);
    for (const QJsonObject &start : claude.records("start"))
        EXPECT_NE(start.value("args").toArray().first().toString(), QStringLiteral("mcp"));
}

// A check's command that opens an address (a server's sign-in) hands it to
// the application, which opens it in the person's browser outside the
// command: the browser lives on after the check, where the person signs in.
TEST_F(CheckConnections, TheBrowserACheckOpensOutlivesTheCheck)
{
    const QString address = "https://figma.example/oauth?state=1";
    claude.setScenario(QJsonObject{
        {"responses",
         QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true,"authMethod":"claude.ai"})"),
                    QJsonObject{{"args", QJsonArray{"mcp", "get", "figma"}},
                                {"steps", QJsonArray{QJsonObject{{"openBrowser", address}},
                                                     QJsonObject{{"out", "figma:\n  Status: ! Needs authentication\n"}}}}}}}});
    // The person's own browser: it takes a lock for as long as it lives.
    const QString browser = home.filePath("browser");
    QFile script(browser);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nhere=\"${0%/*}\"\nexec 9>>\"$here/alive\"\nflock 9\n"
                 "sleep 60 </dev/null >/dev/null 2>&1 &\necho $! >\"$here/pid\"\nprintf '%s\\n' \"$1\" >>\"$here/opened\"\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("BROWSER", QFile::encodeName(browser));
    const Outcome r = run();
    qunsetenv("BROWSER");
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return QFile::exists(home.filePath("pid")); }, 20000));
    const int fd = ::open(QFile::encodeName(home.filePath("alive")).constData(), O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) << "the browser ended with the check";
    if (fd >= 0)
        ::close(fd);
    QFile pid(home.filePath("pid"));
    if (pid.open(QIODevice::ReadOnly))
        ::kill(pid.readAll().trimmed().toInt(), SIGKILL);
    QFile opened(home.filePath("opened"));
    EXPECT_TRUE(opened.open(QIODevice::ReadOnly));
    EXPECT_EQ(opened.readAll(), address.toUtf8() + '\n');
}

// Whether runs get namespaces, and a /proc of their own, is asked of bwrap
// once per kind: one bwrap where /proc can be mounted, two where it cannot
// (a container that masks parts of /proc), which is then said once, not
// per run.
TEST_F(CheckConnections, BwrapIsAskedOnceAndAMaskedProcIsSaidOnce)
{
    if (::system("/usr/bin/bwrap --unshare-pid --dev-bind / / --proc /proc /bin/true") != 0)
        GTEST_SKIP() << "bwrap makes no namespaces here";
    writeJson(home.filePath(".claude.json"),
              QJsonObject{{"mcpServers", QJsonObject{{"atlassian", QJsonObject{{"url", "https://example.com"}}}}}});
    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true,"authMethod":"claude.ai"})"),
                                 answer({"mcp", "get", "figma"}, "figma:\n  Status: ✓ Connected\n"),
                                 answer({"mcp", "get", "atlassian"}, "atlassian:\n  Status: ✓ Connected\n")}}});
    const QString said = "이 시스템에서는 실행마다 /proc 을 따로 올릴 수 없어서, 실행이 시스템의 /proc 을 그대로 봐요.";
    for (const bool masked : {false, true}) {
        const QString log = home.filePath(masked ? "masked.log" : "open.log");
        const QString standIn = home.filePath("bwrap");
        QFile script(standIn);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
        script.write("#!/bin/bash\nfor last; do :; done\n[ \"$last\" = /bin/true ] && echo probe >> \"" + log.toUtf8()
                     + "\"\n" + (masked ? "for a; do [ \"$a\" = --proc ] && exit 1; done\n" : "")
                     + "exec /usr/bin/bwrap \"$@\"\n");
        script.close();
        script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        writeJson(home.filePath("support/settings.json"), settings);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("HOME", home.path());
        env.insert("QUARRYSTONE_SUPPORT", home.filePath("support"));
        env.insert("QUARRYSTONE_BWRAP", standIn);
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUARRYSTONE_BINARY), {"--check-connections"});
        ASSERT_TRUE(process.waitForFinished(120000));
        const QString err = QString::fromUtf8(process.readAllStandardError());
        EXPECT_EQ(process.exitCode(), 0) << qPrintable(err);
        EXPECT_EQ(QString::fromUtf8(process.readAllStandardOutput()).count(u'✓'), 3) << masked;
        QFile probes(log);
        ASSERT_TRUE(probes.open(QIODevice::ReadOnly));
        EXPECT_EQ(probes.readAll().count("probe"), masked ? 2 : 1) << masked;
        EXPECT_EQ(err.count(said), masked ? 1 : 0) << qPrintable(err);
    }
}

// A check stopped by a signal (Ctrl+C, a kill) ends the tool it was
// waiting for, which runs in a process group of its own, before the
// process ends of that signal.
TEST_F(CheckConnections, ASignalEndsTheToolItWaitsForWithAllItStarted)
{
    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{QJsonObject{{"args", QJsonArray{"auth", "status", "--json"}},
                                             {"steps", QJsonArray{QJsonObject{{"startChild", QJsonObject{{"ignoreSigterm", true}}}},
                                                                  QJsonObject{{"sleep", 120000}}}}}}}});
    // The tool's helper ignores SIGTERM: it ends with the tool's whole run.
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        const qsizetype before = claude.records("start").size();
        writeJson(home.filePath("support/settings.json"), settings);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("HOME", home.path());
        env.insert("QUARRYSTONE_SUPPORT", home.filePath("support"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(QUARRYSTONE_BINARY), {"--check-connections"});
        ASSERT_TRUE(process.waitForStarted());
        ASSERT_TRUE(QTest::qWaitFor([&] { return claude.records("start").size() > before; }, 60000));
        const pid_t tool = pid_t(claude.records("start").last().value("pid").toInteger());

        CommandLine::signal(process, number);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::CrashExit) << number;
        EXPECT_TRUE(QTest::qWaitFor([tool] { return FakeClaude::hasEnded(tool); }, 60000)) << number;
        EXPECT_TRUE(claude.noneRunning(5000)) << number;
        for (const qint64 left : claude.running())
            ::kill(static_cast<pid_t>(left), SIGKILL);
    }
}

// In the API-key mode the check hands the tool the keyring's key, as a run
// does, and no other credential; a key that is absent or cannot be read is
// named as such, without asking the tool.
TEST_F(CheckConnections, TheAPIKeyModeChecksWithTheKeyringsKey)
{
    settings.insert("claudeAuth", "apiKey");
    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{answer({"auth", "status", "--json"}, R"({"loggedIn":true,"authMethod":"api_key"})")}}});
    const QString name = QStringLiteral("Claude Code (") + FakeClaude::path() + "): ";
    SecretSession::inOwnSession([&] {
        qputenv("ANTHROPIC_AUTH_TOKEN", "someone-else");
        Outcome r = run();
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.out.startsWith("! " + name + "로그인 필요 (Anthropic API 키가 없어요. 설정에서 넣거나 "
                                     "'Claude Code 로그인' 방식으로 바꿔 주세요.)\n"))
            << qPrintable(r.out);
        for (const QJsonObject &start : claude.records("start"))
            EXPECT_NE(start.value("args").toArray().first().toString(), QStringLiteral("auth"));

        ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "sk-ant-stored"));
        r = run();
        qunsetenv("ANTHROPIC_AUTH_TOKEN");
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(r.out.startsWith("✓ " + name + "API 키로 로그인됨\n")) << qPrintable(r.out);
        QJsonObject env;
        for (const QJsonObject &start : claude.records("start"))
            if (start.value("args").toArray().first().toString() == QStringLiteral("auth"))
                env = start.value("env").toObject();
        EXPECT_EQ(env.value("ANTHROPIC_API_KEY").toString(), QStringLiteral("sk-ant-stored"));
        EXPECT_FALSE(env.contains("ANTHROPIC_AUTH_TOKEN"));
    });
    if (SecretSession::inside())
        return;
    const Outcome r = run(QStringLiteral("unix:path=/nonexistent/bus"));
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.startsWith("- " + name + "확인 안 됨 (세션 D-Bus 에 연결할 수 없어서 Anthropic API 키를 읽지 못했어요.)\n"))
        << qPrintable(r.out);
}
