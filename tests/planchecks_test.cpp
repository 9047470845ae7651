#include "model/plan.h"

#include <gtest/gtest.h>
#include <string>

namespace {

Screen screen(const QString &key, const QString &name = QStringLiteral("ChatScreen"),
              const QString &title = QStringLiteral("제목"))
{
    Screen s;
    s.key = key;
    s.name = name;
    s.title = title;
    return s;
}

Transition transition(const QString &from, const QString &to, std::optional<QString> popUpTo = std::nullopt)
{
    Transition t;
    t.from = from;
    t.to = to;
    t.popUpTo = popUpTo;
    return t;
}

Plan withScreens(const QStringList &keys)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Chat");
    for (const QString &key : keys)
        plan.screens.append(screen(key));
    return plan;
}

Arg arg(const QString &model)
{
    Arg a;
    a.name = QStringLiteral("value");
    a.model = model;
    return a;
}

// Messages as UTF-8 bytes, one per line, so every byte is compared.
std::string problems(const Plan &plan)
{
    return plan.problems().join(u'\n').toUtf8().toStdString();
}

QString u8(const char *text)
{
    return QString::fromUtf8(text);
}

} // namespace

TEST(PlanProblems, EmptyPlanHasTwoProblems)
{
    EXPECT_EQ(problems(Plan::decode("{}")), std::string("meta.feature 가 비어 있음\n"
                                                       "screens 가 비어 있음"));
}

TEST(PlanProblems, EveryCheckInOrder)
{
    Plan plan = withScreens({QStringLiteral("home"), QStringLiteral("home")});
    plan.meta.feature.clear();
    plan.screens.append(screen(QStringLiteral("detail"), QString(), QStringLiteral("상세")));
    plan.screens[0].args.append(arg(QStringLiteral("UserInfo")));
    plan.transitions.append(transition(QStringLiteral("home"), QStringLiteral("gone"), QStringLiteral("nowhere")));
    EXPECT_EQ(problems(plan), std::string("meta.feature 가 비어 있음\n"
                                         "screens[].id 중복: home\n"
                                         "id 또는 name 이 빈 화면이 있음 (상세)\n"
                                         "transitions 에 없는 화면 id: gone (home \xE2\x86\x92 gone)\n"
                                         "popUpTo 에 없는 화면 id: nowhere\n"
                                         "home.args 의 모델 UserInfo 이 models 에 없음"));
    EXPECT_EQ(plan.problems(), plan.problems());
}

TEST(PlanProblems, DuplicateKeysOnceEachInCodePointOrder)
{
    EXPECT_EQ(problems(withScreens({"b", "a", "b", "a", "c"})), std::string("screens[].id 중복: a, b"));
    // UTF-16 order would put the emoji (a surrogate pair) before U+FF5A.
    const QString emoji = u8("\xF0\x9F\x98\x80");
    const QString fullWidth = u8("\xEF\xBD\x9A");
    EXPECT_EQ(problems(withScreens({emoji, fullWidth, emoji, fullWidth, "z", "z"})),
              std::string("screens[].id 중복: z, \xEF\xBD\x9A, \xF0\x9F\x98\x80"));
}

TEST(PlanProblems, CanonicallyEquivalentKeysAreDuplicates)
{
    const QString composed = u8("caf\xC3\xA9");
    const QString decomposed = u8("cafe\xCC\x81");
    EXPECT_EQ(problems(withScreens({composed, decomposed})), std::string("screens[].id 중복: caf\xC3\xA9"));
    EXPECT_EQ(problems(withScreens({decomposed, "x", composed})), std::string("screens[].id 중복: cafe\xCC\x81"));

    Plan plan = withScreens({composed});
    plan.transitions.append(transition(decomposed, decomposed, decomposed));
    EXPECT_EQ(problems(plan), std::string());
}

TEST(PlanProblems, EmptyKeysAndNames)
{
    Plan plan = withScreens({"", "", "b", "b"});
    plan.screens[1].title.clear();
    EXPECT_EQ(problems(plan), std::string("screens[].id 중복: , b\n"
                                         "id 또는 name 이 빈 화면이 있음 (제목)\n"
                                         "id 또는 name 이 빈 화면이 있음 ()"));

    Plan unnamed = withScreens({"a"});
    unnamed.screens[0].name.clear();
    unnamed.screens[0].title = QStringLiteral("  ");
    EXPECT_EQ(problems(unnamed), std::string("id 또는 name 이 빈 화면이 있음 (  )"));
    unnamed.screens[0].name = QStringLiteral(" ");
    EXPECT_EQ(problems(unnamed), std::string());
}

TEST(PlanProblems, TransitionEndpoints)
{
    Plan plan = withScreens({"list"});
    plan.transitions.append(transition("home", "detail"));
    plan.transitions.append(transition("@dashboard", "list", QStringLiteral("@dashboard")));
    plan.transitions.append(transition("list", "@out", QString()));
    plan.transitions.append(transition("list", "List"));
    EXPECT_EQ(problems(plan), std::string("transitions 에 없는 화면 id: home (home \xE2\x86\x92 detail)\n"
                                         "transitions 에 없는 화면 id: detail (home \xE2\x86\x92 detail)\n"
                                         "popUpTo 에 없는 화면 id: @dashboard\n"
                                         "transitions 에 없는 화면 id: List (list \xE2\x86\x92 List)"));
}

TEST(PlanProblems, WithoutScreensEveryPlainEndpointIsReported)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Chat");
    plan.transitions.append(transition("@entry", "a"));
    plan.transitions.append(transition("a", "@exit"));
    EXPECT_EQ(problems(plan), std::string("screens 가 비어 있음\n"
                                         "transitions 에 없는 화면 id: a (@entry \xE2\x86\x92 a)\n"
                                         "transitions 에 없는 화면 id: a (a \xE2\x86\x92 @exit)"));
}

