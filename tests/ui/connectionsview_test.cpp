#include "library.h"
#include "settings/connections.h"
#include "support/executable.h"
#include "support/fakeclaude.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "views/connectionsview.h"
#include "views/serviceaddresses.h"
#include "settings/keychain.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;
using Status = Connections::Status;

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
const QJsonObject loggedIn = respond(authStatus, {out(R"({"loggedIn":true,"email":"dev@example.com","authMethod":"claude.ai"})")});
const QJsonObject figmaNeedsLogin = respond({"mcp", "get", "figma"}, {out("figma:\n  Status: ⚠ Needs authentication\n")});
const QJsonObject figmaMissing = respond({"mcp", "get", "figma"}, {out("No MCP server named figma found\n")});

// A connections view on its own Connections, with the claude tool played by
// fake-claude and a login shell that knows no tool.
class ConnectionsViewTest : public Library
{
protected:
    void SetUp() override
    {
        oldShell = qgetenv("SHELL");
        ASSERT_TRUE(writeExecutable(scratch.filePath("shell"), "#!/bin/sh\nexit 1\n"));
        qputenv("SHELL", scratch.filePath("shell").toUtf8());
        Library::SetUp();
        Keychain::useStore(std::make_shared<MemorySecretStore>());
        QFile::remove(QDir::homePath() + "/.claude.json");
        QFile::remove(QDir::homePath() + "/.local/bin/claude");
        AppSettings settings = stored();
        settings.claudePath = FakeClaude::path();
        settings.figmaMode = AppSettings::FigmaMode::mcp;
        settings.save();
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        state->setDesktop(desktop);
    }

    void TearDown() override
    {
        if (connections.job())
            connections.stopJob();
        settle();
        view.reset();
        state.reset();
        Keychain::useStore(nullptr);
        qputenv("SHELL", oldShell);
    }

    static Connections::Hooks hooks()
    {
        Connections::Hooks h;
        h.openURL = [](const QUrl &) {};
        h.codePromptDelay = 300ms;
        h.installerCommand = "echo 'curl: (6) Could not resolve host: claude.ai' >&2; exit 6";
        h.checkTimeout = 10s;
        return h;
    }

    void setResponses(const QJsonArray &responses) { fake.setScenario({{"readStdin", false}, {"responses", responses}}); }

    void writeUserConfig(const QJsonObject &servers)
    {
        QFile file(QDir::homePath() + "/.claude.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{{"mcpServers", servers}}).toJson());
    }

    void show()
    {
        view = std::make_unique<ConnectionsView>(state.get(), &connections);
        view->resize(600, 400);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        settle();
    }

    // No job and no check left running.
    void settle()
    {
        ASSERT_TRUE(QTest::qWaitFor([this] { return !connections.job() && !connections.isRefreshing(); }, 60000));
    }

    void recheck()
    {
        view->recheckButton()->click();
        settle();
    }

    QStringList started() const
    {
        QStringList commands;
        for (const QJsonObject &start : fake.records("start")) {
            QStringList args;
            for (const QJsonValue &v : start.value("args").toArray())
                args.append(v.toString());
            commands.append(args.join(' '));
        }
        return commands;
    }

    static QString button(const ConnectionsView::Row &row)
    {
        return row.button->isVisible() ? row.button->text() : QStringLiteral("(none)");
    }

    // A row as the user reads it: its detail line, then the step it offers.
    static QString seen(const ConnectionsView::Row &row) { return row.detail->text() + " | " + button(row); }

    // The three rows' offered steps, top to bottom.
    QStringList offers() const { return {button(view->claudeRow()), button(view->figmaRow()), button(view->wikiRow())}; }

    QByteArray oldShell;
    QTemporaryDir scratch;
    FakeClaude fake;
    Connections connections{hooks()};
    std::shared_ptr<TestDesktop> desktop = std::make_shared<TestDesktop>();
    std::unique_ptr<AppState> state;
    std::unique_ptr<ConnectionsView> view;
};

} // namespace

