#include "model/plan.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/httpserver.h"
#include "support/linkswapper.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"
#include "support/testimages.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <iostream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <memory>
#include <vector>

namespace {

using CommandLine::Outcome;
using TestFiles::json;
using TestFiles::readFile;
using TestFiles::writeFile;

QJsonObject remark(const QString &text)
{
    const QJsonObject part{{"type", "text"}, {"text", text}};
    return {{"type", "assistant"}, {"message", QJsonObject{{"content", QJsonArray{part}}}}};
}

QString planAnswer(const QString &feature)
{
    QJsonObject meta;
    if (!feature.isEmpty())
        meta.insert("feature", feature);
    const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"1:2"}}};
    return "```json\n" + QString::fromUtf8(json({{"meta", meta}, {"screens", QJsonArray{screen}}})) + "\n```";
}

// A section outline of about 150 KB: far above what the tool passes on
// inline.
QString largeOutline()
{
    QString xml = R"(<section id="1:1" name="Harbor" x="0" y="0" width="3000" height="1000">)";
    for (int f = 2; f <= 4; ++f) {
        xml += QStringLiteral(R"(<frame id="1:%1" name="F%1" x="%2" y="0" width="360" height="640">)").arg(f).arg(f * 400);
        for (int t = 0; t < 500; ++t)
            xml += QStringLiteral(R"(<text id="%1:%2" name="문구 %2" x="10" y="%3" width="200" height="20" />)").arg(f).arg(t).arg(t);
        xml += "</frame>";
    }
    return xml + "</section>";
}

class HeadlessGenerateTest : public testing::Test
{
protected:
    void SetUp() override
    {
        writeSettings(FakeClaude::path());
        outline = largeOutline();
        server.serve("/img/2.png", HttpServer::Response::text(200, TestImages::png(2, 2, 2)));
        server.serve("/img/3.png", HttpServer::Response::text(404, "gone"));
        server.serve("/img/4.png", HttpServer::Response::text(200, TestImages::png(4, 4, 4)));
    }

    void writeSettings(const QString &claude)
    {
        CommandLine::writeSettings(home.path(), json({{"claudePath", claude}, {"figmaMode", "mcp"},
                                                      {"outputDir", home.filePath("default-out")}, {"setupDone", true}}));
    }

    // The stand-in's answers, told apart by their prompts.
    void script(const QString &fixAnswer)
    {
        QJsonArray frames;
        for (int f = 2; f <= 4; ++f)
            frames.append(QJsonObject{{"id", QStringLiteral("1:%1").arg(f)}, {"name", QStringLiteral("F%1").arg(f)},
                                      {"x", f * 400}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}},
                                      {"imageURL", server.base() + QStringLiteral("/img/%1.png").arg(f)}});
        const QJsonObject section{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Harbor"}, {"frames", frames},
                                  {"notes", QJsonArray{}}};
        QJsonArray figmaSteps{
            FakeClaude::toolUse("t1", "mcp__figma__get_metadata", {{"nodeId", "1:5"}}),
            FakeClaude::toolResult("t1", R"(<frame id="1:5" name="child" x="0" y="0" width="10" height="10"></frame>)"),
            FakeClaude::toolUse("t2", "mcp__figma__get_metadata", {{"nodeId", "1:1"}}),
            QJsonObject{{"savedResult", QJsonObject{{"id", "t2"}, {"text", outline}, {"form", "json"}}}},
        };
        for (int f = 2; f <= 4; ++f)
            figmaSteps.append(FakeClaude::toolUse(QStringLiteral("s%1").arg(f), "mcp__figma__get_screenshot", {{"nodeId", QStringLiteral("1:%1").arg(f)}}));
        figmaSteps.append(FakeClaude::resultEvent("```json\n" + QString::fromUtf8(json(section)) + "\n```"));

        const QJsonArray draftSteps{FakeClaude::event(remark("초안 시작")),
                                    QJsonObject{{"repeat", 1000}, {"event", remark("반복 줄")}},
                                    FakeClaude::event(remark("초안 끝")), FakeClaude::resultEvent(planAnswer(""))};
        fake.setScenario({{"responses", QJsonArray{
                              QJsonObject{{"stdinContains", "방금 답한 plan.json"}, {"steps", QJsonArray{FakeClaude::resultEvent(fixAnswer)}}},
                              QJsonObject{{"stdinContains", "Figma MCP 도구로"}, {"steps", figmaSteps}},
                              QJsonObject{{"stdinContains", "## 입력"}, {"steps", draftSteps}},
                          }}});
    }

    // A design of one frame with one picture, and its plan.
    void scriptOneFrame()
    {
        const QJsonObject frame{{"id", "1:2"}, {"name", "F2"}, {"x", 0}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}},
                                {"imageURL", server.base() + "/img/2.png"}};
        const QJsonObject section{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Harbor"}, {"frames", QJsonArray{frame}}, {"notes", QJsonArray{}}};
        const QString sectionAnswer = "```json\n" + QString::fromUtf8(json(section)) + "\n```";
        fake.setScenario({{"responses", QJsonArray{
            QJsonObject{{"stdinContains", "Figma MCP 도구로"}, {"steps", QJsonArray{FakeClaude::resultEvent(sectionAnswer)}}},
            QJsonObject{{"stdinContains", "## 입력"}, {"steps", QJsonArray{FakeClaude::resultEvent(planAnswer("Harbor"))}}}}}});
    }

    // The loopback server answers the executable while it runs.
    Outcome run(const QStringList &arguments)
    {
        return CommandLine::runServing(arguments, home.path());
    }

    const QString link = "https://www.figma.com/design/KEY/Harbor?node-id=1-1";
    QTemporaryDir home;
    FakeClaude fake;
    HttpServer server;
    QString outline;
};

} // namespace