TEST(PlanProblems, ArgumentModelsOfTheFeature)
{
    Plan plan = withScreens({"room"});
    for (const char *model : {"ChatItem", "chatItem", "String", "UserInfo", "", "Chat", "ChatItem?", "ChatRoom??"})
        plan.screens[0].args.append(arg(QString::fromUtf8(model)));
    EXPECT_EQ(problems(plan), std::string("room.args 의 모델 ChatItem 이 models 에 없음\n"
                                         "room.args 의 모델 Chat 이 models 에 없음\n"
                                         "room.args 의 모델 ChatItem? 이 models 에 없음\n"
                                         "room.args 의 모델 ChatRoom?? 이 models 에 없음"));
    DataModel item;
    item.name = QStringLiteral("ChatItem");
    plan.models.append(item);
    item.name = QStringLiteral("Chat");
    plan.models.append(item);
    // Optional arguments name the model with a "?" after it.
    EXPECT_EQ(problems(plan), std::string("room.args 의 모델 ChatRoom?? 이 models 에 없음"));
    item.name = QStringLiteral("ChatRoom");
    plan.models.append(item);
    EXPECT_EQ(problems(plan), std::string());
}

TEST(PlanProblems, WithAnEmptyFeatureEveryUppercaseModelIsReported)
{
    Plan plan = withScreens({"s"});
    plan.meta.feature.clear();
    const char *models[] = {
        "UserInfo",
        "userInfo",
        "123",
        "한글",
        "\xC3\x9F" "eta",           // ß upper-cases to SS
        "\xC7\x85" "x",             // ǅ is title case, upper-casing changes it
        "E\xCC\x81" "cole",         // É spelled decomposed
        "\xE2\x85\xA7",             // Ⅷ, a Roman numeral
        "\xCA\xB0",                 // ʰ, a cased modifier letter with no upper case
        "\xF0\x9E\xA4\x80" "x",     // Adlam capital, beyond U+FFFF
        "\xF0\x9E\xA4\xA2" "x",     // its small letter
        "\xF0\x9D\x90\x80",         // mathematical bold capital A
    };
    for (const char *model : models)
        plan.screens[0].args.append(arg(u8(model)));
    EXPECT_EQ(problems(plan), std::string("meta.feature 가 비어 있음\n"
                                         "s.args 의 모델 UserInfo 이 models 에 없음\n"
                                         "s.args 의 모델 E\xCC\x81" "cole 이 models 에 없음\n"
                                         "s.args 의 모델 \xE2\x85\xA7 이 models 에 없음\n"
                                         "s.args 의 모델 \xCA\xB0 이 models 에 없음\n"
                                         "s.args 의 모델 \xF0\x9E\xA4\x80" "x 이 models 에 없음\n"
                                         "s.args 의 모델 \xF0\x9D\x90\x80 이 models 에 없음"));
}

TEST(PlanProblems, FeaturePrefixInWholeCharacters)
{
    Plan plan = withScreens({"s"});
    plan.meta.feature = u8("Caf\xC3\xA9");
    plan.screens[0].args.append(arg(u8("Cafe\xCC\x81Item")));
    DataModel known;
    known.name = u8("Caf\xC3\xA9Known");
    plan.models.append(known);
    plan.screens[0].args.append(arg(u8("Cafe\xCC\x81Known")));
    EXPECT_EQ(problems(plan), std::string("s.args 의 모델 Cafe\xCC\x81Item 이 models 에 없음"));

    plan.meta.feature = QStringLiteral("Cafe");
    EXPECT_EQ(problems(plan), std::string());

    // A combining mark with no composed form still belongs to the letter before it.
    plan.meta.feature = QStringLiteral("Chat");
    plan.screens[0].args = {arg(u8("Chat\xCC\xB2Item")), arg(QStringLiteral("ChatItem"))};
    EXPECT_EQ(problems(plan), std::string("s.args 의 모델 ChatItem 이 models 에 없음"));
}

TEST(PlanQueries, OpenDecisions)
{
    Plan plan;
    for (const char *status : {"decided", "Decided", "", "open", "decided ", "pending"}) {
        Decision d;
        d.key = QStringLiteral("D") + QString::number(plan.decisions.size() + 1);
        d.status = QString::fromUtf8(status);
        plan.decisions.append(d);
    }
    QStringList keys;
    for (const Decision &d : plan.openDecisions())
        keys.append(d.key);
    EXPECT_EQ(keys, (QStringList{"D2", "D3", "D4", "D5", "D6"}));
    EXPECT_EQ(plan.openDecisions().first(), plan.decisions[1]);
}

TEST(PlanQueries, ScreenAndTitle)
{
    Plan plan = withScreens({"list", "list", u8("caf\xC3\xA9")});
    plan.screens[0].title = QStringLiteral("첫째");
    plan.screens[1].title = QStringLiteral("둘째");
    plan.screens[2].title.clear();

    ASSERT_TRUE(plan.screen("list"));
    EXPECT_EQ(plan.screen("list")->uid, plan.screens[0].uid);
    EXPECT_FALSE(plan.screen("List"));
    EXPECT_EQ(plan.screenTitle("list"), QStringLiteral("첫째"));
    EXPECT_EQ(plan.screenTitle("@dashboard"), QStringLiteral("@dashboard"));
    EXPECT_EQ(plan.screenTitle(u8("cafe\xCC\x81")), QString());
    EXPECT_EQ(plan.screen(u8("cafe\xCC\x81"))->uid, plan.screens[2].uid);
}
