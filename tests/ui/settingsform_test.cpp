#include "library.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "settings/updater.h"
#include "support/executable.h"
#include "support/fakeclaude.h"
#include "support/heldsecretstore.h"
#include "support/httpserver.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "support/secretsession.h"
#include "views/reporow.h"
#include "views/settingsform.h"
#include "views/settingsview.h"
#include "views/serviceaddresses.h"
#include "views/updaterow.h"

#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace std::chrono_literals;

namespace {

const QString savedPlaceholder = QStringLiteral("저장됨 — 바꾸려면 새로 입력");
const QString refused = QStringLiteral("✗ 키링에 저장하지 못했어요");
const QString waitingForKeychain = QStringLiteral("키링의 대답을 기다리는 중…");
const QString notRunnable = QStringLiteral("✗ 실행하지 못했어요. ") + ServiceAddresses::claudeCodeProduct
    + QStringLiteral(" 에서 설치해 주세요.");

// A settings window over a temporary library, with the claude tool played
// by fake-claude and a login shell that knows no tool.
class SettingsFormTest : public Library
{
protected:
    void SetUp() override
    {
        oldShell = qgetenv("SHELL");
        ASSERT_TRUE(writeExecutable(scratch.filePath("shell"), "#!/bin/sh\nexit 1\n"));
        qputenv("SHELL", scratch.filePath("shell").toUtf8());
        Library::SetUp();
        fake.setScenario({{"readStdin", false},
                          {"responses", QJsonArray{QJsonObject{{"args", QJsonArray{"--version"}},
                                                               {"steps", QJsonArray{QJsonObject{
                                                                             {"out", "2.1.0 (Claude Code)\n"}}}}}}}});
        AppSettings settings = stored();
        settings.claudePath = FakeClaude::path();
        settings.save();
        QFile::remove(QDir::homePath() + "/.local/bin/claude");
    }

    void TearDown() override
    {
        view.reset();
        state.reset();
        Keychain::useStore(nullptr);
        qputenv("SHELL", oldShell);
        qunsetenv("QUARRYSTONE_FIGMA_API");
    }

