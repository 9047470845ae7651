#include "claude/clauderunner.h"
#include "process/ownnetwork.h"
#include "process/spawn.h"
#include "support/fakeclaude.h"
#include "support/taskwait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>

namespace {

const QString loginHint = QStringLiteral("\n터미널에서 `claude` 를 한 번 실행해 로그인해 주세요.");
const QString keyHint =
    QStringLiteral("\nAPI 가 Anthropic API 키를 받지 않았어요. 설정에서 키를 확인하거나 'Claude Code 로그인' 방식으로 바꿔 주세요.");

// Each of these alone made claude 2.1.337's "auth status" report a login
// (the last six switch it to a cloud provider's account).
const char *const credentialVariables[] = {
    "ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "CLAUDE_CODE_OAUTH_TOKEN", "CLAUDE_CODE_API_KEY_FILE_DESCRIPTOR",
    "CLAUDE_CODE_OAUTH_TOKEN_FILE_DESCRIPTOR", "CLAUDE_CODE_USE_BEDROCK", "CLAUDE_CODE_USE_VERTEX",
    "CLAUDE_CODE_USE_FOUNDRY", "CLAUDE_CODE_USE_MANTLE", "CLAUDE_CODE_USE_ANTHROPIC_AWS",
    "CLAUDE_CODE_USE_ANTHROPIC_GOOGLE_CLOUD"};

// Progress lines and tool results arrive on a reader thread.
struct Seen {
    std::mutex lock;
    QStringList lines;
    QList<QPair<QString, QString>> toolResults;

    ClaudeRunner::Progress progress()
    {
        return [this](const QString &line) {
            const std::lock_guard guard(lock);
            lines.append(line);
        };
    }
    ClaudeRunner::ToolResult toolResult()
    {
        return [this](const QString &name, const QJsonObject &, const QString &text) {
            const std::lock_guard guard(lock);
            toolResults.append({name, text});
        };
    }
};

void writeUserConfig(const QByteArray &bytes)
{
    QFile file(QDir::homePath() + "/.claude.json");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

bool processGone(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

// Cancels once the stand-in has started (and trapped SIGTERM).
class CancelWhenStarted
{
public:
    // Only a run that starts after this: the starts of runs before it are
    // in the same log.
    CancelWhenStarted(const FakeClaude &fake, const CancelToken &cancel)
    {
        const qsizetype before = fake.records("start").size();
        QObject::connect(&m_poll, &QTimer::timeout, [&fake, cancel, before] {
            if (fake.records("start").size() > before)
                cancel.cancel();
        });
        m_poll.start(20);
    }

private:
    QTimer m_poll;
};

class ClaudeRunnerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_savedPath = qgetenv("PATH");
        QFile::remove(QDir::homePath() + "/.claude.json");
    }
    void TearDown() override
    {
        qputenv("PATH", m_savedPath);
        for (const char *name : credentialVariables)
            qunsetenv(name);
    }

    QString run(const QString &prompt = "prompt", const QStringList &tools = {"Read"}, const QStringList &dirs = {},
                bool continueLast = false, const CancelToken &cancel = CancelToken())
    {
        return TaskWait::result(runner.run(prompt, tools, dirs, plan.path(), continueLast, seen.progress(),
                                           seen.toolResult(), cancel));
    }
    QString failureOf(const QJsonArray &steps, int exitCode = 0)
    {
        fake.setScenario({{"steps", steps}, {"exit", exitCode}});
        try {
            run();
        } catch (const ClaudeFailure &failure) {
            return failure.message;
        }
        ADD_FAILURE() << "the run did not fail";
        return {};
    }
    QJsonObject lastStart() const { return fake.records("start").value(fake.records("start").size() - 1); }
    QString argAfterLast(const QString &flag) const
    {
        const QStringList args = lastArgs();
        return args.indexOf(flag) < 0 ? "<none>" : args.value(args.indexOf(flag) + 1);
    }
    QStringList lastArgs() const
    {
        QStringList args;
        for (const QJsonValue &v : lastStart().value("args").toArray())
            args.append(v.toString());
        return args;
    }

    FakeClaude fake;
    QTemporaryDir plan;
    Seen seen;
    ClaudeRunner runner{FakeClaude::path(), std::nullopt, QString()};
    QByteArray m_savedPath;
};

QJsonArray answering(const QString &answer)
{
    return {FakeClaude::resultEvent(answer)};
}

} // namespace

