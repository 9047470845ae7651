#include "model/reviser.h"

#include "core/folderlock.h"
#include "process/runmarks.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/folderclaim.h"
#include "model/folderrestore.h"
#include "model/plan.h"
#include "model/planhistory.h"
#include "model/underway.h"

#include "settings/appsettings.h"
#include "support/chatplans.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"
#include "support/testimages.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using ChatPlans::brokenMovePlan;
using ChatPlans::cleanPlan;
using ChatPlans::editedPlan;
using TestFiles::readFile;
using TestFiles::writeFile;

const QString olderBackup = QStringLiteral("plan-200101-000000.json");

QJsonObject step(const char *key, const QString &value)
{
    return {{QString::fromLatin1(key), value}};
}

QJsonObject toolUse(const QString &name, const QJsonObject &input)
{
    return FakeClaude::toolUse("t-" + name, name, input);
}

// The value after a flag in a logged argument list.
QString argAfter(const QJsonObject &start, const QString &flag)
{
    const QStringList args = FakeClaude::arguments(start);
    const qsizetype at = args.indexOf(flag);
    return at < 0 ? QString() : args.value(at + 1);
}

class ReviserTest : public testing::Test
{
protected:
    void SetUp() override
    {
        prepare(folder.path());
        settings.claudePath = FakeClaude::path();
        settings.userName = QStringLiteral("테스터");
        QObject::connect(&reviser, &Reviser::phaseChanged, [this] { phases.append(reviser.phase().text); });
    }

    // A plan folder with its derived files and one older backup.
    void prepare(const QString &path)
    {
        dir = path;
        ChatPlans::writeFolder(dir);
        writeFile(dir + "/history/" + olderBackup, "older backup");
    }