    // The window comes up only when a case asks: a case on the real keyring
    // must not reach for a keyring outside its own session.
    void open()
    {
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        state->setDesktop(desktop);
        view = std::make_unique<SettingsView>(state.get());
        view->resize(640, 720);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    std::shared_ptr<MemorySecretStore> memoryKeychain()
    {
        auto store = std::make_shared<MemorySecretStore>();
        Keychain::useStore(store);
        return store;
    }

    SettingsForm *form() const { return view->form(); }

    static bool shows(QLabel *line, const QString &text)
    {
        return QTest::qWaitFor([&] { return line->isVisible() && line->text() == text; }, 10000);
    }

    // The keychain has answered both secret rows.
    static bool settled(SettingsForm *f)
    {
        return QTest::qWaitFor([&] { return f->tokenSave()->isEnabled() && f->apiKeySave()->isEnabled(); }, 10000);
    }

    static void type(QLineEdit *field, const QString &text)
    {
        field->setFocus();
        QTest::keyClicks(field, text);
    }

    QByteArray oldShell;
    QTemporaryDir scratch;
    FakeClaude fake;
    std::shared_ptr<TestDesktop> desktop = std::make_shared<TestDesktop>();
    std::unique_ptr<AppState> state;
    std::unique_ptr<SettingsView> view;
};

} // namespace

TEST_F(SettingsFormTest, SecretsGoToTheRealKeyringAndNeverComeBack)
{
    SecretSession::inOwnSession([this] {
        ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "sk-ant-earlier"));
        open();
        SettingsForm *f = form();
        ASSERT_TRUE(settled(f));
        f->tokenChoice()->click();
        ASSERT_TRUE(settled(f));
        EXPECT_EQ(stored().figmaMode, AppSettings::FigmaMode::token);
        ASSERT_TRUE(f->tokenRows()->isVisible());
        EXPECT_FALSE(f->mcpNote()->isVisible());
        EXPECT_EQ(f->tokenField()->echoMode(), QLineEdit::Password);
        EXPECT_EQ(f->tokenField()->placeholderText(), QStringLiteral("figd_…"));
        EXPECT_FALSE(f->tokenCheck()->isEnabled());
        EXPECT_TRUE(f->figmaStatusLine()->isHidden());

        // Typing alone enables nothing; only a stored token does.
        type(f->tokenField(), "figd_first");
        EXPECT_FALSE(f->tokenCheck()->isEnabled());
        f->tokenSave()->click();
        EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("키링에 저장했어요")));
        EXPECT_EQ(f->tokenField()->text(), QString());
        EXPECT_EQ(f->tokenField()->placeholderText(), savedPlaceholder);
        EXPECT_TRUE(f->tokenCheck()->isEnabled());
        EXPECT_EQ(SecretSession::lookUp("figma-token"), QByteArray("figd_first"));

        type(f->tokenField(), "  figd_second  ");
        f->tokenSave()->click();
        ASSERT_TRUE(settled(f));
        EXPECT_EQ(SecretSession::lookUp("figma-token"), QByteArray("figd_second"));

        f->tokenSave()->click();
        EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("지웠어요")));
        EXPECT_EQ(f->tokenField()->placeholderText(), QStringLiteral("figd_…"));
        EXPECT_FALSE(f->tokenCheck()->isEnabled());
        EXPECT_EQ(SecretSession::lookUp("figma-token"), std::nullopt);

        // The key stored before the form was made counts once its mode is
        // chosen.
        f->apiKeyChoice()->click();
        ASSERT_TRUE(settled(f));
        EXPECT_EQ(stored().claudeAuth, AppSettings::ClaudeAuth::apiKey);
        ASSERT_TRUE(f->apiKeyRow()->isVisible());
        EXPECT_EQ(f->apiKeyField()->echoMode(), QLineEdit::Password);
        EXPECT_EQ(f->apiKeyField()->placeholderText(), savedPlaceholder);
        type(f->apiKeyField(), "sk-ant-mine");
        f->apiKeySave()->click();
        ASSERT_TRUE(settled(f));
        EXPECT_EQ(SecretSession::lookUp("anthropic-api-key"), QByteArray("sk-ant-mine"));
        EXPECT_EQ(f->apiKeyField()->text(), QString());
        EXPECT_TRUE(f->apiKeyStatusLine()->isHidden()) << "saving the key shows no line";
        f->apiKeySave()->click();
        ASSERT_TRUE(settled(f));
        EXPECT_EQ(SecretSession::lookUp("anthropic-api-key"), std::nullopt);
        EXPECT_EQ(f->apiKeyField()->placeholderText(), QStringLiteral("sk-ant-…"));
        EXPECT_TRUE(f->apiKeyStatusLine()->isHidden());

        // The status line stays behind the MCP note and comes back with the
        // token mode.
        f->mcpChoice()->click();
        EXPECT_FALSE(f->tokenRows()->isVisible());
        EXPECT_TRUE(f->mcpNote()->isVisible());
        f->tokenChoice()->click();
        EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("지웠어요"));
    });
}

TEST_F(SettingsFormTest, RefusedSavesSaySoAndKeepTheTypedSecret)
{
    const std::shared_ptr<MemorySecretStore> store = memoryKeychain();
    store->items.insert("figma-token", "figd_old");
    open();
    SettingsForm *f = form();
    ASSERT_TRUE(settled(f));
    f->tokenChoice()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_EQ(f->tokenField()->placeholderText(), savedPlaceholder);

    store->refuse = true;
    type(f->tokenField(), "figd_new");
    f->tokenSave()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_EQ(f->figmaStatusLine()->text(), refused);
    EXPECT_EQ(f->tokenField()->text(), QStringLiteral("figd_new"));
    EXPECT_EQ(store->items.value("figma-token"), QByteArray("figd_old"));
    EXPECT_TRUE(f->tokenCheck()->isEnabled()) << "the old token is still there";

    // A first save that is refused leaves nothing stored and says so.
    store->items.clear();
    f->tokenSave()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_EQ(f->figmaStatusLine()->text(), refused);
    EXPECT_EQ(f->tokenField()->text(), QStringLiteral("figd_new"));
    EXPECT_FALSE(f->tokenCheck()->isEnabled());

    store->refuse = false;
    f->tokenSave()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("키링에 저장했어요"));
    EXPECT_EQ(store->items.value("figma-token"), QByteArray("figd_new"));

    f->apiKeyChoice()->click();
    ASSERT_TRUE(settled(f));
    store->refuse = true;
    type(f->apiKeyField(), "sk-ant-key");
    f->apiKeySave()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_TRUE(f->apiKeyStatusLine()->isVisible());
    EXPECT_EQ(f->apiKeyStatusLine()->text(), refused);
    EXPECT_EQ(f->apiKeyField()->text(), QStringLiteral("sk-ant-key"));
    store->refuse = false;
    f->apiKeySave()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_TRUE(f->apiKeyStatusLine()->isHidden());
    EXPECT_EQ(store->items.value("anthropic-api-key"), QByteArray("sk-ant-key"));
    EXPECT_EQ(f->apiKeyField()->placeholderText(), savedPlaceholder);
}