TEST_F(ClaudeRunnerTest, BuildsTheArgumentsOfEveryRunShape)
{
    writeUserConfig(R"({"mcpServers": {
        "figma": {"type": "http", "url": "http://127.0.0.1:3845/mcp"},
        "atlassian": {"type": "sse", "url": "https://mcp.example/sse", "headers": {"Authorization": "Bearer s3cret"}},
        "wiki2": {"command": "npx", "args": ["wiki"]},
        "unused": {"command": "x"}}})");
    fake.setScenario({{"steps", answering("ok")}});
    const QString planDir = plan.path();
    struct Shape {
        const char *name;
        QStringList tools;
        QStringList dirs;
        bool continueLast;
        QString model;
        QStringList expected; // "<config>" stands for the configuration file's path
        QJsonObject servers;
    };
    const QJsonObject figma{{"type", "http"}, {"url", "http://127.0.0.1:3845/mcp"}};
    const QJsonObject atlassian{{"type", "sse"},
                                {"url", "https://mcp.example/sse"},
                                {"headers", QJsonObject{{"Authorization", "Bearer s3cret"}}}};
    const QJsonObject wiki2{{"command", "npx"}, {"args", QJsonArray{"wiki"}}};
    const QStringList start{"-p", "--output-format", "stream-json", "--verbose"};
    const QList<Shape> shapes{
        {"section read",
         {"Read", "Grep", "mcp__figma__get_metadata", "mcp__figma__get_screenshot", "mcp__figma__create_session"},
         {},
         false,
         "",
         start + QStringList{"--tools", "Grep,Read,ToolSearch", "--permission-mode", "dontAsk", "--allowedTools",
                             "Read,Grep,mcp__figma__get_metadata,mcp__figma__get_screenshot,mcp__figma__create_session",
                             "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>"},
         {{"figma", figma}}},
        {"wiki read",
         {"mcp__atlassian", "mcp__wiki2"},
         {},
         false,
         "",
         start + QStringList{"--tools", "ToolSearch", "--permission-mode", "dontAsk", "--allowedTools",
                             "mcp__atlassian,mcp__wiki2", "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>"},
         {{"atlassian", atlassian}, {"wiki2", wiki2}}},
        {"draft",
         {"Read", "Grep", "Glob"},
         {planDir, "/repos/android", ""},
         false,
         "claude-opus-4",
         start + QStringList{"--tools", "Glob,Grep,Read,ToolSearch", "--permission-mode", "dontAsk",
                             "--allowedTools", "Read,Grep,Glob", "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>",
                             "--add-dir", planDir, "--add-dir", "/repos/android", "--model", "claude-opus-4"},
         {}},
        {"fix round",
         {"Read", "Grep", "Glob"},
         {planDir, "/repos/android", "/repos/ios"},
         true,
         "",
         start + QStringList{"--continue", "--tools", "Glob,Grep,Read,ToolSearch", "--permission-mode", "dontAsk",
                             "--allowedTools", "Read,Grep,Glob", "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>",
                             "--add-dir", planDir, "--add-dir", "/repos/android", "--add-dir", "/repos/ios"},
         {}},
        {"revision",
         {"Read", "Edit", "Grep", "Glob", "mcp__atlassian", "ToolSearch"},
         {planDir, "", "/repos/ios"},
         false,
         "",
         start + QStringList{"--tools", "Edit,Glob,Grep,Read,ToolSearch", "--permission-mode", "dontAsk",
                             "--allowedTools", "Read,Edit,Grep,Glob,mcp__atlassian,ToolSearch",
                             "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>", "--add-dir", planDir, "--add-dir",
                             "/repos/ios"},
         {{"atlassian", atlassian}}},
        {"development",
         {"Read", "Edit", "Write", "Glob", "Grep", "Bash(./gradlew:*)", "Bash(git status:*)", "Bash(git diff:*)",
          "Bash(ls:*)"},
         {"/repos/android-worktrees/feat-x", planDir},
         false,
         "sonnet",
         start + QStringList{"--tools", "Bash,Edit,Glob,Grep,Read,ToolSearch,Write", "--permission-mode", "dontAsk", "--allowedTools",
                             "Read,Edit,Write,Glob,Grep,Bash(./gradlew:*),Bash(git status:*),Bash(git diff:*),Bash(ls:*)",
                             "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>", "--add-dir",
                             "/repos/android-worktrees/feat-x", "--add-dir", planDir, "--model", "sonnet"},
         {}},
        {"patterns only",
         {"Bash(xcodebuild:*)", "Grep", "Bash(ls:*)", "Read(./src/**)", "Task()", "Odd(x"},
         {},
         false,
         "",
         start + QStringList{"--tools", "Bash,Grep,Odd(x,Read,Task,ToolSearch", "--permission-mode", "dontAsk",
                             "--allowedTools", "Bash(xcodebuild:*),Grep,Bash(ls:*),Read(./src/**),Task(),Odd(x",
                             "--strict-mcp-config", "--mcp-config", "<config>", "--setting-sources", "", "--settings", "<settings>"},
         {}},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.name);
        runner.model = shape.model;
        EXPECT_EQ(run(QString::fromUtf8("프롬프트 ") + shape.name, shape.tools, shape.dirs, shape.continueLast), "ok");
        const QJsonObject log = lastStart();
        const QJsonObject config = log.value("mcpConfig").toObject();
        QStringList expected = shape.expected;
        expected.replace(expected.indexOf("<config>"), config.value("path").toString());
        expected.replace(expected.indexOf("<settings>"), lastArgs().value(lastArgs().indexOf("--settings") + 1));
        EXPECT_EQ(lastArgs(), expected);
        EXPECT_EQ(log.value("stdin").toString(), QString::fromUtf8("프롬프트 ") + shape.name);
        EXPECT_EQ(log.value("cwd").toString(), QDir(planDir).canonicalPath());
        EXPECT_EQ(log.value("fds").toArray(), (QJsonArray{0, 1, 2}));
        EXPECT_EQ(QJsonDocument::fromJson(config.value("text").toString().toUtf8()).object(),
                  (QJsonObject{{"mcpServers", shape.servers}}));
        // Readable by the user alone, and gone after the run.
        EXPECT_EQ(config.value("mode").toString(), "600");
        EXPECT_EQ(config.value("folderMode").toString(), "700");
        EXPECT_FALSE(QFile::exists(config.value("path").toString()));
    }
}