    void settle()
    {
        QElapsedTimer timer;
        timer.start();
        while (reviser.phase().isRunning() && timer.elapsed() < 30000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        // Progress lines still queued must change nothing now.
        QCoreApplication::processEvents();
    }

    bool revise(const QString &request, const QStringList &images = {})
    {
        return reviser.revise(request, images, dir, settings, [this] { ++doneCalls; });
    }

    // Starts an undo and waits until its files are done.
    bool undo()
    {
        const bool started = reviser.undo(dir, settings, [this] { ++doneCalls; });
        while (started && reviser.phase().isRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        return started;
    }

    QStringList backups() const
    {
        return TestFiles::historyFiles(dir, "plan-*.json");
    }

    FakeClaude fake;
    QTemporaryDir folder;
    QString dir;
    AppSettings settings;
    Reviser reviser;
    QStringList phases; // the text of every phase shown, in order
    int doneCalls = 0;
};

} // namespace

// Every way a revision can fail after its backup leaves the plan folder as
// it was: plan.json byte for byte, the derived files, the older backups.
// Where Claude left a folder that plan.json cannot be put back over, whether
// it then answers or refuses, the message says the plan is not back and
// where the backup is, and the revision stays recorded as under way.
TEST_F(ReviserTest, FailuresPutThePlanBack)
{
    const QString restored = QStringLiteral("고치지 못해서 원래대로 돌려 놨어요: ");
    const auto afterEdit = [](const QJsonObject &then) {
        return QJsonObject{{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), then}}};
    };
    const auto planToFolderThen = [](const QString &answer) {
        return QJsonObject{{"steps", QJsonArray{step("remove", "plan.json"),
                                                QJsonObject{{"writeFile", "plan.json/notes.txt"}, {"content", "x"}},
                                                FakeClaude::resultEvent(answer)}}};
    };
    struct Row {
        const char *name;
        QJsonObject scenario;
        const char *swapped; // a file here becomes a folder, a folder a file
        // "%1" is the plan folder, "%2" the backup kept; "…" stands for any text.
        QString expected;
        bool cancel = false;
        bool keepsBackup = false;
    };
    const auto leftThen = [](const QByteArray &plan) {
        return QJsonObject{{"steps", QJsonArray{FakeClaude::writePlan(plan), FakeClaude::resultEvent("고쳤어요")}}};
    };
    const QString lost = restored + "Claude 가 고친 plan.json 을 받으면 없어지는 내용: ";
    const auto removal = [&lost](const char *places) { return lost + places + '\n' + PlanHistory::removalHint(); };
    const QList<Row> rows{
        // What Claude leaves is kept only when it is a plan that loses
        // nothing the plan had and nothing Claude wrote.
        {"an empty object", leftThen("{}"), nullptr, removal("meta.feature, screens")},
        {"an object that is no plan", leftThen(R"({"hello": "world"})"), nullptr, removal("meta.feature, screens")},
        {"a list", leftThen("[]"), nullptr, restored + "plan.json 을 읽지 못했어요(JSON 이 깨짐)"},
        {"a text", leftThen(R"("plan")"), nullptr, restored + "plan.json 을 읽지 못했어요(JSON 이 깨짐)"},
        {"one screen no object",
         leftThen(R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}, "B"]})"),
         nullptr, removal("screens")},
        {"the screen's name a number",
         leftThen(R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": 7, "title": "A"}]})"),
         nullptr, removal("screens[0].name")},
        {"the header a text", leftThen(R"({"meta": "Chat", "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})"),
         nullptr, removal("meta")},
        {"exit 1 without result", {{"steps", QJsonArray{}}, {"exit", 1}}, nullptr, restored + "Claude 실행 실패(종료 코드 1): Claude 가 결과도 오류 메시지도 남기지 않고 끝났어요"},
        {"edit then exit 1", {{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), step("err", "boom\n")}}, {"exit", 1}}, nullptr,
         restored + "Claude 실행 실패(종료 코드 1): boom"},
        {"broken JSON", {{"steps", QJsonArray{FakeClaude::writePlan("{ broken"), FakeClaude::resultEvent("고쳤어요")}}}, nullptr,
         restored + "plan.json 을 읽지 못했어요(JSON 이 깨짐)"},
        {"refusal without edit", {{"steps", QJsonArray{FakeClaude::resultEvent("고치지 않음 — 이미 그렇게 돼 있어요")}}}, nullptr,
         "고치지 않음 — 이미 그렇게 돼 있어요"},
        {"edit then refusal", afterEdit(FakeClaude::resultEvent("  고치지 않음 — 근거가 없어요\n")), nullptr, "고치지 않음 — 근거가 없어요"},
        {"stopped while Claude works", afterEdit({{"awaitSigterm", QJsonObject{}}}), nullptr, "멈췄어요. 고치기 전으로 돌려 놨어요.", true},
        {"plan.md a folder", afterEdit(FakeClaude::resultEvent("고쳤어요")), "plan.md", restored + "%1/plan.md 을 쓰지 못했어요: …"},
        {"index.html a folder", afterEdit(FakeClaude::resultEvent("고쳤어요")), "index.html",
         restored + "%1/index.html 을 쓰지 못했어요: …"},
        {"history a file", afterEdit(FakeClaude::resultEvent("고쳤어요")), "history",
         "백업하지 못했어요: 폴더가 아니거나 링크라서 쓰지 않았어요: %1/history"},
        // The derived files' bytes before the run are kept in copies beside
        // them, not in memory: with the copies gone they cannot be put back
        // (here nothing had changed them), which is said, the record staying.
        {"the kept copies removed, then a refusal",
         {{"steps", QJsonArray{FakeClaude::writePlan(editedPlan),
                               QJsonObject{{"run", QJsonArray{"/bin/sh", "-c", "rm -f .quarrystone-tmp-*"}}},
                               FakeClaude::resultEvent("고치지 않음 — 못 고쳐요")}}},
         nullptr,
         "고치지 못했어요: 고치지 않음 — 못 고쳐요\nplan.json 을 원래대로 돌려 놓지 못했어요(plan.md: …). 고치기 전 계획서는 백업에 있어요: %2",
         false, true},
        {"plan.json made a folder, then an answer", planToFolderThen("고쳤어요"), nullptr,
         "고치지 못했어요: plan.json 을 읽지 못했어요: …). 고치기 전 계획서는 백업에 있어요: %2", false, true},
        {"plan.json made a folder, then a refusal", planToFolderThen("고치지 않음 — 못 고쳐요"), nullptr,
         "고치지 못했어요: 고치지 않음 — 못 고쳐요\nplan.json 을 원래대로 돌려 놓지 못했어요(…). 고치기 전 계획서는 백업에 있어요: %2",
         false, true},
    };

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir rowFolder;
        prepare(rowFolder.path());
        if (const QString path = dir + "/" + row.swapped; row.swapped && QFileInfo(path).isDir()) {
            QDir(path).removeRecursively();
            writeFile(path, "not a folder");
        } else if (row.swapped) {
            QFile::remove(path);
            QDir(path).mkpath("inside");
        }
        const QByteArray md = readFile(dir + "/plan.md");
        const QByteArray html = readFile(dir + "/index.html");
        const bool mdIsFolder = QFileInfo(dir + "/plan.md").isDir();
        const QStringList before = backups();
        fake.setScenario(row.scenario);

        ASSERT_TRUE(revise("제목을 고쳐 줘"));
        if (row.cancel) {
            QElapsedTimer timer;
            timer.start();
            while (fake.records("start").isEmpty() && timer.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            // Undo must not take the running revision's backup away.
            EXPECT_FALSE(undo());
            EXPECT_TRUE(reviser.phase().isRunning());
            reviser.cancel();
        }
        settle();

        QStringList made = backups();
        for (const QString &name : before)
            EXPECT_TRUE(made.removeOne(name)) << qPrintable(name);
        ASSERT_EQ(made.size(), row.keepsBackup ? 1 : 0);
        const QString backup = row.keepsBackup ? dir + "/history/" + made.first() : QString();
        if (row.keepsBackup)
            EXPECT_EQ(readFile(backup), cleanPlan);
        else
            EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);

        const Reviser::Phase phase = reviser.phase();
        const QString expected = QString(row.expected).replace("%1", dir).replace("%2", backup);
        const qsizetype gap = expected.indexOf(u'…');
        EXPECT_EQ(phase.kind, Reviser::Phase::Kind::failed);
        if (gap < 0)
            EXPECT_EQ(phase.text, expected);
        else
            EXPECT_TRUE(phase.text.startsWith(expected.left(gap)) && phase.text.endsWith(expected.mid(gap + 1))
                        && phase.text.size() >= expected.size() - 1)
                << qPrintable(phase.text);
        EXPECT_EQ(QFileInfo(dir + "/plan.md").isDir(), mdIsFolder);
        EXPECT_EQ(readFile(dir + "/plan.md"), md);
        EXPECT_EQ(readFile(dir + "/index.html"), html);
        EXPECT_FALSE(QFileInfo::exists(dir + "/history/revisions.md"));
        EXPECT_EQ(QFileInfo::exists(dir + "/history/revision-under-way"), row.keepsBackup);
        EXPECT_EQ(doneCalls, 0);
        if (row.cancel) {
            EXPECT_EQ(fake.records("sigterm").size(), 1);
            EXPECT_TRUE(FakeClaude::hasEnded(fake.records("start").value(0).value("pid").toInteger()));
        }
        fake.setScenario({});
        QFile::remove(fake.folder() + "/log.jsonl");
    }
}

