#include "model/importer.h"
#include "model/plan.h"

#include <QFile>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace {

Plan richPlan()
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/plan/rich-plan.json"));
    if (!file.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "missing rich plan fixture";
    return Plan::decode(file.readAll());
}

Screen screen(const QString &key, const QString &title)
{
    Screen s;
    s.key = key;
    s.name = key + QStringLiteral("Screen");
    s.title = title;
    return s;
}

Transition transition(const QString &from, const QString &to)
{
    Transition t;
    t.from = from;
    t.to = to;
    return t;
}

Decision decision(const QString &key, const QString &question, const QString &status = QStringLiteral("open"))
{
    Decision d;
    d.key = key;
    d.question = question;
    d.status = status;
    d.options = {QStringLiteral("A"), QStringLiteral("B")};
    return d;
}

// The lines as UTF-8, one per line, so every byte is compared.
std::string changes(const Plan &from, const Plan &to)
{
    return Importer::changes(from, to).join(u'\n').toUtf8().toStdString();
}

} // namespace

TEST(PlanChanges, ContentEqualPlansHaveNothingToSay)
{
    const Plan old = richPlan();
    Plan incoming = richPlan();
    ASSERT_NE(old.screens[0].uid, incoming.screens[0].uid);
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");

    std::reverse(incoming.screens.begin(), incoming.screens.end());
    incoming.meta.title = QStringLiteral("다른 제목");
    incoming.meta.generator.clear();
    incoming.naming.rules.append(QStringLiteral("새 규칙"));
    incoming.naming.platformMap.clear();
    incoming.schemaVersion = 7;
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");
    EXPECT_EQ(changes(Plan(), Plan()), "바뀐 곳이 없어요");
}

TEST(PlanChanges, EveryKindOfLineInItsOrder)
{
    Plan old;
    old.screens = {screen("home", "홈"), screen("gone", "사라질 화면"), screen("edit", "편집")};
    old.transitions = {transition("home", "edit")};
    old.decisions = {decision("D1", "정렬은?"), decision("D2", "색은?")};
    Plan incoming = old;
    incoming.screens.removeAt(1);
    incoming.screens[1].rules.append(Sourced{QUuid::createUuid(), QStringLiteral("저장 전 확인"), QStringLiteral("spec")});
    incoming.screens.prepend(screen("new", "새 화면"));
    incoming.transitions.append(transition("new", "home"));
    incoming.decisions[0].status = QStringLiteral("decided");
    incoming.decisions[0].result = QStringLiteral("최신순");
    incoming.decisions[0].decidedBy = QStringLiteral("윤서");
    incoming.decisions.append(decision("D3", "글꼴은?"));
    incoming.models.append(DataModel{});
    incoming.apis.append(Api{});
    incoming.strings.append(StringKey{});

    EXPECT_EQ(changes(old, incoming), "화면 추가: 새 화면\n"
                                      "화면 삭제: 사라질 화면\n"
                                      "내용이 바뀐 화면: 편집\n"
                                      "이동 1개 → 2개(바뀐 곳 있음)\n"
                                      "결정 D1 확정: 최신순 (윤서)\n"
                                      "새 결정 D3: 글꼴은?\n"
                                      "모델이 바뀜\n"
                                      "API 가 바뀜\n"
                                      "문구·워드민트이 바뀜");
}

TEST(PlanChanges, ScreensAreMatchedByKey)
{
    Plan old;
    old.screens = {screen("home", "홈"), screen("list", "목록"), screen("x", "")};
    Plan incoming = old;
    incoming.screens[1].key = QStringLiteral("items");
    incoming.screens[1].title = QStringLiteral("항목");
    incoming.screens.append(screen("y", ""));
    incoming.screens.append(screen("z", "끝"));
    // A renamed key is a new screen and a removed one, never a changed one;
    // an empty title still takes its place between the commas.
    EXPECT_EQ(changes(old, incoming), "화면 추가: 항목, , 끝\n"
                                      "화면 삭제: 목록");

    incoming = old;
    incoming.screens[0].title = QStringLiteral("처음");
    incoming.screens[2].figmaNodes.append(QStringLiteral("1:2"));
    EXPECT_EQ(changes(old, incoming), "내용이 바뀐 화면: 처음, ");
}

TEST(PlanChanges, FirstOfSeveralScreensWithOneKeyIsTheOneCompared)
{
    Plan old;
    old.screens = {screen("home", "홈"), screen("home", "두 번째 홈")};
    Plan incoming;
    incoming.screens = {screen("home", "홈")};
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");
    incoming.screens = {screen("home", "두 번째 홈")};
    EXPECT_EQ(changes(old, incoming), "내용이 바뀐 화면: 두 번째 홈");
}