TEST_F(ClaudeRunnerTest, WithoutAllowedToolsStillPassesAnEmptyConfiguration)
{
    fake.setScenario({{"steps", answering("ok")}});
    EXPECT_EQ(run("p", {}), "ok");
    const QStringList args = lastArgs();
    EXPECT_EQ(args.mid(0, 8), (QStringList{"-p", "--output-format", "stream-json", "--verbose", "--tools",
                                           "ToolSearch", "--permission-mode", "dontAsk"}));
    EXPECT_EQ(args.mid(8, 2), (QStringList{"--strict-mcp-config", "--mcp-config"}));
    EXPECT_EQ(args.mid(11, 3), (QStringList{"--setting-sources", "", "--settings"}));
    EXPECT_EQ(args.size(), 15);
    EXPECT_EQ(lastStart().value("mcpConfig").toObject().value("text").toString(), "{\"mcpServers\":{}}");
}

TEST_F(ClaudeRunnerTest, ComposesPathAndHandsTheKeyOnlyInKeyMode)
{
    fake.setScenario({{"steps", answering("ok")}});
    const QString toolDir = QFileInfo(FakeClaude::path()).absolutePath();
    const QString usual = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin";
    const QString fixed = toolDir + ":" + usual;
    auto env = [this] { return lastStart().value("env").toObject(); };

    // Whose account a run uses is the person's login or the keyring's key:
    // a credential inherited from our environment never reaches the tool.
    const auto credentials = [&env] {
        QStringList found;
        for (const char *name : credentialVariables)
            if (env().contains(name))
                found.append(QString::fromLatin1(name) + "=" + env().value(name).toString());
        return found;
    };
    // The person's own order comes right after the tool's folder: their
    // version manager's shims stay before the system's programs.
    qputenv("PATH", "/x/shims::/usr/bin:/y/bin:");
    for (const char *name : credentialVariables)
        qputenv(name, "inherited");
    // The environment is built from what a run needs: extra request
    // headers (which the tool adds to every API request), another API
    // address and any unknown name stay out.
    const char *const strangers[] = {"ANTHROPIC_CUSTOM_HEADERS", "ANTHROPIC_BASE_URL", "QUARRYSTONE_PROBE"};
    for (const char *name : strangers)
        qputenv(name, "inherited");
    qputenv("LC_MESSAGES", "ko_KR.UTF-8");
    run();
    EXPECT_EQ(env().value("PATH").toString(), toolDir + ":/x/shims:/usr/bin:/y/bin:/opt/homebrew/bin:/usr/local/bin:/bin");
    EXPECT_EQ(credentials(), QStringList());
    for (const char *name : strangers)
        EXPECT_FALSE(env().contains(name)) << name;
    EXPECT_EQ(env().value("HOME").toString(), QDir::homePath());
    EXPECT_EQ(env().value("TMPDIR").toString(), qEnvironmentVariable("TMPDIR"));
    EXPECT_EQ(env().value("LC_ALL").toString(), "C.UTF-8");
    EXPECT_EQ(env().value("LC_MESSAGES").toString(), "ko_KR.UTF-8");

    qunsetenv("PATH");
    runner.apiKey = QString();
    run();
    EXPECT_EQ(env().value("PATH").toString(), fixed);
    EXPECT_EQ(credentials(), QStringList());

    qputenv("PATH", "");
    runner.apiKey = "sk-ant-test";
    run();
    EXPECT_EQ(env().value("PATH").toString(), fixed);
    EXPECT_EQ(credentials(), QStringList{"ANTHROPIC_API_KEY=sk-ant-test"});
    // The one environment a run and the login check share.
    const QJsonObject got = env();
    Spawn::Environment logged;
    for (auto it = got.begin(); it != got.end(); ++it)
        logged.insert(it.key(), it.value().toString());
    // Beside it, only the token the spawner gives every run.
    EXPECT_EQ(logged.take("QUARRYSTONE_RUN").size(), 32);
    EXPECT_EQ(ClaudeRunner::environment(FakeClaude::path(), runner.apiKey), logged);
    for (const char *name : strangers)
        qunsetenv(name);
    qunsetenv("LC_MESSAGES");
}