// A revision whose edit adds a problem gets one fix round that continues the
// conversation; the fix round's answer is the one shown and logged.
TEST_F(ReviserTest, FixRoundContinuesAndItsAnswerWins)
{
    fake.setScenario(
        {{"responses",
          QJsonArray{QJsonObject{{"argsContain", QJsonArray{"--continue"}},
                                 {"steps", QJsonArray{toolUse("Edit", {{"file_path", dir + "/plan.json"}}), QJsonObject{{"sleep", 150}},
                                                      FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("\n둘째 답\n")}}},
                     QJsonObject{{"steps", QJsonArray{toolUse("Read", {{"file_path", dir + "/plan.json"}}), QJsonObject{{"sleep", 150}},
                                                      FakeClaude::event({{"type", "system"}, {"subtype", "api_retry"},
                                                                         {"attempt", 1}, {"max_retries", 10},
                                                                         {"retry_delay_ms", 500}, {"error_status", 529}}),
                                                      QJsonObject{{"sleep", 150}},
                                                      toolUse("Grep", {{"pattern", "Chat"}}), QJsonObject{{"sleep", 150}},
                                                      toolUse("Read", {{"file_path", "/repo/x.kt"}}), QJsonObject{{"sleep", 150}},
                                                      toolUse("mcp__wiki__get", {}), QJsonObject{{"sleep", 150}},
                                                      FakeClaude::writePlan(brokenMovePlan), FakeClaude::resultEvent("첫 답")}}}}}});
    ASSERT_TRUE(revise("  이동을 하나 더 넣어 줘\n둘째 줄  "));
    EXPECT_EQ(reviser.phase(), Reviser::Phase::running("Claude 를 시작하는 중"));
    ASSERT_TRUE(reviser.startedAt().has_value());
    EXPECT_EQ(reviser.dir(), dir);
    settle();

    EXPECT_EQ(reviser.phase(), Reviser::Phase::done("둘째 답"));
    EXPECT_EQ(doneCalls, 1);
    // The tool's own retries show as they happen: a long wait is no hang.
    EXPECT_EQ(phases, (QStringList{"Claude 를 시작하는 중", "계획서를 읽는 중", "API 가 바빠서 다시 시도하는 중 (1/10)",
                                         "저장소·문서를 찾아보는 중",
                                         "자료를 보는 중", "검사에서 1건 — 한 번 더 고치는 중", "plan.json 을 고치는 중",
                                         "plan.md · index.html 다시 쓰는 중", "둘째 답"}));

    const QList<QJsonObject> starts = fake.records("start");
    ASSERT_EQ(starts.size(), 2);
    EXPECT_FALSE(FakeClaude::arguments(starts[0]).contains("--continue"));
    EXPECT_TRUE(FakeClaude::arguments(starts[1]).contains("--continue"));
    const QString prompt = starts[0].value("stdin").toString();
    EXPECT_TRUE(prompt.contains("이동을 하나 더 넣어 줘\n둘째 줄\n"));
    // The revision's time, in UTC to the second.
    EXPECT_TRUE(QRegularExpression("decidedAt \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\"").match(prompt).hasMatch())
        << qPrintable(prompt);
    EXPECT_TRUE(starts[1].value("stdin").toString().endsWith(
        "답은 처음처럼 고친 내용 1~5줄.\n- transitions 에 없는 화면 id: gone (a → gone)"))
        << qPrintable(starts[1].value("stdin").toString());
    // Both runs may edit only plan.json: the real claude tool refuses an Edit
    // outside "./plan.json" of the working folder (a repository passed with
    // --add-dir included) and lets the Edit of plan.json through. fake-claude
    // enforces no permissions, so the arguments are what is checked here.
    for (const QJsonObject &start : starts) {
        EXPECT_EQ(start.value("cwd").toString(), dir);
        EXPECT_EQ(argAfter(start, "--allowedTools"), "Read(./**),Edit(/plan.json),Grep(./**),Glob(./**)");
        EXPECT_EQ(argAfter(start, "--tools"), "Edit,Glob,Grep,Read,ToolSearch");
    }

    // The writer's form of Claude's edit, the derived files, the kept backup,
    // which is the undo point.
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("고친 제목"));
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("고친 제목"));
    EXPECT_NE(readFile(dir + "/index.html"), QByteArray("old html"));
    QStringList made = backups();
    made.removeAll(olderBackup);
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + made.first()), cleanPlan);
    EXPECT_EQ(Reviser::lastBackup(dir), dir + "/history/" + made.first());
    const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
    EXPECT_TRUE(log.startsWith("## ")) << qPrintable(log);
    EXPECT_TRUE(log.endsWith(" · 테스터\n\n> 이동을 하나 더 넣어 줘\n> 둘째 줄\n\n둘째 답\n\n")) << qPrintable(log);
    EXPECT_EQ(Reviser::lastRequest(dir), "이동을 하나 더 넣어 줘 둘째 줄");
}

// A problem the plan already had is not the edit's doing; one more copy of
// it is.
TEST_F(ReviserTest, NewProblemsAreCountedWithRepeats)
{
    writeFile(dir + "/plan.json", brokenMovePlan);
    const QByteArray twice = R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}],
        "transitions": [{"from": "a", "to": "gone"}, {"from": "a", "to": "gone"}, {"from": "a", "to": "away"}]})";
    fake.setScenario({{"responses", QJsonArray{QJsonObject{{"argsContain", QJsonArray{"--continue"}},
                                                           {"steps", QJsonArray{FakeClaude::resultEvent("그대로 둠")}}},
                                               QJsonObject{{"steps", QJsonArray{FakeClaude::writePlan(twice), FakeClaude::resultEvent("첫 답")}}}}}});
    ASSERT_TRUE(revise("이동을 늘려 줘"));
    settle();

    EXPECT_TRUE(phases.contains("검사에서 2건 — 한 번 더 고치는 중")) << qPrintable(phases.join(" | "));
    // The fix round's answer stands even though the problems remain, and
    // they are named after it.
    EXPECT_EQ(reviser.phase(), Reviser::Phase::done("그대로 둠\n남은 문제 3건은 편집 화면에서 고쳐 주세요\n"
                                                    "  · transitions 에 없는 화면 id: gone (a → gone)\n"
                                                    "  · transitions 에 없는 화면 id: gone (a → gone)\n"
                                                    "  · transitions 에 없는 화면 id: away (a → away)"))
        << qPrintable(reviser.phase().text);
    const QString fix = fake.records("start").value(1).value("stdin").toString();
    EXPECT_TRUE(fix.endsWith("1~5줄.\n- transitions 에 없는 화면 id: gone (a → gone)\n- transitions 에 없는 화면 id: away (a → away)"))
        << qPrintable(fix);

    // A plan that did not read before has no problems to account for: every
    // problem after the edit is new. (The first backup goes, so that one of
    // the same second does not stop this revision.)
    for (const QString &name : backups())
        QFile::remove(dir + "/history/" + name);
    writeFile(dir + "/plan.json", "{ not yet a plan");
    ASSERT_TRUE(revise("다시"));
    settle();
    EXPECT_TRUE(phases.contains("검사에서 3건 — 한 번 더 고치는 중")) << qPrintable(phases.join(" | "));
}