TEST_F(HeadlessGenerateTest, GeneratesOverMCPThenRedraftsThenFailsOnAFixWithoutJSON)
{
    const QString fixAnswer = planAnswer("HarborClips");
    script(fixAnswer);
    const QString out = home.filePath("o");
    const Outcome r = run({"--generate", link, "--feature", "HarborClips", "--out", out});
    const QString dir = out + "/HarborClips-plan";
    ASSERT_EQ(r.code, 0) << r.err.toStdString() << r.out.toStdString();
    EXPECT_TRUE(r.out.endsWith("완료: 화면 1개 · 이동 0개 · 결정 필요 0건\n완료: " + dir + "\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("  ✓ 2/3장 (일부 실패)\n"));
    EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    // Every line once, in order, though far more than the log keeps came
    // between two looks.
    EXPECT_EQ(r.out.count("\n  반복 줄\n"), 1000);
    const qsizetype first = r.out.indexOf("  초안 시작\n");
    EXPECT_TRUE(first >= 0 && first < r.out.indexOf("  반복 줄\n") && r.out.lastIndexOf("  반복 줄\n") < r.out.indexOf("  초안 끝\n"));
    EXPECT_TRUE(r.out.contains("검사에서 1건 — 고쳐 달라고 한 번 더 물어요\n  · meta.feature 가 비어 있음\n"));

    // The section's own outline, whole, from the file the tool saved it to.
    EXPECT_EQ(readFile(dir + "/figma-metadata.xml"), outline.toUtf8());
    const QJsonObject section = QJsonDocument::fromJson(readFile(dir + "/figma-section.json")).object();
    const QJsonArray frames = section.value("frames").toArray();
    ASSERT_EQ(frames.size(), 3);
    EXPECT_EQ(frames.at(0).toObject().value("textBoxes").toArray().size(), 500);
    EXPECT_EQ(frames.at(0).toObject().value("image").toString(), "img/node-1-2.png");
    EXPECT_FALSE(frames.at(1).toObject().contains("image"));
    EXPECT_FALSE(frames.at(0).toObject().contains("imageURL"));
    EXPECT_EQ(readFile(dir + "/img/node-1-4.png"), TestImages::png(4, 4, 4));
    EXPECT_EQ(readFile(dir + "/.claude-draft.txt"), fixAnswer.toUtf8());
    const QJsonObject request = QJsonDocument::fromJson(readFile(dir + "/request.json")).object();
    EXPECT_EQ(request.value("feature").toString(), "HarborClips");
    EXPECT_FALSE(request.contains("specDocs"));

    const Plan plan = Plan::decode(readFile(dir + "/plan.json"));
    const auto &module = plan.meta.module;
    EXPECT_EQ(QStringList({module.android, module.androidFeatureDir, module.ios, module.iosGroup}),
              QStringList({"bazaar", "harborclips", "Bazaar", "Feed"}));
    EXPECT_EQ(plan.meta.generator, (QMap<QString, QString>{{"app", "quarrystone " QUARRYSTONE_VERSION}, {"conventions", "기본값"}}));
    EXPECT_EQ(plan.meta.figma.url, link);
    EXPECT_EQ(plan.screens.first().image.before, QString("img/node-1-2.png"));
    EXPECT_TRUE(QFileInfo(dir + "/index.html").isFile());

    const QList<QJsonObject> figmaRuns = fake.starts("Figma MCP 도구로");
    ASSERT_EQ(figmaRuns.size(), 1);
    const QStringList figmaArgs = FakeClaude::arguments(figmaRuns.first());
    // No bare Read or Grep, which would open every file of the machine: the
    // real claude tool (2.1.337) lets these patterns read the working folder
    // and its own saved tool results (where a large outline is handed over)
    // and refuses every other file.
    EXPECT_EQ(figmaArgs.value(figmaArgs.indexOf("--allowedTools") + 1),
              "Read(./**),Grep(./**),mcp__figma__get_metadata,mcp__figma__get_screenshot,mcp__figma__create_session");
    EXPECT_FALSE(figmaArgs.contains("--add-dir"));
    EXPECT_EQ(figmaRuns.first().value("cwd").toString(), dir);
    const QList<QJsonObject> draftRuns = fake.starts("## 입력");
    ASSERT_EQ(draftRuns.size(), 1);
    const QStringList draftArgs = FakeClaude::arguments(draftRuns.first());
    EXPECT_EQ(draftArgs.value(draftArgs.indexOf("--add-dir") + 1), dir);
    EXPECT_EQ(draftArgs.value(draftArgs.indexOf("--allowedTools") + 1), "Read(./**),Grep(./**),Glob(./**)");
    EXPECT_FALSE(draftArgs.contains("--continue"));
    const QList<QJsonObject> fixRuns = fake.starts("방금 답한 plan.json");
    ASSERT_EQ(fixRuns.size(), 1);
    EXPECT_EQ(fixRuns.first().value("stdin").toString(),
              "방금 답한 plan.json 에 문제가 있다. 고쳐서 plan.json 전체를 ```json 블록 하나로 다시 답해라.\n- meta.feature 가 비어 있음");
    EXPECT_TRUE(FakeClaude::arguments(fixRuns.first()).contains("--continue"));
    EXPECT_EQ(fixRuns.first().value("cwd").toString(), dir);
    EXPECT_EQ(server.requests().size(), 3);

    // Redraft: the saved section again, a new planning document, the old
    // plan kept.
    const QByteArray oldPlan = readFile(dir + "/plan.json");
    writeFile(home.filePath("spec.md"), "# 기획\n정책");
    const Outcome again = run({"--redraft", dir, "--spec-doc", home.filePath("spec.md")});
    ASSERT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_TRUE(again.out.endsWith("완료: " + dir + "\n"));
    EXPECT_EQ(fake.starts("Figma MCP 도구로").size(), 1);
    EXPECT_EQ(server.requests().size(), 3);
    EXPECT_TRUE(fake.starts("## 입력").last().value("stdin").toString().contains("# 기획\n정책"));
    EXPECT_EQ(readFile(dir + "/spec-docs/spec.md"), "# 기획\n정책");
    const QStringList backups = QDir(dir + "/history").entryList({"plan-*.json"});
    ASSERT_EQ(backups.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + backups.first()), oldPlan);
    EXPECT_EQ(QJsonDocument::fromJson(readFile(dir + "/request.json")).object().value("specDocs").toArray().size(), 1);

    // A fix answer without JSON fails the run and writes no plan.
    script("고칠 수 없어요");
    const QString failed = home.filePath("fail/HarborClips-plan");
    const Outcome broken = run({"--generate", link, "--feature", "HarborClips", "--out", home.filePath("fail")});
    EXPECT_EQ(broken.code, 1);
    EXPECT_EQ(broken.err, "실패: 초안을 읽지 못했어요: 답에 JSON 이 없음\n");
    EXPECT_TRUE(broken.out.contains("✗ 초안을 읽지 못했어요: 답에 JSON 이 없음\n"));
    EXPECT_FALSE(QFileInfo::exists(failed + "/plan.json"));
    EXPECT_TRUE(QFileInfo(failed + "/request.json").isFile());
}

TEST_F(HeadlessGenerateTest, CommandLineChecksAndFolders)
{
    Outcome r = run({"--generate", "https://example.com/x", "--out", home.filePath("x")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "피그마 URL 을 읽지 못했어요\n");
    r = run({"--generate", link});
    EXPECT_EQ(r.err, "--feature 가 필요해요\n");
    r = run({"--redraft", home.filePath("nowhere")});
    EXPECT_EQ(r.err, "계획서 폴더가 없어요: " + home.filePath("nowhere") + "\n");

    // No claude tool: each run fails at once, after making its folder.
    writeSettings(home.filePath("no-claude"));
    const QString out = home.filePath("three");
    for (int i = 0; i < 3; ++i) {
        r = run({"--generate", link, "--feature", "Feed", "--out", out, "--labels", "New,, TO-BE,", "--api-doc", "a.md,b.md"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "실패: claude 를 찾지 못했어요. 설정에서 경로를 확인해 주세요.\n");
    }
    const QStringList folders = QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(folders.size(), 3) << folders.join(' ').toStdString();
    for (const QString &folder : folders)
        EXPECT_TRUE(QFileInfo(out + "/" + folder + "/request.json").isFile());
    const QJsonObject request = QJsonDocument::fromJson(readFile(out + "/Feed-plan/request.json")).object();
    EXPECT_EQ(request.value("includeLabels").toArray(), QJsonArray({" TO-BE", "New"}));
    EXPECT_EQ(request.value("apiDocs").toArray(), QJsonArray({"a.md", "b.md"}));
    EXPECT_EQ(request.value("module").toObject().value("iosGroup").toString(), "Feed");

    // A lone "," empties the stored list; the other list stays. Pipes at
    // the saved section and outline hold nothing up.
    for (const char *name : {"/figma-section.json", "/figma-metadata.xml"})
        ASSERT_EQ(::mkfifo(QFile::encodeName(out + "/Feed-plan" + name).constData(), 0600), 0);
    r = run({"--redraft", out + "/Feed-plan", "--api-doc", ","});
    EXPECT_EQ(r.code, 1);
    const QJsonObject redrafted = QJsonDocument::fromJson(readFile(out + "/Feed-plan/request.json")).object();
    EXPECT_EQ(redrafted.value("apiDocs").toArray(), QJsonArray());
    EXPECT_EQ(redrafted.value("includeLabels"), request.value("includeLabels"));
    QFile::remove(out + "/Feed-plan/request.json");
    ASSERT_EQ(::mkfifo(QFile::encodeName(out + "/Feed-plan/request.json").constData(), 0600), 0);
    r = run({"--redraft", out + "/Feed-plan"});
    EXPECT_EQ(r.err, "request.json 을 읽지 못했어요: " + out + "/Feed-plan (보통 파일이 아니에요)\n");

    // Nor is 64 GB at its name read: its size is named.
    QFile::remove(out + "/Feed-plan/request.json");
    {
        QFile huge(out + "/Feed-plan/request.json");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(qint64(64) << 30));
    }
    r = run({"--redraft", out + "/Feed-plan"});
    EXPECT_EQ(r.err, "request.json 을 읽지 못했어요: " + out
                         + "/Feed-plan (파일이 너무 커요: request.json (64GB, 많아야 1MB))\n");

    // A request with a bad key names the key.
    QFile::remove(out + "/Feed-plan/request.json");
    QJsonObject bad = request;
    QJsonObject badLink = bad.value("link").toObject();
    badLink.insert("fileKey", "../x");
    bad.insert("link", badLink);
    writeFile(out + "/Feed-plan/request.json", QJsonDocument(bad).toJson());
    r = run({"--redraft", out + "/Feed-plan"});
    EXPECT_EQ(r.err, "request.json 을 읽지 못했어요: " + out
                         + "/Feed-plan (\"fileKey\": 영문자와 숫자로 된 피그마 파일 키가 아니에요)\n");

    // A plan.json that leads elsewhere is neither read nor replaced: the
    // redraft stops before Claude starts.
    writeFile(out + "/Feed-plan/request.json", QJsonDocument(request).toJson());
    writeFile(home.filePath("elsewhere.json"), "{}");
    ASSERT_TRUE(QFile::link(home.filePath("elsewhere.json"), out + "/Feed-plan/plan.json"));
    r = run({"--redraft", out + "/Feed-plan"});
    EXPECT_EQ(r.err, "실패: plan.json: 링크예요(따라가지 않아요)\n");
    EXPECT_EQ(readFile(home.filePath("elsewhere.json")), "{}");
    // Nor are the pictures written through an img/ that leads elsewhere.
    QFile::remove(out + "/Feed-plan/plan.json");
    QDir(out + "/Feed-plan/img").removeRecursively();
    QDir().mkpath(home.filePath("pictures"));
    ASSERT_TRUE(QFile::link(home.filePath("pictures"), out + "/Feed-plan/img"));
    r = run({"--redraft", out + "/Feed-plan"});
    EXPECT_EQ(r.err, "실패: 폴더가 아니거나 링크라서 쓰지 않았어요: " + out + "/Feed-plan/img\n");

    const QString nested = home.filePath("nested/o");
    r = run({"--generate", link, "--feature", "../../x", "--out", nested});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(QDir(nested).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{".._.._x-plan"});
    EXPECT_FALSE(QFileInfo::exists(home.filePath("x-plan")));
    EXPECT_EQ(QJsonDocument::fromJson(readFile(nested + "/.._.._x-plan/request.json")).object().value("feature").toString(),
              "../../x");

    // A stop signal sent to the command alone, while Claude works: Claude's
    // run is stopped with it, the child Claude started too even when it
    // outlives SIGTERM (none is left running), and the status tells.
    writeSettings(FakeClaude::path());
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        fake.setScenario({{"steps", QJsonArray{QJsonObject{{"startChild", QJsonObject{{"ignoreSigterm", true}}}},
                                               QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
        const qsizetype children = fake.records("child").size();
        const qsizetype stops = fake.records("sigterm").size();
        QProcess process;
        CommandLine::start(process, {"--generate", link, "--feature", "Stopped", "--out", home.filePath("stopped")},
                           home.path());
        ASSERT_TRUE(QTest::qWaitFor([&] { return fake.records("child").size() > children; }, 60000));
        CommandLine::signal(process, signal);
        // A redraft that had ended already is not waited for again.
        ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 128 + signal);
        EXPECT_TRUE(QTest::qWaitFor([&] { return fake.records("sigterm").size() == stops + 1; }, 60000));
        const qint64 claude = fake.records("start").last().value("pid").toInteger();
        EXPECT_TRUE(QTest::qWaitFor([&] { return FakeClaude::hasEnded(claude); }, 60000));
        EXPECT_EQ(fake.running(), QList<qint64>());
        for (const qint64 left : fake.running())
            ::kill(static_cast<pid_t>(left), SIGKILL);
    }
}

// A stop that reaches --redraft once its files are written, at whatever
// moment, cannot hide the new draft: the status says which plan plan.json
// holds (0 and "완료" for the new draft, the signal's code for the old).
TEST_F(HeadlessGenerateTest, ASignalAfterTheDraftIsWrittenNeverHidesIt)
{
    const QString link = QStringLiteral("https://www.figma.com/design/KEY/Harbor?node-id=1-1");
    const auto answers = [this](const QString &title) {
        const QJsonObject frame{{"id", "1:2"}, {"name", "F2"}, {"x", 0}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}}};
        const QJsonObject section{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Harbor"},
                                  {"frames", QJsonArray{frame}}, {"notes", QJsonArray{}}};
        const QJsonObject screen{{"id", "feed"}, {"name", "FeedScreen"}, {"title", "피드"}, {"figmaNodes", QJsonArray{"1:2"}}};
        const QJsonObject plan{{"meta", QJsonObject{{"feature", "Late"}, {"title", title}}}, {"screens", QJsonArray{screen}}};
        fake.setScenario({{"responses", QJsonArray{
            QJsonObject{{"stdinContains", "Figma MCP 도구로"},
                        {"steps", QJsonArray{FakeClaude::resultEvent("```json\n" + QString::fromUtf8(json(section)) + "\n```")}}},
            QJsonObject{{"stdinContains", "## 입력"},
                        {"steps", QJsonArray{FakeClaude::resultEvent("```json\n" + QString::fromUtf8(json(plan)) + "\n```")}}},
        }}});
    };
    answers("초안 0");
    const QString out = home.filePath("late");
    ASSERT_EQ(run({"--generate", link, "--feature", "Late", "--out", out}).code, 0);
    const QString dir = out + "/Late-plan";
    const QList<int> signals{SIGTERM, SIGINT, SIGTERM, SIGINT, SIGHUP, SIGHUP};
    for (int n = 1; n <= signals.size(); ++n) {
        SCOPED_TRACE(n);
        const QString title = QStringLiteral("초안 %1").arg(n);
        const int signal = signals.at(n - 1);
        answers(title);
        const QByteArray before = readFile(dir + "/plan.json");
        QProcess process;
        CommandLine::start(process, {"--redraft", dir}, home.path());
        // The page is the last of the three files written.
        ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(dir + "/index.html").contains(title.toUtf8()); }, 60000));
        CommandLine::signal(process, signal);
        // A redraft that had ended already is not waited for again.
        ASSERT_TRUE(process.state() == QProcess::NotRunning || process.waitForFinished(20000));
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        const QByteArray now = readFile(dir + "/plan.json");
        if (process.exitCode() == 0) {
            EXPECT_TRUE(now.contains(title.toUtf8()));
            EXPECT_TRUE(QString::fromUtf8(process.readAllStandardOutput()).endsWith("완료: " + dir + "\n"));
        } else {
            EXPECT_EQ(process.exitCode(), 128 + signal);
            EXPECT_EQ(now, before);
        }
    }
}

