#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "model/plan.h"
#include "model/planjson.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <limits>

namespace {

QByteArray fixture(const char *name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/plan/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "missing fixture " << name;
    return file.readAll();
}

Plan decode(const char *json)
{
    return Plan::decode(QByteArray(json));
}

// The written form parsed back, to look at which keys were written.
QJsonObject written(const Plan &plan)
{
    return QJsonDocument::fromJson(JSONCoding::pretty(plan)).object();
}

QJsonObject firstOf(const QJsonObject &o, const char *list)
{
    return o.value(QLatin1String(list)).toArray().first().toObject();
}

} // namespace

TEST(PlanWriting, EmptyPlanMatchesGoldenFile)
{
    EXPECT_EQ(PlanJson::pretty(Plan()), fixture("empty-plan.json"));
    EXPECT_EQ(JSONCoding::pretty(Plan()), fixture("empty-plan.json"));
    EXPECT_EQ(decode("{}"), Plan());
}

TEST(PlanWriting, RichPlanRoundTripsToItsOwnBytes)
{
    const QByteArray original = fixture("rich-plan.json");
    const Plan first = Plan::decode(original);
    const QByteArray once = PlanJson::pretty(first);
    EXPECT_EQ(once, original);
    EXPECT_EQ(JSONCoding::pretty(first), original);
    EXPECT_FALSE(PlanJson::read(original).wouldDrop);
    // The page's block, made from plan.json's text, is the compact form of
    // the same object.
    EXPECT_EQ(JSONCoding::compactedEscapingSlashes(once), JSONCoding::compactEscapingSlashes(first));
    const Plan second = Plan::decode(once);
    EXPECT_EQ(JSONCoding::pretty(second), once);
    // Same content, fresh identities.
    EXPECT_NE(first, second);
    EXPECT_NE(first.screens[0].uid, second.screens[0].uid);

    // Texts are kept as spelled: the decomposed accent is not composed.
    EXPECT_EQ(first.screens[1].title, QString::fromUtf8("대화방 Cafe\xCC\x81"));
    EXPECT_EQ(first.schemaVersion, 2);
    EXPECT_EQ(first.meta.generator.size(), 4);
    EXPECT_EQ(first.naming.platformMap.value(QStringLiteral("room")).ios.navigation,
              QStringList{QStringLiteral("router.pop()")});
    ASSERT_TRUE(first.strings[0].box);
    EXPECT_DOUBLE_EQ(first.strings[0].box->h, 0.0625);
    EXPECT_FALSE(first.strings[1].box);
    EXPECT_FALSE(first.screens[1].condition);
    ASSERT_TRUE(first.screens[2].condition);
    EXPECT_TRUE(first.screens[2].condition->text.isEmpty());
    EXPECT_EQ(first.transitions[3].popUpTo, QStringLiteral("list"));
    EXPECT_EQ(first.transitions[4].popUpTo, QString());
    EXPECT_FALSE(first.transitions[0].popUpTo);
    EXPECT_EQ(first.apis[0].requestFields[1].location, QStringLiteral("header"));
    EXPECT_EQ(first.decisions[0].decidedBy, QString::fromUtf8("김하늘"));
}

// A text that begins with U+FEFF, or holds one right after an escape, keeps
// it through the writer and both readers.
TEST(PlanWriting, AByteOrderMarkInATextIsKept)
{
    for (const QString &text : {QStringLiteral("\uFEFF제목"), QStringLiteral("줄\n\uFEFF다음"), QStringLiteral("\uFEFF")}) {
        SCOPED_TRACE(text.toStdString());
        Plan plan;
        plan.meta.title = text;
        Screen screen;
        screen.key = QStringLiteral("a");
        screen.rules.append(Sourced{newElementId(), text, QStringLiteral("figma")});
        plan.screens.append(screen);
        const QByteArray bytes = PlanJson::pretty(plan);
        for (const Plan &read : {PlanJson::plan(bytes), Plan::decode(bytes)}) {
            EXPECT_EQ(read.meta.title, text);
            ASSERT_EQ(read.screens.size(), 1);
            EXPECT_EQ(read.screens[0].rules.value(0).text, text);
        }
        EXPECT_EQ(PlanJson::pretty(PlanJson::plan(bytes)), bytes);
    }
}