// What Claude adds that no plan can hold is left out by the writer, which
// says so in one line and keeps Claude's file in history/; the requested
// change lands. A plan.json that held such a key already stays revisable.
// An empty answer with no edit changed nothing: no backup, no log entry.
TEST_F(ReviserTest, ClaudesAdditionsAreLeftOutAndTheChangeLands)
{
    const QByteArray withExtra = R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}], "extra": 1})";
    const struct {
        const char *name;
        QByteArray start;
        QByteArray result;
        QString leftOut;
    } rows[] = {
        {"a memo on a screen", cleanPlan,
         R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A", "memo": "메모"}]})",
         "screens[0].memo"},
        {"a move whose condition is an object", cleanPlan,
         R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}],
             "transitions": [{"from": "a", "to": "a", "trigger": "탭", "condition": {"text": "로그인"}}]})",
         "transitions[0].condition"},
        {"transitions a text", cleanPlan,
         R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}],
             "transitions": "a에서 b로"})",
         "transitions"},
        {"a new screen's id a number", cleanPlan,
         R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}, {"id": 2}]})",
         "screens[1].id"},
        {"a key the file held already", withExtra,
         R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}], "extra": 1})",
         "extra"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir rowFolder;
        prepare(rowFolder.path());
        writeFile(dir + "/plan.json", row.start);
        fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(row.result), FakeClaude::resultEvent("제목을 고쳤어요")}}});
        ASSERT_TRUE(revise("제목을 고쳐 줘"));
        settle();
        const QStringList kept = TestFiles::historyFiles(dir, "kept-*.json");
        ASSERT_EQ(kept.size(), 1);
        const QString copy = dir + "/history/" + kept.first();
        EXPECT_EQ(readFile(copy), row.result);
        EXPECT_EQ(reviser.phase().kind, Reviser::Phase::Kind::done);
        // The answer and the line on what was left out; a plan's problems
        // may follow.
        EXPECT_EQ(reviser.phase().text.section('\n', 0, 1), "제목을 고쳤어요\n계획서에 담을 수 없는 내용은 빼고 저장했어요: " + row.leftOut
                                            + " (Claude 가 쓴 그대로: " + copy + ")");
        EXPECT_EQ(Plan::decode(readFile(dir + "/plan.json")).meta.title, "고친 제목");
        EXPECT_TRUE(QString::fromUtf8(readFile(dir + "/history/revisions.md")).contains("> 제목을 고쳐 줘"));
    }

    // A plan.json that holds its bytes was not revised, whatever Claude
    // says it did (its edits may all have failed): no backup, no log entry.
    // Nor was one whose every change the writer takes back: a file name of
    // the platform map it makes again, a key no plan holds.
    const auto renamedFile = [](QByteArray written) {
        QJsonObject plan = QJsonDocument::fromJson(written).object();
        QJsonObject naming = plan.value("naming").toObject();
        QJsonObject map = naming.value("platformMap").toObject();
        EXPECT_FALSE(map.isEmpty());
        for (auto it = map.begin(); it != map.end(); ++it) {
            QJsonObject files = it.value().toObject();
            QJsonObject android = files.value("android").toObject();
            android.insert("files", QJsonArray{"ChatMainFragment.kt"});
            files.insert("android", android);
            *it = files;
        }
        naming.insert("platformMap", map);
        plan.insert("naming", naming);
        return QJsonDocument(plan).toJson(QJsonDocument::Compact);
    };
    const auto withKey = [](QByteArray written) {
        return written.replace("\"meta\": {", "\"meta\": {\"memo\": \"메모\", ");
    };
    const struct {
        const char *name;
        std::function<QByteArray(QByteArray)> edit; // of plan.json as the writer wrote it; none for no edit
    } quietRows[] = {
        {"no edit, no answer", {}},
        {"no edit", {}},
        {"a derived file name", renamedFile},
        {"a key no plan holds", withKey},
    };
    for (const auto &row : quietRows) {
        SCOPED_TRACE(row.name);
        const QString answer = row.name == std::string("no edit, no answer") ? QString() : QStringLiteral("- 필드를 정리함");
        QTemporaryDir quiet;
        prepare(quiet.path());
        QJsonArray steps{FakeClaude::resultEvent(answer)};
        if (row.edit) {
            Plan plan = Plan::decode(cleanPlan);
            Exporter::writeAll(plan, dir, Conventions::load({}).first);
            steps.prepend(FakeClaude::writePlan(row.edit(readFile(dir + "/plan.json"))));
        }
        const QByteArray start = readFile(dir + "/plan.json");
        fake.setScenario({{"steps", steps}});
        const QStringList before = backups();
        ASSERT_TRUE(revise("제목을 고쳐 줘"));
        settle();
        EXPECT_EQ(reviser.phase(), Reviser::Phase::done("Claude 가 아무것도 고치지 않았어요. 계획서는 그대로예요."));
        EXPECT_EQ(backups(), before);
        EXPECT_FALSE(QFileInfo::exists(dir + "/history/revisions.md"));
        EXPECT_EQ(readFile(dir + "/plan.json"), start);
        EXPECT_TRUE(TestFiles::historyFiles(dir, "kept-*.json").isEmpty());
    }
}

// A revision whose request links a wiki page reads the page with the
// server's read tools only: the page update the server also offers is
// refused, and the revision lands. The person's own settings allow the
// whole server and the plan folder (from a colleague) carries settings with
// hooks and its own allow rule: none of them reaches the run.
TEST_F(ReviserTest, ARevisionWithAWikiLinkCannotChangeThePage)
{
    QTemporaryDir wiki;
    writeFile(wiki.filePath("pages/42.md"), "# 정책\n제목은 채팅");
    writeFile(QDir::homePath() + "/.claude.json", FakeClaude::wikiConfig(wiki.filePath("pages"), wiki.filePath("calls.jsonl")));
    writeFile(QDir::homePath() + "/.claude/settings.json", R"({"permissions": {"allow": ["mcp__atlassian", "Edit"]}})");
    const QString hooked = wiki.filePath("hooked");
    const QString hook = QStringLiteral(R"({"hooks": [{"type": "command", "command": "echo hook >> '%1'"}]})").arg(hooked);
    writeFile(dir + "/.claude/settings.json",
              QStringLiteral(R"({"hooks": {"SessionStart": [%1], "PreToolUse": [%1]}})").arg(hook).toUtf8());
    writeFile(dir + "/.claude/settings.local.json", R"({"permissions": {"allow": ["mcp__atlassian__*"]}})");
    const QJsonObject pageId{{"cloudId", "harbor.atlassian.net"}, {"pageId", "42"}};
    QJsonObject update = pageId;
    update.insert("body", "바뀐 정책");
    fake.setScenario({{"steps", QJsonArray{FakeClaude::mcpCall("w1", "mcp__atlassian__updateConfluencePage", update),
                                          FakeClaude::mcpCall("w2", "mcp__atlassian__getConfluencePage", pageId),
                                          FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("제목을 고쳤어요")}}});
    ASSERT_TRUE(revise("위키 https://harbor.atlassian.net/wiki/spaces/HC/pages/42 대로 고쳐 줘"));
    settle();
    QFile::remove(QDir::homePath() + "/.claude.json");
    QFile::remove(QDir::homePath() + "/.claude/settings.json");
    EXPECT_EQ(reviser.phase(), Reviser::Phase::done("제목을 고쳤어요"));
    EXPECT_EQ(readFile(wiki.filePath("pages/42.md")), QByteArray("# 정책\n제목은 채팅"));
    EXPECT_FALSE(QFileInfo::exists(hooked));
    EXPECT_EQ(readFile(wiki.filePath("calls.jsonl")),
              QByteArray(R"({"arguments":{"cloudId":"harbor.atlassian.net","pageId":"42"},"tool":"getConfluencePage"})" "\n"));
}

