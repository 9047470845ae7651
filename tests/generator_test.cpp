#include "core/jsoncoding.h"
#include "model/folderclaim.h"
#include "model/generator.h"
#include "model/reviser.h"
#include "settings/keychain.h"
#include "support/fakeclaude.h"
#include "support/httpserver.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"
#include "support/testimages.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QLocale>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <thread>
#include <sys/stat.h>

namespace {

using Stage = Generator::Stage;
using Status = Generator::StageState::Status;
using Kind = Generator::Phase::Kind;

using TestFiles::json;
using TestFiles::readFile;
using TestFiles::writeFile;

QJsonObject answering(const QString &stdinContains, const QJsonArray &steps)
{
    return {{"stdinContains", stdinContains}, {"steps", steps}};
}

// A plan whose one screen is drawn from `node`; it passes its checks unless
// it has transitions to `strays` screens it does not have.
QString validPlan(const QString &node = QStringLiteral("1:2"), int strays = 0)
{
    const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"9:9", node}}};
    QJsonArray transitions;
    for (int i = 1; i <= strays; ++i)
        transitions.append(QJsonObject{{"from", "feed"}, {"to", QStringLiteral("gone%1").arg(i)}, {"trigger", "탭"}});
    const QJsonObject plan{{"meta", QJsonObject{{"feature", "HarborClips"}}}, {"screens", QJsonArray{screen}},
                           {"transitions", transitions}};
    return QStringLiteral("```json\n") + QString::fromUtf8(json(plan)) + QStringLiteral("\n```");
}

const QString draftMarker = QStringLiteral("## 입력");
// What a page-reading run may use: the wiki server's read tools by name.
const QString wikiTools = QStringLiteral(
    "mcp__atlassian__getAccessibleAtlassianResources,mcp__atlassian__getConfluencePage,"
    "mcp__atlassian__getConfluenceSpaces,mcp__atlassian__getPagesInConfluenceSpace,"
    "mcp__atlassian__searchConfluenceUsingCql,mcp__atlassian__search,mcp__atlassian__fetch,Read(./**)");

// Turns the event loop until the condition holds or the time is up.
void waitUntil(const std::function<bool()> &condition, int ms)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!condition())
        loop.exec();
}

void turn(int ms)
{
    waitUntil([] { return false; }, ms);
}

// The REST nodes answer for section 1:1 holding these frames.
QByteArray restNodes(const QJsonArray &frames, int width)
{
    const QJsonObject section{{"id", "1:1"}, {"name", "S"}, {"type", "SECTION"},
                              {"absoluteBoundingBox", QJsonObject{{"x", 0}, {"y", 0}, {"width", width}, {"height", 800}}},
                              {"children", frames}};
    return json({{"nodes", QJsonObject{{"1:1", QJsonObject{{"document", section}}}}}});
}

QJsonObject restFrame(const QString &id, const QString &name, int x)
{
    return {{"id", id}, {"name", name}, {"type", "FRAME"},
            {"absoluteBoundingBox", QJsonObject{{"x", x}, {"y", 0}, {"width", 360}, {"height", 640}}}};
}

// A frame as the Figma run answers it.
QJsonObject answerFrame(const QString &id, const QString &name, int x, const QJsonObject &extra = {})
{
    QJsonObject frame{{"id", id}, {"name", name}, {"x", x}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        frame.insert(it.key(), it.value());
    return frame;
}

// A store that holds every read until released (or for ten seconds), as a
// keyring waiting for its unlock prompt or a service slow to start.
class SlowSecretStore final : public SecretStore
{
public:
    std::optional<QByteArray> read(const QString &) override
    {
        asked = true;
        release.tryAcquire(1, 10000);
        answered = true;
        return QByteArray("tok");
    }
    bool write(const QString &, const QString &) override { return false; }
    bool remove(const QString &) override { return false; }

    QSemaphore release;
    std::atomic<bool> asked{false};
    std::atomic<bool> answered{false};
};

class GeneratorTest : public testing::Test
{
protected:
    void SetUp() override
    {
        QFile::remove(QDir::homePath() + "/.claude.json");
        settings.claudePath = FakeClaude::path();
        settings.outputDir = out.path();
        dir = out.filePath("HarborClips-plan");
        input.link = *FigmaLink::parse("https://www.figma.com/design/KEY/Name?node-id=1-1");
        input.feature = "HarborClips";
        fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    }

    void TearDown() override
    {
        qunsetenv("QUARRYSTONE_FIGMA_API");
        Keychain::useStore(nullptr);
    }

    void start(bool reuse)
    {
        generator.setPhase(Generator::Phase::idle());
        generator.run(input, dir, settings, reuse, [this](const QString &folder) { completed.append(folder); });
    }

    // Runs until the phase is done or failed.
    Generator::Phase runToEnd(bool reuse = true)
    {
        start(reuse);
        waitUntil([this] { return generator.phase().kind == Kind::done || generator.phase().kind == Kind::failed; }, 30000);
        return generator.phase();
    }

    // The REST route with a stored token, its API on a loopback server.
    void useTokenRoute(const HttpServer &server)
    {
        qputenv("QUARRYSTONE_FIGMA_API", server.base().toUtf8());
        auto store = std::make_shared<MemorySecretStore>();
        store->items.insert(Keychain::account(Keychain::Item::figmaToken), "tok");
        Keychain::useStore(store);
        settings.figmaMode = AppSettings::FigmaMode::token;
    }

    // A saved section without frames: the documents and the draft run alone.
    void saveEmptySection()
    {
        writeFile(dir + "/figma-section.json", R"({"fileKey":"KEY","nodeId":"1:1","name":"S","frames":[],"notes":[]})");
    }

    QStringList startsWith(const QString &text) const
    {
        QStringList prompts;
        for (const QJsonObject &start : fake.starts(text))
            prompts.append(start.value("stdin").toString());
        return prompts;
    }

    FakeClaude fake;
    QTemporaryDir out;
    QString dir;
    AppSettings settings;
    GenerateInput input;
    Generator generator;
    QStringList completed;
};

} // namespace

TEST(GeneratorState, StagesTitlesAndRawValues)
{
    const QStringList titles{"피그마 읽기", "화면 이미지 받기", "기획서 읽기", "API 문서 읽기", "계획서 초안 만들기", "검사", "저장"};
    for (int raw = -1; raw <= 7; ++raw) {
        const std::optional<Stage> stage = Generator::stageFromRaw(raw);
        ASSERT_EQ(stage.has_value(), raw >= 0 && raw < 7) << raw;
        EXPECT_EQ(stage ? Generator::title(*stage) : QString(), titles.value(raw));
    }
}

TEST(GeneratorState, LogKeepsTheLastFourHundredAndSignalsEveryLine)
{
    Generator generator;
    QStringList seen;
    QObject::connect(&generator, &Generator::lineAdded, [&seen](const QString &line) { seen.append(line); });
    int notices = 0;
    QObject::connect(&generator, &Generator::logChanged, [&notices] { ++notices; });
    for (int i = 1; i <= 400; ++i)
        generator.add(QString::number(i));
    EXPECT_EQ(generator.log().size(), 400);
    generator.add("401");
    EXPECT_EQ(generator.log().first(), "2");
    for (int i = 402; i <= 1000; ++i)
        generator.add(QString::number(i));
    EXPECT_EQ(generator.log().size(), 400);
    EXPECT_EQ(generator.log().first(), "601");
    EXPECT_EQ(generator.log().last(), "1000");
    ASSERT_EQ(seen.size(), 1000);
    EXPECT_EQ(seen.at(0), "1");
    EXPECT_EQ(seen.at(999), "1000");
    // A thousand lines at once are announced once the loop turns, not a
    // thousand times.
    EXPECT_EQ(notices, 0);
    turn(120);
    EXPECT_EQ(notices, 1);
}