TEST_F(ConnectionsViewTest, RowsOfferTheStepThatFitsEachStatus)
{
    writeUserConfig({{"atlassian", QJsonObject{{"url", ServiceAddresses::atlassianMCP}}}});
    setResponses({loggedIn, figmaNeedsLogin,
                  respond({"mcp", "get", "atlassian"}, {out("atlassian:\n  Status: ⚠ Needs authentication\n")})});
    show();
    const QString claude = QStringLiteral("계획서 만들기·고치기 (필수) · ");
    EXPECT_EQ(view->claudeRow().title->text(), QStringLiteral("Claude Code"));
    EXPECT_EQ(seen(view->claudeRow()), claude + "dev@example.com · Claude 계정 | 다른 계정으로");
    EXPECT_EQ(view->claudeRow().icon->property("symbol").toString(), QStringLiteral("checkmark.circle.fill"));
    EXPECT_EQ(view->claudeRow().icon->property("tone").toString(), QStringLiteral("green"));
    EXPECT_EQ(view->claudeRow().button->property("controlSize").toString(), QStringLiteral("small"));
    EXPECT_EQ(view->figmaRow().title->text(), QStringLiteral("Figma"));
    EXPECT_EQ(seen(view->figmaRow()), QStringLiteral("피그마 섹션 읽기 (필수) · figma — 로그인이 필요해요 | 로그인"));
    EXPECT_EQ(view->figmaRow().icon->property("symbol").toString(),
              QStringLiteral("person.crop.circle.badge.exclamationmark"));
    EXPECT_EQ(view->figmaRow().icon->property("tone").toString(), QStringLiteral("orange"));
    EXPECT_EQ(view->wikiRow().title->text(), QStringLiteral("Wiki (Confluence)"));
    EXPECT_EQ(seen(view->wikiRow()), QStringLiteral("기획서·API 문서 읽기 (선택) · atlassian — 로그인이 필요해요 | 로그인"));
    EXPECT_TRUE(view->jobPanel()->isHidden());
    EXPECT_TRUE(view->errorLine()->isHidden());

    // A server the tool could not reach, and one it did not check from an
    // untrusted folder (claude 2.1.337's words): each says so with the
    // tool's reason, and no login is offered, which could help neither.
    setResponses({loggedIn,
                  respond({"mcp", "get", "figma"},
                          {out("figma:\n  Status: - Not checked (folder not trusted; run `claude` here)\n")}),
                  respond({"mcp", "get", "atlassian"},
                          {out("atlassian:\n  Status: ✘ Failed to connect\n  Issue: ECONNREFUSED: Unable to connect.\n")})});
    recheck();
    EXPECT_EQ(seen(view->figmaRow()),
              "피그마 섹션 읽기 (필수) · 확인 안 됨 (Claude 가 확인에 쓴 임시 폴더를 신뢰하지 않아 확인하지 못했어요: "
                  + QDir::tempPath() + ") | (none)");
    EXPECT_EQ(view->figmaRow().icon->property("symbol").toString(), QStringLiteral("circle"));
    EXPECT_EQ(seen(view->wikiRow()),
              QStringLiteral("기획서·API 문서 읽기 (선택) · 연결 실패 (ECONNREFUSED: Unable to connect.) | (none)"));
    EXPECT_EQ(view->wikiRow().icon->property("symbol").toString(), QStringLiteral("exclamationmark.triangle.fill"));
    setResponses({loggedIn, figmaNeedsLogin,
                  respond({"mcp", "get", "atlassian"}, {out("atlassian:\n  Status: ⚠ Needs authentication\n")})});
    recheck();

    // While a check runs the rows spin and the tool offers nothing.
    view->recheckButton()->click();
    EXPECT_TRUE(view->claudeRow().spinner->isVisible());
    EXPECT_FALSE(view->claudeRow().icon->isVisible());
    EXPECT_EQ(view->claudeRow().detail->text(), claude + "확인하는 중");
    EXPECT_EQ(offers(), (QStringList{"(none)", "(none)", "(none)"}));
    settle();

    // In the token mode the design service never offers a button.
    AppSettings settings = state->settings();
    settings.figmaMode = AppSettings::FigmaMode::token;
    state->setSettings(settings);
    EXPECT_EQ(button(view->figmaRow()), QStringLiteral("(none)"));
    recheck();
    EXPECT_EQ(seen(view->figmaRow()), QStringLiteral("피그마 섹션 읽기 (필수) · 아직 연결 안 됨 | (none)"));
    settings.figmaMode = AppSettings::FigmaMode::mcp;
    state->setSettings(settings);

    // A tool that is not logged in: only its own login is offered.
    setResponses({respond(authStatus, {out(R"({"loggedIn":false})")}), figmaMissing});
    recheck();
    EXPECT_EQ(view->claudeRow().detail->text(), claude + "로그인이 필요해요");
    EXPECT_EQ(offers(), (QStringList{"로그인", "(none)", "(none)"}));
    EXPECT_EQ(view->claudeRow().button->property("controlSize").toString(), QStringLiteral("regular"));

    // In the API-key mode the tool is asked with the stored key, as runs
    // are; without one the row says so, and a login of the tool, which such
    // runs do not use, is never offered.
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    state->setSettings(settings);
    recheck();
    EXPECT_EQ(seen(view->claudeRow()),
              claude + "Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요. | (none)");
    auto store = std::make_shared<MemorySecretStore>();
    store->items.insert(Keychain::account(Keychain::Item::anthropicKey), "sk-ant-kept");
    Keychain::useStore(store);
    setResponses({respond(authStatus, {out(R"({"loggedIn":true,"authMethod":"api_key"})")}), figmaMissing});
    recheck();
    EXPECT_EQ(seen(view->claudeRow()), claude + "API 키로 로그인됨 | (none)");
    QString handed;
    for (const QJsonObject &start : fake.records("start"))
        if (start.value("args").toArray().first() == QStringLiteral("auth"))
            handed = start.value("env").toObject().value("ANTHROPIC_API_KEY").toString();
    EXPECT_EQ(handed, QStringLiteral("sk-ant-kept"));
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    state->setSettings(settings);

    // No tool at all: install it, and a failed install leaves its last error.
    settings.claudePath = root.path() + "/nowhere/claude";
    state->setSettings(settings);
    recheck();
    EXPECT_EQ(view->claudeRow().detail->text(), claude + "아직 연결 안 됨");
    EXPECT_EQ(view->claudeRow().icon->property("symbol").toString(), QStringLiteral("xmark.circle"));
    EXPECT_EQ(view->claudeRow().icon->property("tone").toString(), QStringLiteral("secondary"));
    // Not a failure: the mark is drawn in grey alone, nothing of it red.
    const QImage mark = view->claudeRow().icon->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    int inked = 0;
    int coloured = 0;
    for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x) {
            const QColor pixel = mark.pixelColor(x, y);
            if (pixel.alpha() < 40)
                continue;
            ++inked;
            if (std::max({pixel.red(), pixel.green(), pixel.blue()}) - std::min({pixel.red(), pixel.green(), pixel.blue()}) > 24)
                ++coloured;
        }
    EXPECT_GT(inked, 0);
    EXPECT_EQ(coloured, 0);
    EXPECT_EQ(button(view->claudeRow()), QStringLiteral("설치"));
    EXPECT_EQ(button(view->wikiRow()), QStringLiteral("(none)"));
    view->claudeRow().button->click();
    EXPECT_EQ(view->jobTitle()->text(), QStringLiteral("Claude Code 설치하는 중"));
    EXPECT_EQ(view->jobNote()->text(), QStringLiteral("1~2분 걸려요. 끝나면 로그인 버튼이 나와요."));
    settle();
    EXPECT_TRUE(view->errorLine()->isVisible());
    EXPECT_EQ(view->errorText()->text(), QStringLiteral("curl: (6) Could not resolve host: claude.ai"));
    EXPECT_EQ(view->errorText()->property("tone").toString(), QStringLiteral("orange"));
}