// The tool (2.1.337) loads no settings file of the person's or of the
// working folder's with no source named; of the person's own a run takes
// only the way to the API (a gateway set there, a key helper) and the
// model, in the one file it gets.
TEST_F(ClaudeRunnerTest, TakesOnlyTheWayToTheAPIFromThePersonsSettings)
{
    QTemporaryDir config;
    qputenv("CLAUDE_CONFIG_DIR", QFile::encodeName(config.path()));
    QFile own(config.filePath("settings.json"));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write(R"({"env": {"ANTHROPIC_BASE_URL": "https://gateway.example"}, "apiKeyHelper": "~/bin/key",
                  "model": "opus", "permissions": {"allow": ["Edit", "Bash"], "additionalDirectories": ["/"]},
                  "hooks": {"SessionStart": []}, "enabledPlugins": {"x@y": true}})");
    own.close();
    fake.setScenario({{"steps", answering("ok")}});
    EXPECT_EQ(run(), "ok");
    qunsetenv("CLAUDE_CONFIG_DIR");
    EXPECT_EQ(argAfterLast("--setting-sources"), "");
    EXPECT_EQ(QJsonDocument::fromJson(lastStart().value("settings").toString().toUtf8()).object(),
              (QJsonObject{{"env", QJsonObject{{"ANTHROPIC_BASE_URL", "https://gateway.example"}}},
                           {"apiKeyHelper", "~/bin/key"},
                           {"model", "opus"}}));
}

