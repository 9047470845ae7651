#include "settings/connections.h"
#include "settings/keychain.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

using namespace std::chrono_literals;
using Status = Connections::Status;

void PrintTo(const Connections::Status &status, std::ostream *out)
{
    static const char *const kinds[] = {"ok", "needsLogin", "checking", "missing", "notChecked", "notConnected"};
    *out << kinds[static_cast<int>(status.kind)] << "(\"" << status.text.toStdString() << "\")";
}

namespace {

QJsonObject out(const QString &text)
{
    return {{"out", text}};
}

QJsonObject respond(const QStringList &args, const QJsonArray &steps, int exit = 0)
{
    return {{"args", QJsonArray::fromStringList(args)}, {"steps", steps}, {"exit", exit}};
}

const QStringList authStatus{"auth", "status", "--json"};

QStringList argsOf(const QJsonObject &start)
{
    QStringList args;
    for (const QJsonValue &v : start.value("args").toArray())
        args.append(v.toString());
    return args;
}

void writeUserConfig(const QJsonObject &servers)
{
    QFile file(QDir::homePath() + "/.claude.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(QJsonObject{{"mcpServers", servers}}).toJson());
}

class ConnectionsTest : public testing::Test
{
protected:
    ConnectionsTest()
        : connections(hooks())
    {
        QFile::remove(QDir::homePath() + "/.claude.json");
        settings.claudePath = FakeClaude::path();
        settings.figmaMode = AppSettings::FigmaMode::mcp;
    }
    ~ConnectionsTest() override
    {
        // Nothing of this test may still report into the next one.
        waitUntil([this] { return !connections.job() && !connections.isRefreshing(); });
    }

    Connections::Hooks hooks()
    {
        Connections::Hooks h;
        h.openURL = [this](const QUrl &url) { opened.append(url); };
        h.codePromptDelay = 600ms;
        h.installerCommand = "exit 0";
        h.checkTimeout = 10s;
        return h;
    }

    void setResponses(const QJsonArray &responses)
    {
        fake.setScenario({{"readStdin", false}, {"responses", responses}});
    }

    static bool waitUntil(const std::function<bool()> &condition, int ms = 10000)
    {
        return QTest::qWaitFor(condition, ms);
    }

    void refreshAndWait()
    {
        connections.refresh(settings);
        ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));
    }

    Connections::Job job() const { return connections.job().value_or(Connections::Job{"none", "", {}, false}); }

    QStringList startedCommands() const
    {
        QStringList commands;
        for (const QJsonObject &start : fake.records("start"))
            commands.append(argsOf(start).join(' '));
        return commands;
    }

    FakeClaude fake;
    QList<QUrl> opened;
    Connections connections;
    AppSettings settings;
};

} // namespace

TEST_F(ConnectionsTest, ClaudeStatusTexts)
{
    const QList<QPair<QString, Status>> cases{
        {R"({"loggedIn":true,"email":"dev@example.com","authMethod":"claude.ai"})",
         Status::ok("dev@example.com · Claude 계정")},
        {R"({"loggedIn":true})", Status::ok("API 키로 로그인됨")},
        {R"({"loggedIn":true,"authMethod":"claude.ai"})", Status::ok("Claude 계정으로 로그인됨")},
        {R"({"loggedIn":true,"account":{"email":"team@example.com"},"authMethod":"console"})",
         Status::ok("team@example.com · API 키")},
        {R"({"loggedIn":true,"email":7,"account":{"email":"inner@example.com"},"authMethod":1})",
         Status::ok("inner@example.com · API 키")},
        {R"({"loggedIn":false,"email":"dev@example.com"})", Status::needsLogin("로그인이 필요해요")},
        {R"({"loggedIn":"true"})", Status::needsLogin("로그인이 필요해요")},
        {R"({"email":"dev@example.com"})", Status::needsLogin("로그인이 필요해요")},
        {"Please run claude login", Status::needsLogin("로그인 상태를 읽지 못했어요")},
        {R"([{"loggedIn":true}])", Status::needsLogin("로그인 상태를 읽지 못했어요")},
        {"", Status::needsLogin("로그인 상태를 읽지 못했어요")},
    };
    for (const auto &[output, expected] : cases) {
        // The exit status does not matter: the tool exits 1 when logged out.
        setResponses({respond(authStatus, {out(output)}, 1)});
        EXPECT_EQ(Connections::checkClaude(FakeClaude::path()), expected) << output.toStdString();
    }
    const QJsonObject start = fake.records("start").last();
    EXPECT_EQ(argsOf(start), authStatus);
    EXPECT_TRUE(start.value("env").toObject().value("PATH").toString().startsWith(
        QFileInfo(FakeClaude::path()).absolutePath() + ":"));
}

