#include "displaylock.h"
#include "library.h"
#include "model/generator.h"
#include "settings/appsettings.h"
#include "settings/connections.h"
#include "settings/keychain.h"
#include "support/fakeclaude.h"
#include "support/heldsecretstore.h"
#include "support/httpserver.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "views/claudecheck.h"
#include "views/floatingnewbutton.h"
#include "views/newplanaction.h"
#include "views/newplanview.h"
#include "views/pillbutton.h"

#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <gtest/gtest.h>
#include <signal.h>

using Hint = NewPlanView::Hint;

namespace {

const QString figmaLink = QStringLiteral("https://www.figma.com/design/AbC123xyz/Harbor?node-id=12-345&t=x");
const QString emptyHint = QStringLiteral("값을 입력해 주세요");
const QString featureRule = QStringLiteral("PascalCase. 모든 화면·모델 이름 앞에 붙어요 (예: HarborClips)");

} // namespace

TEST(NewPlanRules, FeaturePrefixIsUpperCamelCaseAscii)
{
    const struct { const char *feature; bool ok; } cases[] = {
        {"HarborClips", true}, {"Ab", true},         {"Harbor2", true},       {"H2", true},
        {"", false},           {"H", false},         {"harborClips", false},  {"Harbor Clips", false},
        {"Harbor_Clips", false}, {"Harbor-Clips", false}, {"HarborÉ", false}, {"Harbor클립", false},
        {"HarborClips\n", false}, {"\nHarborClips", false}, {"ＨarborClips", false}, {"1Harbor", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NewPlanView::featureOK(QString::fromUtf8(c.feature)), c.ok) << c.feature;
}

TEST(NewPlanRules, LinkAndPrefixHints)
{
    const Hint notFigma{"node-id 가 있는 figma.com 링크가 아니에요", true};
    EXPECT_EQ(NewPlanView::linkHint("", false), (Hint{"섹션이나 프레임을 우클릭 → Copy link", false}));
    EXPECT_EQ(NewPlanView::linkHint("", true), (Hint{emptyHint, true}));
    EXPECT_EQ(NewPlanView::linkHint("https://www.figma.com/design/AbC123xyz/Harbor", false), notFigma);
    EXPECT_EQ(NewPlanView::linkHint(" ", true), notFigma) << "a text of spaces is not empty";
    EXPECT_EQ(NewPlanView::linkHint(figmaLink, true), (Hint{"fileKey AbC123xyz · node 12:345", false}));
    EXPECT_EQ(NewPlanView::featureHint("", false), (Hint{featureRule, false}));
    EXPECT_EQ(NewPlanView::featureHint("", true), (Hint{emptyHint, true}));
    EXPECT_EQ(NewPlanView::featureHint("harbor", false), (Hint{"영문 대문자로 시작하는 PascalCase 로 써 주세요", true}));
    EXPECT_EQ(NewPlanView::featureHint("Harbor", true), (Hint{featureRule, false}));
}

TEST(NewPlanRules, DocumentListLines)
{
    const struct { QString text; QStringList entries; } cases[] = {
        {"", {}},
        {"  https://wiki/a  \n\n\t~/spec.md", {"https://wiki/a", "~/spec.md"}},
        {"a\r\nb\rc\u000Bd\u000Ce\u0085f\u2028g\u2029h", {"a", "b", "c", "d", "e", "f", "g", "h"}},
        {"same\nsame\n", {"same", "same"}},
        {"\u3000전각 공백\u3000\n \t \n", {"전각 공백"}},
        {"inner  spaces stay", {"inner  spaces stay"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NewPlanView::lines(c.text), c.entries) << c.text.toStdString();
}

TEST(NewPlanRules, ReadinessAsksOnlyForTheSecretsTheSettingsNeed)
{
    auto store = std::make_shared<MemorySecretStore>();
    Keychain::useStore(store);
    AppSettings settings;
    NewPlanView::Secrets secrets = NewPlanView::Secrets::read(settings);
    EXPECT_EQ(store->reads, 0);
    EXPECT_EQ(NewPlanView::readyIssues(true, secrets), QStringList());

    settings.figmaMode = AppSettings::FigmaMode::token;
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    secrets = NewPlanView::Secrets::read(settings);
    EXPECT_EQ(store->reads, 2);
    EXPECT_EQ(NewPlanView::readyIssues(false, secrets),
              QStringList({"Claude Code 를 찾지 못했어요", "Figma 토큰이 없어요", "Anthropic API 키가 없어요"}));

    // A keyring that could not be read, or a secret that cannot be used, is
    // no missing secret: its own sentence is the issue.
    store->items.insert("figma-token", QByteArray("figd_\xff\xfe\x80" "bad"));
    EXPECT_EQ(NewPlanView::readyIssues(true, NewPlanView::Secrets::read(settings)),
              QStringList({"키링에 저장된 Figma 토큰을 쓸 수 없어요: UTF-8 글자가 아니에요. 설정에서 다시 넣어 주세요.",
                           "Anthropic API 키가 없어요"}));
    store->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    EXPECT_EQ(NewPlanView::readyIssues(true, NewPlanView::Secrets::read(settings)),
              QStringList({"키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요.",
                           "키링이 잠겨 있어서 Anthropic API 키를 읽지 못했어요."}));
    Keychain::useStore(nullptr);
}

namespace {

const QString validLink = QStringLiteral("https://www.figma.com/design/AbC123xyz/Harbor?node-id=12-345");

QJsonObject versionAnswer(int sleepMs = 0)
{
    QJsonArray steps;
    if (sleepMs)
        steps.append(QJsonObject{{"sleep", sleepMs}});
    steps.append(QJsonObject{{"out", "2.1.0 (Claude Code)\n"}});
    return QJsonObject{{"args", QJsonArray{"--version"}}, {"steps", steps}};
}

// The form and the floating pill in one window over a temporary library,
// with the stand-in tool answering "--version" and sleeping in any run.
class NewPlanForm : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        Keychain::useStore(secrets);
        claude.setScenario(QJsonObject{
            {"responses", QJsonArray{versionAnswer()}},
            {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{}}}}},
        });
        AppSettings settings = stored();
        settings.claudePath = FakeClaude::path();
        settings.figmaMode = AppSettings::FigmaMode::mcp;
        settings.claudeAuth = AppSettings::ClaudeAuth::login;
        settings.save();
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        form = new NewPlanView(state.get(), &window);
        pill = new FloatingNewButton(state.get(), Generator::shared(), NewPlanAction::shared(), &window);
        auto *layout = new QHBoxLayout(&window);
        layout->addWidget(form, 1);
        layout->addWidget(pill, 0, Qt::AlignBottom);
        window.resize(900, 800);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        ASSERT_TRUE(checked());
    }

    void TearDown() override
    {
        Generator &generator = Generator::shared();
        // A stopped run's child is waited for, so none outlives the test.
        if (generator.phase().isRunning()) {
            generator.cancel();
            EXPECT_TRUE(QTest::qWaitFor([this] { return claude.records("sigterm").size() >= runs(); }, 60000));
        }
        generator.setPhase(Generator::Phase::idle());
        Keychain::useStore(nullptr);
        Library::TearDown();
    }

    // Runs of the tool other than "--version".
    qsizetype runs() const
    {
        qsizetype count = 0;
        for (const QJsonObject &start : claude.records("start"))
            count += start.value("args").toArray() != QJsonArray{"--version"};
        return count;
    }
    qsizetype versionRuns() const { return claude.records("start").size() - runs(); }

    // The last Claude check has answered.
    bool checked()
    {
        return QTest::qWaitFor([this] { return !form->findChild<ClaudeCheck *>()->pending(); }, 15000);
    }

    template<typename T = QWidget>
    T *field(const char *name) const
    {
        return form->findChild<T *>(name);
    }
    QLabel *hint(const char *name) const { return form->findChild<QLabel *>(QString(name) + "Hint"); }
    bool bad(const char *name) const { return field(name)->property("bad").toBool(); }
    QStringList issues() const
    {
        QStringList out;
        QWidget *box = field("readiness");
        if (!box->isVisibleTo(&window))
            return out;
        for (QLabel *label : box->findChildren<QLabel *>())
            if (label->text().startsWith("• "))
                out.append(label->text());
        return out;
    }
    void settings(const std::function<void(AppSettings &)> &change)
    {
        AppSettings s = state->settings();
        change(s);
        state->setSettings(s);
    }

    std::shared_ptr<MemorySecretStore> secrets = std::make_shared<MemorySecretStore>();
    FakeClaude claude;
    std::unique_ptr<AppState> state;
    QWidget window;
    NewPlanView *form = nullptr;
    FloatingNewButton *pill = nullptr;
};

} // namespace