TEST(PlanWriting, NonFiniteBoxValueFailsTheWrite)
{
    Plan plan;
    StringKey text;
    text.box = StringKey::Box{0.1, std::numeric_limits<double>::infinity(), 0.5, 0.5};
    plan.strings.append(text);
    EXPECT_THROW(JSONCoding::pretty(plan), JSONCoding::EncodeError);
    EXPECT_THROW(PlanJson::pretty(plan), JSONCoding::EncodeError);
    plan.strings[0].box->y = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(JSONCoding::pretty(plan), JSONCoding::EncodeError);
}

TEST(PlanReading, OnlyAnObjectAtTheTopLevelReads)
{
    for (const char *bad : {"[]", "\"plan\"", "null", "3", "{", "", "{\"a\":1} x"})
        EXPECT_THROW(decode(bad), JSONDecodeError) << bad;
    EXPECT_THROW(Plan::decode(QByteArray("{\"meta\":{\"title\":\"\xFF\"}}")), JSONDecodeError);
}

TEST(PlanReading, SchemaVersionTakesOnlyWholeNumbers)
{
    const std::pair<const char *, qint64> cases[] = {
        {R"({"schemaVersion": 2})", 2},     {R"({"schemaVersion": 2.0})", 2}, {R"({"schemaVersion": 2.5})", 1},
        {R"({"schemaVersion": "1"})", 1},   {R"({"schemaVersion": "2"})", 1}, {R"({"schemaVersion": null})", 1},
        {R"({"schemaVersion": true})", 1},  {R"({"schemaVersion": 1e300})", 1},
    };
    for (const auto &[json, expected] : cases)
        EXPECT_EQ(decode(json).schemaVersion, expected) << json;
    EXPECT_TRUE(JSONCoding::pretty(decode(R"({"schemaVersion": 2.0})")).contains("\"schemaVersion\" : 2,\n"));
}

TEST(PlanReading, MetaAndStageDefaults)
{
    for (const char *json : {R"({"meta": null})", R"({"meta": "x"})", R"({"meta": []})"})
        EXPECT_EQ(decode(json).meta, Meta()) << json;
    EXPECT_EQ(decode(R"({"meta": {}})").meta.stage, QStringLiteral("before-dev"));
    EXPECT_EQ(decode(R"({"meta": {"stage": null}})").meta.stage, QStringLiteral("before-dev"));
    EXPECT_EQ(decode(R"({"meta": {"stage": 3}})").meta.stage, QStringLiteral("before-dev"));
    const Plan empty = decode(R"({"meta": {"stage": ""}})");
    EXPECT_EQ(empty.meta.stage, QString());
    EXPECT_EQ(written(empty).value("meta").toObject().value("stage"), QJsonValue(""));

    const Meta m = decode(R"({"meta": {"title": 5, "summary": "요약",
        "module": {"android": 1, "ios": "Bazaar"}, "generator": {"app": "dev", "n": 1}}})").meta;
    EXPECT_EQ(m.title, QString());
    EXPECT_EQ(m.summary, QString::fromUtf8("요약"));
    EXPECT_EQ(m.module.android, QString());
    EXPECT_EQ(m.module.ios, QStringLiteral("Bazaar"));
    // A value of another type in the generator's texts goes alone.
    EXPECT_EQ(m.generator, (QMap<QString, QString>{{QStringLiteral("app"), QStringLiteral("dev")}}));
}