TEST_F(SettingsFormTest, AKeychainThatWaitsHoldsOnlyItsOwnRow)
{
    auto store = std::make_shared<HeldSecretStore>();
    store->put("figma-token", "figd_old");
    Keychain::useStore(store);
    AppSettings settings = stored();
    settings.figmaMode = AppSettings::FigmaMode::token;
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    settings.save();

    // The first showing asks whether secrets are saved; the window comes
    // up while the keychain has not answered, asked one secret at a time.
    open();
    SettingsForm *f = form();
    ASSERT_TRUE(QTest::qWaitFor([&] { return store->arrived() >= 1; }, 60000));
    EXPECT_EQ(f->figmaStatusLine()->text(), waitingForKeychain);
    EXPECT_TRUE(f->figmaStatusLine()->isVisible());
    EXPECT_EQ(f->apiKeyStatusLine()->text(), waitingForKeychain);
    EXPECT_TRUE(f->apiKeyStatusLine()->isVisible());
    for (QWidget *control : QList<QWidget *>{f->tokenField(), f->tokenSave(), f->tokenCheck(), f->apiKeyField(),
                                              f->apiKeySave()})
        EXPECT_FALSE(control->isEnabled()) << control->metaObject()->className();

    // Everything else takes input and paints meanwhile.
    type(f->nameField(), "-kim");
    EXPECT_EQ(stored().userName, QStringLiteral("tester-kim"));
    f->mcpChoice()->click();
    EXPECT_EQ(stored().figmaMode, AppSettings::FigmaMode::mcp);
    f->tokenChoice()->click();
    const QImage shot = view->grab().toImage();
    EXPECT_FALSE(shot.isNull());

    store->release();
    ASSERT_TRUE(settled(f));
    EXPECT_TRUE(f->figmaStatusLine()->isHidden());
    EXPECT_TRUE(f->apiKeyStatusLine()->isHidden());
    EXPECT_EQ(f->tokenField()->placeholderText(), savedPlaceholder);
    EXPECT_TRUE(f->tokenCheck()->isEnabled());
    EXPECT_EQ(f->apiKeyField()->placeholderText(), QStringLiteral("sk-ant-…"));

    // A save waits the same way; the typed token stays until the answer.
    store->hold();
    type(f->tokenField(), "figd_new");
    f->tokenSave()->click();
    EXPECT_EQ(f->figmaStatusLine()->text(), waitingForKeychain);
    EXPECT_FALSE(f->tokenField()->isEnabled());
    EXPECT_FALSE(f->tokenCheck()->isEnabled());
    EXPECT_EQ(f->tokenField()->text(), QStringLiteral("figd_new"));
    EXPECT_TRUE(f->apiKeySave()->isEnabled()) << "the other row does not wait";
    QTest::qWait(300);
    EXPECT_EQ(f->figmaStatusLine()->text(), waitingForKeychain);
    store->release();
    EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("키링에 저장했어요")));
    EXPECT_EQ(f->tokenField()->text(), QString());
    EXPECT_TRUE(f->tokenCheck()->isEnabled());
    EXPECT_EQ(store->peek("figma-token"), QByteArray("figd_new"));

    // A check's read waits under its own line.
    store->hold();
    f->tokenCheck()->click();
    EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("확인 중…"));
    EXPECT_FALSE(f->tokenSave()->isEnabled());
    EXPECT_FALSE(f->tokenCheck()->isEnabled());

    // The key's save is still done when the window closes before the
    // answer; the late answer finds no window and is dropped.
    type(f->apiKeyField(), "sk-ant-late");
    f->apiKeySave()->click();
    EXPECT_EQ(f->apiKeyStatusLine()->text(), waitingForKeychain);
    EXPECT_FALSE(f->apiKeyField()->isEnabled());
    view.reset();
    store->release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return store->peek("anthropic-api-key") == QByteArray("sk-ant-late"); }, 60000));
    QTest::qWait(200);
}

