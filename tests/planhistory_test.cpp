#include "model/planhistory.h"

#include "core/jsonread.h"
#include "core/text.h"
#include "model/reviser.h"
#include "model/plan.h"
#include "model/planjson.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTime>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

// What a write would drop, as the one-pass reader judges it while it reads
// (its plan and its judgment both the whole-object reader's).
bool drops(const QByteArray &json)
{
    const QJsonObject object = parseObject(json);
    const Plan whole = *Plan::read(object);
    const PlanJson::Read read = PlanJson::read(json);
    EXPECT_EQ(PlanJson::pretty(read.plan), PlanJson::pretty(whole)) << json.constData();
    EXPECT_EQ(read.wouldDrop, PlanHistory::writeWouldDrop(object, whole)) << json.constData();
    return read.wouldDrop;
}

// A plan with `count` screens, and as many strings with derived frames and
// boxes, long enough that its lists are compared on every core; the screens
// at `typos` carry a misspelt key.
QByteArray longPlan(int count, const QList<int> &typos = {})
{
    QByteArray screens;
    QByteArray strings;
    for (int i = 0; i < count; ++i) {
        const QByteArray n = QByteArray::number(i);
        screens += QByteArray(i ? "," : "") + "{\"id\": \"s" + n + "\", \"name\": \"S" + n + "\""
            + (typos.contains(i) ? ", \"titel\": \"x\"" : "") + "}";
        strings += QByteArray(i ? "," : "") + "{\"key\": \"k" + n + "\", \"frame\": 3, \"box\": {\"x\": \"bad\"}}";
    }
    return "{\"meta\": {\"feature\": \"Chat\"}, \"screens\": [" + screens + "], \"strings\": [" + strings + "]}";
}

} // namespace

TEST(PlanHistory, ReadableContentIsNotADrop)
{
    EXPECT_FALSE(drops("{}"));
    // Bare texts become objects with the same text; nulls say nothing.
    EXPECT_FALSE(drops(R"({"screens": [{"id": "a", "condition": "로그인했을 때", "rules": ["x", {"text": "y"}],
                                       "args": ["item"], "figmaLabel": null}]})"));
    // Derived fields are recomputed on every write.
    EXPECT_FALSE(drops(R"({"naming": {"platformMap": {"a": 1}},
                          "strings": [{"key": "k", "frame": 3, "box": {"x": "bad"}}]})"));
    EXPECT_FALSE(drops(longPlan(100)));
    // Escapes, texts beyond ASCII and number forms read as the parser reads them.
    EXPECT_FALSE(drops(R"({"schemaVersion": 2.0e0, "meta": {"title": "\u00e9\/\n\"카페\"\t", "summary": "Café 😀",
                          "generator": {"b": "2", "a": "1"}}, "strings": [{"key": "k", "box": {"x": -0, "y": 1e-3,
                          "w": 0.1, "h": 12345678901234567890}}]})"));
    EXPECT_FALSE(drops(R"({"naming": {"platformMap": {"room": {"android": {"dir": "d", "files": ["A.kt"],
                          "navigation": []}, "ios": {"dir": "i", "files": [], "navigation": ["router.pop"]}}}}})"));
    EXPECT_FALSE(drops(R"({"models": [{"name": "M", "apiAligned": true, "fields": null}], "apis": null,
                          "decisions": [{"id": "D1", "result": null, "screens": ["a"]}]})"));
}

TEST(PlanHistory, LostContentIsADrop)
{
    EXPECT_TRUE(drops(R"({"meta": {"titel": "오타"}})"));
    EXPECT_TRUE(drops(R"({"schemaVersion": "2"})"));
    EXPECT_TRUE(drops(R"({"screens": [{"id": "a"}, 7]})"));
    EXPECT_TRUE(drops(R"({"models": [{"name": "M", "apiAligned": "true"}]})"));
    EXPECT_TRUE(drops(R"({"screens": [{"id": "a", "condition": 5}]})"));
    EXPECT_TRUE(drops(longPlan(100, {99})));
    EXPECT_TRUE(drops(R"({"meta": {"title": "하나", "title": 2}})"));
    EXPECT_TRUE(drops(R"({"schemaVersion": 9007199254740993})"));
    EXPECT_TRUE(drops(R"({"screens": [{"id": "a", "strings": ["x", null]}]})"));
    EXPECT_TRUE(drops(R"({"meta": {"generator": {"a": "1", "b": 2}}})"));
    EXPECT_TRUE(drops(R"({"meta": {"\u0074itel": "오타"}})"));
}