TEST_F(ClaudeRunnerTest, ReadsTheEventStreamAndAnswersWithTheResultOnly)
{
    const QJsonObject toolUse{
        {"type", "assistant"},
        {"message",
         QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "tool_use"},
                                                        {"id", "tu1"},
                                                        {"name", "mcp__figma__get_metadata"},
                                                        {"input", QJsonObject{{"nodeId", "12:34"}}}},
                                            QJsonObject{{"type", "text"}, {"text", "Looking.\nMore."}}}}}}};
    const QJsonObject toolResult{
        {"type", "user"},
        {"message", QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "tool_result"},
                                                                   {"tool_use_id", "tu1"},
                                                                   {"content", "<frame id=\"1\"/>"}}}}}}};
    const QJsonObject result{{"type", "result"},    {"subtype", "success"},     {"is_error", false},
                             {"duration_ms", 12345}, {"total_cost_usd", 0.0456}, {"result", "final answer"}};
    fake.setScenario(
        {{"steps", QJsonArray{QJsonObject{{"out", "not json at all\n"}},
                              FakeClaude::event({{"type", "system"}, {"subtype", "init"}}),
                              QJsonObject{{"event", toolUse}, {"split", 25}, {"crlf", true}},
                              QJsonObject{{"err", "a warning\n"}},
                              QJsonObject{{"event", toolResult}, {"split", 3}},
                              QJsonObject{{"writeFile", "sub/plan.json"}, {"content", "{}"}},
                              QJsonObject{{"out", QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact))}}}},
         {"exit", 1}});
    // Status 1 after a successful result is still a success.
    EXPECT_EQ(run(), "final answer");
    EXPECT_EQ(seen.lines, (QStringList{"도구: figma get_metadata 12:34", "Looking.", "끝 (12초, $0.05)"}));
    EXPECT_EQ(seen.toolResults,
              (QList<QPair<QString, QString>>{{"mcp__figma__get_metadata", "<frame id=\"1\"/>"}}));
    EXPECT_TRUE(QFile::exists(plan.filePath("sub/plan.json")));
}

TEST_F(ClaudeRunnerTest, FailuresCarryTheStatusAndTheBestDetail)
{
    const QString prefix = QStringLiteral("Claude 실행 실패(종료 코드 ");
    // A run that ends without its result, an error result without a word or
    // a run killed from outside each say so, rather than that nothing was
    // printed: the tool's events may well have been printed.
    EXPECT_EQ(failureOf({}), prefix + "0): Claude 가 결과를 알리지 않고 끝났어요");
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "system"}, {"subtype", "init"}})}, 3),
              prefix + "3): Claude 가 결과도 오류 메시지도 남기지 않고 끝났어요");
    EXPECT_EQ(failureOf({QJsonObject{{"err", "1\n\n2\n3\n4\n5\n6\n\n"}}}, 2), prefix + "2): 2\n3\n4\n5\n6");
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"subtype", "error_during_execution"},
                                            {"is_error", true}, {"result", "Credit balance is too low"}}),
                         QJsonObject{{"err", "ignored\n"}}}),
              prefix + "0): Credit balance is too low");
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"is_error", true}})}),
              prefix + "0): Claude 가 오류로 끝났지만 무슨 오류인지 알리지 않았어요");
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"subtype", "error_during_execution"}})}),
              prefix + "0): Claude 가 오류로 끝났지만 무슨 오류인지 알리지 않았어요 (error_during_execution)");
    EXPECT_EQ(failureOf({QJsonObject{{"signal", SIGTERM}}}), prefix + "143): Claude 가 신호 15 를 받고 끝났어요");
    EXPECT_EQ(failureOf({QJsonObject{{"signal", SIGKILL}}}), prefix + "137): Claude 가 신호 9 를 받고 끝났어요");
}

TEST_F(ClaudeRunnerTest, AddsTheLoginHintForLoginOrAuth)
{
    const QString prefix = QStringLiteral("Claude 실행 실패(종료 코드 1): ");
    EXPECT_EQ(failureOf({QJsonObject{{"err", "Please run /LOGIN first\n"}}}, 1),
              prefix + "Please run /LOGIN first" + loginHint);
    EXPECT_EQ(failureOf({QJsonObject{{"err", "Invalid API key · Fix external API key\n"}}}, 1),
              prefix + "Invalid API key · Fix external API key" + loginHint);
    EXPECT_EQ(failureOf({QJsonObject{{"err", "Auth failed\n"}}}, 1), prefix + "Auth failed");
    EXPECT_EQ(failureOf({QJsonObject{{"err", "oauth token expired\n"}}}, 1), prefix + "oauth token expired" + loginHint);
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"subtype", "error"}, {"result", "Session expired, please login"}})},
                        1),
              prefix + "Session expired, please login" + loginHint);
}