// What revise takes and what it ignores, how the images are copied and
// named in the log; the user's wiki servers stay out without a wiki link.
TEST_F(ReviserTest, RequestRulesAndAttachments)
{
    EXPECT_FALSE(revise(""));
    EXPECT_FALSE(revise(" \n\t "));
    EXPECT_TRUE(phases.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/attachments"));

    writeFile(QDir::homePath() + "/.claude.json", R"({"mcpServers": {"atlassian": {"url": "https://mcp.atlassian.com/v1/sse"}}})");
    QTemporaryDir pictures;
    const QByteArray png = TestImages::png(3, 2, 10);
    writeFile(pictures.filePath("a.PNG"), png);
    writeFile(pictures.filePath("b"), TestImages::png(2, 2, 20));
    writeFile(pictures.filePath("c.jpeg"), "jpeg bytes");
    // Neither a text named like a picture nor 8 GB of nothing is copied.
    writeFile(pictures.filePath("notes.png"), "no picture");
    {
        QFile huge(pictures.filePath("huge.png"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        huge.write(png);
        ASSERT_TRUE(huge.resize(qint64(8) << 30));
    }
    // A pipe is no image: copying from it would wait for a writer for ever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(pictures.filePath("pipe.png")).constData(), 0600), 0);
    // Typed repository paths reach Claude as the draft hands them over.
    settings.androidRepo = QStringLiteral("~/android");
    settings.iosRepo = QStringLiteral("~/ios");
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), FakeClaude::resultEvent("")}}});
    ASSERT_TRUE(revise("  ", {pictures.filePath("a.PNG"), pictures.filePath("missing.png"), pictures.filePath("pipe.png"),
                              pictures.filePath("b"), pictures.filePath("notes.png"), pictures.filePath("huge.png")}));

    // While it runs, another request is ignored, its images not copied.
    EXPECT_FALSE(revise("또", {pictures.filePath("c.jpeg")}));
    settle();
    QFile::remove(QDir::homePath() + "/.claude.json");
    const QStringList copies = QDir(dir + "/history/attachments").entryList(QDir::Files | QDir::System, QDir::Name);
    ASSERT_EQ(copies.size(), 2);
    EXPECT_TRUE(copies[0].endsWith("-1.png"));
    EXPECT_TRUE(copies[1].endsWith("-4.png"));
    EXPECT_EQ(readFile(dir + "/history/attachments/" + copies[0]), png);

    // A later request's picture never replaces an earlier one of the same
    // second: the names of this second and the next are taken already.
    const QDateTime now = QDateTime::currentDateTime();
    QStringList taken;
    for (int second = 0; second < 3; ++second) {
        taken.append(dir + "/history/attachments/" + now.addSecs(second).toString("yyMMdd-HHmmss") + "-1.png");
        writeFile(taken.last(), "earlier picture");
    }
    writeFile(pictures.filePath("d.png"), TestImages::png(4, 4, 30));
    const QStringList again = Reviser::saveAttachments({pictures.filePath("d.png")}, dir);
    ASSERT_EQ(again.size(), 1);
    EXPECT_EQ(readFile(again.first()), TestImages::png(4, 4, 30));
    for (const QString &path : std::as_const(taken)) {
        EXPECT_EQ(readFile(path), QByteArray("earlier picture"));
        QFile::remove(path);
    }
    QFile::remove(again.first());

    EXPECT_EQ(reviser.phase(), Reviser::Phase::done("고쳤어요"));
    const QJsonObject start = fake.records("start").value(0);
    const QString prompt = start.value("stdin").toString();
    EXPECT_TRUE(prompt.contains("첨부 이미지대로 고쳐 줘\n")) << qPrintable(prompt);
    EXPECT_TRUE(prompt.contains("- " + dir + "/history/attachments/" + copies[0] + "\n"));
    EXPECT_EQ(argAfter(start, "--allowedTools"), "Read(./**),Edit(/plan.json),Grep(./**),Glob(./**)");
    const QStringList args = FakeClaude::arguments(start);
    QStringList added;
    for (qsizetype i = 0; i + 1 < args.size(); ++i)
        if (args[i] == "--add-dir")
            added.append(args[i + 1]);
    EXPECT_EQ(added, (QStringList{dir, QDir::homePath() + "/android", QDir::homePath() + "/ios"}));
    const QString named = "(첨부 이미지 2장: " + copies[0] + ", " + copies[1] + ")";
    const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
    EXPECT_TRUE(log.contains("> 첨부 이미지대로 고쳐 줘\n> " + named + "\n\n\n\n")) << qPrintable(log);
    EXPECT_EQ(Reviser::lastRequest(dir), "첨부 이미지대로 고쳐 줘 " + named);

    // An attachments/ that is a link elsewhere, or a pipe, keeps no picture
    // and drops none unsaid: the revision does not start and says why.
    const QString attachments = dir + "/history/attachments";
    ASSERT_TRUE(QDir(attachments).removeRecursively());
    QTemporaryDir elsewhere;
    const QByteArray planBefore = readFile(dir + "/plan.json");
    for (const bool pipe : {false, true}) {
        if (pipe)
            ASSERT_EQ(::mkfifo(QFile::encodeName(attachments).constData(), 0600), 0);
        else
            ASSERT_TRUE(QFile::link(elsewhere.path(), attachments));
        ASSERT_TRUE(revise("그림대로", {pictures.filePath("a.PNG")}));
        settle();
        EXPECT_EQ(reviser.phase(), Reviser::Phase::failed("첨부한 그림을 보관하지 못했어요: 폴더가 아니거나 링크라서 쓰지 않았어요: " + attachments));
        EXPECT_TRUE(QDir(elsewhere.path()).isEmpty());
        EXPECT_EQ(readFile(dir + "/plan.json"), planBefore);
        ASSERT_TRUE(QFile::remove(attachments));
    }
}

