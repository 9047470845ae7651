#include "core/text.h"
#include "support/planrecords.h"
#include "export/exporter.h"
#include "support/qtprinters.h"
#include "export/htmlescape.h"

#include <gtest/gtest.h>

namespace {

using PlanRecords::action;

Screen screen(const QString &key, const QList<UserAction> &actions = {})
{
    Screen s;
    s.key = key;
    s.actions = actions;
    return s;
}

Transition move(const QString &from, const QString &trigger)
{
    Transition t;
    t.from = from;
    t.to = "elsewhere";
    t.trigger = trigger;
    return t;
}

DataModel model(const QString &name, const QStringList &types, const QStringList &sharedIn = {})
{
    DataModel m;
    m.name = name;
    for (const QString &type : types) {
        Field f;
        f.name = "f";
        f.type = type;
        m.fields.append(f);
    }
    m.sharedIn = sharedIn;
    return m;
}

Api api(const QString &responseModel)
{
    Api a;
    a.responseModel = responseModel;
    return a;
}

QStringList keys(const QList<Screen> &screens)
{
    QStringList out;
    for (const Screen &s : screens)
        out.append(s.key);
    return out;
}

QStringList names(const QList<DataModel> &models)
{
    QStringList out;
    for (const DataModel &m : models)
        out.append(m.name);
    return out;
}

const QString nfdHwak = QString::fromUtf8("\xE1\x84\x92\xE1\x85\xAA\xE1\x86\xA8"); // 확, decomposed

} // namespace

TEST(ExporterLabels, IconWordsMatchWholeCaseSensitiveEndings)
{
    EXPECT_EQ(Exporter::iconFallback("onBack"), std::optional<QString>("뒤로"));
    EXPECT_EQ(Exporter::iconFallback("goBack"), std::optional<QString>("뒤로"));
    EXPECT_EQ(Exporter::iconFallback("onClose"), std::optional<QString>("닫기"));
    EXPECT_EQ(Exporter::iconFallback("Done"), std::optional<QString>("완료"));
    EXPECT_EQ(Exporter::iconFallback("tapPlay"), std::optional<QString>("재생"));
    for (const QString key : {"back", "Backdrop", "onBackPressed", "onclose", "", "Bac"})
        EXPECT_FALSE(Exporter::iconFallback(key).has_value()) << key.toStdString();
    // The final "k" carries a combining mark, so the last character is not "k".
    EXPECT_FALSE(Exporter::iconFallback(QString::fromUtf8("onBack\xCC\x81")).has_value());
}

TEST(ExporterLabels, ActionLabelCountsUserPerceivedCharacters)
{
    EXPECT_EQ(Exporter::actionLabel(action("onClose", "")), "닫기");
    EXPECT_EQ(Exporter::actionLabel(action("submit", "")), "submit");
    EXPECT_EQ(Exporter::actionLabel(action("onClose", "×")), "닫기");
    EXPECT_EQ(Exporter::actionLabel(action("submit", "×")), "×");
    EXPECT_EQ(Exporter::actionLabel(action("onDone", "OK")), "OK");
    EXPECT_EQ(Exporter::actionLabel(action("onDone", "확")), "완료");
    EXPECT_EQ(Exporter::actionLabel(action("onDone", "확인")), "확인");
    // One decomposed syllable is three code units but one character.
    EXPECT_EQ(Exporter::actionLabel(action("onDone", nfdHwak)), "완료");
    EXPECT_EQ(Exporter::actionLabel(action("onDone", nfdHwak + nfdHwak)), nfdHwak + nfdHwak);
    // A flag emoji is two code points and one character.
    EXPECT_EQ(Exporter::actionLabel(action("tapPlay", QString::fromUtf8("\xF0\x9F\x87\xB0\xF0\x9F\x87\xB7"))), "재생");
    // Labels of two or more characters are kept as written, spaces included.
    EXPECT_EQ(Exporter::actionLabel(action("onBack", " ←")), " ←");
    EXPECT_EQ(Exporter::actionLabel(action("", "")), "");
}

TEST(ExporterLabels, TriggerLabelPrefersTheSourceScreensAction)
{
    Plan plan;
    plan.screens = {screen("list", {action("openDetail", "상세 보기"), action("onBack", ""), action("submit", "")}),
                    screen("bare"), screen("list", {action("openDetail", "두 번째")})};

    EXPECT_EQ(Exporter::triggerLabel(move("list", "openDetail"), plan), "상세 보기");
    EXPECT_EQ(Exporter::triggerLabel(move("list", "onBack"), plan), "뒤로");
    EXPECT_EQ(Exporter::triggerLabel(move("list", "submit"), plan), "submit");
    EXPECT_EQ(Exporter::triggerLabel(move("bare", "openDetail"), plan), "openDetail");
    EXPECT_EQ(Exporter::triggerLabel(move("bare", "tapPlay"), plan), "재생");
    EXPECT_EQ(Exporter::triggerLabel(move("@push", "onBack"), plan), "진입");
    EXPECT_EQ(Exporter::triggerLabel(move("nowhere", "whatever"), plan), "whatever");
}