TEST_F(NewPlanForm, HintsErrorStateAndMissingSecretsFollowTheTypingAndAStartAttempt)
{
    EXPECT_EQ(hint("url")->text(), "섹션이나 프레임을 우클릭 → Copy link");
    EXPECT_EQ(hint("url")->property("tone"), "secondary");
    for (const char *name : {"url", "feature", "title", "notes", "apiDocs", "specDocs"})
        EXPECT_FALSE(bad(name)) << name;
    EXPECT_EQ(issues(), QStringList());
    EXPECT_EQ(versionRuns(), 1);
    EXPECT_TRUE(NewPlanAction::shared().canStart());
    EXPECT_EQ(NewPlanAction::shared().hint(), "Ctrl+Enter");
    EXPECT_EQ(pill->pill(), FloatingNewButton::Pill::start);
    EXPECT_TRUE(pill->button()->isEnabled());

    QTest::keyClicks(field("url"), "abc");
    EXPECT_TRUE(bad("url"));
    EXPECT_EQ(hint("url")->text(), "node-id 가 있는 figma.com 링크가 아니에요");
    EXPECT_EQ(hint("url")->property("tone"), "red");
    field<QLineEdit>("url")->clear();
    EXPECT_FALSE(bad("url"));

    // An empty start attempt turns both required fields red; nothing starts.
    QTest::mouseClick(pill->button(), Qt::LeftButton);
    EXPECT_TRUE(bad("url"));
    EXPECT_TRUE(bad("feature"));
    EXPECT_EQ(hint("url")->text(), "값을 입력해 주세요");
    EXPECT_EQ(hint("feature")->text(), "값을 입력해 주세요");
    EXPECT_EQ(hint("feature")->property("tone"), "red");
    EXPECT_EQ(state->selection(), Selection::newPlan());

    QTest::keyClicks(field("url"), validLink);
    EXPECT_FALSE(bad("url"));
    EXPECT_EQ(hint("url")->text(), "fileKey AbC123xyz · node 12:345");
    EXPECT_TRUE(bad("feature"));
    QTest::keyClicks(field("feature"), "harbor");
    EXPECT_EQ(hint("feature")->text(), "영문 대문자로 시작하는 PascalCase 로 써 주세요");
    field<QLineEdit>("feature")->setText("Harbor");
    EXPECT_FALSE(bad("feature"));
    // Typing never asks the tool or the secret store again.
    EXPECT_EQ(versionRuns(), 1);
    EXPECT_EQ(secrets->reads, 0);
    EXPECT_EQ(runs(), 0);

    // Missing secrets are listed once the store has answered, and the first
    // is the toast of a start.
    settings([](AppSettings &s) { s.figmaMode = AppSettings::FigmaMode::token; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues() == QStringList({"• Figma 토큰이 없어요"}); }, 60000));
    const int beforeStart = secrets->reads;
    NewPlanAction::shared().start();
    // The attempt asks the store once more, in the background, and its
    // answer decides.
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "Figma 토큰이 없어요"; }, 60000));
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_EQ(secrets->reads, beforeStart + 1);

    // Other settings leave the store alone.
    const int reads = secrets->reads;
    settings([](AppSettings &s) { s.userName = "다른 사람"; });
    EXPECT_EQ(secrets->reads, reads);
    settings([](AppSettings &s) { s.claudeAuth = AppSettings::ClaudeAuth::apiKey; });
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return issues() == QStringList({"• Figma 토큰이 없어요", "• Anthropic API 키가 없어요"}); }, 60000));
    state->setMessage(std::nullopt);
    NewPlanAction::shared().start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "Figma 토큰이 없어요"; }, 60000));

    // A token stored elsewhere counts at the next start attempt; activating
    // the window asks nothing (a locked keyring would show its prompt each
    // time).
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_x"));
    const int beforeActivation = secrets->reads;
    QEvent activate(QEvent::WindowActivate);
    for (int i = 0; i < 4; ++i)
        QCoreApplication::sendEvent(&window, &activate);
    QCoreApplication::processEvents();
    EXPECT_EQ(secrets->reads, beforeActivation);
    state->setMessage(std::nullopt);
    NewPlanAction::shared().start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues() == QStringList({"• Anthropic API 키가 없어요"}); }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == "Anthropic API 키가 없어요"; }, 60000));
    EXPECT_EQ(runs(), 0);

    // A keyring waiting for its unlock prompt holds neither the window nor
    // the typing; its answer is shown when it comes.
    auto held = std::make_shared<HeldSecretStore>(std::chrono::seconds(5));
    held->put(Keychain::account(Keychain::Item::anthropicKey), "sk-held");
    held->put(Keychain::account(Keychain::Item::figmaToken), "figd_x");
    Keychain::useStore(held);
    // The form opening again asks.
    form->hide();
    form->show();
    // Had the window waited, the answer would be here already.
    EXPECT_EQ(issues(), QStringList({"• Anthropic API 키가 없어요"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return held->arrived() > 0; }, 60000));
    QTest::keyClicks(field("title"), "Held");
    EXPECT_EQ(field<QLineEdit>("title")->text(), "Held");
    held->release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues().isEmpty(); }, 60000));
    Keychain::useStore(secrets);
}