TEST(GeneratorState, ObserveFollowsItsRulesInOrder)
{
    struct Case {
        Stage stage;
        int total;
        QStringList lines;
        QString detail;
        int done;
        double cost;
    };
    const QString longLine = "끝 (3초, 무료) " + QString(130, u'가');
    const QList<Case> cases{
        {Stage::draft, 0, {"끝 (12초, $0.31)", "끝 (8초, $1.05)"}, "", 0, 1.36},
        {Stage::draft, 0, {longLine}, longLine.left(120), 0, 0},
        {Stage::draft, 0, {"도구: Read /p/img/node-1.png"}, "화면 그림 보는 중 · 1/1", 1, 0},
        {Stage::check, 5, {"도구: Read /p/a.jpg", "도구: Read /p/b.png"}, "화면 그림 보는 중 · 2/5", 2, 0},
        {Stage::draft, 0, {"도구: Read /p/img/node-1.PNG"}, "저장소 코드 살펴보는 중", 0, 0},
        {Stage::draft, 0, {"도구: Glob **/*.kt"}, "저장소 코드 살펴보는 중", 0, 0},
        {Stage::draft, 0, {"도구: Bash ls"}, "", 0, 0},
        {Stage::figma, 0, {"도구: figma get_screenshot 1:2", "도구: figma get_screenshot 1:3", "도구: figma get_screenshot 1:4"}, "화면 그림 주소 받는 중 · 3장", 3, 0},
        {Stage::figma, 0, {"도구: figma get_metadata 1:1"}, "섹션 구조 읽는 중", 0, 0},
        {Stage::spec, 0, {"도구: figma get_screenshot 1:2"}, "", 0, 0},
        {Stage::spec, 0, {"```kotlin"}, "계획서(plan.json)를 쓰는 중", 0, 0},
        {Stage::spec, 0, {"끝 (1초, $x.y)"}, "끝 (1초, $x.y)", 0, 0},
        {Stage::spec, 0, {"끝 (1초, $.)"}, "", 0, 0},
        {Stage::api, 0, {"끝 (1초, $1.2.3)"}, "", 0, 0},
        {Stage::api, 0, {"한 줄 설명", ""}, "한 줄 설명", 0, 0},
    };
    // A German locale reads "1.05" no differently.
    QLocale::setDefault(QLocale(QLocale::German));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines.first().toStdString());
        Generator generator;
        generator.begin(c.stage, "", c.total);
        for (const QString &line : c.lines)
            generator.observe(line, c.stage);
        const Generator::StageState state = generator.stageState(c.stage);
        EXPECT_EQ(state.detail, c.detail);
        EXPECT_EQ(state.done, c.done);
        EXPECT_DOUBLE_EQ(state.cost, c.cost);
        EXPECT_TRUE(state.lastEvent.has_value());
    }
    QLocale::setDefault(QLocale::c());
    Generator generator;
    generator.observe("anything", Stage::draft);
    EXPECT_TRUE(generator.stages().isEmpty());
}

TEST(GeneratorState, BeginFinishAndCancel)
{
    Generator generator;
    generator.begin(Stage::draft, "a", 3);
    generator.observe("끝 (1초, $0.50)", Stage::draft);
    generator.observe("도구: Read x.png", Stage::draft);
    const QDateTime started = *generator.stageState(Stage::draft).started;
    generator.begin(Stage::draft, "b", 4);
    Generator::StageState draft = generator.stageState(Stage::draft);
    EXPECT_EQ(draft.started, started);
    EXPECT_DOUBLE_EQ(draft.cost, 0.5);
    EXPECT_EQ(draft.done, 0);
    EXPECT_EQ(draft.total, 4);
    EXPECT_EQ(generator.phase(), Generator::Phase::running("계획서 초안 만들기"));

    generator.finish(Stage::spec, "없음", true);
    EXPECT_FALSE(generator.stages().contains(Stage::spec));
    generator.begin(Stage::api, "", 0);
    generator.finish(Stage::api, "건너뜀", true);
    EXPECT_EQ(generator.stageState(Stage::api).status, Status::skipped);

    generator.cancel();
    EXPECT_EQ(generator.phase(), Generator::Phase::failed("멈췄어요."));
    EXPECT_EQ(generator.stageState(Stage::draft).status, Status::failed);
    EXPECT_EQ(generator.stageState(Stage::draft).detail, "멈춤");
    EXPECT_EQ(generator.stageState(Stage::api).status, Status::skipped);
    EXPECT_EQ(generator.log(), QStringList({"▶ 계획서 초안 만들기", "▶ 계획서 초안 만들기", "  ✓ 없음", "▶ API 문서 읽기",
                                            "  ✓ 건너뜀", "멈춤"}));
}

TEST(GeneratorState, ProgressSinkHopsToTheMainThreadAndHoldsTheGeneratorWeakly)
{
    Generator generator;
    generator.begin(Stage::figma, "", 0);
    const ClaudeRunner::Progress sink = generator.progressSink(Stage::figma);
    auto doomed = std::make_unique<Generator>();
    const ClaudeRunner::Progress orphan = doomed->progressSink(std::nullopt);
    std::thread reader([&] {
        sink("도구: figma get_metadata 1:1");
        orphan("아무도 없음");
    });
    reader.join();
    // Nothing happens on the reader's thread.
    EXPECT_EQ(generator.log().size(), 1);
    doomed.reset();
    QCoreApplication::processEvents();
    EXPECT_EQ(generator.log().last(), "  도구: figma get_metadata 1:1");
    EXPECT_EQ(generator.stageState(Stage::figma).detail, "섹션 구조 읽는 중");
}

TEST(GeneratorState, DemonstrationByValue)
{
    const QList<std::pair<QByteArray, Generator::Phase>> values{
        {"done", Generator::Phase::done(QDir::homePath() + "/quarrystone/HarborClips-plan")},
        {"failed", Generator::Phase::failed("Claude 실행 실패(종료 코드 1): 로그인이 필요해요\n"
                                            "터미널에서 `claude` 를 한 번 실행해 로그인해 주세요.")},
        {"Done", Generator::Phase::running("계획서 초안 만들기")}};
    for (const auto &[value, phase] : values) {
        qputenv("QUARRYSTONE_DEMO_PROGRESS", value);
        Generator generator;
        generator.demoIfRequested();
        EXPECT_EQ(generator.phase(), phase) << value.constData();
        EXPECT_FALSE(generator.stages().contains(Stage::spec));
        EXPECT_EQ(generator.stageState(Stage::figma).detail, "프레임 26개 · 라벨 21개");
        EXPECT_DOUBLE_EQ(generator.stageState(Stage::figma).cost, 0.84);
        EXPECT_EQ(generator.stageState(Stage::images).detail, "26/26장");
        ASSERT_TRUE(generator.startedAt().has_value());
        EXPECT_NEAR(generator.startedAt()->secsTo(QDateTime::currentDateTime()), 261, 2);
        EXPECT_TRUE(generator.log().isEmpty());
    }
    qputenv("QUARRYSTONE_DEMO_PROGRESS", "done");
    Generator done;
    done.demoIfRequested();
    EXPECT_EQ(done.summary(), "화면 12개 · 이동 31개 · 결정 필요 9건");
    EXPECT_EQ(done.stageState(Stage::draft).detail, "화면 12개 · 이동 31개 · 문구 48개");
    EXPECT_EQ(done.stageState(Stage::save).detail, "plan.json · plan.md · index.html");
    qputenv("QUARRYSTONE_DEMO_PROGRESS", "running");
    Generator running;
    running.demoIfRequested();
    EXPECT_EQ(running.stageState(Stage::draft).detail, "저장소 코드 살펴보는 중");
    EXPECT_EQ(running.stageState(Stage::draft).done, 28);
    EXPECT_EQ(running.stageState(Stage::check), Generator::StageState());
    qputenv("QUARRYSTONE_DEMO_PROGRESS", "");
    Generator untouched;
    untouched.demoIfRequested();
    EXPECT_TRUE(untouched.stages().isEmpty());
    EXPECT_FALSE(untouched.startedAt().has_value());
    qunsetenv("QUARRYSTONE_DEMO_PROGRESS");
}

TEST(GeneratorPure, DecodeAnswers)
{
    const auto [plan, problems] = Generator::decode(validPlan());
    EXPECT_EQ(plan.screens.size(), 1);
    EXPECT_TRUE(problems.isEmpty()) << problems.join('|').toStdString();
    EXPECT_EQ(Generator::decode("그냥 설명만 있어요").second, QStringList{"답에 JSON 이 없음"});
    const auto [broken, brokenProblems] = Generator::decode("{\"meta\": [1,}");
    EXPECT_TRUE(broken.screens.isEmpty());
    ASSERT_EQ(brokenProblems.size(), 1);
    EXPECT_TRUE(brokenProblems.first().startsWith("JSON 을 읽지 못함: "));
    EXPECT_TRUE(Generator::decode("{}").second.contains("screens 가 비어 있음"));
}