// In a confined development run the tool (2.1.337) can neither refresh an
// expired login nor run the person's apiKeyHelper, and says so in English
// ("Not logged in · Please run /login", "Your apiKeyHelper script is
// failing"): the failure says why, and what helps.
TEST_F(ClaudeRunnerTest, AConfinedRunSaysWhyItsLoginFails)
{
    if (!Spawn::confinementWorks() || !OwnNetwork::unavailable().isEmpty())
        GTEST_SKIP() << "runs get no confinement with a network of their own here";
    QTemporaryDir place;
    runner.confinement = Spawn::Confinement{{QDir(place.path()).canonicalPath()}, {}, QString(), {}};
    const QString prefix = QStringLiteral("Claude 실행 실패(종료 코드 1): ");
    const QString login = "Not logged in · Please run /login";
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"is_error", true}, {"result", login}})}, 1),
              prefix + login
                  + "\n개발 실행은 격리되어 있어서 Claude 가 그 안에서 만료된 로그인을 새로 고칠 수 없어요. 계획서 다듬기를 한 번 "
                    "하거나 터미널에서 `claude` 를 한 번 실행해 로그인을 새로 고친 뒤 다시 시작해 주세요.");
    const QString helper = "Your apiKeyHelper script is failing · Check the script or re-authenticate";
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"is_error", true}, {"result", helper}})}, 1),
              prefix + helper
                  + "\n개발 실행은 격리되어 있어서 그 안에서는 Claude 설정의 apiKeyHelper 를 실행할 수 없어요. 개발하려면 "
                    "설정에서 'Anthropic API 키' 방식으로 바꿔 주세요.");
    runner.confinement.reset();
    EXPECT_EQ(failureOf({FakeClaude::event({{"type", "result"}, {"is_error", true}, {"result", login}})}, 1),
              prefix + login + loginHint);
}

// On a refused key or login, and while the API is busy, claude 2.1.337
// retries ten times over about three minutes, saying so only in "system"
// events of subtype "api_retry"; then it gives up with an error result and
// status 1. Each retry is a progress line, and the failure says what to do:
// log in again, or check the key that the API-key mode handed over.
TEST_F(ClaudeRunnerTest, RetriesShowAndARefusedKeySaysWhatToDo)
{
    const auto retry = [](int attempt, const QJsonValue &status) {
        return FakeClaude::event({{"type", "system"}, {"subtype", "api_retry"}, {"attempt", attempt}, {"max_retries", 10},
                                  {"retry_delay_ms", 610}, {"error_status", status}, {"error", "x"}});
    };
    const QJsonObject refused = FakeClaude::event({{"type", "result"}, {"subtype", "success"}, {"is_error", true},
                                                   {"result", "Invalid API key · Fix external API key"},
                                                   {"duration_ms", 179248}, {"total_cost_usd", 0}});
    const QString prefix = QStringLiteral("Claude 실행 실패(종료 코드 1): Invalid API key · Fix external API key");
    runner.apiKey = "sk-ant-wrong";
    EXPECT_EQ(failureOf({retry(1, 401), retry(2, 401), refused}, 1), prefix + keyHint);
    EXPECT_EQ(seen.lines, (QStringList{"API 가 키·로그인을 받지 않아 다시 시도하는 중 (1/10)",
                                       "API 가 키·로그인을 받지 않아 다시 시도하는 중 (2/10)", "끝 (179초, $0.00)"}));

    runner.apiKey.reset();
    seen.lines.clear();
    const QJsonObject expired = FakeClaude::event(
        {{"type", "result"}, {"subtype", "success"}, {"is_error", true}, {"result", "OAuth token has expired"}});
    EXPECT_EQ(failureOf({retry(1, 401), expired}, 1),
              QStringLiteral("Claude 실행 실패(종료 코드 1): OAuth token has expired") + loginHint);

    seen.lines.clear();
    fake.setScenario({{"steps", QJsonArray{retry(6, 529), retry(7, QJsonValue()), FakeClaude::resultEvent("됐어요")}}});
    EXPECT_EQ(run(), "됐어요");
    // A retry without a status got no answer, with the tool's word for it.
    EXPECT_EQ(seen.lines, (QStringList{"API 가 바빠서 다시 시도하는 중 (6/10)", "API 에서 답이 없어 다시 시도하는 중: x (7/10)",
                                       "끝 (1초, $0.01)"}));
}