TEST(PlanReading, ListsAreReadWhole)
{
    EXPECT_TRUE(decode(R"({"screens": null})").screens.isEmpty());
    EXPECT_TRUE(decode(R"({"screens": [{"id": "a"}, 3]})").screens.isEmpty());
    EXPECT_TRUE(decode(R"({"screens": [{"id": "a"}, null]})").screens.isEmpty());
    EXPECT_TRUE(decode(R"({"screens": {"id": "a"}})").screens.isEmpty());
    EXPECT_TRUE(decode(R"({"apis": ["chatRooms"]})").apis.isEmpty());

    const Plan two = decode(R"({"screens": [{"id": "a", "figmaNodes": ["1:2", 3]}, {}]})");
    ASSERT_EQ(two.screens.size(), 2);
    EXPECT_EQ(two.screens[0].key, QStringLiteral("a"));
    EXPECT_TRUE(two.screens[0].figmaNodes.isEmpty());
    EXPECT_EQ(two.screens[1].kind, QStringLiteral("screen"));
    EXPECT_EQ(two.screens[1].image, ScreenImage());

    const Plan api = decode(R"({"apis": [{"id": "x", "requestFields": [{"name": "a"}, "b"],
        "responseFields": [{"name": "r", "required": "yes", "type": "Int"}]}]})");
    ASSERT_EQ(api.apis.size(), 1);
    EXPECT_TRUE(api.apis[0].requestFields.isEmpty());
    EXPECT_EQ(api.apis[0].status, QStringLiteral("needed"));
    ASSERT_EQ(api.apis[0].responseFields.size(), 1);
    EXPECT_FALSE(api.apis[0].responseFields[0].required);
    EXPECT_EQ(api.apis[0].responseFields[0].type, QStringLiteral("Int"));
    EXPECT_EQ(firstOf(firstOf(written(api), "apis"), "responseFields").value("in"), QJsonValue(""));

    const Plan actions = decode(R"({"screens": [{"id": "a", "actions": [{"id": "clickA"}, "clickB"]}]})");
    EXPECT_TRUE(actions.screens[0].actions.isEmpty());
}

// Long lists are read on the pool's threads: the list is the one a single
// pass gives, in order, and one bad element still empties it, wherever it
// sits and however many threads the pool has.
TEST(PlanReading, LongListsReadWholeInOrderOnAnyPool)
{
    QThreadPool *const pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    for (const int poolThreads : {1, 4}) {
        pool->setMaxThreadCount(poolThreads);
        for (const qsizetype length : {1, 63, 64, 65, 1000}) {
            QJsonArray screens;
            for (qsizetype i = 0; i < length; ++i)
                screens.append(QJsonObject{{"id", QString::number(i)}, {"title", QStringLiteral("화면 %1").arg(i)}});
            const Plan plan = *Plan::read(QJsonObject{{"screens", screens}});
            ASSERT_EQ(plan.screens.size(), length) << poolThreads;
            for (qsizetype i = 0; i < length; ++i)
                EXPECT_EQ(plan.screens[i].key, QString::number(i)) << length << " on " << poolThreads;
            EXPECT_EQ(JSONCoding::pretty(plan), JSONCoding::pretty(Plan::decode(JSONCoding::pretty(plan))));
            for (const qsizetype bad : {qsizetype(0), length / 2, length - 1}) {
                QJsonArray broken = screens;
                broken[bad] = 3;
                EXPECT_TRUE(Plan::read(QJsonObject{{"screens", broken}})->screens.isEmpty())
                    << length << " bad at " << bad << " on " << poolThreads;
            }
        }
    }
    pool->setMaxThreadCount(threads);
}