TEST(GeneratorPure, DocumentFileNames)
{
    const QList<std::pair<QString, QString>> cases{
        {"https://x.atlassian.net/wiki/spaces/A/pages/42/Title", "confluence-42.md"},
        {"/home/u/My Spec (v2).md", "My_Spec__v2_.md"},
        {"notes.txt", "notes.txt.md"},
        {"/d/기획서 v1.md", "기획서_v1.md"},
        {"/d/folder/", "folder.md"},
        {"/d/" + QString(67, u'a') + ".md", QString(60, u'a')},
        {"/d/a\\b:c.md", "a_b_c.md"},
    };
    for (const auto &[entry, name] : cases)
        EXPECT_EQ(Generator::docFileName(entry), name) << entry.toStdString();
}

TEST(GeneratorPure, NewPlanFoldersNeverReuseOne)
{
    QTemporaryDir base;
    // Each folder is made and claimed as its name is chosen.
    const auto choose = [](const QString &base, const QString &feature) {
        const Generator::NewPlanDir chosen = Generator::newPlanDir(base, feature, AppSettings());
        EXPECT_TRUE(chosen.claim && chosen.claim->isHeld() && QFileInfo(chosen.dir).isDir()) << qPrintable(chosen.dir);
        return chosen.dir;
    };
    EXPECT_EQ(choose(base.path(), ""), base.filePath("Plan-plan"));
    const QString first = choose(base.path(), "Feed");
    EXPECT_EQ(first, base.filePath("Feed-plan"));
    const QString second = choose(base.path(), "Feed");
    EXPECT_TRUE(second.startsWith(first + "-"));
    const QString third = choose(base.path(), "Feed");
    EXPECT_NE(third, second);

    // A feature is one name inside the output folder, never a path.
    const QString hostile = choose(base.path(), QStringLiteral("../../x\\y") + QChar(0) + "z");
    EXPECT_EQ(QFileInfo(hostile).absolutePath(), base.path());
    EXPECT_EQ(QFileInfo(hostile).fileName(), QStringLiteral(".._.._x_y_z-plan"));

    // A typed "~/…" output folder is the home folder's.
    EXPECT_EQ(choose("~/plans", "Feed"), QDir::homePath() + "/plans/Feed-plan");

    EXPECT_EQ(Generator::imageIdPart("17695:22104"), "17695-22104");
    EXPECT_EQ(Generator::imageIdPart("1:2;3:4"), "1-2_3-4");
    EXPECT_EQ(Generator::imageIdPart("X/../y"), "X~2F~2E~2E~2Fy");
    // Every id its own name: ids the old spelling made one are two.
    EXPECT_EQ(Generator::imageIdPart("1-2"), "1~2D2");
    EXPECT_EQ(Generator::imageIdPart("1_2"), "1~5F2");
    EXPECT_EQ(Generator::imageIdPart(QString::fromUtf8("화")), "~ED~99~94");
    // A name too long for a file system keeps its start and a digest.
    const QString longId = QString(300, u'7') + ":1";
    const QString shortened = Generator::imageIdPart(longId);
    EXPECT_LE(shortened.size(), 200);
    EXPECT_TRUE(shortened.startsWith(QString(160, u'7') + "~~")) << shortened.toStdString();
    EXPECT_NE(shortened, Generator::imageIdPart(QString(300, u'7') + ":2"));
    EXPECT_EQ(shortened, Generator::imageIdPart(longId));
}

TEST(GeneratorPure, FinishCompletesTheHeader)
{
    Plan plan = Generator::decode(validPlan("1:3")).first;
    plan.meta.title = "Claude 제목";
    plan.meta.module.ios = "Drafted";
    GenerateInput request;
    request.link = *FigmaLink::parse("https://www.figma.com/design/KEY/Name?node-id=1-1");
    request.feature = "HarborClips";
    request.title = "요청 제목";
    FigmaSection section;
    FigmaFrame a;
    a.id = "1:3";
    a.image = "img/node-1-3.png";
    FigmaFrame b = a;
    b.image = "img/other.png";
    section.frames = {a, b};
    Generator::finish(plan, request, section);
    EXPECT_EQ(plan.meta.title, "Claude 제목");
    EXPECT_EQ(plan.meta.figma.nodeId, "1:1");
    EXPECT_EQ(plan.meta.module.android, "bazaar");
    EXPECT_EQ(plan.meta.module.androidFeatureDir, "harborclips");
    EXPECT_EQ(plan.meta.module.ios, "Drafted");
    EXPECT_EQ(plan.meta.module.iosGroup, "Feed");
    EXPECT_TRUE(plan.meta.generator.value("app").startsWith("quarrystone "));
    EXPECT_EQ(plan.screens.first().image.before, QString("img/node-1-3.png"));
}

TEST_F(GeneratorTest, TokenRouteStoppedMidCallThenDownloadingFramesOneByOne)
{
    HttpServer server;
    useTokenRoute(server);

    QJsonArray frames;
    QJsonObject addresses;
    for (int i = 1; i <= 5; ++i) {
        const QString id = QStringLiteral("1:%1").arg(i + 1);
        frames.append(restFrame(id, QStringLiteral("F%1").arg(i), i * 400));
        if (i != 2)
            addresses.insert(id, server.base() + QStringLiteral("/img/%1.png").arg(i));
        server.serve(QStringLiteral("/img/%1.png").arg(i).toUtf8(),
                     i == 4 ? HttpServer::Response::text(404, "no")
                            : HttpServer::Response::text(200, TestImages::png(2, 2, (unsigned char)i)));
    }
    // The first section request is slow, the second answers at once.
    HttpServer::Response slow = HttpServer::Response::json(restNodes(frames, 3000));
    slow.delay = std::chrono::milliseconds(3000);
    server.serve("/v1/files/KEY/nodes", slow);
    server.then("/v1/files/KEY/nodes", HttpServer::Response::json(restNodes(frames, 3000)));
    server.serve("/v1/images/KEY", HttpServer::Response::json(json({{"images", addresses}})));

    start(false);
    waitUntil([&] { return !server.requests().isEmpty(); }, 10000);
    ASSERT_EQ(server.requests().size(), 1);
    generator.cancel();
    generator.setPhase(Generator::Phase::idle());
    turn(3500);
    // The stopped task neither went on to the images nor set its phase
    // over the reset.
    EXPECT_EQ(generator.phase(), Generator::Phase::idle());
    EXPECT_EQ(generator.stageState(Stage::figma).status, Status::failed);
    EXPECT_EQ(generator.stageState(Stage::images).status, Status::waiting);
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_EQ(generator.log().last(), "멈춤");
    EXPECT_TRUE(completed.isEmpty());

    QStringList details;
    QObject::connect(&generator, &Generator::stagesChanged, [&] {
        const QString detail = generator.stageState(Stage::images).detail;
        if (generator.stageState(Stage::images).status == Status::running && !detail.isEmpty()
            && (details.isEmpty() || details.last() != detail))
            details.append(detail);
    });
    const Generator::Phase phase = runToEnd(false);
    ASSERT_EQ(phase, Generator::Phase::done(dir)) << phase.text.toStdString();
    EXPECT_EQ(completed, QStringList{dir});
    EXPECT_EQ(details, QStringList({"그림 주소 받는 중", "1/5장", "3/5장", "4/5장", "5/5장"}));
    EXPECT_EQ(generator.stageState(Stage::images).detail, "3/5장 (일부 실패)");
    EXPECT_EQ(generator.stageState(Stage::figma).detail, "프레임 5개 · 라벨 0개");
    EXPECT_EQ(server.requestsTo("/v1/images/KEY").first().target, "/v1/images/KEY?ids=1%3A2%2C1%3A3%2C1%3A4%2C1%3A5%2C1%3A6&format=png&scale=1.0");
    EXPECT_EQ(server.requestsTo("/v1/files/KEY/nodes").first().headers.value("x-figma-token"), "tok");
    const FigmaSection saved = FigmaSection::decode(readFile(dir + "/figma-section.json"));
    int withImage = 0;
    for (const FigmaFrame &frame : saved.frames) {
        EXPECT_FALSE(frame.imageURL.has_value());
        withImage += frame.image.has_value();
    }
    EXPECT_EQ(withImage, 3);
    EXPECT_EQ(readFile(dir + "/img/node-1-2.png"), TestImages::png(2, 2, 1));
    EXPECT_FALSE(QFileInfo::exists(dir + "/img/node-1-5.png"));
    const Plan plan = Plan::decode(readFile(dir + "/plan.json"));
    EXPECT_EQ(plan.screens.first().image.before, QString("img/node-1-2.png"));
    EXPECT_EQ(generator.summary(), "화면 1개 · 이동 0개 · 결정 필요 0건");
    EXPECT_EQ(generator.log().last(), "완료: 화면 1개 · 이동 0개 · 결정 필요 0건");
}