TEST_F(SettingsFormTest, TokenCheckShowsOnlyTheNewestAnswer)
{
    HttpServer server;
    qputenv("QUARRYSTONE_FIGMA_API", server.base().toUtf8());
    const std::shared_ptr<MemorySecretStore> store = memoryKeychain();
    open();
    SettingsForm *f = form();
    ASSERT_TRUE(settled(f));
    f->tokenChoice()->click();
    ASSERT_TRUE(settled(f));
    EXPECT_FALSE(f->tokenCheck()->isEnabled());
    const auto asked = [&](qsizetype count) {
        return QTest::qWaitFor([&] { return server.requestsTo("/v1/me").size() == count; }, 5000);
    };

    // A token removed behind the form's back.
    store->items.insert("figma-token", "");
    f->tokenCheck()->setEnabled(true);
    f->tokenCheck()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("토큰이 없어요")));
    EXPECT_TRUE(server.requests().isEmpty());

    store->items.insert("figma-token", "figd_live");
    f->tokenCheck()->setEnabled(true);
    const QList<QPair<HttpServer::Response, QString>> cases{
        {HttpServer::Response::json(R"({"email":"dev@example.com","handle":"dev"})"), "✓ dev@example.com"},
        {HttpServer::Response::json(R"({"email":7,"handle":"dev"})"), "✓ dev"},
        {HttpServer::Response::json(R"({"id":"1"})"), "✓ 확인됨"},
        {HttpServer::Response::text(403, "no"), "✗ Figma 가 거절했어요(403). 토큰이 이 파일을 볼 수 있는지 확인해 주세요."},
        {HttpServer::Response::text(500, "boom"), "✗ Figma 서비스에 문제가 생겼어요(500: boom). 잠시 뒤에 다시 해 주세요."},
        {HttpServer::Response::json("[1, 2]"), "✗ Figma 응답을 읽지 못했어요: /v1/me"},
    };
    for (const auto &[response, line] : cases) {
        SCOPED_TRACE(line.toStdString());
        server.serve("/v1/me", response);
        f->tokenCheck()->click();
        EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("확인 중…"));
        EXPECT_TRUE(shows(f->figmaStatusLine(), line)) << f->figmaStatusLine()->text().toStdString();
    }
    ASSERT_EQ(server.requestsTo("/v1/me").size(), cases.size());
    EXPECT_EQ(server.requestsTo("/v1/me").last().headers.value("x-figma-token"), "figd_live");
    qsizetype sent = cases.size();

    // A slow check of the old token, then a quick one of the new token.
    server.serve("/v1/me", {200, R"({"email":"old@example.com"})", {}, 2s, false});
    server.then("/v1/me", HttpServer::Response::json(R"({"email":"new@example.com"})"));
    f->tokenCheck()->click();
    // The slow answer must go to the first request.
    ASSERT_TRUE(asked(++sent));
    type(f->tokenField(), "figd_new");
    f->tokenSave()->click();
    ASSERT_TRUE(settled(f));
    f->tokenCheck()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), "✓ new@example.com"));
    ASSERT_TRUE(asked(++sent));
    QTest::qWait(2500);
    EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("✓ new@example.com"));

    // A save after a slow check keeps its own line.
    server.serve("/v1/me", {200, R"({"email":"late@example.com"})", {}, 1s, false});
    f->tokenCheck()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return f->tokenSave()->isEnabled(); }, 60000));
    f->tokenSave()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("지웠어요")));
    QTest::qWait(1500);
    EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("지웠어요"));
    ASSERT_TRUE(asked(++sent));

    // Closing the window during a check is quiet.
    type(f->tokenField(), "figd_live");
    f->tokenSave()->click();
    ASSERT_TRUE(settled(f));
    server.serve("/v1/me", {200, R"({"email":"gone@example.com"})", {}, 700ms, false});
    f->tokenCheck()->click();
    ASSERT_TRUE(asked(++sent));
    view.reset();
    QTest::qWait(1200);
    EXPECT_EQ(server.requestsTo("/v1/me").size(), sent);
    EXPECT_EQ(stored().figmaMode, AppSettings::FigmaMode::token);
}