TEST(ExporterLabels, SharedStatesListEachModelOnceInPlanOrder)
{
    Plan plan;
    plan.models = {model("A", {}, {"feed", "feed"}), model("B", {}, {"other"}), model("C", {}, {"x", "feed"})};
    EXPECT_EQ(names(Exporter::sharedStates(screen("feed"), plan)), (QStringList{"A", "C"}));
    EXPECT_TRUE(Exporter::sharedStates(screen("Feed"), plan).isEmpty());

    // Keys compare by canonical equivalence.
    plan.models = {model("H", {}, {QString::fromUtf8("\xED\x99\x95")})};
    EXPECT_EQ(names(Exporter::sharedStates(screen(nfdHwak), plan)), (QStringList{"H"}));
}

TEST(ExporterLabels, ApiModelNamesFollowFieldTypes)
{
    Plan plan;
    plan.models = {model("FeedPage", {"[FeedItem]?", "String"}), model("FeedItem", {"Map<String, Author>", "Int"}),
                   model("Author", {"String"}), model("Loner", {"Author"})};
    plan.apis = {api("FeedPage"), api("Missing"), api("")};
    EXPECT_EQ(Exporter::apiModelNames(plan), (QSet<QString>{"FeedPage", "FeedItem", "Author"}));

    plan.models = {model("Node", {"[Node]", "Node?", "Edge"}), model("Edge", {"Node"})};
    plan.apis = {api("Node")};
    EXPECT_EQ(Exporter::apiModelNames(plan), (QSet<QString>{"Node", "Edge"}));

    plan.apis = {api("Nothing")};
    EXPECT_TRUE(Exporter::apiModelNames(plan).isEmpty());
}

TEST(ExporterLabels, ApiModelNamesSplitTypesIntoUnicodeWords)
{
    Plan plan;
    plan.models = {model("목록", {"[상품_정보]", "상품.가격"}), model("상품_정보", {"String"}), model("상품", {"Int"}),
                   model("가격", {"Int"}), model("Feed_Item2", {}), model("Feed", {})};
    plan.apis = {api("목록")};
    // "_" joins a word; "." separates; Hangul words are words.
    EXPECT_EQ(Exporter::apiModelNames(plan), (QSet<QString>{"목록", "상품_정보", "상품", "가격"}));

    plan.models = {model("Wrap", {"Feed_Item2"}), model("Feed_Item2", {}), model("Feed", {})};
    plan.apis = {api("Wrap")};
    EXPECT_EQ(Exporter::apiModelNames(plan), (QSet<QString>{"Wrap", "Feed_Item2"}));
}

TEST(ExporterLabels, ApiModelNamesExpandOnlyTheFirstModelOfAName)
{
    Plan plan;
    plan.models = {model("Page", {"String"}), model("Page", {"Hidden"}), model("Hidden", {})};
    plan.apis = {api("Page")};
    EXPECT_EQ(Exporter::apiModelNames(plan), (QSet<QString>{"Page"}));
}

TEST(ExporterLabels, ScreensUsingMatchesSharingAndArguments)
{
    Plan plan;
    Screen a = screen("a");
    Arg optional;
    optional.name = "item";
    optional.model = "??Item?";
    a.args = {optional};
    Screen b = screen("b");
    Arg list;
    list.name = "items";
    list.model = "[Item]";
    Arg forced;
    forced.name = "forced";
    forced.model = "Item!";
    b.args = {list, forced};
    Screen c = screen("c");
    c.args = {optional};
    Screen d = screen("d");
    plan.screens = {a, b, c, d};

    // No model bears the name: arguments alone decide.
    EXPECT_EQ(keys(Exporter::screensUsing("Item", plan)), (QStringList{"a", "c"}));

    // Listed in sharedIn and taking the model as argument: listed once.
    plan.models = {model("Item", {}, {"d", "c", "c"}), model("Item", {}, {"b"})};
    EXPECT_EQ(keys(Exporter::screensUsing("Item", plan)), (QStringList{"a", "c", "d"}));
    EXPECT_TRUE(Exporter::screensUsing("Other", plan).isEmpty());
}

TEST(ExporterLabels, StatusTextTellsTheKeyState)
{
    StringKey string;
    string.ko = "확인";
    EXPECT_EQ(Exporter::statusText(string), "키 필요");
    string.key = "ok_button";
    EXPECT_EQ(Exporter::statusText(string), "`ok_button` 키 확인 필요");
    string.source = "spec";
    EXPECT_EQ(Exporter::statusText(string), "`ok_button` 키 적용 완료");
    string.source = "Inferred";
    EXPECT_EQ(Exporter::statusText(string), "`ok_button` 키 적용 완료");
}

TEST(ExporterLabels, PageEscapingReplacesFourCharactersInOrder)
{
    EXPECT_EQ(HTMLPage::escape("a&lt;b"), "a&amp;lt;b");
    EXPECT_EQ(HTMLPage::escape("<img src=\"x\" alt='y'>"), "&lt;img src=&quot;x&quot; alt='y'&gt;");
    EXPECT_EQ(HTMLPage::escape("한글 그대로"), "한글 그대로");
}

TEST(ExporterLabels, SuffixTestUsesCanonicalWholeCharacters)
{
    const QString nfd = QString(QStringLiteral("계획서")).normalized(QString::NormalizationForm_D);
    EXPECT_TRUE(Text::hasSuffix("개발 " + nfd, "계획서"));
    EXPECT_TRUE(Text::hasSuffix("계획서", nfd));
    EXPECT_FALSE(Text::hasSuffix("획서", "계획서"));
    EXPECT_FALSE(Text::hasSuffix("계획서 ", "계획서"));
    EXPECT_TRUE(Text::hasSuffix("", ""));
}