TEST_F(GeneratorTest, AMissingSecretFailsBeforeAnyStage)
{
    const QList<std::pair<bool, QString>> cases{
        {true, "Figma 토큰이 없어요. 설정에서 넣어 주세요."},
        {false, "Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요."},
    };
    for (const auto &[figmaToken, message] : cases) {
        SCOPED_TRACE(message.toStdString());
        Keychain::useStore(std::make_shared<MemorySecretStore>());
        settings.figmaMode = figmaToken ? AppSettings::FigmaMode::token : AppSettings::FigmaMode::mcp;
        settings.claudeAuth = figmaToken ? AppSettings::ClaudeAuth::login : AppSettings::ClaudeAuth::apiKey;
        completed.clear();
        const Generator::Phase phase = runToEnd(false);
        EXPECT_EQ(phase, Generator::Phase::failed(message));
        EXPECT_EQ(generator.log().last(), "✗ " + message);
        for (const Stage stage : Generator::allStages)
            EXPECT_EQ(generator.stageState(stage).status, Status::waiting);
        EXPECT_TRUE(QFileInfo(dir + "/request.json").isFile());
        EXPECT_TRUE(fake.records("start").isEmpty());
        EXPECT_TRUE(completed.isEmpty());
    }
}

TEST_F(GeneratorTest, ReuseTakesTheSavedSectionWithoutRequestOrRunAndBacksUpThePlan)
{
    FigmaSection section;
    section.fileKey = "OTHER";
    section.nodeId = "5:5";
    // Two frames with their images, one without, and two whose saved paths
    // leave the plan folder.
    const QStringList images{"img/node-1-2.png", "img/node-1-3.png", "", "img/../../../etc/passwd", "/etc/hosts"};
    for (int i = 0; i < images.size(); ++i) {
        FigmaFrame frame;
        frame.id = QStringLiteral("1:%1").arg(i + 2);
        frame.w = 100;
        frame.h = 100;
        if (!images.at(i).isEmpty())
            frame.image = images.at(i);
        section.frames.append(frame);
    }
    writeFile(dir + "/figma-section.json", JSONCoding::pretty(section));
    const QByteArray oldPlan = "{\"meta\":{\"feature\":\"old\"}}";
    writeFile(dir + "/plan.json", oldPlan);
    settings.androidRepo = "~/apps/android";
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent(validPlan("1:5"))}}});

    // history/ cannot be made at first, a file being in its place: the
    // save fails and the plan stays as it was.
    writeFile(dir + "/history", "not a folder");
    Generator::Phase phase = runToEnd(true);
    EXPECT_EQ(phase.kind, Kind::failed);
    EXPECT_TRUE(phase.text.startsWith("plan.json 을 백업하지 못해 저장하지 않았어요: ")) << phase.text.toStdString();
    EXPECT_EQ(readFile(dir + "/plan.json"), oldPlan);
    EXPECT_FALSE(QFileInfo::exists(dir + "/plan.md"));
    EXPECT_EQ(generator.stageState(Stage::save).status, Status::failed);
    ASSERT_TRUE(QFile::remove(dir + "/history"));

    phase = runToEnd(true);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
    EXPECT_TRUE(startsWith("Figma MCP").isEmpty());
    const QStringList drafts = startsWith(draftMarker);
    ASSERT_EQ(drafts.size(), 2);
    EXPECT_FALSE(drafts.last().contains("/etc/"));
    EXPECT_TRUE(generator.log().contains("저장된 피그마 결과를 다시 써요 (프레임 5개)"));
    EXPECT_EQ(generator.stageState(Stage::figma).status, Status::skipped);
    EXPECT_EQ(generator.stageState(Stage::images).detail, "받아 둔 그림 2장");
    EXPECT_EQ(generator.stageState(Stage::draft).total, 2);
    EXPECT_FALSE(Plan::decode(readFile(dir + "/plan.json")).screens.first().image.before.has_value());
    // The repositories are readable by their real paths.
    QStringList readable;
    const QStringList args = FakeClaude::arguments(fake.records("start").first());
    for (qsizetype i = args.indexOf("--add-dir"); i >= 0; i = args.indexOf("--add-dir", i + 1))
        readable.append(args.value(i + 1));
    EXPECT_EQ(readable, QStringList({dir, QDir::homePath() + "/apps/android"}));
    // The plan it replaced stays as a backup.
    const QStringList backups = TestFiles::historyFiles(dir, "plan-*.json");
    ASSERT_EQ(backups.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + backups.first()), oldPlan);
    // The log names the redraft, which an undo takes back.
    EXPECT_EQ(Reviser::lastRequest(dir), "(다시 만들기)");
}