// A locked keyring, or a stored secret that cannot be used, is named in the
// rows and by the check; neither row asks for a secret that is there, a
// secret that cannot go into a header is refused as typed, and the
// service's words reach the row without control characters.
TEST_F(SettingsFormTest, ALockedKeyringOrAnUnusableSecretIsNamedNotMissing)
{
    HttpServer server;
    qputenv("QUARRYSTONE_FIGMA_API", server.base().toUtf8());
    const std::shared_ptr<MemorySecretStore> store = memoryKeychain();
    store->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    AppSettings settings = stored();
    settings.figmaMode = AppSettings::FigmaMode::mcp;
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    settings.save();
    open();
    SettingsForm *f = form();
    ASSERT_TRUE(settled(f));
    // Figma's MCP and Claude's login need no secret: the keyring (and its
    // unlock prompt) is asked once a mode needs one.
    EXPECT_EQ(store->reads, 0);
    f->tokenChoice()->click();
    f->apiKeyChoice()->click();
    ASSERT_TRUE(settled(f));
    const QString lockedToken = QStringLiteral("✗ 키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요.");
    EXPECT_EQ(f->figmaStatusLine()->text(), lockedToken);
    EXPECT_TRUE(f->figmaStatusLine()->isVisible());
    EXPECT_EQ(f->apiKeyStatusLine()->text(), QStringLiteral("✗ 키링이 잠겨 있어서 Anthropic API 키를 읽지 못했어요."));
    EXPECT_EQ(store->reads, 1) << "one question for both secrets";
    EXPECT_EQ(f->tokenField()->placeholderText(), savedPlaceholder);
    EXPECT_TRUE(f->tokenCheck()->isEnabled());
    f->tokenCheck()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), lockedToken)) << f->figmaStatusLine()->text().toStdString();
    ASSERT_TRUE(settled(f));
    EXPECT_TRUE(server.requests().isEmpty());

    // Unlocked through the prompt that the connections' "다시 확인" raised:
    // the token's section agrees with the Figma row, which found it.
    store->unreadable.reset();
    store->items.insert("figma-token", "figd_unlocked");
    const QList<QPushButton *> buttons = f->findChildren<QPushButton *>();
    const auto recheck = std::find_if(buttons.begin(), buttons.end(), [](QPushButton *b) { return b->text() == "다시 확인"; });
    ASSERT_NE(recheck, buttons.end());
    (*recheck)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f->figmaStatusLine()->isHidden(); }, 60000))
        << f->figmaStatusLine()->text().toStdString();
    ASSERT_TRUE(settled(f));
    store->items.remove("figma-token");

    store->unreadable.reset();
    store->items.insert("figma-token", QByteArray("figd_\xff\xfe\x80" "bad"));
    f->tokenCheck()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(),
                      "✗ 키링에 저장된 Figma 토큰을 쓸 수 없어요: UTF-8 글자가 아니에요. 설정에서 다시 넣어 주세요."));
    ASSERT_TRUE(settled(f));
    EXPECT_TRUE(f->tokenCheck()->isEnabled());
    EXPECT_TRUE(server.requests().isEmpty());

    // Typed with letters a header cannot carry: refused at once, kept in
    // the field, nothing written.
    const int writes = store->writes;
    // Typed keys are ASCII to the test tool: the text goes in as pasted.
    f->tokenField()->setText(QStringLiteral("figd_토큰"));
    f->tokenSave()->click();
    EXPECT_EQ(f->figmaStatusLine()->text(), QStringLiteral("✗ 제어 문자나 ASCII 밖의 글자가 들어 있어서 Figma 토큰을 저장하지 않았어요."));
    EXPECT_EQ(f->tokenField()->text(), QStringLiteral("figd_토큰"));
    f->apiKeyField()->setText(QStringLiteral("sk-ant-키"));
    f->apiKeySave()->click();
    EXPECT_EQ(f->apiKeyStatusLine()->text(),
              QStringLiteral("✗ 제어 문자나 ASCII 밖의 글자가 들어 있어서 Anthropic API 키를 저장하지 않았어요."));
    EXPECT_EQ(store->writes, writes);

    f->tokenField()->clear();
    type(f->tokenField(), QStringLiteral("  figd_ok  "));
    f->tokenSave()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), QStringLiteral("키링에 저장했어요")));
    EXPECT_EQ(store->items.value("figma-token"), QByteArray("figd_ok"));
    HttpServer::Response busy = HttpServer::Response::json(R"({"status":429,"err":"\u001b]0;x\u0007\u001b[31mslow\ndown"})");
    busy.status = 429;
    server.serve("/v1/me", busy);
    f->tokenCheck()->click();
    EXPECT_TRUE(shows(f->figmaStatusLine(), "✗ Figma 에 요청이 너무 많았어요(429: ]0;x[31mslow down). 잠시 기다린 뒤 다시 해 주세요."))
        << f->figmaStatusLine()->text().toStdString();
}