TEST_F(ConnectionsTest, ClaudeIsMissingWithoutStartingAnything)
{
    QTemporaryDir dir;
    QFile plain(dir.filePath("claude"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    for (const QString &path : {QString(), QStringLiteral("/nonexistent/claude"), QStringLiteral("claude"),
                                dir.path(), dir.filePath("claude")})
        EXPECT_EQ(Connections::checkClaude(path), Status::missing()) << path.toStdString();
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// The check asks the tool as a run would: in the login mode no credential
// of ours reaches it, in the API-key mode the keyring's key and only that;
// a key that is absent or cannot be read is named without asking the tool.
TEST_F(ConnectionsTest, ClaudeIsCheckedWithTheEnvironmentOfARun)
{
    const QStringList inherited{"ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "CLAUDE_CODE_OAUTH_TOKEN"};
    for (const QString &name : inherited)
        qputenv(name.toUtf8(), "inherited-credential");
    setResponses({respond(authStatus, {out(R"({"loggedIn":false})")}, 1)});
    // What the latest status check got of the credential variables.
    const auto credentials = [this, &inherited] {
        QJsonObject env;
        for (const QJsonObject &start : fake.records("start"))
            if (argsOf(start) == authStatus)
                env = start.value("env").toObject();
        QStringList found;
        for (auto it = env.begin(); it != env.end(); ++it)
            if (it.key().startsWith("ANTHROPIC_") || inherited.contains(it.key()))
                found.append(it.key() + "=" + it.value().toString());
        return found;
    };

    // A company gateway set in the shell alone reaches no run, and the
    // check says so and where the tool takes it from.
    EXPECT_EQ(Connections::checkClaude(FakeClaude::path()),
              Status::needsLogin("로그인이 필요해요. 터미널에 둔 ANTHROPIC_AUTH_TOKEN 은 Claude 실행에 넘기지 않아요. "
                                 + QDir::homePath() + "/.claude/settings.json 의 \"env\" 에 넣어 주세요"));
    EXPECT_EQ(credentials(), QStringList());

    const Keychain::Reading found{Keychain::Reading::Outcome::found, "sk-ant-stored", {}};
    Connections::checkClaude(FakeClaude::path(), found);
    EXPECT_EQ(credentials(), QStringList{"ANTHROPIC_API_KEY=sk-ant-stored"});

    const qsizetype started = fake.records("start").size();
    EXPECT_EQ(Connections::checkClaude(FakeClaude::path(), Keychain::Reading{}),
              Status::needsLogin("Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요."));
    const Keychain::Reading locked{Keychain::Reading::Outcome::unreadable, {},
                                   "키링이 잠겨 있어서 Anthropic API 키를 읽지 못했어요."};
    // No login opens a locked keyring: the check says what it could not see.
    EXPECT_EQ(Connections::checkClaude(FakeClaude::path(), locked), Status::notChecked(locked.problem));
    EXPECT_EQ(fake.records("start").size(), started);

    // The connections view's refresh reads the key as a run would.
    auto store = std::make_shared<MemorySecretStore>();
    store->items.insert(Keychain::account(Keychain::Item::anthropicKey), "sk-ant-kept");
    Keychain::useStore(store);
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    refreshAndWait();
    EXPECT_EQ(credentials(), QStringList{"ANTHROPIC_API_KEY=sk-ant-kept"});
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    refreshAndWait();
    EXPECT_EQ(credentials(), QStringList());
    Keychain::useStore(std::make_shared<MemorySecretStore>());
    for (const QString &name : inherited)
        qunsetenv(name.toUtf8());
}

TEST_F(ConnectionsTest, ServerStatusTexts)
{
    const QList<QPair<QString, Status>> cases{
        {"figma:\n  Scope: User config\n  Status: ✓ Connected\n  Type: http\n", Status::ok("figma 연결됨")},
        {"figma:\n  Status: ⚠ Needs authentication\n", Status::needsLogin("figma")},
        // As claude 2.1.337 prints them: a server that answered, one that
        // wants a login, one it could not reach (the cause on the next line)
        // and a local one it did not try from a folder nobody trusted. Only
        // a login can help the second.
        {"figma:\n  Scope: User config (available in all your projects)\n  Status: ✔ Connected\n  Type: http\n",
         Status::ok("figma 연결됨")},
        {"figma:\n  Status: ! Needs authentication\n  Type: http\n", Status::needsLogin("figma")},
        {"figma:\n  Status: ✘ Failed to connect\n  Issue: SSE error: ECONNREFUSED: Unable to connect. Is the computer "
         "able to access the url?\n  Type: sse\n",
         Status::notConnected("SSE error: ECONNREFUSED: Unable to connect. Is the computer able to access the url?")},
        {"figma:\n  Status: ✘ Failed to connect\n  Type: ws\n", Status::notConnected("")},
        {"figma:\n  Status: - Not checked (folder not trusted; run `claude` here)\n  Type: stdio\n",
         Status::notChecked("Claude 가 확인에 쓴 임시 폴더를 신뢰하지 않아 확인하지 못했어요: " + QDir::tempPath())},
        {"figma:\n  Status: - Not checked\n", Status::notChecked("")},
        {"figma:\n  Status: ? Pending\n", Status::notConnected("? Pending")},
        {"figma:\n  Type: http\n", Status::notConnected("")},
        {"\n\nConnected but no status line\n", Status::notConnected("")},
        {"No MCP server named \"figma\" found.\n  Status: ✓ Connected\n", Status::missing()},
        {"", Status::missing()},
    };
    for (const auto &[output, expected] : cases) {
        setResponses({respond({"mcp", "get", "figma"}, {out(output)}, 1)});
        EXPECT_EQ(Connections::checkServer(FakeClaude::path(), "figma"), expected) << output.toStdString();
    }
    EXPECT_EQ(Connections::checkServer("/nonexistent/claude", "figma"), Status::missing());
    EXPECT_EQ(Connections::checkServer("", "figma"), Status::missing());
}

TEST_F(ConnectionsTest, AHungCheckCountsAsNeedingLogin)
{
    setResponses({respond({"mcp", "get", "wiki"}, {QJsonObject{{"sleep", 20000}}}),
                  respond(authStatus, {QJsonObject{{"sleep", 20000}}})});
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Connections::checkServer(FakeClaude::path(), "wiki", 300ms), Status::needsLogin("wiki"));
    EXPECT_EQ(Connections::checkClaude(FakeClaude::path(), std::nullopt, 300ms),
              Status::needsLogin("로그인 상태를 읽지 못했어요"));
    EXPECT_LT(clock.elapsed(), 15000);
}

TEST_F(ConnectionsTest, WikiServersByNameOrLowerCaseAddress)
{
    EXPECT_TRUE(Connections::atlassianServers().isEmpty());
    writeUserConfig({
        {"atlassian", QJsonObject{{"type", "http"}, {"url", "https://mcp.example.com/v1/sse"}}},
        {"MyATLASSIAN", QJsonObject{{"type", "http"}}},
        {"Atlassian", QJsonObject{{"type", "stdio"}, {"command", "npx"}}},
        {"docs", QJsonObject{{"url", "https://mcp.atlassian.com/v1/sse"}}},
        {"shouting", QJsonObject{{"url", "https://mcp.ATLASSIAN.com/v1/sse"}}},
        {"figma", QJsonObject{{"url", "https://mcp.figma.com/mcp"}}},
        {"odd", "atlassian"},
    });
    EXPECT_EQ(Connections::atlassianServers(), (QStringList{"Atlassian", "MyATLASSIAN", "atlassian", "docs"}));

    QFile file(QDir::homePath() + "/.claude.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{\"mcpServers\": {\"atlassian\": ");
    file.close();
    EXPECT_TRUE(Connections::atlassianServers().isEmpty());
}

TEST_F(ConnectionsTest, EnvironmentPutsToolFoldersFirstAndNoEmptyEntry)
{
    const QByteArray saved = qgetenv("PATH");
    qputenv("PATH", "/usr/bin::/bin:");
    // Built from what the setup commands need, not from all of ours: no
    // display, whose windows would end with the job.
    qputenv("QUARRYSTONE_MARK", "left out");
    const QByteArray display = qgetenv("DISPLAY");
    qputenv("DISPLAY", ":7");
    const Spawn::Environment env = Connections::env(QDir::homePath() + "/.local/bin/claude");
    EXPECT_EQ(env.value("PATH"), QDir::homePath() + "/.local/bin:/usr/bin:/bin:/opt/homebrew/bin:/usr/local/bin");
    EXPECT_FALSE(env.contains("QUARRYSTONE_MARK"));
    EXPECT_FALSE(env.contains("DISPLAY"));
    EXPECT_EQ(env.value("HOME"), QDir::homePath());
    qputenv("DISPLAY", display);

    qunsetenv("PATH");
    EXPECT_EQ(Connections::env("/usr/bin/true").value("PATH"), "/usr/bin:/opt/homebrew/bin:/usr/local/bin:/bin");
    qputenv("PATH", saved);
    qunsetenv("QUARRYSTONE_MARK");
}

TEST_F(ConnectionsTest, RefreshPublishesTheFirstConnectedWikiServer)
{
    writeUserConfig({{"atlassian-b", QJsonObject{{"url", "https://b.example"}}},
                     {"atlassian-a", QJsonObject{{"url", "https://a.example"}}},
                     {"atlassian-c", QJsonObject{{"url", "https://c.example"}}}});
    setResponses({respond(authStatus, {out(R"({"loggedIn":true,"email":"dev@example.com","authMethod":"claude.ai"})")}),
                  respond({"mcp", "get", "figma"}, {out("figma:\n  Status: ✓ Connected\n")}),
                  respond({"mcp", "get", "atlassian-a"}, {out("atlassian-a:\n  Status: ⚠ Needs authentication\n")}),
                  respond({"mcp", "get", "atlassian-b"}, {out("atlassian-b:\n  Status: ✓ Connected\n")})});
    QSignalSpy wikiServerChanged(&connections, &Connections::wikiServerChanged);

    connections.refresh(settings);
    // A second request while the first runs is dropped, not queued.
    connections.refresh(settings);
    EXPECT_EQ(connections.claude(), Status::checking());
    EXPECT_EQ(connections.figma(), Status::checking());
    EXPECT_EQ(connections.wiki(), Status::checking());
    EXPECT_EQ(connections.wikiServer(), "");
    ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));

    EXPECT_EQ(connections.claude(), Status::ok("dev@example.com · Claude 계정"));
    EXPECT_EQ(connections.figma(), Status::ok("figma 연결됨"));
    EXPECT_EQ(connections.wiki(), Status::ok("atlassian-b 연결됨"));
    EXPECT_EQ(connections.wikiServer(), "atlassian-b");
    EXPECT_EQ(wikiServerChanged.count(), 1);
    // One check after the other, and no server after the first connected one.
    EXPECT_EQ(startedCommands(), (QStringList{"auth status --json", "mcp get figma", "mcp get atlassian-a",
                                              "mcp get atlassian-b"}));
}

TEST_F(ConnectionsTest, RefreshWithoutAConnectedWikiServerShowsTheFirst)
{
    writeUserConfig({{"atlassian-b", QJsonObject()}, {"atlassian-a", QJsonObject()}});
    setResponses({respond(authStatus, {out(R"({"loggedIn":false})")}),
                  respond({"mcp", "get", "figma"}, {out("No MCP server named figma\n")}),
                  respond({"mcp", "get", "atlassian-a"}, {out("atlassian-a:\n  Status: ✗ Failed to connect\n")}),
                  respond({"mcp", "get", "atlassian-b"}, {out("")})});
    refreshAndWait();
    EXPECT_EQ(connections.claude(), Status::needsLogin("로그인이 필요해요"));
    EXPECT_EQ(connections.figma(), Status::missing());
    EXPECT_EQ(connections.wiki(), Status::notConnected(""));
    EXPECT_EQ(connections.wikiServer(), "atlassian-a");

    // With no wiki server configured any more, the name is cleared.
    QFile::remove(QDir::homePath() + "/.claude.json");
    refreshAndWait();
    EXPECT_EQ(connections.wiki(), Status::missing());
    EXPECT_EQ(connections.wikiServer(), "");
}

TEST_F(ConnectionsTest, RefreshWithoutTheTool)
{
    writeUserConfig({{"atlassian", QJsonObject()}});
    auto store = std::make_shared<MemorySecretStore>();
    Keychain::useStore(store);
    settings.claudePath = "/nonexistent/claude";

    refreshAndWait();
    EXPECT_EQ(connections.claude(), Status::missing());
    EXPECT_EQ(connections.figma(), Status::missing());
    EXPECT_EQ(connections.wiki(), Status::missing());
    EXPECT_EQ(connections.wikiServer(), "");

    // In token mode the design service follows the stored token alone.
    settings.figmaMode = AppSettings::FigmaMode::token;
    refreshAndWait();
    EXPECT_EQ(connections.figma(), Status::missing());
    store->items.insert(Keychain::account(Keychain::Item::figmaToken), "figd_token");
    refreshAndWait();
    EXPECT_EQ(connections.claude(), Status::missing());
    EXPECT_EQ(connections.figma(), Status::ok("개인 토큰으로 읽어요"));
    EXPECT_EQ(connections.wiki(), Status::missing());
    EXPECT_TRUE(fake.records("start").isEmpty());
    Keychain::useStore(std::make_shared<MemorySecretStore>());
}

TEST_F(ConnectionsTest, ServerLoginOnATerminal)
{
    const QJsonArray login{
        QJsonObject{{"raw", true}},
        out("\u001b[1mOpen this address:\u001b[0m https://auth.example/oauth?client=quarry&state=1\r\n"),
        out("Or paste the \u001b[33mcode\u001b[0m here > "),
        QJsonObject{{"readLine", true}},
        out("\r\nAuthenticated. See https://later.example/x\r\n"),
    };
    setResponses({respond({"mcp", "add", "--transport", "http", "--scope", "user", "figma", "https://mcp.figma.example/mcp"},
                          {out("Added HTTP MCP server figma\n")}),
                  respond({"mcp", "login", "figma", "--no-browser"}, login),
                  respond(authStatus, {out(R"({"loggedIn":true})")})});
    QSignalSpy refreshing(&connections, &Connections::refreshingChanged);

    connections.addServer("figma", "https://mcp.figma.example/mcp", FakeClaude::path(), settings);
    ASSERT_TRUE(connections.job());
    EXPECT_EQ(job(), (Connections::Job{"Figma 연결", "열린 브라우저에서 “허용” 을 누르세요. 이미 로그인돼 있으면 바로 끝나요.",
                                       std::nullopt, false}));

    ASSERT_TRUE(waitUntil([this] { return job().url.has_value(); }));
    QElapsedTimer sincePrompt;
    sincePrompt.start();
    const QUrl address("https://auth.example/oauth?client=quarry&state=1");
    EXPECT_EQ(job().url, address);
    EXPECT_EQ(opened, QList<QUrl>{address});
    EXPECT_FALSE(job().askCode);

    ASSERT_TRUE(waitUntil([this] { return job().askCode; }));
    EXPECT_GE(sincePrompt.elapsed(), 400);
    connections.sendCode("  4321-abcd \n");
    EXPECT_EQ(job().note, "확인하는 중…");
    EXPECT_FALSE(job().askCode);

    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_EQ(connections.lastError(), std::nullopt);
    // The browser opened once, for the first address only.
    EXPECT_EQ(opened, QList<QUrl>{address});
    ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));
    EXPECT_EQ(refreshing.count(), 2);
    EXPECT_EQ(connections.claude(), Status::ok("API 키로 로그인됨"));

    const QList<QJsonObject> lines = fake.records("line");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].value("text").toString(), "4321-abcd\r");
    const QList<QJsonObject> starts = fake.records("start");
    ASSERT_GE(starts.size(), 3);
    EXPECT_EQ(argsOf(starts[0]).mid(0, 2), (QStringList{"mcp", "add"}));
    EXPECT_EQ(argsOf(starts[1]), (QStringList{"mcp", "login", "figma", "--no-browser"}));
    EXPECT_EQ(starts[1].value("terminal").toObject().value("isatty").toArray(), (QJsonArray{true, true, true}));
    EXPECT_TRUE(starts[1].value("terminal").toObject().value("controlling").toBool());
    EXPECT_EQ(starts[1].value("cwd").toString(), QDir::tempPath());
    EXPECT_EQ(argsOf(starts[2]), authStatus);
}