namespace {

const QByteArray laterPlan = R"({"meta": {"feature": "Chat", "title": "나중"}, "screens": [{"id": "a", "name": "ChatA"}]})";

QStringList keptContents(const QString &dir)
{
    QStringList contents;
    for (const QString &name : TestFiles::historyFiles(dir, "kept-*.json"))
        contents.append(QString::fromUtf8(readFile(dir + "/history/" + name)));
    return contents;
}

} // namespace

// Only "plan-*.json" files directly in history/ are undo points; undo walks
// back through them newest first, keeping each plan it replaces; a failed
// undo keeps both. A backup the writer cannot carry whole (a hand-edited
// file that --render saved) is consumed as a kept copy, not deleted.
TEST_F(ReviserTest, UndoWalksBackThroughTheBackups)
{
    QDir(dir + "/history").remove(olderBackup);
    for (const char *name : {"plan.json", "plan-x.JSON", "old-plan-1.json", "kept-200101-000000.json",
                             "attachments/plan-zzz.json", "revisions.md"})
        writeFile(dir + "/history/" + name, "not a backup");
    EXPECT_EQ(Reviser::lastBackup(dir), std::nullopt);
    EXPECT_FALSE(undo());
    EXPECT_TRUE(phases.isEmpty());
    EXPECT_EQ(doneCalls, 0);

    const QByteArray handEdited = R"({"meta": {"feature": "Chat", "title": "처음", "titel": "오타 난 키"}, "screens": []})";
    writeFile(dir + "/history/plan-261206-121650.json", handEdited);
    writeFile(dir + "/history/plan-261207-080000.json", laterPlan);
    writeFile(dir + "/history/plan-x.json", "{}");
    EXPECT_EQ(Reviser::lastBackup(dir), dir + "/history/plan-x.json");
    QFile::remove(dir + "/history/plan-x.json");
    EXPECT_EQ(Reviser::lastBackup(dir), dir + "/history/plan-261207-080000.json");

    // A backup that holds no JSON does not block the ones behind it: the
    // undo moves it aside as a kept copy and leaves the plan as it is.
    writeFile(dir + "/history/plan-261207-090000.json", "{ broken");
    ASSERT_TRUE(undo());
    EXPECT_EQ(reviser.phase().kind, Reviser::Phase::Kind::failed);
    EXPECT_TRUE(reviser.phase().text.startsWith("되돌리지 못했어요: plan-261207-090000.json 은 JSON 이 깨져 있어"))
        << qPrintable(reviser.phase().text);
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/plan-261207-090000.json"));
    EXPECT_EQ(keptContents(dir), (QStringList{"not a backup", "{ broken"}));
    QFile::remove(TestFiles::historyFiles(dir, "kept-*.json").value(1).prepend(dir + "/history/"));
    EXPECT_EQ(Reviser::lastBackup(dir), dir + "/history/plan-261207-080000.json");

    // A failed undo changes nothing it cannot give back: the backup stays for
    // another try, and so do the plan it would replace and its page.
    const QByteArray page = readFile(dir + "/index.html");
    QFile::remove(dir + "/index.html");
    QDir(dir).mkpath("index.html/inside");
    ASSERT_TRUE(undo());
    EXPECT_TRUE(reviser.phase().text.startsWith("되돌리지 못했어요: ")) << qPrintable(reviser.phase().text);
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    EXPECT_EQ(readFile(dir + "/plan.md"), QByteArray("old md"));
    EXPECT_EQ(readFile(dir + "/history/plan-261207-080000.json"), laterPlan);
    EXPECT_EQ(keptContents(dir), QStringList{"not a backup"});
    QDir(dir + "/index.html").removeRecursively();
    writeFile(dir + "/index.html", page);
    QFile::remove(dir + "/plan.json");
    QDir(dir).mkpath("plan.json/inside");
    ASSERT_TRUE(undo());
    EXPECT_EQ(reviser.phase().kind, Reviser::Phase::Kind::failed);
    EXPECT_TRUE(reviser.phase().text.startsWith("되돌리지 못했어요: ")) << qPrintable(reviser.phase().text);
    EXPECT_TRUE(QFileInfo(dir + "/plan.json/inside").isDir());
    EXPECT_EQ(readFile(dir + "/history/plan-261207-080000.json"), laterPlan);
    EXPECT_EQ(readFile(dir + "/plan.md"), QByteArray("old md"));
    EXPECT_EQ(readFile(dir + "/history/revisions.md"), QByteArray("not a backup"));
    EXPECT_EQ(keptContents(dir), QStringList{"not a backup"});
    EXPECT_EQ(doneCalls, 0);
    QDir(dir + "/plan.json").removeRecursively();
    writeFile(dir + "/plan.json", cleanPlan);

    ASSERT_TRUE(undo());
    EXPECT_EQ(reviser.phase(), Reviser::Phase::done("직전 고치기 전으로 되돌렸어요"));
    EXPECT_EQ(doneCalls, 1);
    EXPECT_FALSE(reviser.startedAt().has_value());
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("나중"));
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("나중"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/plan-261207-080000.json"));
    // The plan the undo replaced is kept, but is no undo point.
    EXPECT_EQ(keptContents(dir), (QStringList{"not a backup", QString::fromUtf8(cleanPlan)}));
    // The undo took back the change before it, of which this log says
    // nothing: the next undo has no request to quote.
    EXPECT_EQ(Reviser::lastRequest(dir), "");
    const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
    EXPECT_TRUE(log.contains(" · 테스터\n\n> (되돌리기)\n\n- 직전 고치기 전으로 되돌림\n\n")) << qPrintable(log);

    ASSERT_TRUE(undo());
    EXPECT_EQ(reviser.phase().kind, Reviser::Phase::Kind::done);
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("처음"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/plan-261206-121650.json"));
    const QStringList kept = keptContents(dir);
    EXPECT_EQ(kept.size(), 4);
    EXPECT_TRUE(kept.contains(QString::fromUtf8(handEdited)));
    EXPECT_EQ(Reviser::lastBackup(dir), std::nullopt);
    EXPECT_EQ(doneCalls, 2);
    const qsizetype changes = phases.size();
    EXPECT_FALSE(undo());
    EXPECT_EQ(phases.size(), changes);
    EXPECT_EQ(doneCalls, 2);
}

// The log: newest entry first, the old bytes kept as they are, nothing
// written where there is no history/ or the log cannot be read.
TEST_F(ReviserTest, LogEntriesGoOnTopAndKeepWhatWasThere)
{
    const QByteArray notUtf8 = "## old\n\n> \xff\xfe request\n\nanswer \xc3\n\n";
    writeFile(dir + "/history/revisions.md", notUtf8);
    Reviser::appendLog(dir, "첫 줄\n\n셋째 줄", "- 답\n- 둘째", "");
    const QByteArray log = readFile(dir + "/history/revisions.md");
    EXPECT_TRUE(log.endsWith("\n\n" + notUtf8));
    const QString entry = QString::fromUtf8(log.left(log.size() - notUtf8.size()));
    QRegularExpression header("^## \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d · \n");
    EXPECT_TRUE(header.match(entry).hasMatch()) << qPrintable(entry);
    EXPECT_TRUE(entry.endsWith(" · \n\n> 첫 줄\n> \n> 셋째 줄\n\n- 답\n- 둘째\n\n")) << qPrintable(entry);
    EXPECT_EQ(Reviser::lastRequest(dir), "첫 줄  셋째 줄");

    // The next undo takes back the newest change no undo took back yet:
    // after undos in a row each quotes the change before the last one
    // taken back; a rollback's entry logs no change of its own.
    const struct {
        QStringList requests; // logged in this order, the newest last
        QString last;
    } undoRows[] = {
        {{"A 고쳐 줘", "B 고쳐 줘"}, "B 고쳐 줘"},
        {{"A 고쳐 줘", "B 고쳐 줘", Reviser::undoRequest()}, "A 고쳐 줘"},
        {{"A 고쳐 줘", "B 고쳐 줘", Reviser::undoRequest(), Reviser::undoRequest()}, ""},
        {{"A 고쳐 줘", "B 고쳐 줘", "C 고쳐 줘", Reviser::undoRequest(), Reviser::undoRequest()}, "A 고쳐 줘"},
        {{"A 고쳐 줘", "B 고쳐 줘", Reviser::undoRequest(), "C 고쳐 줘", Reviser::undoRequest()}, "A 고쳐 줘"},
        {{"A 고쳐 줘", "B 고쳐 줘", Reviser::rollbackRequest(), Reviser::undoRequest()}, "A 고쳐 줘"},
        {{"A 고쳐 줘", Reviser::undoRequest(), Reviser::rollbackRequest()}, ""},
    };
    for (const auto &row : undoRows) {
        SCOPED_TRACE(row.requests.join(" / ").toStdString());
        QTemporaryDir logged;
        QDir(logged.path()).mkpath("history");
        for (const QString &request : row.requests)
            Reviser::appendLog(logged.path(), request, "- 답", "나");
        EXPECT_EQ(Reviser::lastRequest(logged.path()), row.last);
    }

    // ">" lines without a blank belong to the request too.
    writeFile(dir + "/history/revisions.md", "## t · a\n\n>\tzero\n> first\n>\tsecond\n>third\nnot\n> other entry\n");
    EXPECT_EQ(Reviser::lastRequest(dir), "first \tsecond third");

    QTemporaryDir bare;
    Reviser::appendLog(bare.path(), "요청", "답", "나");
    EXPECT_TRUE(QDir(bare.path()).isEmpty());
    EXPECT_EQ(Reviser::lastRequest(bare.path()), "");

    QDir(bare.path()).mkpath("history/revisions.md");
    Reviser::appendLog(bare.path(), "요청", "답", "나");
    EXPECT_TRUE(QFileInfo(bare.path() + "/history/revisions.md").isDir());

    // A history/ that leads to another plan's is neither read nor written.
    QTemporaryDir linked;
    ASSERT_TRUE(QFile::link(dir + "/history", linked.path() + "/history"));
    const QByteArray before = readFile(dir + "/history/revisions.md");
    Reviser::appendLog(linked.path(), "요청", "답", "나");
    EXPECT_EQ(readFile(dir + "/history/revisions.md"), before);
    EXPECT_EQ(Reviser::lastRequest(linked.path()), "");
}

// A revision records that it is under way, naming its backup, and removes
// the record however it ends. A record left by a killed run makes the next
// use of the folder put the backup back with its derived files, keeping
// what Claude left; a record whose backup is gone means nothing to undo.
TEST_F(ReviserTest, InterruptedRevisionRollsBackFromItsBackup)
{
    fake.setScenario({{"steps", QJsonArray{FakeClaude::writePlan(editedPlan), QJsonObject{{"awaitSigterm", QJsonObject{}}}}}});
    ASSERT_TRUE(revise("제목을 고쳐 줘"));
    QElapsedTimer timer;
    timer.start();
    while (readFile(dir + "/plan.json") != editedPlan && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    // The record names the backup and Claude's run.
    const QStringList record = QString::fromUtf8(readFile(dir + "/history/revision-under-way")).split(u'\n');
    ASSERT_TRUE(record.value(0).startsWith("plan-")) << qPrintable(record.join("|"));
    EXPECT_EQ(readFile(dir + "/history/" + record.value(0)), cleanPlan);
    const std::optional<UnderWay::Entry> entry = UnderWay::read(dir);
    ASSERT_TRUE(entry && entry->group);
    // Named by the token in the run's environment and the folder it was
    // started for, and read from this folder.
    EXPECT_EQ(QString::fromLatin1(entry->group->token),
              fake.records("start").value(0).value("env").toObject().value("QUARRYSTONE_RUN").toString());
    EXPECT_EQ(entry->group->place, RunMarks::placeOf(dir));
    EXPECT_EQ(entry->group->folder, dir);
    EXPECT_TRUE(RunMarks::alive(*entry->group));
    reviser.cancel();
    settle();
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way"));

    // What a killed revision leaves: the record, its backup and Claude's edit.
    writeFile(dir + "/history/plan-261207-100000.json", cleanPlan);
    writeFile(dir + "/history/revision-under-way", "plan-261207-100000.json");
    writeFile(dir + "/plan.json", editedPlan);
    const std::optional<QString> line = FolderRestore::rollBack(dir, settings);
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(line->startsWith("중단된 고치기를 되돌렸어요: ")) << qPrintable(*line);
    EXPECT_FALSE(line->contains(u'\n'));
    const Plan back = Plan::decode(readFile(dir + "/plan.json"));
    EXPECT_EQ(back.meta.title, Plan::decode(cleanPlan).meta.title);
    EXPECT_NE(back.meta.title, Plan::decode(editedPlan).meta.title);
    EXPECT_NE(readFile(dir + "/plan.md"), QByteArray("old md"));
    EXPECT_NE(readFile(dir + "/index.html"), QByteArray("old html"));
    EXPECT_EQ(keptContents(dir), QStringList{QString::fromUtf8(editedPlan)});
    EXPECT_TRUE(line->contains(TestFiles::historyFiles(dir, "kept-*.json").value(0)));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way"));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/plan-261207-100000.json"));
    EXPECT_EQ(backups(), QStringList{olderBackup});
    // The log no longer holds a change the plan lacks without saying so.
    // Its backup went with it: the next undo takes back what came before.
    EXPECT_TRUE(readFile(dir + "/history/revisions.md").contains("\n\n> (중단된 고치기 되돌림)\n\n"));
    EXPECT_EQ(Reviser::lastRequest(dir), "");
    // A rollback killed after its log entry, before its record went, is
    // done again by the next use of the folder, and logged once.
    writeFile(dir + "/history/plan-261207-100001.json", readFile(dir + "/plan.json"));
    writeFile(dir + "/history/revision-under-way", "plan-261207-100001.json");
    ASSERT_TRUE(FolderRestore::rollBack(dir, settings).has_value());
    EXPECT_EQ(readFile(Reviser::logFile(dir)).count("(중단된 고치기 되돌림)"), 1);
    EXPECT_EQ(backups(), QStringList{olderBackup});
    EXPECT_EQ(FolderRestore::rollBack(dir, settings), std::nullopt);

    writeFile(dir + "/history/revision-under-way", "plan-261207-110000.json");
    const QByteArray now = readFile(dir + "/plan.json");
    EXPECT_EQ(FolderRestore::rollBack(dir, settings), std::nullopt);
    EXPECT_EQ(readFile(dir + "/plan.json"), now);
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way"));
}