// Generations of one feature started together each land in a folder of
// their own, which holds their plan: none is taken for one to redraft.
TEST_F(HeadlessGenerateTest, GenerationsStartedTogetherEachGetAFolderOfTheirOwn)
{
    const QJsonObject frame{{"id", "1:2"}, {"name", "F2"}, {"x", 0}, {"y", 0}, {"w", 360}, {"h", 640}, {"texts", QJsonArray{}}};
    const QJsonObject section{{"fileKey", "KEY"}, {"nodeId", "1:1"}, {"name", "Harbor"}, {"frames", QJsonArray{frame}}, {"notes", QJsonArray{}}};
    const QString sectionAnswer = "```json\n" + QString::fromUtf8(json(section)) + "\n```";
    fake.setScenario({{"responses", QJsonArray{
        QJsonObject{{"stdinContains", "Figma MCP 도구로"}, {"steps", QJsonArray{FakeClaude::resultEvent(sectionAnswer)}}},
        QJsonObject{{"stdinContains", "## 입력"}, {"steps", QJsonArray{FakeClaude::resultEvent(planAnswer("Harbor"))}}}}}});
    for (const int together : {2, 8}) {
        const QString out = home.filePath(QString::number(together));
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int i = 0; i < together; ++i) {
            runs.push_back(std::make_unique<QProcess>());
            CommandLine::start(*runs.back(), {"--generate", link, "--feature", "Harbor", "--title", QString::number(i), "--out", out}, home.path());
        }
        for (int i = 0; i < together; ++i) {
            ASSERT_TRUE(runs[i]->waitForFinished(120000));
            EXPECT_EQ(runs[i]->exitCode(), 0);
            const QString dir = QString::fromUtf8(runs[i]->readAllStandardOutput()).section("완료: ", -1).trimmed();
            EXPECT_TRUE(readFile(dir + "/plan.json").contains("\"title\" : \"" + QByteArray::number(i) + '"')) << qPrintable(dir);
            EXPECT_FALSE(QFileInfo::exists(dir + "/history")) << qPrintable(dir);
        }
        EXPECT_EQ(QDir(out).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), together);
    }
}