TEST_F(ConnectionsTest, OnlyVisibleWebAddressesCountAndToolLoginOpensNone)
{
    const QJsonArray login{
        out("\u001b]8;;https://hidden.example/target\u0007Click here\u001b]8;;\u0007 to log in\r\n"),
        QJsonObject{{"sleep", 100}},
        out("Bad: https:///etc/passwd\r\n\u001b]8;;https://other.example/t\u001b\\https://login.example/"
            "authorize?code=true\u001b]8;;\u001b\\\r\n"),
        QJsonObject{{"sleep", 100}},
        out("Second: https://second.example/\r\n"),
    };
    setResponses({respond({"mcp", "login", "wiki", "--no-browser"}, login)});
    connections.loginServer("wiki", FakeClaude::path(), settings);
    EXPECT_EQ(job().title, "Wiki 연결");
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://login.example/authorize?code=true")});

    // The tool's own login only keeps the address for the link.
    setResponses({respond({"auth", "login"}, {out("Visit https://claude.example/oauth?x=1 to continue\r\n"),
                                              QJsonObject{{"awaitSigterm", QJsonObject()}}})});
    opened.clear();
    connections.loginClaude(FakeClaude::path(), settings);
    EXPECT_EQ(job().title, "Claude 로그인");
    EXPECT_EQ(job().note, "열린 브라우저에서 회사 Claude 계정으로 로그인하세요. 이미 로그인돼 있으면 허용만 누르면 돼요.");
    ASSERT_TRUE(waitUntil([this] { return job().url.has_value(); }));
    EXPECT_EQ(job().url, QUrl("https://claude.example/oauth?x=1"));
    connections.stopJob();
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_TRUE(opened.isEmpty());
}