TEST(PlanChanges, KeysMatchByCanonicalEquivalenceButContentByBytes)
{
    Plan old;
    old.screens = {screen(QString::fromUtf8("caf\xC3\xA9"), "카페")};
    Plan incoming;
    incoming.screens = {screen(QString::fromUtf8("cafe\xCC\x81"), "카페")};
    incoming.screens[0].name = old.screens[0].name;
    EXPECT_EQ(changes(old, incoming), "내용이 바뀐 화면: 카페");
}

TEST(PlanChanges, TransitionsCompareAsWholeOrderedLists)
{
    Plan old;
    old.transitions = {transition("a", "b"), transition("b", "c")};
    Plan incoming = old;
    std::swap(incoming.transitions[0], incoming.transitions[1]);
    EXPECT_EQ(changes(old, incoming), "이동 2개 → 2개(바뀐 곳 있음)");
    incoming = old;
    incoming.transitions[1].condition = QStringLiteral("로그인했을 때");
    EXPECT_EQ(changes(old, incoming), "이동 2개 → 2개(바뀐 곳 있음)");
    incoming.transitions.clear();
    EXPECT_EQ(changes(old, incoming), "이동 2개 → 0개(바뀐 곳 있음)");
}

TEST(PlanChanges, OnlyNewAndNewlyDecidedDecisionsAreTold)
{
    Plan old;
    old.decisions = {decision("D1", "정렬은?"), decision("D2", "색은?"), decision("D3", "글꼴은?")};
    old.decisions[2].status = QStringLiteral("decided");
    old.decisions[2].result = QStringLiteral("고딕");
    Plan incoming = old;
    incoming.decisions[0].status = QStringLiteral("decided");
    incoming.decisions[0].result = QStringLiteral("최신순");
    incoming.decisions[1].status = QStringLiteral("decided");
    incoming.decisions[1].decidedAt = QStringLiteral("2025-01-02T03:04:05Z");
    incoming.decisions[2].result = QStringLiteral("명조");
    incoming.decisions[2].decidedBy = QStringLiteral("윤서");
    incoming.decisions.append(decision("D4", "이미 정한 것", QStringLiteral("decided")));
    incoming.decisions.last().result = QStringLiteral("예");
    EXPECT_EQ(changes(old, incoming), "결정 D1 확정: 최신순\n"
                                      "결정 D2 확정: \n"
                                      "새 결정 D4: 이미 정한 것");

    // Edits of an open decision and a dropped decision say nothing.
    incoming = old;
    incoming.decisions[0].question = QStringLiteral("정렬 순서는?");
    incoming.decisions[0].options.append(QStringLiteral("C"));
    incoming.decisions.removeLast();
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");

    // The status must read exactly "decided".
    incoming = old;
    incoming.decisions[0].status = QStringLiteral("Decided");
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");
}

TEST(PlanChanges, ModelApiAndStringChangesGiveOneFixedLineEach)
{
    const Plan old = richPlan();
    ASSERT_FALSE(old.models.isEmpty());
    ASSERT_FALSE(old.apis.isEmpty());
    ASSERT_GT(old.strings.size(), 1);

    Plan incoming = richPlan();
    incoming.models[0].fields[0].type = QStringLiteral("Long");
    incoming.models.append(DataModel{});
    EXPECT_EQ(changes(old, incoming), "모델이 바뀜");

    incoming = richPlan();
    incoming.apis[0].status = QStringLiteral("done");
    EXPECT_EQ(changes(old, incoming), "API 가 바뀜");

    incoming = richPlan();
    std::reverse(incoming.strings.begin(), incoming.strings.end());
    EXPECT_EQ(changes(old, incoming), "문구·워드민트이 바뀜");
    incoming = richPlan();
    incoming.strings[0].ko += QStringLiteral("!");
    EXPECT_EQ(changes(old, incoming), "문구·워드민트이 바뀜");
}

TEST(PlanChanges, ValuesThatCannotBeEncoded)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Plan old;
    old.strings = {StringKey{}};
    old.strings[0].box = StringKey::Box{nan, 0, 10, 10};
    Plan incoming = old;
    incoming.strings[0].ko = QStringLiteral("다른 문구");
    // Neither side can be written, so neither can be told apart.
    EXPECT_EQ(changes(old, incoming), "바뀐 곳이 없어요");
    incoming.strings[0].box->x = 1;
    EXPECT_EQ(changes(old, incoming), "문구·워드민트이 바뀜");
}