TEST_F(GeneratorTest, HostileFrameIdsAndImagesStayInsideImg)
{
    HttpServer server;
    const auto picture = [&](const QByteArray &path, const QByteArray &body) {
        HttpServer::Response response = HttpServer::Response::text(200, body);
        response.headers = {{"Content-Type", "image/png"}};
        server.serve(path, response);
        return server.base() + QString::fromLatin1(path);
    };
    const QString longId = QString(300, u'9') + ":1";
    const QJsonArray frames{
        answerFrame("X/a", "a", 0, {{"imageURL", picture("/a.png", TestImages::png(2, 2, 1))}, {"image", "/etc/passwd"}}),
        answerFrame("X/../../../../y", "y", 400, {{"imageURL", picture("/y.png", TestImages::png(2, 2, 2))}}),
        answerFrame("Z:1", "z", 800, {{"image", "/etc/passwd"}, {"imageURL", "file:///etc/passwd"}}),
        // Two ids that once shared a file name, each with its own picture.
        answerFrame("1:2", "colon", 1200, {{"imageURL", picture("/colon.png", TestImages::png(2, 2, 3))}}),
        answerFrame("1-2", "dash", 1600, {{"imageURL", picture("/dash.png", TestImages::png(2, 2, 4))}}),
        // Served as pictures, but none is one.
        answerFrame("H:1", "html", 2000, {{"imageURL", picture("/page.png", "<!doctype html><p>login</p>")}}),
        answerFrame("S:1", "svg", 2400,
                    {{"imageURL", picture("/svg.png", R"(<svg xmlns="http://www.w3.org/2000/svg"><script>alert(1)</script></svg>)")}}),
        answerFrame("J:1", "json", 2800, {{"imageURL", picture("/json.png", R"({"images":{}})")}}),
        answerFrame(longId, "long", 3200, {{"imageURL", picture("/long.png", TestImages::png(2, 2, 5))}}),
    };
    const QJsonObject answer{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "S"}, {"frames", frames}, {"notes", QJsonArray{}}};
    fake.setScenario({{"responses", QJsonArray{answering("Figma MCP", {FakeClaude::resultEvent(QString::fromUtf8(json(answer)))})}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan("Z:1"))}}});
    const Generator::Phase phase = runToEnd(false);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();

    QStringList written;
    QDirIterator it(out.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        written.append(QDir(dir).relativeFilePath(it.next()));
    written.sort();
    for (const QString &file : written)
        EXPECT_FALSE(file.startsWith("..")) << file.toStdString();
    EXPECT_TRUE(written.contains("img/node-X~2Fa.png"));
    EXPECT_FALSE(QFileInfo::exists(QDir::cleanPath(dir + "/img/node-X/../../../../y.png")));
    EXPECT_TRUE(written.contains("img/node-X~2F~2E~2E~2F~2E~2E~2F~2E~2E~2F~2E~2E~2Fy.png"));
    EXPECT_EQ(readFile(dir + "/img/node-1-2.png"), TestImages::png(2, 2, 3));
    EXPECT_EQ(readFile(dir + "/img/node-1~2D2.png"), TestImages::png(2, 2, 4));
    EXPECT_EQ(written.filter("img/").size(), 5) << written.join(", ").toStdString();
    const FigmaSection saved = FigmaSection::decode(readFile(dir + "/figma-section.json"));
    EXPECT_EQ(saved.frames.at(0).image, QString("img/node-X~2Fa.png"));
    EXPECT_FALSE(saved.frames.at(2).image.has_value());
    for (int i : {5, 6, 7})
        EXPECT_FALSE(saved.frames.at(i).image.has_value()) << i;
    // The long id's picture is kept under a shortened name.
    ASSERT_TRUE(saved.frames.at(8).image.has_value());
    EXPECT_LE(QFileInfo(*saved.frames.at(8).image).fileName().toUtf8().size(), 255);
    EXPECT_EQ(readFile(dir + "/" + *saved.frames.at(8).image), TestImages::png(2, 2, 5));
    EXPECT_EQ(generator.stageState(Stage::images).detail, "5/9장 (일부 실패)");
    EXPECT_FALSE(Plan::decode(readFile(dir + "/plan.json")).screens.first().image.before.has_value());
}

TEST_F(GeneratorTest, LocalDocumentsAreReadCachedJoinedOrRefused)
{
    saveEmptySection();
    writeFile(QDir::homePath() + "/My Spec (v2).md", "홈 문서");
    QTemporaryDir docs;
    writeFile(docs.filePath("a/spec.md"), QString(1500, u'가').toUtf8());
    writeFile(docs.filePath("b/spec.md"), QString(2400, u'b').toUtf8());
    input.specDocs = QStringList{"  ~/My Spec (v2).md\t", docs.filePath("a/spec.md"), docs.filePath("b/spec.md"), "  ", docs.filePath("a/spec.md")};
    input.apiDocs = QStringList{"", "   "};
    const Generator::Phase phase = runToEnd(true);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();

    EXPECT_EQ(readFile(dir + "/spec-docs/My_Spec__v2_.md"), "홈 문서");
    EXPECT_EQ(readFile(dir + "/spec-docs/spec.md"), QString(1500, u'가').toUtf8());
    EXPECT_EQ(readFile(dir + "/spec-docs/spec-2.md"), QString(2400, u'b').toUtf8());
    EXPECT_EQ(QDir(dir + "/spec-docs").entryList(QDir::Files).size(), 3);
    EXPECT_FALSE(QFileInfo::exists(dir + "/api-docs"));
    EXPECT_EQ(generator.stageState(Stage::spec).detail, "문서 4개 · 5천 자");
    EXPECT_EQ(generator.stageState(Stage::spec).done, 4);
    EXPECT_EQ(generator.stageState(Stage::api).status, Status::skipped);
    EXPECT_EQ(generator.stageState(Stage::api).detail,
              "API 문서 없음 — 나중에 나오면 계획서 화면의 \"문서 넣고 다시 만들기\" 로 넣어요");
    const QString prompt = startsWith(draftMarker).value(0);
    EXPECT_TRUE(prompt.contains("### 문서 1: ~/My Spec (v2).md\n\n홈 문서\n\n---\n\n### 문서 2: " + docs.filePath("a/spec.md")));

    // Two documents join to their exact length: entries of seven characters
    // each, as "/d/a.md" and "/d/b.md" are, relative to the working folder;
    // Hangul text, so that bytes would count far more.
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(out.path()));
    writeFile(out.filePath("d/a1.md"), QString(1500, u'가').toUtf8());
    writeFile(out.filePath("d/b1.md"), QString(2400, u'나').toUtf8());
    input.specDocs = QStringList{"d/a1.md", "d/b1.md"};
    const Generator::Phase joinedRun = runToEnd(true);
    QDir::setCurrent(saved);
    ASSERT_EQ(joinedRun.kind, Kind::done) << joinedRun.text.toStdString();
    const QString joined = "### 문서 1: d/a1.md\n\n" + QString(1500, u'가') + "\n\n---\n\n### 문서 2: d/b1.md\n\n"
        + QString(2400, u'나');
    EXPECT_TRUE(startsWith(draftMarker).value(1).contains(joined));
    EXPECT_EQ(generator.stageState(Stage::spec).detail, "문서 2개 · 3천 자");

    // Documents that cannot be read fail the stage; a FIFO does not hang it.
    writeFile(docs.filePath("bad.md"), QByteArray("ok \xff\xfe bad"));
    QDir().mkpath(docs.filePath("folder.md"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(docs.filePath("pipe.md")).constData(), 0600), 0);
    const QList<std::pair<QString, QString>> cases{
        {docs.filePath("bad.md"), "UTF-8 텍스트가 아니에요"},
        {docs.filePath("folder.md"), "폴더예요"},
        {docs.filePath("pipe.md"), "보통 파일이 아니에요"},
    };
    for (const auto &[entry, reason] : cases) {
        QDir(dir).removeRecursively();
        saveEmptySection();
        input.specDocs = QStringList{entry};
        const Generator::Phase phase = runToEnd(true);
        EXPECT_EQ(phase, Generator::Phase::failed("문서를 읽지 못했어요: " + entry + " (" + reason + ")"));
        EXPECT_EQ(generator.stageState(Stage::spec).status, Status::failed);
        EXPECT_FALSE(QFileInfo::exists(dir + "/spec-docs/" + QFileInfo(entry).fileName()));
    }
}

// Documents whose file names are alike each keep a copy of their own: in
// any order and across runs, every heading carries its own document's text.
// A copy a run takes is the same entry's; a copy an older version left
// without a record still serves the one entry of its name.
TEST_F(GeneratorTest, DocumentsOfOneFileNameEachKeepTheirOwnCopy)
{
    saveEmptySection();
    QTemporaryDir docs;
    const QString first = docs.filePath("d1/x-3.md");
    const QString second = docs.filePath("d2/x.md");
    const QString third = docs.filePath("d3/x.md");
    const QString fourth = docs.filePath("d4/x-2.md");
    const QHash<QString, QString> texts{{first, "첫째 문서"}, {second, "둘째 문서"}, {third, "셋째 문서"}, {fourth, "넷째 문서"}};
    for (auto it = texts.begin(); it != texts.end(); ++it)
        writeFile(it.key(), it.value().toUtf8());

    const QList<QStringList> runs{{first, second, third}, {third, first, second}, {second, third, first}, {third},
                                  {fourth, third, second}, {second, fourth}};
    for (qsizetype run = 0; run < runs.size(); ++run) {
        SCOPED_TRACE(run);
        // Runs come faster than the backups' one-second names allow.
        QFile::remove(dir + "/plan.json");
        input.specDocs = runs[run];
        const Generator::Phase phase = runToEnd(true);
        ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
        const QString prompt = startsWith(draftMarker).value(run);
        for (qsizetype i = 0; i < runs[run].size(); ++i) {
            const QString &entry = runs[run][i];
            EXPECT_TRUE(prompt.contains(QStringLiteral("### 문서 %1: ").arg(i + 1) + entry + "\n\n" + texts[entry]))
                << qPrintable(entry);
        }
        // From here on these sources say otherwise: only their copies count.
        for (const QString &entry : runs[run])
            writeFile(entry, "바뀐 원본");
    }
    EXPECT_EQ(QDir(dir + "/spec-docs").entryList(QDir::Files).size(), 4);

    // A copy without a record, from a folder of an older version.
    QDir(dir).removeRecursively();
    saveEmptySection();
    writeFile(dir + "/spec-docs/x.md", "옛 사본");
    input.specDocs = QStringList{docs.filePath("gone/x.md")};
    ASSERT_EQ(runToEnd(true).kind, Kind::done);
    EXPECT_TRUE(startsWith(draftMarker).last().contains("### 문서 1: " + docs.filePath("gone/x.md") + "\n\n옛 사본"));
    EXPECT_TRUE(generator.log().contains("  저장된 기획서를 다시 써요: x.md"));
}

TEST_F(GeneratorTest, WikiPagesAreReadOnceThroughTheServer)
{
    saveEmptySection();
    const QString link = "https://harbor.atlassian.net/wiki/spaces/HC/pages/42/Spec";
    input.specDocs = QStringList{link};

    // No wiki server: the entry cannot be read.
    Generator::Phase phase = runToEnd(true);
    EXPECT_EQ(phase.text, "기획서를 읽을 Atlassian MCP 가 Claude Code 에 없어요. `claude mcp add -s user` 로 Atlassian 을 연결하거나, "
                          "문서를 .md 파일로 저장해 그 경로를 넣어 주세요.");

    writeFile(QDir::homePath() + "/.claude.json",
              R"({"mcpServers":{"atlassian":{"type":"http","url":"https://mcp.atlassian.com/v1/sse"}}})");
    const QString page = "# 기획\n" + QString(250, u'본');
    const QStringList failures{"읽지 못함: 권한이 없어요", QString(150, u'짧')};
    for (const QString &answer : failures) {
        fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", {FakeClaude::resultEvent("\n" + answer + "\n")})}},
                          {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
        phase = runToEnd(true);
        EXPECT_EQ(phase.text, "기획서를 읽지 못했어요: " + link + "\n" + answer);
        EXPECT_FALSE(QFileInfo::exists(dir + "/spec-docs/confluence-42.md"));
    }

    fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", {FakeClaude::resultEvent(page)})}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    phase = runToEnd(true);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
    EXPECT_EQ(readFile(dir + "/spec-docs/confluence-42.md"), page.toUtf8());
    const QStringList wikiRuns = startsWith("Atlassian MCP");
    ASSERT_EQ(wikiRuns.size(), 3);
    EXPECT_TRUE(wikiRuns.last().contains("\n- 페이지: " + link + "\n"));
    const QJsonObject wikiStart = fake.records("start").at(fake.records("start").size() - 2);
    const QStringList args = FakeClaude::arguments(wikiStart);
    EXPECT_EQ(args.value(args.indexOf("--allowedTools") + 1), wikiTools) << qPrintable(args.join(' '));
    EXPECT_EQ(wikiStart.value("cwd").toString(), dir);

    // The next run of the folder takes the copy.
    phase = runToEnd(true);
    ASSERT_EQ(phase.kind, Kind::done);
    EXPECT_EQ(startsWith("Atlassian MCP").size(), 3);
    EXPECT_TRUE(generator.log().contains("  저장된 기획서를 다시 써요: confluence-42.md"));

    // A page above about 50 KB reaches the model as a 2 KB preview and the
    // name of the file that holds it (claude 2.1.337). Read back whole, it
    // is the page; answered from the preview, it is refused and not kept.
    const QString bigLink = "https://harbor.atlassian.net/wiki/spaces/HC/pages/77/Policy";
    QString policy = "# 정책\n";
    for (int row = 0; policy.size() < 70000; ++row)
        policy += QStringLiteral("| 필드%1 | POLICY-%1 | 설명 줄 %1 |\n").arg(row);
    const auto fetched = [](const QString &form, const QString &page) {
        return QJsonArray{FakeClaude::toolUse("w1", "mcp__atlassian__getConfluencePage", {{"pageId", "77"}}),
                          QJsonObject{{"savedResult", QJsonObject{{"id", "w1"}, {"text", page}, {"form", form}}}}};
    };
    // A page of one line, as a page the tool gives as HTML may be.
    const QString oneLine = QString(policy).replace('\n', ' ').trimmed();
    input.specDocs = QStringList{bigLink};
    // Reads of the first lines only, however often, leave the page cut.
    QJsonArray firstLines;
    for (int read = 0; read < 4; ++read)
        firstLines.append(QJsonObject{{"readSaved", QStringLiteral("r%1").arg(read)}, {"offset", 1}, {"limit", 3}});
    // The JSON list the tool saves holds the page in one line of its own:
    // that line read is the page read.
    const QJsonArray contentLine{QJsonObject{{"readSaved", "c1"}, {"offset", 4}, {"limit", 1}}};
    struct Read {
        const char *form;
        QJsonArray reading;
        bool whole;
    };
    // Above about 600 KB the tool (2.1.337) saves the result in its other
    // form, an error naming the file: a page read in part is cut the same.
    // Its two other wordings (2.1.337): a text of one line ("across 1
    // line") and a result of several blocks ("(<n> characters)", saved as
    // the JSON list).
    const QList<Read> reads{{"line", {}, false},
                            {"line", {QJsonObject{{"readSaved", "w2"}}}, true},
                            {"blocks", {}, false},
                            {"blocks", firstLines, false},
                            {"blocks", contentLine, true},
                            {"json", {}, false},
                            {"json", firstLines, false},
                            {"limit", {}, false},
                            {"limit", firstLines, false},
                            {"limit", contentLine, false},
                            {"json", contentLine, true},
                            {"limit", {QJsonObject{{"readSaved", "w2"}}}, true},
                            {"json", {QJsonObject{{"readSaved", "w2"}}}, true}};
    for (const auto &[form, reading, whole] : reads) {
        SCOPED_TRACE(std::string(form) + " " + QJsonDocument(reading).toJson(QJsonDocument::Compact).toStdString());
        QFile::remove(dir + "/spec-docs/confluence-77.md");
        const QString page = form == std::string("line") ? oneLine : policy;
        QJsonArray steps = fetched(form, page);
        for (const QJsonValue &step : reading)
            steps.append(step);
        // What the model makes of what it saw: the page, or the wrapper.
        const QString answer = whole ? page : "<persisted-output>\nOutput too large (70.3KB).\n" + page.left(2048);
        steps.append(FakeClaude::resultEvent(answer));
        fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", steps)}},
                          {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
        phase = runToEnd(true);
        const QJsonObject wikiRun = fake.records("start").at(fake.records("start").size() - (whole ? 2 : 1));
        const QStringList args = FakeClaude::arguments(wikiRun);
        EXPECT_EQ(args.value(args.indexOf("--allowedTools") + 1), wikiTools);
        EXPECT_EQ(args.value(args.indexOf("--tools") + 1), "Read,ToolSearch");
        EXPECT_TRUE(wikiRun.value("stdin").toString().contains("파일로 저장됐다고 나오면 Read 로 그 파일을 끝까지 읽는다"));
        if (whole) {
            ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
            EXPECT_EQ(readFile(dir + "/spec-docs/confluence-77.md"), page.trimmed().toUtf8());
        } else {
            EXPECT_EQ(phase, Generator::Phase::failed("기획서가 너무 커서 Claude 가 통째로 읽지 못했어요: " + bigLink
                                                      + "\n페이지를 .md 파일로 저장해 그 경로를 넣어 주세요."));
            EXPECT_FALSE(QFileInfo::exists(dir + "/spec-docs/confluence-77.md"));
        }
    }
    // A page the tool hands the model inline is in the stream: an answer
    // holding a few of its rows is refused, not kept as the page; the whole
    // page, or one the model put in other words for a few lines, is kept.
    // The site list the model asked for first is no page.
    QString rows = "# 정책\n";
    for (int row = 0; row < 700; ++row)
        rows += QStringLiteral("| 필드%1 | POLICY-%1 | 설명 %1 |\n").arg(row);
    const QString sites = R"([{"id": "c1", "url": "https://harbor.atlassian.net", "name": "harbor"}])";
    const QString pageJson = QJsonDocument(QJsonObject{{"id", "77"}, {"body", rows}}).toJson();
    const struct {
        const char *name;
        QString result; // the page tool's inline result
        QString answer;
        bool kept;
    } inlineRows[] = {
        {"the heading and 298 rows", rows, rows.section('\n', 0, 298), false},
        {"the whole page", rows, rows, true},
        {"the whole page, a few lines put otherwise", rows, QString(rows).replace("| 필드1 |", "| 필드 1 |"), true},
        {"a page inside JSON, answered in part", pageJson, rows.section('\n', 0, 120), false},
        {"a page inside JSON, answered whole", pageJson, rows, true},
    };
    for (const auto &row : inlineRows) {
        SCOPED_TRACE(row.name);
        QFile::remove(dir + "/spec-docs/confluence-77.md");
        const QJsonArray steps{FakeClaude::toolUse("s1", "mcp__atlassian__getAccessibleAtlassianResources", {}),
                               FakeClaude::toolResult("s1", sites),
                               FakeClaude::toolUse("w1", "mcp__atlassian__getConfluencePage", {{"pageId", "77"}}),
                               FakeClaude::toolResult("w1", row.result), FakeClaude::resultEvent(row.answer)};
        fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", steps)}},
                          {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
        phase = runToEnd(true);
        if (row.kept) {
            ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
            EXPECT_EQ(readFile(dir + "/spec-docs/confluence-77.md"), row.answer.trimmed().toUtf8());
        } else {
            EXPECT_EQ(phase, Generator::Phase::failed("기획서를 Claude 가 일부만 옮겨 적었어요: " + bigLink
                                                      + "\n페이지를 .md 파일로 저장해 그 경로를 넣어 주세요."));
            EXPECT_FALSE(QFileInfo::exists(dir + "/spec-docs/confluence-77.md"));
        }
    }

    // Saved results that cannot be read here cannot be checked: however
    // many, the page counts as unread.
    QFile::remove(dir + "/spec-docs/confluence-77.md");
    QJsonArray unreadable;
    for (int result = 0; result < 3; ++result) {
        const QString id = QStringLiteral("m%1").arg(result);
        unreadable.append(FakeClaude::toolUse(id, "mcp__atlassian__getConfluencePage", {{"pageId", "77"}}));
        unreadable.append(QJsonObject{{"savedResult", QJsonObject{{"id", id}, {"text", policy}, {"form", "json"}, {"missing", true}}}});
    }
    unreadable.append(FakeClaude::resultEvent(policy));
    fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", unreadable)}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    EXPECT_EQ(runToEnd(true), Generator::Phase::failed("기획서가 너무 커서 Claude 가 통째로 읽지 못했어요: " + bigLink
                                                       + "\n페이지를 .md 파일로 저장해 그 경로를 넣어 주세요."));
    EXPECT_FALSE(QFileInfo::exists(dir + "/spec-docs/confluence-77.md"));

    // An entry written as a path is a file: a missing one is said to be
    // missing, and never asked of the wiki.
    const qsizetype runs = fake.records("start").size();
    for (const QString &entry : {QStringLiteral("/no/such/spec.md"), QStringLiteral("~/no-such-spec.md"),
                                 QStringLiteral("./no-such-spec.md")}) {
        input.specDocs = QStringList{entry};
        EXPECT_EQ(runToEnd(true), Generator::Phase::failed("문서를 읽지 못했어요: " + entry + " (파일이나 폴더가 없어요)"));
    }
    EXPECT_EQ(fake.records("start").size(), runs);
}

// A page's text may ask the model to change the wiki: the reading run
// is allowed the server's read tools by name and no other, so a call of the
// server's page update is refused while the page is still read; also when
// the person's own settings allow the whole server (which the tool, 2.1.337,
// adds to a run's rules unless told to load no settings) and the plan
// folder's settings run hooks.
TEST_F(GeneratorTest, AWikiReadingRunCannotChangeThePage)
{
    saveEmptySection();
    QTemporaryDir wiki;
    writeFile(QDir::homePath() + "/.claude/settings.json", R"({"permissions": {"allow": ["mcp__atlassian"]}})");
    const QString hooked = wiki.filePath("hooked");
    writeFile(dir + "/.claude/settings.json",
              QStringLiteral(R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "echo hook >> '%1'"}]}]}})")
                  .arg(hooked)
                  .toUtf8());
    // A small page that speaks of a saved file, or quotes the tool's
    // notice of one, is the page, not a notice.
    const QString page = "# 기획\n내보낸 결과는 saved to /etc/app/export.json 처럼 나와요\n"
                         "<persisted-output>\nOutput too large (1KB).\n</persisted-output>\n"
        + QString(250, u'본');
    writeFile(wiki.filePath("pages/42.md"), page.toUtf8());
    writeFile(QDir::homePath() + "/.claude.json", FakeClaude::wikiConfig(wiki.filePath("pages"), wiki.filePath("calls.jsonl")));
    input.specDocs = QStringList{"https://harbor.atlassian.net/wiki/spaces/HC/pages/42/Spec"};
    const QJsonObject pageId{{"cloudId", "harbor.atlassian.net"}, {"pageId", "42"}};
    QJsonObject update = pageId;
    update.insert("body", "바뀐 페이지");
    fake.setScenario({{"responses", QJsonArray{answering("Atlassian MCP", {FakeClaude::mcpCall("w1", "mcp__atlassian__getConfluencePage", pageId),
                                                                       FakeClaude::mcpCall("w2", "mcp__atlassian__updateConfluencePage", update),
                                                                       FakeClaude::resultEvent(page)})}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    const Generator::Phase phase = runToEnd(true);
    QFile::remove(QDir::homePath() + "/.claude/settings.json");
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
    EXPECT_EQ(readFile(wiki.filePath("pages/42.md")), page.toUtf8());
    EXPECT_FALSE(QFileInfo::exists(hooked));
    // Under a thousand characters, the count itself.
    EXPECT_TRUE(QRegularExpression("^문서 1개 · [1-9][0-9]{2}자$").match(generator.stageState(Stage::spec).detail).hasMatch())
        << generator.stageState(Stage::spec).detail.toStdString();
    EXPECT_EQ(readFile(wiki.filePath("calls.jsonl")),
              QByteArray(R"({"arguments":{"cloudId":"harbor.atlassian.net","pageId":"42"},"tool":"getConfluencePage"})" "\n"));
    EXPECT_EQ(readFile(dir + "/spec-docs/confluence-42.md"), page.toUtf8());
}

TEST_F(GeneratorTest, ProblemsAreAskedOnceAndTheRestLeftForTheEditor)
{
    saveEmptySection();
    const QString fixAnswer = validPlan("1:2", 3);
    fake.setScenario({{"responses", QJsonArray{answering("방금 답한 plan.json", {FakeClaude::resultEvent(fixAnswer)})}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan("1:2", 10))}}});
    const Generator::Phase phase = runToEnd(true);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();

    const auto problem = [](int i) { return QStringLiteral("transitions 에 없는 화면 id: gone%1 (feed → gone%1)").arg(i); };
    const QStringList log = generator.log();
    const qsizetype asked = log.indexOf("검사에서 10건 — 고쳐 달라고 한 번 더 물어요");
    ASSERT_GE(asked, 0);
    for (int i = 1; i <= 8; ++i)
        EXPECT_EQ(log.value(asked + i), "  · " + problem(i));
    EXPECT_FALSE(log.contains("  · " + problem(9)));
    const QStringList fixes = startsWith("방금 답한 plan.json");
    ASSERT_EQ(fixes.size(), 1);
    EXPECT_EQ(fixes.first().count('\n'), 10);
    EXPECT_TRUE(fixes.first().endsWith("\n- " + problem(9) + "\n- " + problem(10)));
    const qsizetype left = log.indexOf("남은 문제 3건은 편집 화면에서 고쳐 주세요");
    ASSERT_GE(left, 0);
    EXPECT_EQ(log.mid(left + 1, 3), QStringList({"  · " + problem(1), "  · " + problem(2), "  · " + problem(3)}));
    EXPECT_EQ(generator.stageState(Stage::draft).detail, "화면 1개 · 이동 10개 · 문구 0개");
    EXPECT_EQ(generator.stageState(Stage::check).status, Status::done);
    EXPECT_EQ(generator.stageState(Stage::check).detail, "남은 문제 3건 — 편집 화면에서 고쳐 주세요");
    EXPECT_EQ(readFile(dir + "/.claude-draft.txt"), fixAnswer.toUtf8());
    EXPECT_EQ(Plan::decode(readFile(dir + "/plan.json")).transitions.size(), 3);
}