TEST(PlanHistory, BackupCopiesTheFileAndNeverReplacesOne)
{
    QTemporaryDir dir;
    QFile plan(dir.filePath("plan.json"));
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
    plan.write("{\"meta\": {}}");
    plan.close();

    const QString copy = PlanHistory::backup(dir.path());
    EXPECT_TRUE(copy.startsWith(dir.filePath("history/plan-")));
    QFile saved(copy);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), QByteArray("{\"meta\": {}}"));

    // A second backup within the same second must not overwrite the first;
    // either it lands under a new second's name or it fails.
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly | QIODevice::Truncate));
    plan.write("{\"meta\": {\"title\": \"later\"}}");
    plan.close();
    try {
        EXPECT_NE(PlanHistory::backup(dir.path()), copy);
    } catch (const PlanHistory::Failure &) {
    }
    saved.seek(0);
    EXPECT_EQ(saved.readAll(), QByteArray("{\"meta\": {}}"));
    saved.close();
    QFile again(copy);
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    EXPECT_EQ(again.readAll(), QByteArray("{\"meta\": {}}"));

    QTemporaryDir empty;
    EXPECT_THROW(PlanHistory::backup(empty.path()), PlanHistory::Failure);
}

// Backups taken within one second all succeed under names of their own, the
// older ones keep theirs, and the newest is the last by code point, which is
// how undo finds it.
TEST(PlanHistory, SameSecondBackupsSortInTheOrderTheyWereMade)
{
    QTemporaryDir dir;
    QStringList made;
    QStringList contents;
    // Ten small copies take a few milliseconds: starting them at the top of
    // a second keeps them within it.
    while (QTime::currentTime().msec() > 100)
        QThread::msleep(10);
    const QDateTime start = QDateTime::currentDateTime();
    for (int n = 0; n < 10; ++n) {
        QFile plan(dir.filePath("plan.json"));
        ASSERT_TRUE(plan.open(QIODevice::WriteOnly | QIODevice::Truncate));
        contents.append(QStringLiteral("{\"n\": %1}").arg(n));
        plan.write(contents.last().toUtf8());
        plan.close();
        made.append(PlanHistory::backup(dir.path()));
    }
    if (start.secsTo(QDateTime::currentDateTime()) > 0)
        GTEST_SKIP() << "the ten backups did not fit in one second";
    QStringList sorted = made;
    Text::sortByCodePoint(sorted);
    EXPECT_EQ(sorted, made);
    EXPECT_EQ(QSet<QString>(made.begin(), made.end()).size(), 10);
    for (int n = 0; n < 10; ++n) {
        QFile saved(made.at(n));
        ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
        EXPECT_EQ(saved.readAll(), contents.at(n).toUtf8()) << qPrintable(made.at(n));
    }
    EXPECT_EQ(Reviser::lastBackup(dir.path()), made.last());
    EXPECT_EQ(QDir(dir.filePath("history")).entryList(QDir::Files).size(), 10);
}