TEST_F(ConnectionsViewTest, ConnectAndLoginJobsRunTheToolWithTheSharedEndpoints)
{
    // An empty tool path is filled from the search on show.
    const QString installed = QDir::homePath() + "/.local/bin/claude";
    ASSERT_TRUE(QDir().mkpath(QDir::homePath() + "/.local/bin"));
    ASSERT_TRUE(QFile::link(FakeClaude::path(), installed));
    AppSettings settings = state->settings();
    settings.claudePath.clear();
    state->setSettings(settings);
    writeUserConfig({{"wiki-b", QJsonObject{{"url", ServiceAddresses::atlassianMCP}}}});
    setResponses({loggedIn, figmaMissing, respond({"mcp", "get", "wiki-b"}, {out("wiki-b:\n  Status: ⚠ Needs auth\n")}),
                  respond({"mcp", "login", "wiki-b", "--no-browser"}, {out("Open https://wiki.example/authorize?c=1\n"), QJsonObject{{"sleep", 500}}})});
    show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state->settings().claudePath == installed; }, 60000));
    settle();
    EXPECT_EQ(stored().claudePath, installed);
    EXPECT_EQ(connections.claude(), Status::ok("dev@example.com · Claude 계정"));

    EXPECT_EQ(button(view->figmaRow()), QStringLiteral("연결"));
    view->figmaRow().button->click();
    ASSERT_TRUE(connections.job());
    EXPECT_EQ(view->jobTitle()->text(), QStringLiteral("Figma 연결"));
    settle();

    EXPECT_EQ(button(view->wikiRow()), QStringLiteral("로그인"));
    view->wikiRow().button->click();
    ASSERT_TRUE(connections.job());
    EXPECT_EQ(view->jobTitle()->text(), QStringLiteral("Wiki 연결"));
    settle();
    // The server's login address opens through the window's desktop.
    EXPECT_EQ(desktop->opened, QList<QUrl>{QUrl("https://wiki.example/authorize?c=1")});
    EXPECT_EQ(state->message(), std::nullopt);

    writeUserConfig({});
    recheck();
    EXPECT_EQ(button(view->wikiRow()), QStringLiteral("연결"));
    view->wikiRow().button->click();
    settle();

    QStringList jobs;
    for (const QString &command : started())
        if (!command.startsWith("auth status") && !command.startsWith("mcp get"))
            jobs.append(command);
    EXPECT_EQ(jobs, (QStringList{"mcp add --transport http --scope user figma " + QString(ServiceAddresses::figmaMCP),
                                 "mcp login figma --no-browser", "mcp login wiki-b --no-browser",
                                 "mcp add --transport http --scope user atlassian " + QString(ServiceAddresses::atlassianMCP),
                                 "mcp login atlassian --no-browser"}));
}