// With a token stored and the keyring locked, the form says the keyring is
// locked, as the command line does, never that the token is missing; a
// start attempt asks once and starts nothing, and activations ask nothing.
TEST_F(NewPlanForm, ALockedKeyringIsNamedAndAskedOncePerReason)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_stored"));
    secrets->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    settings([](AppSettings &s) { s.figmaMode = AppSettings::FigmaMode::token; });
    const QString locked = "키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요.";
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues() == QStringList({"• " + locked}); }, 60000)) << issues().join(", ").toStdString();
    const int asked = secrets->reads;
    QEvent activate(QEvent::WindowActivate);
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::sendEvent(&window, &activate);
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(secrets->reads, asked);
    // Coming back to the form asks nothing until the person acts.
    form->hide();
    form->show();
    QTest::qWait(50);
    EXPECT_EQ(secrets->reads, asked);

    QTest::keyClicks(field("url"), validLink);
    QTest::keyClicks(field("feature"), "Harbor");
    NewPlanAction::shared().start();
    // A second press while the store is asked adds no question.
    NewPlanAction::shared().start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->message() == locked; }, 60000));
    EXPECT_EQ(secrets->reads, asked + 1);
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_EQ(runs(), 0);
    EXPECT_EQ(issues(), QStringList({"• " + locked}));

    // Unlocked through the prompt that the settings' "다시 확인" raised: the
    // note goes once that check has read the token, what was typed stays.
    // (The check itself reads the token; its word on Figma is given here,
    // as this fixture's tool answers no check.)
    secrets->unreadable.reset();
    Keychain::askAgain();
    ASSERT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Keychain::Reading::Outcome::found);
    Q_EMIT Connections::shared().figmaChanged();
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues().isEmpty(); }, 60000)) << issues().join(", ").toStdString();
    EXPECT_EQ(qobject_cast<QLineEdit *>(field("url"))->text(), validLink);
    EXPECT_EQ(state->selection(), Selection::newPlan());

    // Unlocked while the form is left: the late answer starts nothing.
    auto held = std::make_shared<HeldSecretStore>(std::chrono::seconds(5));
    held->put(Keychain::account(Keychain::Item::figmaToken), "figd_stored");
    Keychain::useStore(held);
    NewPlanAction::shared().start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return held->arrived() > 0; }, 60000));
    form->hide();
    form->show();
    held->release();
    EXPECT_TRUE(QTest::qWaitFor([&] { return issues().isEmpty(); }, 60000));
    QCoreApplication::processEvents();
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_EQ(Generator::shared().phase().kind, Generator::Phase::Kind::idle);
    Keychain::useStore(secrets);
}