// A generation's new folder swapped for a link to another plan of the
// person's while the generation writes: the run writes beneath the folder it
// made and holds, never into the other plan, which keeps every file as it
// was. As many tries as QUARRYSTONE_RACE_TRIES says (30 when unset).
TEST_F(HeadlessGenerateTest, ANewFolderSwappedForALinkToAnotherPlanWritesNothingThere)
{
    const int tries = qEnvironmentVariableIsSet("QUARRYSTONE_RACE_TRIES") ? qEnvironmentVariableIntValue("QUARRYSTONE_RACE_TRIES") : 30;
    scriptOneFrame();
    const QString out = home.filePath("race");
    const QString other = home.filePath("other");
    writeFile(other + "/plan.json", R"({"meta": {"feature": "Other"}, "screens": [{"id": "a", "name": "OtherA"}]})");
    writeFile(other + "/plan.md", "# other");
    writeFile(other + "/index.html", "<p>other</p>");
    writeFile(other + "/img/a.png", "other picture");
    const QMap<QString, QByteArray> otherBefore = LinkSwapper::filesBelow(other);
    int harms = 0;
    int made = 0;
    for (int attempt = 0; attempt < tries; ++attempt) {
        Outcome r;
        {
            LinkSwapper swapper(out + "/Harbor-plan", other);
            r = run({"--generate", link, "--feature", "Harbor", "--out", out});
        }
        made += r.code == 0 && readFile(out + "/Harbor-plan/plan.json").contains("FeedScreen") ? 1 : 0;
        // A run that fails names the folder as the person knows it.
        EXPECT_FALSE((r.out + r.err).contains("/proc/")) << qPrintable(r.out + r.err);
        if (const QMap<QString, QByteArray> otherNow = LinkSwapper::filesBelow(other); otherNow != otherBefore) {
            ++harms;
            ADD_FAILURE() << "try " << attempt << ": the other plan changed: " << qPrintable(otherNow.keys().join(' ')) << "\n"
                          << qPrintable(r.out + r.err);
            QDir(other).removeRecursively();
            for (auto it = otherBefore.begin(); it != otherBefore.end(); ++it)
                writeFile(other + "/" + it.key(), it.value());
        }
        ASSERT_TRUE(QDir(out).removeRecursively());
    }
    std::cout << "generate with its new folder swapped: " << tries << " tries, " << made << " made, " << harms << " harms\n";
    EXPECT_EQ(harms, 0);
    EXPECT_GT(made, 0);
}