TEST(PlanReading, SourcedAndArgAcceptBareTexts)
{
    const Plan plan = decode(R"({"screens": [{
        "condition": "로그인했을 때",
        "rules": ["정렬", {"text": "굵게", "source": "spec"}],
        "args": ["roomId", {"name": "room", "model": "ChatRoom"}]}]})");
    const Screen &s = plan.screens[0];
    ASSERT_TRUE(s.condition);
    EXPECT_EQ(s.condition->text, QString::fromUtf8("로그인했을 때"));
    EXPECT_EQ(s.condition->source, QStringLiteral("inferred"));
    ASSERT_EQ(s.rules.size(), 2);
    EXPECT_EQ(s.rules[0].source, QStringLiteral("inferred"));
    EXPECT_EQ(s.rules[1].source, QStringLiteral("spec"));
    ASSERT_EQ(s.args.size(), 2);
    EXPECT_EQ(s.args[0].name, QStringLiteral("roomId"));
    EXPECT_EQ(s.args[0].model, QString());
    EXPECT_EQ(s.args[1].model, QStringLiteral("ChatRoom"));

    const QJsonObject screen = firstOf(written(plan), "screens");
    EXPECT_EQ(screen.value("condition").toObject(),
              (QJsonObject{{"text", QString::fromUtf8("로그인했을 때")}, {"source", "inferred"}}));
    EXPECT_EQ(screen.value("args").toArray().first().toObject(), (QJsonObject{{"name", "roomId"}, {"model", ""}}));

    EXPECT_TRUE(decode(R"({"screens": [{"rules": ["a", 1]}]})").screens[0].rules.isEmpty());
    EXPECT_FALSE(decode(R"({"screens": [{"condition": 5}]})").screens[0].condition);
    EXPECT_FALSE(decode(R"({"screens": [{"condition": null}]})").screens[0].condition);
    const auto emptyCondition = decode(R"({"screens": [{"condition": ""}]})").screens[0].condition;
    ASSERT_TRUE(emptyCondition);
    EXPECT_TRUE(emptyCondition->text.isEmpty());
}

TEST(PlanReading, EmptyScreenWritesEveryKeyButAbsentOptionals)
{
    const QJsonObject screen = firstOf(written(decode(R"({"screens": [{}]})")), "screens");
    EXPECT_EQ(screen.value("image"), QJsonValue(QJsonObject()));
    EXPECT_FALSE(screen.contains("figmaLabel"));
    EXPECT_FALSE(screen.contains("condition"));
    EXPECT_EQ(screen.size(), 13);
    EXPECT_EQ(screen.value("id"), QJsonValue(""));
    EXPECT_EQ(screen.value("kind"), QJsonValue("screen"));
}

TEST(PlanReading, TransitionOptionals)
{
    const Plan plan = decode(R"({"transitions": [
        {"from": "a", "to": "b", "condition": {"text": "x", "source": "spec"}, "kind": null, "popUpTo": null},
        {"from": "a", "to": "b", "condition": "항상", "kind": "replace", "popUpTo": ""}]})");
    ASSERT_EQ(plan.transitions.size(), 2);
    EXPECT_FALSE(plan.transitions[0].condition);
    EXPECT_EQ(plan.transitions[0].kind, QStringLiteral("push"));
    EXPECT_FALSE(plan.transitions[0].popUpTo);
    EXPECT_EQ(plan.transitions[1].condition, QString::fromUtf8("항상"));
    EXPECT_EQ(plan.transitions[1].kind, QStringLiteral("replace"));
    EXPECT_EQ(plan.transitions[1].popUpTo, QString());

    const QJsonArray out = written(plan).value("transitions").toArray();
    EXPECT_FALSE(out[0].toObject().contains("popUpTo"));
    EXPECT_FALSE(out[0].toObject().contains("condition"));
    EXPECT_EQ(out[1].toObject().value("popUpTo"), QJsonValue(""));
}

TEST(PlanReading, BoxIsReadStrictly)
{
    const Plan plan = decode(R"({"strings": [
        {"ko": "하나", "box": {"x": 0.1, "y": 0.2, "w": 0.3}},
        {"ko": "둘", "box": {"x": 0, "y": 0, "w": 1, "h": 1}},
        {"ko": "셋", "box": {"x": "0", "y": 0, "w": 1, "h": 1}},
        {"ko": "넷", "box": {"x": null, "y": 0, "w": 1, "h": 1}},
        {"ko": "다섯", "box": [0, 0, 1, 1]}]})");
    ASSERT_EQ(plan.strings.size(), 5);
    EXPECT_EQ(plan.strings[0].ko, QString::fromUtf8("하나"));
    EXPECT_FALSE(plan.strings[0].box);
    ASSERT_TRUE(plan.strings[1].box);
    EXPECT_EQ(*plan.strings[1].box, (StringKey::Box{0.0, 0.0, 1.0, 1.0}));
    EXPECT_FALSE(plan.strings[2].box);
    EXPECT_FALSE(plan.strings[3].box);
    EXPECT_FALSE(plan.strings[4].box);
    EXPECT_FALSE(firstOf(written(plan), "strings").contains("box"));
}