TEST_F(NewPlanForm, ClaudeCheckRunsOffTheWindowAndKeepsOnlyTheCurrentPath)
{
    settings([](AppSettings &s) { s.claudePath = "/etc/hostname"; });
    ASSERT_TRUE(checked());
    EXPECT_EQ(issues(), QStringList({"• Claude Code 를 찾지 못했어요"}));

    settings([](AppSettings &s) { s.claudePath = FakeClaude::path(); });
    ASSERT_TRUE(checked());
    EXPECT_EQ(issues(), QStringList());

    // A tool that hangs on "--version": the window keeps turning.
    claude.setScenario(QJsonObject{{"responses", QJsonArray{versionAnswer(1500)}}});
    const QString sleeper = QDir(root.path()).filePath("claude");
    ASSERT_TRUE(QFile::link(FakeClaude::path(), sleeper));
    settings([&](AppSettings &s) { s.claudePath = sleeper; });
    const qsizetype before = versionRuns();
    ASSERT_TRUE(QTest::qWaitFor([&] { return versionRuns() > before; }, 60000));
    QElapsedTimer clock;
    clock.start();
    bool fired = false;
    QTimer::singleShot(10, [&] { fired = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired; }, 60000));
    EXPECT_LT(clock.elapsed(), 500);

    // Its late answer is for a path no longer current and is dropped.
    settings([](AppSettings &s) { s.claudePath = ""; });
    ASSERT_TRUE(checked());
    EXPECT_EQ(issues(), QStringList({"• Claude Code 를 찾지 못했어요"}));
    QTest::qWait(1800);
    EXPECT_EQ(issues(), QStringList({"• Claude Code 를 찾지 못했어요"}));

    // A tool that never answers and ignores SIGTERM ends, reaped, with the
    // form that asked, long before the check's own time-out.
    claude.setScenario(QJsonObject{
        {"responses", QJsonArray{QJsonObject{{"args", QJsonArray{"--version"}},
                                             {"steps", QJsonArray{QJsonObject{
                                                           {"awaitSigterm", QJsonObject{{"ignore", true}}}}}}}}}});
    const qsizetype started = claude.records("start").size();
    settings([](AppSettings &s) { s.claudePath = FakeClaude::path(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return claude.records("start").size() > started; }, 60000));
    const pid_t hung = pid_t(claude.records("start").last().value("pid").toInteger());
    delete form;
    form = nullptr;
    EXPECT_TRUE(QTest::qWaitFor([hung] { return ::kill(hung, 0) == -1 && errno == ESRCH; }, 60000));
}