TEST_F(SettingsFormTest, ClaudeToolIsCheckedOnShowAndFoundOnRequest)
{
    memoryKeychain();
    open();
    SettingsForm *f = form();
    EXPECT_TRUE(shows(f->claudeStatusLine(), QStringLiteral("✓ 2.1.0 (Claude Code)")));
    EXPECT_EQ(f->claudePathField()->text(), FakeClaude::path());

    // Typing saves but checks nothing until asked.
    f->claudePathField()->clear();
    type(f->claudePathField(), "/nonexistent/claude");
    EXPECT_EQ(stored().claudePath, QStringLiteral("/nonexistent/claude"));
    EXPECT_EQ(f->claudeStatusLine()->text(), QStringLiteral("✓ 2.1.0 (Claude Code)"));
    f->checkButton()->click();
    EXPECT_TRUE(shows(f->claudeStatusLine(), notRunnable));

    // Nothing to find: the path is emptied.
    // The search may wait out its login shell's own 10 s on a busy machine.
    // The rows above re-checked meanwhile must not swallow the search's answer.
    f->findButton()->click();
    Q_EMIT Connections::shared().claudeChanged();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f->claudePathField()->text().isEmpty(); }, 30000));
    EXPECT_EQ(stored().claudePath, QString());
    EXPECT_TRUE(shows(f->claudeStatusLine(), notRunnable));

    // A window opened on the empty path fails its first check.
    view.reset();
    open();
    f = form();
    EXPECT_TRUE(shows(f->claudeStatusLine(), notRunnable));

    // Installed after the window showed and found by the connections'
    // "다시 확인": the field follows the rows above it.
    const QString installed = QDir::homePath() + "/.local/bin/claude";
    ASSERT_TRUE(QDir().mkpath(QDir::homePath() + "/.local/bin"));
    ASSERT_TRUE(QFile::link(FakeClaude::path(), installed));
    const QList<QPushButton *> buttons = f->findChildren<QPushButton *>();
    const auto recheck = std::find_if(buttons.begin(), buttons.end(), [](QPushButton *b) { return b->text() == "다시 확인"; });
    ASSERT_NE(recheck, buttons.end());
    (*recheck)->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return stored().claudePath == installed; }, 30000));
    EXPECT_TRUE(shows(f->claudeStatusLine(), QStringLiteral("✓ 2.1.0 (Claude Code)")))
        << f->claudeStatusLine()->text().toStdString();
    AppSettings emptied = state->settings();
    emptied.claudePath.clear();
    state->setSettings(emptied);
    f->checkButton()->click();
    EXPECT_TRUE(shows(f->claudeStatusLine(), notRunnable));

    // An installed tool is found, saved and checked.
    f->findButton()->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return f->claudePathField()->text() == installed; }, 60000));
    EXPECT_EQ(stored().claudePath, installed);
    EXPECT_TRUE(shows(f->claudeStatusLine(), QStringLiteral("✓ 2.1.0 (Claude Code)")));
    QFile::remove(installed);

    // A path typed while a slow search runs is what stays.
    ASSERT_TRUE(writeExecutable(scratch.filePath("slowshell"), "#!/bin/sh\nsleep 1\nexit 1\n"));
    qputenv("SHELL", scratch.filePath("slowshell").toUtf8());
    f->findButton()->click();
    f->claudePathField()->clear();
    type(f->claudePathField(), FakeClaude::path());
    QTest::qWait(1800);
    EXPECT_EQ(f->claudePathField()->text(), FakeClaude::path());
    EXPECT_EQ(stored().claudePath, FakeClaude::path());
    EXPECT_EQ(f->claudeStatusLine()->text(), QStringLiteral("✓ 2.1.0 (Claude Code)"));
}