// A stand-in for the person's browser: it notes each address and goes on
// running in the background, holding a lock on "alive" while it lives.
void writeBrowser(const QString &path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nhere=\"${0%/*}\"\nexec 9>>\"$here/alive\"\nflock 9\n"
               "sleep 30 </dev/null >/dev/null 2>&1 &\necho $! >\"$here/pid\"\nprintf '%s\\n' \"$1\" >>\"$here/opened\"\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool heldByALiveProcess(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool held = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0)
        ::close(fd);
    return held;
}

// The browser a login opens is the person's, opened by the application
// outside the job: it lives on when the job ends, where the person finishes
// the login. Only web addresses are opened that way.
TEST_F(ConnectionsTest, TheBrowserALoginOpensOutlivesTheJob)
{
    QTemporaryDir home;
    const QString browser = home.filePath("browser");
    writeBrowser(browser);
    // Ours, which a job used to be given.
    qputenv("BROWSER", QFile::encodeName(browser));
    // As the window's opener does: a child of the application's own that
    // outlives it.
    connections.setURLOpener([this, browser](const QUrl &url) {
        opened.append(url);
        QProcess::startDetached(browser, {url.toString()});
    });
    const QString address = "https://claude.example/oauth?x=1";
    setResponses({respond({"auth", "login"}, {QJsonObject{{"openBrowser", "file:///etc/passwd"}},
                                              QJsonObject{{"openBrowser", "javascript:alert(1)"}},
                                              QJsonObject{{"openBrowser", address}}, out("Logged in\r\n")})});
    connections.loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(home.filePath("opened")); }));
    QTest::qWait(1000);
    const bool lives = heldByALiveProcess(home.filePath("alive"));
    QFile pid(home.filePath("pid"));
    if (lives && pid.open(QIODevice::ReadOnly))
        ::kill(pid.readAll().trimmed().toInt(), SIGKILL);
    QFile openedFile(home.filePath("opened"));
    ASSERT_TRUE(openedFile.open(QIODevice::ReadOnly));
    qunsetenv("BROWSER");
    EXPECT_TRUE(lives);
    EXPECT_EQ(openedFile.readAll(), address.toUtf8() + '\n');
    EXPECT_EQ(opened, QList<QUrl>{QUrl(address)});
}