TEST_F(ClaudeRunnerTest, RefusesAToolThatIsNotAnExecutableFile)
{
    const QString notFound = QStringLiteral("claude 를 찾지 못했어요. 설정에서 경로를 확인해 주세요.");
    QTemporaryDir dir;
    QFile plain(dir.filePath("claude"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.write("not a program");
    plain.close();
    for (const QString &path : {dir.filePath("claude"), dir.filePath("missing"), dir.path(), QString("claude"),
                                QString()}) {
        runner.path = path;
        try {
            run();
            ADD_FAILURE() << path.toStdString();
        } catch (const ClaudeFailure &failure) {
            EXPECT_EQ(failure.message, notFound);
        }
        EXPECT_FALSE(runner.version().has_value());
    }
    EXPECT_TRUE(fake.records().isEmpty());

    // Executable but not startable: the start failure comes through.
    plain.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    runner.path = dir.filePath("claude");
    try {
        run();
        ADD_FAILURE() << "started a file that is not a program";
    } catch (const SpawnFailure &failure) {
        EXPECT_TRUE(failure.message.startsWith(QStringLiteral("claude 를 띄우지 못했어요: ")));
    }
}

TEST_F(ClaudeRunnerTest, CancelWinsOverAResultThatAlreadyArrived)
{
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent("too late", 1000, 0.01),
                                           QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    const CancelToken cancel;
    const ClaudeRunner::Progress stopAtEnd = [cancel](const QString &line) {
        if (line.startsWith(QStringLiteral("끝 (")))
            cancel.cancel();
    };
    EXPECT_THROW(TaskWait::result(runner.run("p", {}, {}, plan.path(), false, stopAtEnd, {}, cancel)), Cancelled);
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(processGone(lastStart().value("pid").toInteger()));
}

TEST_F(ClaudeRunnerTest, CancelledBeforeTheStartRunsNothing)
{
    const CancelToken cancel;
    cancel.cancel();
    EXPECT_THROW(run("p", {}, {}, false, cancel), Cancelled);
    EXPECT_TRUE(fake.records().isEmpty());
}

TEST_F(ClaudeRunnerTest, AToolIgnoringSigtermIsKilled)
{
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}});
    const CancelToken cancel;
    const CancelWhenStarted stopper(fake, cancel);
    EXPECT_THROW(run("p", {}, {}, false, cancel), Cancelled);
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(processGone(lastStart().value("pid").toInteger()));
}

TEST_F(ClaudeRunnerTest, AGrandchildHoldingThePipesDoesNotHangTheRun)
{
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"holdPipes", 120000}}, FakeClaude::resultEvent("done")}}});
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(run(), "done");

    // Nor does it make a cancel wait for it.
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"holdPipes", 120000}},
                                           QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    const CancelToken cancel;
    const CancelWhenStarted stopper(fake, cancel);
    EXPECT_THROW(run("p", {}, {}, false, cancel), Cancelled);
    EXPECT_LT(clock.elapsed(), 60000);

    const auto grandchildren = fake.records("grandchild");
    EXPECT_EQ(grandchildren.size(), 2);
    for (const QJsonObject &record : grandchildren) {
        // Ended with the run it belongs to.
        const auto pid = static_cast<pid_t>(record.value("grandchild").toInteger());
        EXPECT_TRUE(processGone(pid));
    }
}

TEST_F(ClaudeRunnerTest, LargePromptAndBusyStreamsComplete)
{
    QString prompt;
    for (int i = 0; i < 200000; ++i)
        prompt += QString::fromUtf8("프롬프트 줄 ") + QString::number(i) + '\n';
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"fill", "err"}, {"bytes", 1 << 20}},
                                           QJsonObject{{"fill", "out"}, {"bytes", 1 << 20}},
                                           QJsonObject{{"fill", "err"}, {"bytes", 1 << 20}},
                                           FakeClaude::resultEvent("big")}}});
    EXPECT_EQ(run(prompt), "big");
    EXPECT_EQ(lastStart().value("stdin").toString(), prompt);
}

TEST_F(ClaudeRunnerTest, WritingThePromptLeavesTheEventLoopFree)
{
    const QString prompt(4 << 20, 'p');
    fake.setScenario({{"stdinDelay", 1000}, {"steps", answering("read")}});
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    EXPECT_EQ(run(prompt), "read");
    // The tool took a second before reading a prompt far larger than a
    // pipe holds; a blocked main thread would have let no tick through.
    EXPECT_GT(ticks, 20);
}