TEST_F(NewPlanForm, CtrlReturnCountsInTheActiveWindowAndStartsTheGenerationAsTyped)
{
    DisplayLock display;
    // Another window active: the shortcut is not this window's.
    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::keyClick(field("title"), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(bad("url"));

    // Active, a start attempt from a line field with empty required fields.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field("title")->setFocus();
    QTest::keyClick(field("title"), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_TRUE(bad("url")) << "the start attempt ran from the title field";
    EXPECT_TRUE(bad("feature"));
    EXPECT_EQ(state->selection(), Selection::newPlan());

    field<QLineEdit>("url")->setText(validLink);
    field<QLineEdit>("feature")->setText("HarborClips");
    field<QLineEdit>("title")->setText("  항구 클립  ");
    field<QPlainTextEdit>("specDocs")->setPlainText("  https://wiki/a  \n\n\t~/spec.md");
    auto *notes = field<QPlainTextEdit>("notes");
    notes->setPlainText(" 정해진 것");
    notes->setFocus();
    notes->moveCursor(QTextCursor::End);
    QTest::keyClick(notes, Qt::Key_Return, Qt::ControlModifier);

    EXPECT_EQ(state->selection(), Selection::generating());
    EXPECT_TRUE(Generator::shared().phase().isRunning());
    for (const char *name : {"url", "feature", "title"})
        EXPECT_EQ(field<QLineEdit>(name)->text(), "") << name;
    for (const char *name : {"notes", "apiDocs", "specDocs"})
        EXPECT_EQ(field<QPlainTextEdit>(name)->toPlainText(), "") << name;

    const QString dir = output + "/HarborClips-plan";
    ASSERT_TRUE(Generator::shared().runningDir());
    EXPECT_EQ(AppState::standardFolder(*Generator::shared().runningDir()), AppState::standardFolder(dir));
    // Written once the run holds its folder.
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(dir + "/request.json"); }, 60000));
    const QJsonObject request = QJsonDocument::fromJson(read(dir + "/request.json")).object();
    EXPECT_EQ(request.value("feature"), "HarborClips");
    EXPECT_EQ(request.value("title"), "  항구 클립  ");
    // The shortcut left no line break behind.
    EXPECT_EQ(request.value("notes"), " 정해진 것");
    EXPECT_EQ(request.value("link").toObject().value("url"), validLink);
    EXPECT_EQ(request.value("module"),
              QJsonObject({{"android", ""}, {"androidFeatureDir", ""}, {"ios", ""}, {"iosGroup", ""}}));
    EXPECT_EQ(request.value("includeLabels"), QJsonArray());
    EXPECT_EQ(request.value("apiDocs"), QJsonArray());
    EXPECT_EQ(request.value("specDocs"), QJsonArray({"https://wiki/a", "~/spec.md"}));

    // With the running generation selected the pill offers a new plan; on
    // the form it stops the run at once.
    EXPECT_EQ(pill->pill(), FloatingNewButton::Pill::newPlan);
    state->setSelection(Selection::newPlan());
    awaitFiles(*state);
    EXPECT_EQ(pill->pill(), FloatingNewButton::Pill::stop);
    ASSERT_TRUE(QTest::qWaitFor([this] { return runs() == 1; }, 60000));
    const qint64 pid = claude.records("start").last().value("pid").toInteger();
    QTest::mouseClick(pill->button(), Qt::LeftButton);
    EXPECT_EQ(Generator::shared().phase(), Generator::Phase::failed("멈췄어요."));
    EXPECT_EQ(pill->pill(), FloatingNewButton::Pill::start);
    EXPECT_TRUE(QTest::qWaitFor([this] { return claude.records("sigterm").size() == 1; }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([pid] { return ::kill(pid_t(pid), 0) != 0; }, 60000)) << "the child is gone";
}