TEST_F(ConnectionsTest, OneJobAtATimeAndAStopIsNoFailure)
{
    setResponses({respond({"auth", "login"}, {out("Paste code here > "), QJsonObject{{"awaitSigterm", QJsonObject()}}}),
                  respond(authStatus, {out(R"({"loggedIn":false})")})});
    connections.loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(waitUntil([this] { return !fake.records("start").isEmpty(); }));
    const Connections::Job running = job();

    QSignalSpy jobChanged(&connections, &Connections::jobChanged);
    QSignalSpy lastErrorChanged(&connections, &Connections::lastErrorChanged);
    connections.loginServer("figma", FakeClaude::path(), settings);
    connections.addServer("figma", "https://mcp.figma.example/mcp", FakeClaude::path(), settings);
    connections.installClaude(settings);
    EXPECT_EQ(job(), running);
    EXPECT_EQ(jobChanged.count(), 0);
    EXPECT_EQ(lastErrorChanged.count(), 0);
    EXPECT_EQ(startedCommands(), QStringList{"auth login"});

    connections.stopJob();
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_EQ(connections.lastError(), std::nullopt);
    // The end of a stopped job still brings a fresh check.
    ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));
    EXPECT_EQ(connections.claude(), Status::needsLogin("로그인이 필요해요"));
}