TEST_F(SettingsFormTest, FieldsWriteTheSettingsAtOnceAndFollowThem)
{
    memoryKeychain();
    open();
    SettingsForm *f = form();
    // The accounts group speaks of this computer, not of another system's.
    QStringList texts;
    for (const QLabel *label : f->findChildren<QLabel *>())
        texts.append(label->text());
    EXPECT_TRUE(texts.contains(QStringLiteral("계획서를 만들고 고칠 때 각자 컴퓨터의 Claude Code 가 일해요. 버튼을 누르면 "
                                              "브라우저가 열려요. 거기서 로그인·허용만 하면 앱이 알아서 연결해요.")));
    EXPECT_FALSE(texts.join('\n').contains(QStringLiteral("맥")));
    EXPECT_EQ(f->nameField()->text(), QStringLiteral("tester"));
    EXPECT_EQ(f->nameField()->placeholderText(), QStringLiteral("결정 목록에 남는 이름"));
    type(f->nameField(), "-kim");
    EXPECT_EQ(stored().userName, QStringLiteral("tester-kim"));
    type(f->modelField(), "opus");
    EXPECT_EQ(stored().claudeModel, QStringLiteral("opus"));
    EXPECT_EQ(f->modelField()->placeholderText(), QStringLiteral("비우면 Claude Code 기본값"));
    EXPECT_EQ(f->versionLabel()->text(), QStringLiteral(QUARRYSTONE_VERSION));
    EXPECT_EQ(f->mcpNote()->textFormat(), Qt::MarkdownText);
    EXPECT_EQ(f->mcpNote()->text(), QStringLiteral("터미널에서 `claude mcp add -s user --transport http figma ")
                                        + ServiceAddresses::figmaMCP
                                        + QStringLiteral("` 로 추가하고, `claude` 안에서 /mcp 로 Figma 에 로그인해 두면 "
                                                         "돼요. 토큰이 필요 없어요."));

    // A second form on the same state follows, and the form being typed in
    // keeps its cursor where the user put it.
    SettingsForm second(state.get());
    f->nameField()->setCursorPosition(2);
    type(f->nameField(), "x");
    type(f->nameField(), "y");
    EXPECT_EQ(f->nameField()->text(), QStringLiteral("texyster-kim"));
    EXPECT_EQ(f->nameField()->cursorPosition(), 4);
    EXPECT_EQ(second.nameField()->text(), QStringLiteral("texyster-kim"));
    type(second.nameField(), "!");
    EXPECT_EQ(f->nameField()->text(), QStringLiteral("texyster-kim!"));
    EXPECT_EQ(stored().userName, QStringLiteral("texyster-kim!"));

    f->tokenChoice()->click();
    auto *help = f->findChild<QPushButton *>("tokenHelpLink");
    ASSERT_NE(help, nullptr);
    help->click();
    EXPECT_EQ(desktop->opened, QList<QUrl>{QUrl(ServiceAddresses::figmaTokenSettings)});

    second.apiKeyChoice()->click();
    EXPECT_TRUE(f->apiKeyChoice()->isChecked());
    EXPECT_TRUE(f->apiKeyRow()->isVisible());

    // Repository rows mark only repositories found.
    RepoRow *android = form()->androidRow();
    RepoRow *ios = form()->iosRow();
    EXPECT_EQ(android->field()->placeholderText(), QStringLiteral("참고할 로컬 저장소 경로 (예: ~/brenix_android_v2)"));
    EXPECT_EQ(ios->field()->placeholderText(), QStringLiteral("참고할 로컬 저장소 경로 (예: ~/brenix_ios_v2)"));

    const QString app = root.path() + "/app";
    ASSERT_TRUE(QDir().mkpath(app + "/presentation"));
    ASSERT_TRUE(QDir().mkpath(app + "/Modules/Feature"));
    const QString bare = root.path() + "/bare";
    ASSERT_TRUE(QDir().mkpath(bare));

    type(android->field(), bare);
    EXPECT_EQ(stored().androidRepo, bare);
    EXPECT_FALSE(android->foundMark()->isVisible()) << "no platform sub-folder";
    // One made while the window is hidden counts when it shows again.
    ASSERT_TRUE(QDir().mkpath(bare + "/presentation"));
    view->hide();
    view->show();
    EXPECT_TRUE(android->foundMark()->isVisible());
    ASSERT_TRUE(QDir(bare + "/presentation").removeRecursively());
    android->field()->clear();
    type(android->field(), app);
    EXPECT_TRUE(android->foundMark()->isVisible());
    EXPECT_EQ(android->foundMark()->text(), QStringLiteral("✓ 확인됨"));
    EXPECT_EQ(android->foundMark()->property("tone").toString(), QStringLiteral("green"));
    QTest::keyClick(android->field(), Qt::Key_Backspace);
    EXPECT_FALSE(android->foundMark()->isVisible());
    EXPECT_EQ(stored().androidRepo, app.chopped(1));

    desktop->next = app;
    ios->chooseButton()->click();
    EXPECT_EQ(ios->path(), app);
    EXPECT_EQ(stored().iosRepo, app);
    EXPECT_TRUE(ios->foundMark()->isVisible());
    ios->chooseButton()->click();
    EXPECT_EQ(stored().iosRepo, app) << "a cancelled panel changes nothing";

    // Choosing the output folder rescans, typing does not.
    const QString other = root.path() + "/other";
    makePlan(other + "/one", "하나", "One");
    EXPECT_TRUE(state->plans().isEmpty());

    type(form()->outputField(), "/x");
    EXPECT_EQ(stored().outputDir, output + "/x");
    form()->outputField()->clear();
    type(form()->outputField(), other);
    EXPECT_EQ(stored().outputDir, other);
    awaitFiles(*state);
    EXPECT_TRUE(state->plans().isEmpty()) << "typing does not rescan";

    desktop->next = other;
    form()->outputChoose()->click();
    awaitFiles(*state);
    ASSERT_EQ(state->plans().size(), 1);
    EXPECT_EQ(state->plans().first().title, QStringLiteral("하나"));
}