TEST_F(GeneratorTest, StopInTheDraftThenANewRun)
{
    saveEmptySection();
    fake.setScenario({{"steps", QJsonArray{FakeClaude::event({{"type", "assistant"},
                                                              {"message", QJsonObject{{"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", "옛 실행의 말"}}}}}}}),
                                           QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    start(true);
    waitUntil([this] { return !fake.records("start").isEmpty() && generator.log().contains("  옛 실행의 말"); }, 20000);
    ASSERT_FALSE(fake.records("start").isEmpty());
    const qint64 pid = fake.records("start").first().value("pid").toInteger();

    generator.cancel();
    EXPECT_EQ(generator.phase(), Generator::Phase::failed("멈췄어요."));
    EXPECT_EQ(generator.stageState(Stage::spec).status, Status::skipped);
    EXPECT_EQ(generator.stageState(Stage::figma).status, Status::skipped);
    EXPECT_EQ(generator.stageState(Stage::draft).status, Status::failed);
    EXPECT_EQ(generator.stageState(Stage::draft).detail, "멈춤");
    EXPECT_EQ(generator.stageState(Stage::check).status, Status::waiting);
    EXPECT_EQ(generator.stageState(Stage::save).status, Status::waiting);
    for (const QString &line : generator.log())
        EXPECT_FALSE(line.startsWith("✗")) << line.toStdString();

    // A new run at once: the stopped one's late end must not reach it.
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    const Generator::Phase phase = runToEnd(true);
    EXPECT_EQ(phase, Generator::Phase::done(dir));
    turn(500);
    EXPECT_EQ(generator.phase(), Generator::Phase::done(dir));
    EXPECT_FALSE(generator.log().contains("  옛 실행의 말"));
    EXPECT_FALSE(generator.log().contains("멈춤"));
    EXPECT_EQ(completed, QStringList{dir});
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(FakeClaude::hasEnded(pid));
}

TEST_F(GeneratorTest, MCPCaptureTakesTheSectionOutlineFromTheSavedFile)
{
    QString outline = R"(<section id="1:1" name="S" x="0" y="0" width="1000" height="1000">)"
                      R"(<frame id="1:2" name="F" x="0" y="0" width="360" height="640">)";
    for (int t = 0; outline.size() < 150 * 1024; ++t)
        outline += QStringLiteral(R"(<text id="2:%1" name="문구 %1" x="4" y="%1" width="100" height="10" />)").arg(t);
    outline += "</frame></section>";
    const QJsonObject answer{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "S"}, {"notes", QJsonArray{}},
                             {"frames", QJsonArray{answerFrame("1:2", "F", 0, {{"label", "New"}})}}};
    const QJsonArray figmaSteps{
        FakeClaude::toolUse("a", "mcp__figma__get_screenshot", {{"nodeId", "1:2"}}),
        FakeClaude::toolResult("a", R"(<section id="1:1"><frame id="1:2"/></section>)"),
        FakeClaude::toolUse("b", "mcp__figma__get_metadata", {{"nodeId", "1:2"}}),
        FakeClaude::toolResult("b", R"(<frame id="1:2" name="F"></frame>)"),
        FakeClaude::toolUse("c", "mcp__figma__get_metadata", {{"nodeId", "1:1"}}),
        QJsonObject{{"savedResult", QJsonObject{{"id", "c"}, {"text", outline}, {"form", "txt"}}}},
        FakeClaude::toolUse("d", "mcp__figma__get_metadata", {{"nodeId", "1:1"}}),
        FakeClaude::toolResult("d", R"(<section id="1:1"><frame id="9:9"/></section>)"),
    };
    QJsonArray succeeding = figmaSteps;
    succeeding.append(FakeClaude::resultEvent(QString::fromUtf8(json(answer)), 1000, 0.25));
    fake.setScenario({{"responses", QJsonArray{answering("Figma MCP", succeeding)}},
                      {"steps", QJsonArray{FakeClaude::resultEvent(validPlan())}}});
    Generator::Phase phase = runToEnd(false);
    ASSERT_EQ(phase.kind, Kind::done) << phase.text.toStdString();
    EXPECT_EQ(readFile(dir + "/figma-metadata.xml"), outline.toUtf8());
    const FigmaSection saved = FigmaSection::decode(readFile(dir + "/figma-section.json"));
    ASSERT_TRUE(saved.frames.first().textBoxes.has_value());
    EXPECT_GT(saved.frames.first().textBoxes->size(), 1000);
    EXPECT_DOUBLE_EQ(generator.stageState(Stage::figma).cost, 0.25);
    EXPECT_EQ(generator.stageState(Stage::figma).detail, "프레임 1개 · 라벨 1개");
    EXPECT_EQ(generator.stageState(Stage::images).detail, "0/1장 (모두 실패)");
    // No picture at all is no success: the stage is not ticked.
    EXPECT_EQ(generator.stageState(Stage::images).status, Status::failed);
    EXPECT_TRUE(generator.log().contains("  ✗ 0/1장 (모두 실패)")) << qPrintable(generator.log().join('\n'));

    // An answer without a section still leaves the outline behind.
    QDir(dir).removeRecursively();
    const QString prose = QString(400, u'설');
    QJsonArray failing = figmaSteps;
    failing.append(FakeClaude::resultEvent(prose));
    fake.setScenario({{"responses", QJsonArray{answering("Figma MCP", failing)}}});
    phase = runToEnd(false);
    EXPECT_EQ(phase.text, "피그마 결과에서 JSON 을 찾지 못했어요. Claude Code 에 Figma MCP 가 연결돼 있는지 확인해 주세요 "
                          "(`claude mcp list`).\n" + prose.left(300));
    EXPECT_EQ(readFile(dir + "/figma-metadata.xml"), outline.toUtf8());
    EXPECT_EQ(generator.stageState(Stage::figma).status, Status::failed);

    // A section that lacks a field says whose field it is.
    QDir(dir).removeRecursively();
    QJsonArray odd = figmaSteps;
    odd.append(FakeClaude::resultEvent(R"({"nodeId": "1:1", "name": "S", "frames": [], "notes": []})"));
    fake.setScenario({{"responses", QJsonArray{answering("Figma MCP", odd)}}});
    phase = runToEnd(false);
    EXPECT_EQ(phase.text, "피그마 결과를 읽지 못했어요: \"fileKey\": 값이 없어요");
}