TEST_F(ConnectionsTest, CodeFieldOnlyForTheJobThatAskedWhileItRuns)
{
    setResponses({respond({"auth", "login"}, {out("Paste code here > "), QJsonObject{{"sleep", 200}}}),
                  respond({"mcp", "login", "figma", "--no-browser"}, {QJsonObject{{"awaitSigterm", QJsonObject()}}})});
    connections.loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));

    // The first job's timer fires while the second one runs.
    connections.loginServer("figma", FakeClaude::path(), settings);
    QTest::qWait(900);
    ASSERT_TRUE(connections.job());
    EXPECT_FALSE(job().askCode);
    connections.stopJob();
}

TEST_F(ConnectionsTest, FailedJobsReportTheirLastLines)
{
    setResponses({respond({"auth", "login"}, {out("first line\r\n  \t\r\n\t second line \r\n"),
                                              out("\u001b[31mthird\tline\u001b[0m\t \r\n\r\n")},
                          1)});
    connections.loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_EQ(connections.lastError(), QString("second line third\tline"));
    ASSERT_TRUE(waitUntil([this] { return !connections.isRefreshing(); }));

    setResponses({respond({"auth", "login"}, {}, 2)});
    QSignalSpy lastErrorChanged(&connections, &Connections::lastErrorChanged);
    connections.loginClaude(FakeClaude::path(), settings);
    // Cleared as soon as the next job is accepted.
    EXPECT_EQ(connections.lastError(), std::nullopt);
    ASSERT_TRUE(waitUntil([this] { return !connections.job(); }));
    EXPECT_EQ(connections.lastError(), QString("끝나지 못했어요(종료 코드 2)"));
    EXPECT_EQ(lastErrorChanged.count(), 2);
}