TEST_F(ConnectionsViewTest, LoginJobTakesLinkAndCodeAndStopsOnCancel)
{
    setResponses({loggedIn, figmaMissing,
                  respond({"auth", "login"}, {QJsonObject{{"raw", true}}, out("Visit https://claude.example/oauth?x=1\r\n"),
                                              out("Paste code here > "), QJsonObject{{"readLine", true}},
                                              out("\r\nLogged in\r\n")})});
    show();
    view->claudeRow().button->click();
    ASSERT_TRUE(view->jobPanel()->isVisible());
    EXPECT_EQ(view->jobTitle()->text(), QStringLiteral("Claude 로그인"));
    EXPECT_EQ(view->jobNote()->text(),
              QStringLiteral("열린 브라우저에서 회사 Claude 계정으로 로그인하세요. 이미 로그인돼 있으면 허용만 누르면 돼요."));
    for (const ConnectionsView::Row *row : {&view->claudeRow(), &view->figmaRow(), &view->wikiRow()})
        EXPECT_FALSE(row->button->isEnabled());
    EXPECT_FALSE(view->recheckButton()->isEnabled());

    ASSERT_TRUE(QTest::qWaitFor([this] { return view->jobLink()->isVisible(); }, 60000));
    EXPECT_EQ(view->jobLink()->text(), QStringLiteral("브라우저가 안 열렸으면 여기를 누르세요"));
    // A desktop with nothing to open the address: a toast says so.
    desktop->opens = false;
    view->jobLink()->click();
    EXPECT_EQ(desktop->opened, QList<QUrl>{QUrl("https://claude.example/oauth?x=1")});
    EXPECT_EQ(state->message(), QStringLiteral("주소를 열 프로그램을 찾지 못했어요: https://claude.example/oauth?x=1"));

    ASSERT_TRUE(QTest::qWaitFor([this] { return view->codeField()->isVisible(); }, 60000));
    EXPECT_EQ(view->codeField()->placeholderText(),
              QStringLiteral("허용했는데 안 끝나면: 브라우저 주소창의 주소(또는 코드)를 붙여 넣으세요"));
    EXPECT_FALSE(view->codeSend()->isEnabled());
    QTest::keyClicks(view->codeField(), "  ");
    EXPECT_TRUE(view->codeSend()->isEnabled()) << "spaces count as typed";
    view->codeField()->clear();
    QTest::keyClicks(view->codeField(), "CODE");
    view->codeSend()->click();
    EXPECT_EQ(view->codeField()->text(), QString());
    EXPECT_EQ(view->jobNote()->text(), QStringLiteral("확인하는 중…"));
    settle();
    EXPECT_TRUE(view->jobPanel()->isHidden());
    EXPECT_TRUE(view->errorLine()->isHidden());
    const QList<QJsonObject> lines = fake.records("line");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines.first().value("text").toString(), QStringLiteral("CODE\r"));
    EXPECT_TRUE(view->recheckButton()->isEnabled());

    // A login that hangs: "취소" stops it without an error, and activation
    // waits for the job to end before it checks again.
    setResponses({loggedIn, figmaMissing, respond({"auth", "login"}, {QJsonObject{{"awaitSigterm", QJsonObject()}}})});
    const auto checks = [this] { return started().count(authStatus.join(' ')); };
    Q_EMIT qApp->applicationStateChanged(Qt::ApplicationActive);
    settle();
    const qsizetype before = checks();

    view->claudeRow().button->click();
    ASSERT_TRUE(QTest::qWaitFor([this] { return started().count("auth login") == 2; }, 60000));
    Q_EMIT qApp->applicationStateChanged(Qt::ApplicationActive);
    QTest::qWait(300);
    EXPECT_EQ(checks(), before) << "no check while the job runs";

    view->jobCancel()->click();
    settle();
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(view->jobPanel()->isHidden());
    EXPECT_TRUE(view->errorLine()->isHidden()) << "a stop is no failure";
    const qsizetype afterJob = checks();
    EXPECT_EQ(afterJob, before + 1) << "the job's end checks again";

    Q_EMIT qApp->applicationStateChanged(Qt::ApplicationActive);
    settle();
    EXPECT_EQ(checks(), afterJob + 1);
}