// A keyring that could not be read is no missing token: each cause says so
// in its own sentence, before any stage begins.
TEST_F(GeneratorTest, AnUnreadableKeychainSaysWhyInsteadOfAskingForAToken)
{
    using Found = SecretStore::Lookup::Status;
    const QList<std::pair<SecretStore::Lookup, QString>> cases{
        {{Found::locked, {}, {}}, "키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요."},
        {{Found::noService, {}, {}}, "키링 서비스(Secret Service)가 실행 중이 아니어서 Figma 토큰을 읽지 못했어요."},
        {{Found::noBus, {}, {}}, "세션 D-Bus 에 연결할 수 없어서 Figma 토큰을 읽지 못했어요."},
        {{Found::noAnswer, {}, {}}, "키링이 제때 답하지 않아서 Figma 토큰을 읽지 못했어요."},
        {{Found::failed, {}, "Access denied"}, "키링이 오류(Access denied)를 알려서 Figma 토큰을 읽지 못했어요."},
        {{Found::absent, {}, {}}, "Figma 토큰이 없어요. 설정에서 넣어 주세요."},
    };
    HttpServer server;
    useTokenRoute(server);
    for (const auto &[lookup, message] : cases) {
        SCOPED_TRACE(message.toStdString());
        auto store = std::make_shared<MemorySecretStore>();
        store->items.insert("figma-token", "tok");
        store->unreadable = lookup;
        Keychain::useStore(store);
        const Generator::Phase phase = runToEnd(false);
        EXPECT_EQ(phase, Generator::Phase::failed(message));
        EXPECT_EQ(generator.log().last(), "✗ " + message);
        EXPECT_TRUE(generator.log().contains("키링에서 Figma 토큰 읽는 중"));
        for (const Stage stage : Generator::allStages)
            EXPECT_EQ(generator.stageState(stage).status, Status::waiting);
    }
}