TEST_F(ConnectionsTest, AJobThatCannotStartLeavesItsReason)
{
    connections.loginClaude("claude", settings);
    EXPECT_EQ(connections.job(), std::nullopt);
    EXPECT_EQ(connections.lastError(), QString("claude 를 띄우지 못했어요: No such file or directory"));
    // No refresh follows a failed start.
    EXPECT_FALSE(connections.isRefreshing());
    EXPECT_EQ(connections.claude(), Status::checking());
}

TEST_F(ConnectionsTest, InstallerRunsInALoginShellWithoutATerminal)
{
    Connections::Hooks h = hooks();
    h.installerCommand = "echo 'Installing Claude Code'; test -t 0 || echo 'no terminal here'; "
                         "echo 'See https://install.example/log'; exit 4";
    Connections installer(h);
    installer.installClaude(settings);
    ASSERT_TRUE(installer.job());
    EXPECT_EQ(installer.job()->title, "Claude Code 설치하는 중");
    EXPECT_EQ(installer.job()->note, "1~2분 걸려요. 끝나면 로그인 버튼이 나와요.");
    ASSERT_TRUE(waitUntil([&installer] { return !installer.job(); }));
    EXPECT_EQ(installer.lastError(), QString("no terminal here See https://install.example/log"));
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_TRUE(waitUntil([&installer] { return !installer.isRefreshing(); }));
}

namespace {

// Alive and not yet a zombie waiting for a parent that is gone.
bool running(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype state = line.lastIndexOf(')') + 2;
    return state < line.size() && line.at(state) != 'Z';
}

// The fields of /proc/<pid>/stat after the command name: state first.
QList<QByteArray> statFields(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ');
}

pid_t groupOf(pid_t pid)
{
    return statFields(QString::number(pid)).value(2).toInt();
}

// Whether any process of the group runs (a zombie does not).
bool groupRunning(pid_t group)
{
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        const QList<QByteArray> fields = statFields(entry);
        if (fields.size() > 2 && fields.at(0) != "Z" && fields.at(2).toInt() == group)
            return true;
    }
    return false;
}

// The number, as this process sees it, of the process named in `path`.
pid_t pidIn(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? pid_t(FakeClaude::numbersHere(file.readAll()).value(0)) : 0;
}

} // namespace

