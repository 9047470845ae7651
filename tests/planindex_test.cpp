#include "export/exporter.h"
#include "export/planindex.h"
#include "model/plan.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

// "가" written composed and as its two jamo: canonically the same key.
const QString composed = QString::fromUtf8("\xEA\xB0\x80");
const QString decomposed = QString::fromUtf8("\xE1\x84\x80\xE1\x85\xA1");

Screen screen(const QString &key, const QString &title, QList<std::pair<QString, QString>> args = {})
{
    Screen s;
    s.key = key;
    s.name = key;
    s.title = title;
    for (const auto &[name, model] : args) {
        Arg arg;
        arg.name = name;
        arg.model = model;
        s.args.append(arg);
    }
    UserAction tap;
    tap.key = QStringLiteral("onTap");
    tap.label = title + QStringLiteral(" 누르기");
    s.actions.append(tap);
    return s;
}

Transition move(const QString &from, const QString &to, const QString &trigger = QStringLiteral("onTap"))
{
    Transition t;
    t.from = from;
    t.to = to;
    t.trigger = trigger;
    return t;
}

// Keys spelled both ways, repeated screens, optional model marks, models
// shared by several screens and listed twice: the plan where a lookup
// through hashes could go wrong.
Plan trickyPlan()
{
    Plan plan;
    plan.screens = {screen("home" + composed, "첫 홈", {{"room", "Room?"}}), screen("list", "목록", {{"r", "??Room"}}),
                    screen("home" + decomposed, "둘째 홈"), screen("detail", "상세", {{"user", "User"}}),
                    screen("list", "다른 목록", {{"x", "Room" + decomposed}})};
    plan.transitions = {move("home" + decomposed, "list"), move("@push", "home" + composed, "onOpen"),
                        move("list", "detail", "onBack"), move("home" + composed, "detail", "onTap"),
                        move("detail", "gone")};
    DataModel room;
    room.name = QStringLiteral("Room");
    DataModel shared;
    shared.name = "Shared" + composed;
    shared.sharedIn = {"home" + decomposed, "detail", "home" + composed};
    DataModel again;
    again.name = "Shared" + decomposed;
    again.sharedIn = {"list"};
    plan.models = {room, shared, again};
    for (const QString &key : {QString("listApi"), "api" + composed, "api" + decomposed}) {
        Api api;
        api.key = key;
        api.responseModel = key == u"listApi" ? QStringLiteral("Room") : "Shared" + decomposed;
        plan.apis.append(api);
    }
    for (const QString &on : {"home" + decomposed, QString("list"), "home" + composed}) {
        StringKey string;
        string.key = "ac_" + on;
        string.screen = on;
        plan.strings.append(string);
    }
    return plan;
}

QStringList keysOf(const QList<Screen> &screens)
{
    QStringList keys;
    for (const Screen &s : screens)
        keys.append(s.key + '/' + s.title);
    return keys;
}

QStringList namesOf(const QList<DataModel> &models)
{
    QStringList names;
    for (const DataModel &m : models)
        names.append(m.name);
    return names;
}

} // namespace

// Every answer through the index is the one a scan of the plan in order
// gives; the shared helpers give it both ways.
TEST(PlanIndex, AnswersAsAScanInPlanOrderWould)
{
    const Plan plan = trickyPlan();
    const PlanIndex index(plan);

    EXPECT_EQ(index.screen("home" + decomposed)->title, "첫 홈");
    EXPECT_EQ(index.screen("list")->title, "목록");
    EXPECT_EQ(index.screen("gone"), nullptr);
    EXPECT_EQ(index.screenTitle("gone"), "gone");

    const QList<const Transition *> fromHome = index.movesFrom("home" + composed);
    ASSERT_EQ(fromHome.size(), 2);
    EXPECT_EQ(fromHome[0], &plan.transitions[0]);
    EXPECT_EQ(fromHome[1], &plan.transitions[3]);
    EXPECT_TRUE(index.movesFrom("nowhere").isEmpty());

    const QList<const StringKey *> onHome = index.stringsOn("home" + composed);
    ASSERT_EQ(onHome.size(), 2);
    EXPECT_EQ(onHome[0], &plan.strings[0]);
    EXPECT_EQ(onHome[1], &plan.strings[2]);

    EXPECT_TRUE(index.isApi("api" + decomposed));
    EXPECT_FALSE(index.isApi("Room"));
    const QList<const Api *> answering = index.apisAnswering("Shared" + composed);
    ASSERT_EQ(answering.size(), 2);
    EXPECT_EQ(answering[0], &plan.apis[1]);
    EXPECT_EQ(answering[1], &plan.apis[2]);

    for (const Screen &s : plan.screens) {
        const QList<DataModel> scanned = Exporter::sharedStates(s, plan);
        EXPECT_EQ(namesOf(index.sharedStates(s)), namesOf(scanned)) << qPrintable(s.key);
        PlanIndex::Scope scope(plan);
        EXPECT_EQ(namesOf(Exporter::sharedStates(s, plan)), namesOf(scanned)) << qPrintable(s.key);
    }
    for (const QString &model : {QString("Room"), "Room" + decomposed, "Shared" + decomposed, QString("User"), QString("None")}) {
        const QStringList scanned = keysOf(Exporter::screensUsing(model, plan));
        EXPECT_EQ(keysOf(index.screensUsing(model)), scanned) << qPrintable(model);
        QList<Screen> placed;
        for (const qsizetype at : index.screensUsingAt(model))
            placed.append(plan.screens.at(at));
        EXPECT_EQ(keysOf(placed), scanned) << qPrintable(model);
        PlanIndex::Scope scope(plan);
        EXPECT_EQ(keysOf(Exporter::screensUsing(model, plan)), scanned) << qPrintable(model);
    }
    EXPECT_EQ(keysOf(index.screensUsing("Room")), QStringList({"home" + composed + "/첫 홈", "list/목록"}));
    for (const Transition &t : plan.transitions) {
        const QString scanned = Exporter::triggerLabel(t, plan);
        EXPECT_EQ(index.triggerLabel(t), scanned);
        PlanIndex::Scope scope(plan);
        EXPECT_EQ(Exporter::triggerLabel(t, plan), scanned);
    }
}

// A scope serves only its own plan, on its own thread, and nests.
TEST(PlanIndex, ScopeServesOnlyItsPlan)
{
    const Plan plan = trickyPlan();
    const Plan other = trickyPlan();
    EXPECT_EQ(PlanIndex::active(plan), nullptr);
    {
        const PlanIndex::Scope outer(plan);
        const PlanIndex *index = PlanIndex::active(plan);
        ASSERT_NE(index, nullptr);
        EXPECT_EQ(PlanIndex::active(other), nullptr);
        {
            const PlanIndex::Scope same(plan);
            EXPECT_EQ(PlanIndex::active(plan), index);
            const PlanIndex::Scope inner(other);
            EXPECT_NE(PlanIndex::active(other), nullptr);
            EXPECT_EQ(PlanIndex::active(plan), nullptr);
        }
        EXPECT_EQ(PlanIndex::active(plan), index);
        EXPECT_EQ(PlanIndex::active(other), nullptr);
    }
    EXPECT_EQ(PlanIndex::active(plan), nullptr);
}