// A redraft that reads the design again replaces the plan's own pictures:
// they are kept beside its undo point, and undo brings them back with the
// plan.
TEST_F(HeadlessGenerateTest, UndoAfterARedraftThatFetchedPicturesBringsTheReplacedOnesBack)
{
    scriptOneFrame();
    const Outcome made = run({"--generate", link, "--feature", "Harbor", "--out", home.filePath("out")});
    ASSERT_EQ(made.code, 0) << qPrintable(made.err);
    const QString dir = home.filePath("out/Harbor-plan");
    const QByteArray plan = readFile(dir + "/plan.json");
    writeFile(dir + "/img/node-1-2.png", "my own picture");
    ASSERT_TRUE(QFile::remove(dir + "/figma-section.json"));

    const Outcome again = run({"--redraft", dir});
    ASSERT_EQ(again.code, 0) << qPrintable(again.err);
    EXPECT_EQ(readFile(dir + "/img/node-1-2.png"), TestImages::png(2, 2, 2));
    const Outcome undone = run({"--revise", dir, "--undo"});
    ASSERT_EQ(undone.code, 0) << qPrintable(undone.err);
    EXPECT_EQ(readFile(dir + "/plan.json"), plan);
    EXPECT_EQ(readFile(dir + "/img/node-1-2.png"), "my own picture");
}