// What a setup job started (the installer's pipeline, a child that ignores
// SIGTERM) ends with it, and however it ends the person's stop is no failure.
TEST_F(ConnectionsTest, StoppingAJobEndsEverythingItStartedWithoutAMessage)
{
    QTemporaryDir dir;
    const QString piped = dir.filePath("piped");
    const QString stubborn = dir.filePath("stubborn");
    const QString inner = dir.filePath("inner");
    const struct {
        const char *what;
        QString command;
        QString pidFile;
        int stops;
    } jobs[] = {
        // A job has a PID namespace of its own, where $$ and $! count from
        // 1: each number is written with its namespace.
        {"pipeline", "sh -c 'echo \"$$ $(readlink /proc/self/ns/pid)\" > " + piped + "; exec sleep 300' | cat", piped, 1},
        {"ignores SIGTERM",
         "trap '' TERM; sleep 300 & echo \"$! $(readlink /proc/self/ns/pid)\" > " + stubborn + "; wait; wait",
         stubborn, 2},
        // The first process ends at SIGTERM and is reaped; what it started
        // ignores SIGTERM and still gets SIGKILL after the grace time.
        {"outlives its reaped leader",
         "sh -c 'sh -c \"trap \\\"\\\" TERM; echo \\$\\$ \\$(readlink /proc/self/ns/pid) > " + inner
             + "; sleep 300\" & wait'",
         inner, 1},
    };
    for (const auto &job : jobs) {
        Connections::Hooks h = hooks();
        h.installerCommand = job.command;
        h.stopGrace = 1s;
        Connections installer(h);
        installer.installClaude(settings);
        ASSERT_TRUE(waitUntil([&] { return pidIn(job.pidFile) > 0; })) << job.what;
        const pid_t started = pidIn(job.pidFile);
        ASSERT_TRUE(running(started)) << job.what;
        const pid_t group = groupOf(started);
        ASSERT_GT(group, 1) << job.what;

        installer.stopJob();
        if (job.stops == 2) {
            QTest::qWait(300);
            EXPECT_TRUE(installer.job()) << job.what;
            installer.stopJob();
        }
        EXPECT_TRUE(waitUntil([&] { return !installer.job(); }, 5000)) << job.what;
        EXPECT_TRUE(waitUntil([&] { return !running(started); }, 5000)) << job.what;
        EXPECT_TRUE(waitUntil([&] { return !groupRunning(group); }, 5000)) << job.what;
        EXPECT_EQ(installer.lastError(), std::nullopt) << job.what;
        ASSERT_TRUE(waitUntil([&] { return !installer.isRefreshing(); }));
    }
}

// A check or job still running when the object that started it goes is
// ended with everything it started, even when it ignores SIGTERM.
TEST_F(ConnectionsTest, ChecksAndJobsEndWithTheirObject)
{
    const QJsonObject stubborn{{"awaitSigterm", QJsonObject{{"ignore", true}}}};
    setResponses({respond(authStatus, {stubborn}), respond({"auth", "login"}, {stubborn})});
    Connections::Hooks h = hooks();
    h.checkTimeout = 600s;
    h.stopGrace = 1s;
    auto owner = std::make_unique<Connections>(h);
    owner->refresh(settings);
    owner->loginClaude(FakeClaude::path(), settings);
    ASSERT_TRUE(waitUntil([this] { return fake.records("start").size() == 2; }));
    QList<pid_t> started;
    for (const QJsonObject &start : fake.records("start"))
        started.append(pid_t(start.value("pid").toInteger()));

    owner.reset();
    for (const pid_t pid : started)
        EXPECT_TRUE(waitUntil([pid] { return ::kill(pid, 0) == -1 && errno == ESRCH; }, 10000)) << pid;
}

// The application of the test below: a Claude login on a terminal whose
// tool started a helper that ignores SIGTERM and SIGHUP, until the test
// kills it.
TEST(KilledLogin, ApplicationForTheLoginTest)
{
    if (qEnvironmentVariableIsEmpty("QUARRYSTONE_TEST_LOGIN"))
        GTEST_SKIP() << "run by KilledLogin.ALoginJobEndsWithTheApplicationAlone";
    Connections connections;
    connections.loginClaude(FakeClaude::path(), AppSettings());
    QTest::qWait(60000);
}

// The application alone dies (SIGKILL) during a login job: 3 seconds later
// nothing the job started runs, its helper that ignores SIGTERM and SIGHUP
// included.
TEST(KilledLogin, ALoginJobEndsWithTheApplicationAlone)
{
    FakeClaude fake;
    const QJsonObject helper{{"startChild", QJsonObject{{"ignoreSigterm", true}, {"ignoreSighup", true}}}};
    fake.setScenario({{"readStdin", false}, {"steps", QJsonArray{helper, QJsonObject{{"sleep", 60000}}}}});
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUARRYSTONE_TEST_LOGIN", "1");
    app.setProcessEnvironment(env);
    app.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=KilledLogin.ApplicationForTheLoginTest"});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&fake] { return !fake.records("child").isEmpty(); }, 30000));
    CommandLine::signal(app, SIGKILL);
    ASSERT_TRUE(app.waitForFinished(10000));
    const bool none = fake.noneRunning(3000);
    EXPECT_TRUE(none);
    for (const qint64 left : fake.running())
        ::kill(static_cast<pid_t>(left), SIGKILL);
}