TEST(PlanReading, ModelsAndDecisions)
{
    const Plan plan = decode(R"({
        "models": [{"name": "ChatRoom", "apiAligned": "true"}, {"name": "ChatUser", "apiAligned": 1},
                   {"name": "ChatItem", "apiAligned": true}],
        "decisions": [{"id": "D1", "question": "?"}, {"id": "D2", "result": null, "decidedBy": 3}]})");
    EXPECT_FALSE(plan.models[0].apiAligned);
    EXPECT_FALSE(plan.models[1].apiAligned);
    EXPECT_TRUE(plan.models[2].apiAligned);
    const Decision &d = plan.decisions[0];
    EXPECT_EQ(d.status, QStringLiteral("open"));
    EXPECT_TRUE(d.options.isEmpty());
    EXPECT_FALSE(d.result);
    EXPECT_FALSE(plan.decisions[1].result);
    EXPECT_FALSE(plan.decisions[1].decidedBy);

    const QJsonObject out = firstOf(written(plan), "decisions");
    EXPECT_EQ(out.value("status"), QJsonValue("open"));
    for (const char *key : {"result", "decidedBy", "decidedAt"})
        EXPECT_FALSE(out.contains(QLatin1String(key))) << key;
}

TEST(PlanReading, PlatformMapEntriesMustBeComplete)
{
    const char *complete = R"({"dir": "d", "files": ["A.kt"], "navigation": []})";
    const auto plan = [&](const QByteArray &entry) {
        return Plan::decode(R"({"naming": {"rules": ["규칙"], "platformMap": {"a": )" + entry + "}}}");
    };
    const Plan good = plan(QByteArray("{\"android\": ") + complete + ", \"ios\": " + complete + "}");
    ASSERT_EQ(good.naming.platformMap.size(), 1);
    EXPECT_EQ(good.naming.platformMap.value("a").android.files, QStringList{"A.kt"});

    const QByteArray broken[] = {
        QByteArray("{\"android\": {\"dir\": \"d\", \"files\": []}, \"ios\": ") + complete + "}",
        QByteArray("{\"android\": ") + complete + "}",
        QByteArray("{\"android\": ") + complete + ", \"ios\": {\"dir\": null, \"files\": [], \"navigation\": []}}",
        QByteArray("{\"android\": ") + complete + ", \"ios\": {\"dir\": \"d\", \"files\": [1], \"navigation\": []}}",
        QByteArray("null"),
    };
    for (const QByteArray &entry : broken) {
        const Plan p = plan(entry);
        EXPECT_TRUE(p.naming.platformMap.isEmpty()) << entry.constData();
        EXPECT_EQ(p.naming.rules, QStringList{QString::fromUtf8("규칙")});
    }
}

TEST(PlanReading, UidIsNeitherReadNorWritten)
{
    const char *json = R"({"screens": [{"uid": "00000000-0000-0000-0000-000000000001", "id": "a"}]})";
    const Plan one = decode(json);
    const Plan two = decode(json);
    EXPECT_FALSE(one.screens[0].uid.isNull());
    EXPECT_NE(one.screens[0].uid, QUuid(QStringLiteral("00000000-0000-0000-0000-000000000001")));
    EXPECT_NE(one, two);
    Plan same = two;
    same.screens[0].uid = one.screens[0].uid;
    EXPECT_EQ(one, same);
    EXPECT_FALSE(JSONCoding::pretty(one).contains("uid"));
}