TEST(PlanHistory, KeptCopiesNeverReplaceEachOther)
{
    QTemporaryDir dir;
    QStringList paths;
    for (int i = 0; i < 3; ++i)
        paths << PlanHistory::keep(dir.path(), QByteArray("copy ") + QByteArray::number(i));
    // Three copies in (almost always) one second: three names, three contents.
    EXPECT_EQ(QSet<QString>(paths.begin(), paths.end()).size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(QFileInfo(paths[i]).fileName().startsWith("kept-"));
        QFile file(paths[i]);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), QByteArray("copy ") + QByteArray::number(i));
    }

    QTemporaryDir other;
    QFile blocker(other.filePath("history"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_THROW(PlanHistory::keep(other.path(), "x"), PlanHistory::Failure);
}

// Backups made after the clock went back (a time-zone change, a clock set
// back) still sort after the ones made before: undo takes the newest, and
// names already on disk are read as they are.
TEST(PlanHistory, BackupOrderCannotGoBackWithTheClock)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("history"));
    const auto writePlan = [&](const QByteArray &bytes) {
        QFile plan(dir.filePath("plan.json"));
        ASSERT_TRUE(plan.open(QIODevice::WriteOnly | QIODevice::Truncate));
        plan.write(bytes);
    };
    // Made an hour ahead of this clock, by the time zone before.
    const QString ahead = "plan-" + QDateTime::currentDateTime().addSecs(3600).toString("yyMMdd-HHmmss");
    QFile earlier(dir.filePath("history/" + ahead + "_0002.json"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("{\"n\": 0}");
    earlier.close();
    writePlan("{\"n\": 1}");
    const QString first = PlanHistory::backup(dir.path());
    EXPECT_EQ(QFileInfo(first).fileName(), ahead + "_0003.json");
    EXPECT_EQ(Reviser::lastBackup(dir.path()), first);
    writePlan("{\"n\": 2}");
    const QString second = PlanHistory::backup(dir.path());
    EXPECT_EQ(Reviser::lastBackup(dir.path()), second);
    EXPECT_TRUE(Text::codePointLess(QFileInfo(first).fileName(), QFileInfo(second).fileName()));
}

// Backups and kept copies are as private as the plan they copy; a plan.json
// that is a pipe is refused, not waited on for ever.
TEST(PlanHistory, CopiesTakeThePlansModeAndPipesAreRefused)
{
    QTemporaryDir dir;
    QFile plan(dir.filePath("plan.json"));
    ASSERT_TRUE(plan.open(QIODevice::WriteOnly));
    plan.write("{}");
    plan.close();
    ASSERT_EQ(::chmod(QFile::encodeName(plan.fileName()).constData(), 0600), 0);
    const auto modeOf = [](const QString &path) {
        struct stat status {};
        ::stat(QFile::encodeName(path).constData(), &status);
        return status.st_mode & 0777;
    };
    EXPECT_EQ(modeOf(PlanHistory::backup(dir.path())), 0600u);
    EXPECT_EQ(modeOf(PlanHistory::keep(dir.path(), "kept")), 0600u);
    ASSERT_EQ(::chmod(QFile::encodeName(plan.fileName()).constData(), 0640), 0);
    EXPECT_EQ(modeOf(PlanHistory::backup(dir.path())), 0640u);

    QFile::remove(plan.fileName());
    ASSERT_EQ(::mkfifo(QFile::encodeName(plan.fileName()).constData(), 0600), 0);
    EXPECT_THROW(PlanHistory::backup(dir.path()), PlanHistory::Failure);
}

// A revision's result is judged against the plan written before it: what
// it leaves out at the plan's defaults loses nothing, what it leaves out,
// empties or retypes that held something is named; what the writer would
// leave out where the plan held nothing is Claude's addition, no loss.
TEST(PlanHistory, RevisionResultsThatLoseSomethingAreRefused)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Chat");
    Screen screen;
    screen.key = QStringLiteral("a");
    screen.name = QStringLiteral("ChatA");
    plan.screens.append(screen);
    const QByteArray before = QJsonDocument(plan.toJson()).toJson();
    const QString lost = QStringLiteral("Claude 가 고친 plan.json 을 받으면 없어지는 내용: ");
    // Content gone from a part that still stands may have been wanted: the
    // refusal says how to ask for it. An element blanked never was.
    const auto removal = [&lost](const char *places) { return lost + places + '\n' + PlanHistory::removalHint(); };
    // One rule for a part deleted and a part emptied; a key no plan holds,
    // already in the file before, is no content the plan had.
    const QByteArray withModels = R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}],
                                      "models": [{"name": "Message"}], "extra": 1})";
    const QByteArray rich = R"({"meta": {"feature": "Chat", "title": "채팅", "summary": "대화"},
        "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
        "models": [{"name": "Message", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
        "naming": {"rules": ["Chat 접두어"]}})";
    const QByteArray two = R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
        "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "b", "name": "ChatB", "title": "상세",
                     "rules": [{"text": "읽기 전용"}], "platformNotes": {"ios": "iOS 메모"}}],
        "decisions": [{"id": "D1", "question": "공유?"}]})";
    const struct {
        QByteArray before;
        QByteArray after;
        QString refusal;
        bool removalAsked = false;
    } rows[] = {
        {before, before, QString()},
        {before, R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}]})", QString()},
        {before, R"({"meta": {"feature": "Chat"}, "screens": []})", removal("screens")},
        {before, R"({"screens": [{"id": "a", "name": "ChatA"}]})", removal("meta.feature")},
        {before, R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}], "decisions": {}})", QString()},
        {before, R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "memo": "더함"}]})", QString()},
        {before, R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": 7}]})", removal("screens[0].name")},
        {before, R"({"meta": "Chat", "screens": [{"id": "a", "name": "ChatA"}]})", removal("meta")},
        {before, longPlan(100, {70, 3}), QString()},
        {before, "[1]", QStringLiteral("Claude 가 고친 plan.json 이 계획서가 아니에요(JSON 객체가 아님)")},
        {withModels, R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}], "extra": 1})",
         removal("models")},
        {withModels,
         R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}], "models": [], "extra": 1})",
         removal("models")},
        {withModels, R"({"meta": {"feature": "Chat", "title": "채팅"}, "screens": [{"id": "a", "name": "ChatA"}],
             "models": [{"name": "Message"}], "extra": 1})",
         QString()},
        // Null, emptied or thinned objects and blanked elements lose the
        // same content as deleted parts, at any depth.
        {rich, R"({"meta": {}, "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         removal("meta.feature, meta.summary, meta.title")},
        {rich, R"({"meta": null, "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         removal("meta.feature, meta.summary, meta.title")},
        {rich, R"({"meta": {"title": "채팅"}, "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {}})",
         removal("meta.feature, meta.summary, naming")},
        {rich, R"({"meta": {"feature": "Chat", "title": "채팅", "summary": "대화"}, "screens": [{}],
             "models": [{}, {}], "naming": {"rules": ["Chat 접두어"]}})",
         lost + "screens, models"},
        // Content moved to a key no plan holds, as a model renaming a key
        // does, is lost from where the plan keeps it.
        {rich, R"({"meta": {"feature": "Chat", "title": "채팅", "summary": "대화"},
             "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [], "oldFields": [{"name": "id"}]},
                        {"name": "Room", "fields": [], "oldFields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         removal("models[0].fields, models[1].fields")},
        // Screens put in another order lose nothing either.
        {R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "b", "name": "ChatB"}]})",
         R"({"meta": {"feature": "Chat"}, "screens": [{"id": "b", "name": "ChatB"}, {"id": "a", "name": "ChatA", "title": "채팅"}]})",
         QString()},
        // Two screens swapped and a rule added to the one moved: all there.
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
             "screens": [{"id": "b", "name": "ChatB", "title": "상세", "rules": [{"text": "읽기 전용"}, {"text": "새 규칙"}],
                          "platformNotes": {"ios": "iOS 메모"}}, {"id": "a", "name": "ChatA", "title": "채팅"}],
             "decisions": [{"id": "D1", "question": "공유?"}]})",
         QString()},
        // An object among the generator's texts is left out alone.
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone", "run": {"n": 1}}},
             "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "b", "name": "ChatB", "title": "상세",
                          "rules": [{"text": "읽기 전용"}], "platformNotes": {"ios": "iOS 메모"}}],
             "decisions": [{"id": "D1", "question": "공유?"}]})",
         QString()},
        // A screen added while the detail's title went: the list grew, the
        // screens kept are still compared whole.
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
             "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "share", "name": "ChatShare", "title": "공유"},
                         {"id": "b", "name": "ChatB", "title": "", "rules": [{"text": "읽기 전용"}],
                          "platformNotes": {"ios": "iOS 메모"}}],
             "decisions": [{"id": "D1", "question": "공유?"}]})",
         removal("screens[1].title")},
        // A note or the only decision removed: refused unless the request
        // asks for something to go; a blanked screen never passes.
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
             "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "b", "name": "ChatB", "title": "상세",
                          "rules": [{"text": "읽기 전용"}]}], "decisions": []})",
         removal("screens[1].platformNotes, decisions")},
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
             "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {"id": "b", "name": "ChatB", "title": "상세",
                          "rules": [{"text": "읽기 전용"}]}], "decisions": []})",
         QString(), true},
        {two, R"({"meta": {"feature": "Chat", "generator": {"app": "quarrystone"}},
             "screens": [{"id": "a", "name": "ChatA", "title": "채팅"}, {}], "decisions": []})",
         lost + "screens[1]", true},
        // A name that tells a model apart blanked: the model in its place
        // is the one compared; a move's trigger emptied, the same.
        {rich, R"({"meta": {"feature": "Chat", "title": "채팅", "summary": "대화"},
             "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         removal("models[0].name")},
        {R"({"screens": [{"id": "a"}, {"id": "b"}], "transitions": [{"from": "a", "to": "b", "trigger": "onTap"}]})",
         R"({"screens": [{"id": "a"}, {"id": "b"}], "transitions": [{"from": "a", "to": "b", "trigger": ""}]})",
         removal("transitions[0].trigger")},
        // A field renamed, beside a field added, is the field it was.
        {rich, R"({"meta": {"feature": "Chat", "title": "채팅", "summary": "대화"},
             "screens": [{"id": "a", "name": "ChatA"}, {"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [{"name": "messageId"}, {"name": "sentAt"}]},
                        {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         QString()},
        // A screen deleted and a title changed lose nothing the plan keeps.
        {rich, R"({"meta": {"feature": "Chat", "title": "새 채팅", "summary": "대화"}, "screens": [{"id": "b", "name": "ChatB"}],
             "models": [{"name": "Message", "fields": [{"name": "id"}]}, {"name": "Room", "fields": [{"name": "title"}]}],
             "naming": {"rules": ["Chat 접두어"]}})",
         QString()},
    };
    QTemporaryDir dir;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.after.toStdString());
        QFile file(dir.filePath("plan.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(row.after);
        file.close();
        EXPECT_EQ(PlanHistory::revisionRefusal(dir.path(), PlanFiles::Kept(row.before), nullptr, row.removalAsked).toStdString(),
                  row.refusal.toStdString());
    }
    QFile::remove(dir.filePath("plan.json"));
    EXPECT_EQ(PlanHistory::revisionRefusal(dir.path(), PlanFiles::Kept(before)).toStdString(), "Claude 가 고친 plan.json 을 읽지 못했어요: 파일이나 폴더가 없어요");
}