// The token is read on a thread of its own: the run shows what it waits
// for, and a stop ends it while the store still has not answered.
TEST_F(GeneratorTest, TheTokenIsReadOffTheMainThreadAndAStopEndsTheWait)
{
    HttpServer server;
    useTokenRoute(server);
    auto store = std::make_shared<SlowSecretStore>();
    Keychain::useStore(store);

    start(false);
    EXPECT_FALSE(store->answered) << "the start waited for the keychain";
    waitUntil([&] { return store->asked && generator.log().contains("키링에서 Figma 토큰 읽는 중"); }, 5000);
    EXPECT_TRUE(generator.log().contains("키링에서 Figma 토큰 읽는 중"));
    EXPECT_TRUE(generator.phase().isRunning());

    generator.cancel();
    generator.setPhase(Generator::Phase::idle());
    EXPECT_FALSE(store->answered);
    store->release.release();
    waitUntil([&] { return store->answered.load(); }, 5000);
    turn(300);
    // The stopped run did not go on with the token it was finally given.
    EXPECT_EQ(generator.phase(), Generator::Phase::idle());
    EXPECT_EQ(generator.log().last(), "멈춤");
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_EQ(generator.stageState(Stage::figma).status, Status::waiting);
    EXPECT_TRUE(completed.isEmpty());

    // The Anthropic API key is read the same way, before Claude starts.
    qunsetenv("QUARRYSTONE_FIGMA_API");
    settings.figmaMode = AppSettings::FigmaMode::mcp;
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    auto keyStore = std::make_shared<SlowSecretStore>();
    Keychain::useStore(keyStore);
    start(false);
    EXPECT_FALSE(keyStore->answered) << "the start waited for the keychain";
    waitUntil([&] { return keyStore->asked && generator.log().contains("키링에서 Anthropic API 키 읽는 중"); }, 5000);
    EXPECT_TRUE(generator.log().contains("키링에서 Anthropic API 키 읽는 중"));
    generator.cancel();
    keyStore->release.release();
    waitUntil([&] { return keyStore->answered.load(); }, 5000);
    turn(300);
    EXPECT_EQ(generator.log().last(), "멈춤");
    EXPECT_TRUE(fake.records("start").isEmpty());
    EXPECT_TRUE(completed.isEmpty());
}