TEST_F(ClaudeRunnerTest, APromptTheToolNeverReadsEndsInTheNormalFailure)
{
    const QString prompt(4 << 20, 'p');
    fake.setScenario({{"readStdin", false}, {"steps", QJsonArray{QJsonObject{{"err", "boom\n"}}}}, {"exit", 2}});
    try {
        run(prompt);
        ADD_FAILURE() << "the run did not fail";
    } catch (const ClaudeFailure &failure) {
        EXPECT_EQ(failure.message, QStringLiteral("Claude 실행 실패(종료 코드 2): boom"));
    }
}

TEST_F(ClaudeRunnerTest, AsksTheVersionWithTheEnvironmentUnchanged)
{
    fake.setScenario({{"responses", QJsonArray{QJsonObject{{"args", QJsonArray{"--version"}},
                                                           {"steps", QJsonArray{QJsonObject{
                                                                         {"out", " 2.1.0 (Claude Code)\n"}}}}}}}});
    qputenv("PATH", "/only/this");
    EXPECT_EQ(runner.version(), std::optional<QString>("2.1.0 (Claude Code)"));
    EXPECT_EQ(lastStart().value("env").toObject().value("PATH").toString(), "/only/this");
    EXPECT_EQ(lastStart().value("cwd").toString(), QDir(QDir::tempPath()).canonicalPath());
}

TEST_F(ClaudeRunnerTest, ReadsTheUserServersOrNothing)
{
    EXPECT_TRUE(ClaudeRunner::userMCPServers().isEmpty());
    for (const char *bad : {"not json", "[1]", "{\"mcpServers\": []}", "{\"other\": {}}", "{\"mcpServers\": 3}"}) {
        writeUserConfig(bad);
        EXPECT_TRUE(ClaudeRunner::userMCPServers().isEmpty()) << bad;
    }
    writeUserConfig(R"({"mcpServers": {"figma": {"url": "u"}, "odd": 5}, "numStartups": 3})");
    EXPECT_EQ(ClaudeRunner::userMCPServers(), (QJsonObject{{"figma", QJsonObject{{"url", "u"}}}, {"odd", 5}}));

    // With CLAUDE_CONFIG_DIR the tool (2.1.337) keeps its servers there,
    // and "claude mcp add" without a scope keeps one under the folder it
    // was run in, where a run in that folder finds it in place of the
    // user's.
    QTemporaryDir config;
    qputenv("CLAUDE_CONFIG_DIR", QFile::encodeName(config.path()));
    EXPECT_TRUE(ClaudeRunner::userMCPServers().isEmpty());
    QFile own(config.filePath(".claude.json"));
    ASSERT_TRUE(own.open(QIODevice::WriteOnly));
    own.write(QJsonDocument(QJsonObject{
                  {"mcpServers", QJsonObject{{"figma", QJsonObject{{"url", "user"}}}, {"atlassian", QJsonObject{{"url", "a"}}}}},
                  {"projects", QJsonObject{{QDir(plan.path()).canonicalPath(),
                                            QJsonObject{{"mcpServers", QJsonObject{{"figma", QJsonObject{{"url", "local"}}}}}}}}}})
                  .toJson());
    own.close();
    EXPECT_EQ(ClaudeRunner::userMCPServers().value("figma"), (QJsonObject{{"url", "user"}}));
    EXPECT_EQ(ClaudeRunner::userMCPServers(plan.path()).value("figma"), (QJsonObject{{"url", "local"}}));
    fake.setScenario({{"steps", answering("ok")}});
    EXPECT_EQ(run("p", {"mcp__figma__get_metadata", "mcp__atlassian__getConfluencePage"}), "ok");
    EXPECT_EQ(QJsonDocument::fromJson(lastStart().value("mcpConfig").toObject().value("text").toString().toUtf8()).object(),
              (QJsonObject{{"mcpServers", QJsonObject{{"figma", QJsonObject{{"url", "local"}}},
                                                      {"atlassian", QJsonObject{{"url", "a"}}}}}}));
    qunsetenv("CLAUDE_CONFIG_DIR");

    // A malformed file still lets the run start, with no servers.
    writeUserConfig("{broken");
    fake.setScenario({{"steps", answering("ok")}});
    EXPECT_EQ(run("p", {"mcp__figma__get_metadata"}), "ok");
    EXPECT_EQ(lastStart().value("mcpConfig").toObject().value("text").toString(), "{\"mcpServers\":{}}");
}