TEST_F(NewPlanForm, AFinishedStartSelectsTheNewPlanAndSaysSo)
{
    // The design service on loopback with one frame, the token in the store,
    // and a draft answer that passes its checks.
    HttpServer server;
    qputenv("QUARRYSTONE_FIGMA_API", server.base().toUtf8());
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "tok"));
    server.serve("/v1/files/AbC123xyz/nodes", HttpServer::Response::json(R"({"nodes": {"12:345": {"document": {
        "id": "12:345", "name": "S", "type": "SECTION", "absoluteBoundingBox": {"x": 0, "y": 0, "width": 400, "height": 700},
        "children": [{"id": "12:346", "name": "Feed", "type": "FRAME",
                      "absoluteBoundingBox": {"x": 0, "y": 0, "width": 360, "height": 640}}]}}}})"));
    server.serve("/v1/images/AbC123xyz", HttpServer::Response::json(R"({"images": {}})"));
    const QString plan = R"({"meta": {"feature": "HarborClips", "title": "항구"},
        "screens": [{"id": "feed", "name": "FeedScreen", "title": "피드", "figmaNodes": ["12:346"]}]})";
    claude.setScenario(QJsonObject{{"responses", QJsonArray{versionAnswer()}},
                                   {"steps", QJsonArray{FakeClaude::resultEvent("```json\n" + plan + "\n```")}}});
    settings([](AppSettings &s) { s.figmaMode = AppSettings::FigmaMode::token; });
    EXPECT_EQ(issues(), QStringList());

    field<QLineEdit>("url")->setText(validLink);
    field<QLineEdit>("feature")->setText("HarborClips");
    NewPlanAction::shared().start();
    const QString dir = AppState::standardFolder(output + "/HarborClips-plan");
    // The token mode's start waits for the keychain's answer.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return state->selection() == Selection::generating() || state->selection() == Selection::plan(dir); }, 60000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return state->selection() == Selection::plan(dir); }, 30000))
        << Generator::shared().phase().text.toStdString();
    qunsetenv("QUARRYSTONE_FIGMA_API");
    awaitFiles(*state);
    EXPECT_EQ(state->message(), "계획서를 만들었어요");
    ASSERT_FALSE(state->plans().isEmpty());
    EXPECT_EQ(state->plans().first().url, dir);
    EXPECT_EQ(state->planDir(), dir);
}