// A plan folder received from someone else names files of the person's: its
// request.json lists a key and the program's environment as documents, and
// its record of saved copies names a file outside the folder. A redraft
// reads neither listed file (it names them instead) nor writes outside the
// folder; a document the person gives now is read, and a copy the folder
// saved is used as it is. Files the person's own generation listed are read
// again, its request.json being sealed by their program.
TEST_F(HeadlessGenerateTest, AReceivedFolderReadsAndWritesNoFileOfThePersonsOnItsWord)
{
    script(planAnswer("HarborClips"));
    const QString out = home.filePath("o");
    const QString own = home.filePath("own.md");
    writeFile(own, "# 내 기획\n정책");
    const Outcome generated = run({"--generate", link, "--feature", "HarborClips", "--out", out, "--spec-doc", own});
    ASSERT_EQ(generated.code, 0) << generated.err.toStdString();
    const QString dir = out + "/HarborClips-plan";
    writeFile(own, "# 내 기획\n바뀐 정책");
    QFile::remove(dir + "/spec-docs/own.md");
    const Outcome again = run({"--redraft", dir});
    ASSERT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_TRUE(fake.starts("## 입력").last().value("stdin").toString().contains("바뀐 정책"));

    const QString secret = home.filePath("secret-key");
    writeFile(secret, "PRIVATE KEY");
    // Empty, as a copy it would be taken for none and written.
    const QString victim = home.filePath("victim.md");
    writeFile(victim, "");
    QJsonObject request = QJsonDocument::fromJson(readFile(dir + "/request.json")).object();
    request.remove("docSeals");
    request.insert("specDocs", QJsonArray{secret, "./saved.md"});
    request.insert("apiDocs", QJsonArray{"/proc/self/environ"});
    writeFile(dir + "/request.json", json(request));
    writeFile(dir + "/spec-docs/saved.md", "# 받은 기획\n저장된 사본");
    writeFile(dir + "/spec-docs/.entries.json", json({{"saved.md", "./saved.md"}, {"../../../victim.md", secret}}));

    const Outcome received = run({"--redraft", dir});
    ASSERT_EQ(received.code, 0) << received.err.toStdString();
    const QString prompt = fake.starts("## 입력").last().value("stdin").toString();
    EXPECT_FALSE(prompt.contains("PRIVATE KEY"));
    EXPECT_FALSE(prompt.contains("HOME="));
    EXPECT_TRUE(prompt.contains("저장된 사본"));
    EXPECT_TRUE(QFileInfo(victim).isFile() && QFileInfo(victim).size() == 0);
    EXPECT_EQ(QDir(dir + "/spec-docs").entryList(QDir::Files | QDir::Hidden), QStringList({".entries.json", "own.md", "saved.md"}));
    EXPECT_FALSE(QFileInfo::exists(dir + "/api-docs/environ.md"));
    EXPECT_TRUE(received.out.contains("이 폴더의 request.json 이 적은 파일은 이 컴퓨터에서 고른 것이 아니라 읽지 않았어요: " + secret))
        << received.out.toStdString();
    EXPECT_TRUE(received.out.contains("읽지 않았어요: /proc/self/environ")) << received.out.toStdString();

    // Given now, the same file is the person's choice.
    const Outcome chosen = run({"--redraft", dir, "--spec-doc", secret});
    ASSERT_EQ(chosen.code, 0) << chosen.err.toStdString();
    EXPECT_TRUE(fake.starts("## 입력").last().value("stdin").toString().contains("PRIVATE KEY"));
    EXPECT_TRUE(QFileInfo(victim).isFile() && QFileInfo(victim).size() == 0);

    // A record of 64 GB is not read: the copies get names of their own.
    QFile::remove(dir + "/spec-docs/.entries.json");
    {
        QFile huge(dir + "/spec-docs/.entries.json");
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(qint64(64) << 30));
    }
    const Outcome huge = run({"--redraft", dir, "--spec-doc", own});
    ASSERT_EQ(huge.code, 0) << huge.err.toStdString();
    EXPECT_TRUE(fake.starts("## 입력").last().value("stdin").toString().contains("바뀐 정책"));
}