// A recorded backup that is empty, cut, no plan, or a link to another file
// cannot be rolled back to: it is moved aside once, named, and the folder is
// free again, plan.json left as it is.
TEST_F(ReviserTest, ABrokenRecordedBackupIsMovedAsideOnce)
{
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath("other.json"), laterPlan);
    const QList<std::pair<QString, std::function<void(const QString &)>>> broken{
        {"empty", [](const QString &path) { writeFile(path, ""); }},
        {"cut", [](const QString &path) { writeFile(path, cleanPlan.left(cleanPlan.size() / 2)); }},
        {"no plan", [](const QString &path) { writeFile(path, "[1, 2]"); }},
        {"link", [&](const QString &path) { QFile::link(elsewhere.filePath("other.json"), path); }},
    };
    for (const auto &[what, make] : broken) {
        const QString name = "plan-261207-120000.json";
        make(dir + "/history/" + name);
        writeFile(dir + "/history/revision-under-way", name.toUtf8() + "\n");
        writeFile(dir + "/plan.json", editedPlan);
        const QStringList keptBefore = TestFiles::historyFiles(dir, "kept-*.json");
        const FolderClaim claim = FolderClaim::take(dir, settings);
        ASSERT_EQ(claim.notices().size(), 1) << qPrintable(what);
        EXPECT_TRUE(claim.notices().first().startsWith("중단된 고치기의 백업 " + name + " 이 깨져 있어 되돌리지 않고 "))
            << qPrintable(claim.notices().first());
        EXPECT_EQ(readFile(dir + "/plan.json"), editedPlan) << qPrintable(what);
        EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way")) << qPrintable(what);
        EXPECT_FALSE(QFileInfo(dir + "/history/" + name).isSymLink() || QFileInfo::exists(dir + "/history/" + name));
        EXPECT_EQ(TestFiles::historyFiles(dir, "kept-*.json").size(), keptBefore.size() + 1) << qPrintable(what);
        EXPECT_EQ(readFile(elsewhere.filePath("other.json")), laterPlan);
    }
    EXPECT_EQ(backups(), QStringList{olderBackup});
}