TEST(UpdateRowTest, FollowsTheUpdater)
{
    HttpServer server;
    Updater::Hooks hooks;
    QTemporaryDir installed;
    hooks.bundle = Updater::Bundle{installed.filePath("Quarrystone.app"), QString(), "1.3.0", "42", server.base()};
    hooks.terminate = [] {};
    Updater updater(hooks);
    UpdateRow row(&updater);
    row.show();
    const QByteArray latestPath = "/api/apps/com.tovanek.quarrystone.mac/latest";
    const auto reaches = [&](Updater::Phase::Kind kind) {
        return QTest::qWaitFor([&] { return updater.phase().kind == kind; }, 10000);
    };

    EXPECT_EQ(row.statusLine()->text(), "배포 서버: " + server.base());
    EXPECT_FALSE(row.installButton()->isVisible());
    EXPECT_TRUE(row.checkButton()->isEnabled());

    server.serve(latestPath, {200, R"({"version":"1.4.0","build":"43","url":"https://example.com/43.zip","notes":"빨라졌어요"})",
                              {}, 500ms, false});
    row.checkButton()->click();
    EXPECT_EQ(row.statusLine()->text(), QStringLiteral("확인하는 중…"));
    EXPECT_FALSE(row.checkButton()->isEnabled());
    ASSERT_TRUE(reaches(Updater::Phase::Kind::idle));
    EXPECT_EQ(row.statusLine()->text(), QStringLiteral("바뀐 점: 빨라졌어요"));
    EXPECT_TRUE(row.installButton()->isVisible());
    EXPECT_EQ(row.installButton()->text(), QStringLiteral("1.4.0 버전으로 업데이트하기"));

    // Checking again keeps the install button usable.
    server.serve(latestPath, {200, R"({"version":"1.4.0","build":"43","url":"https://example.com/43.zip","notes":""})",
                              {}, 500ms, false});
    row.checkButton()->click();
    EXPECT_FALSE(row.checkButton()->isEnabled());
    EXPECT_TRUE(row.installButton()->isEnabled());
    ASSERT_TRUE(reaches(Updater::Phase::Kind::idle));
    EXPECT_EQ(row.statusLine()->text(), "배포 서버: " + server.base()) << "empty notes name the server";

    // While the build is fetched neither button can be pressed.
    server.serve("/download/com.tovanek.quarrystone.mac/43.zip", {404, "gone", {}, 700ms, false});
    row.installButton()->click();
    EXPECT_EQ(row.statusLine()->text(), QStringLiteral("받는 중…"));
    EXPECT_FALSE(row.checkButton()->isEnabled());
    EXPECT_FALSE(row.installButton()->isEnabled());
    ASSERT_TRUE(reaches(Updater::Phase::Kind::failed));
    EXPECT_TRUE(row.statusLine()->text().startsWith(QStringLiteral("업데이트하지 못했어요: ")));
    EXPECT_TRUE(row.installButton()->isEnabled());

    server.serve(latestPath, HttpServer::Response::json(R"({"version":"1.3.0","build":"42","url":"https://example.com/42.zip"})"));
    row.checkButton()->click();
    ASSERT_TRUE(reaches(Updater::Phase::Kind::upToDate));
    EXPECT_EQ(row.statusLine()->text(), QStringLiteral("최신 버전이에요"));
    EXPECT_FALSE(row.installButton()->isVisible());

    server.serve(latestPath, HttpServer::Response::text(500, "down"));
    row.checkButton()->click();
    ASSERT_TRUE(reaches(Updater::Phase::Kind::failed));
    EXPECT_EQ(row.statusLine()->text(), "배포 서버에 닿지 못했어요 (" + server.base() + ")");
    EXPECT_EQ(row.statusLine()->property("tone").toString(), QStringLiteral("orange"));
}