// While another operation holds the folder, a revision and an undo fail,
// naming the folder, and change nothing.
TEST_F(ReviserTest, AHeldFolderIsRefused)
{
    const QString busy = "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + dir;
    const FolderLock elsewhere = FolderLock::take(dir);
    ASSERT_TRUE(revise("제목을 고쳐 줘"));
    while (reviser.phase().isRunning())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(reviser.phase(), Reviser::Phase::failed(busy));
    ASSERT_TRUE(undo());
    EXPECT_EQ(reviser.phase(), Reviser::Phase::failed("되돌리지 못했어요: " + busy));
    EXPECT_TRUE(fake.records("start").isEmpty());
    EXPECT_EQ(readFile(dir + "/plan.json"), cleanPlan);
    EXPECT_EQ(backups(), QStringList{olderBackup});
    EXPECT_EQ(doneCalls, 0);
}

// A stop ends the whole run before the plan is put back: a command Claude
// started, which outlives SIGTERM and writes plan.json two seconds after
// it, is gone with the run by the time the stop is told, and the plan from
// before stays.
TEST_F(ReviserTest, AStoppedRevisionEndsItsWholeRunBeforeThePlanGoesBack)
{
    const QByteArray before = readFile(dir + "/plan.json");
    const QJsonObject late{{"ms", 2000}, {"afterSigterm", true}, {"path", "plan.json"},
                           {"content", QString::fromUtf8(editedPlan)}};
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"startChild", QJsonObject{{"write", late}}}},
                                           FakeClaude::writePlan(editedPlan),
                                           QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    ASSERT_TRUE(revise("제목을 고쳐 줘"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return !fake.records("child").isEmpty() && readFile(dir + "/plan.json") == editedPlan; },
                                60000));
    reviser.cancel();
    settle();
    EXPECT_EQ(reviser.phase().text, QStringLiteral("멈췄어요. 고치기 전으로 돌려 놨어요."));
    const pid_t child = static_cast<pid_t>(fake.records("child").value(0).value("child").toInteger());
    // Nothing of the run is left to write: the plan from before is the
    // plan for good.
    EXPECT_TRUE(QTest::qWaitFor([child] { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(child)); }, 60000));
    EXPECT_EQ(readFile(dir + "/plan.json"), before);
    ::kill(child, SIGKILL);
}
