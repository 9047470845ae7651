#include "export/htmlpage.h"

#include <gtest/gtest.h>

#include "support/qtprinters.h"

using namespace Qt::StringLiterals;

namespace {

DataModel model(const QString &name)
{
    DataModel m;
    m.name = name;
    return m;
}

Screen screen(const QString &key, const QList<std::pair<QString, QString>> &args)
{
    Screen s;
    s.key = key;
    for (const auto &[name, modelName] : args) {
        Arg a;
        a.name = name;
        a.model = modelName;
        s.args.append(a);
    }
    return s;
}

Plan planWith(const QStringList &models, const QList<Screen> &screens = {})
{
    Plan plan;
    for (const QString &name : models)
        plan.models.append(model(name));
    plan.screens = screens;
    return plan;
}

} // namespace

TEST(ModelLinks, FirstArgumentOfANameInPlanOrderWins)
{
    const Plan plan = planWith({u"Item"_s, u"Other"_s, u"Third"_s},
                               {screen(u"a"_s, {{u"itemId"_s, u"Item"_s}, {u"itemId"_s, u"Third"_s}}),
                                screen(u"b"_s, {{u"itemId"_s, u"Other"_s}, {u"otherId"_s, u"Other"_s}})});
    const HTMLPage::ModelLinks links(plan);
    EXPECT_EQ(links.argModel(u"itemId"_s), u"Item"_s);
    EXPECT_EQ(links.argModel(u"otherId"_s), u"Other"_s);
}

TEST(ModelLinks, ArgumentsWhoseModelIsNoModelOfThePlanRecordNothing)
{
    const Plan plan = planWith({u"Item"_s}, {screen(u"a"_s, {{u"itemId"_s, u"Item?"_s}, {u"title"_s, u"String"_s}}),
                                             screen(u"b"_s, {{u"itemId"_s, u"Item"_s}})});
    const HTMLPage::ModelLinks links(plan);
    // The optional form on the first screen is skipped, so the later exact use is the one recorded.
    EXPECT_EQ(links.argModel(u"itemId"_s), u"Item"_s);
    EXPECT_EQ(links.argModel(u"title"_s), std::nullopt);
    EXPECT_TRUE(links.isModel(u"Item"_s));
    EXPECT_FALSE(links.isModel(u"Item?"_s));
}

TEST(ModelLinks, LinkEscapesTextAndTarget)
{
    const HTMLPage::ModelLinks links(planWith({}));
    EXPECT_EQ(links.link(u"a\"b"_s, u"M<&>"_s), u"<a class=\"m\" href=\"#m-M&lt;&amp;&gt;\">a&quot;b</a>"_s);
}

TEST(ModelLinks, TypeLinksWholeWordsOnly)
{
    const HTMLPage::ModelLinks links(planWith({u"Item"_s, u"Author"_s}));
    EXPECT_EQ(links.type(u"List<Item>?"_s), u"List&lt;<a class=\"m\" href=\"#m-Item\">Item</a>&gt;?"_s);
    EXPECT_EQ(links.type(u"[Item]"_s), u"[<a class=\"m\" href=\"#m-Item\">Item</a>]"_s);
    EXPECT_EQ(links.type(u"Map<String, Author>"_s),
              u"Map&lt;String, <a class=\"m\" href=\"#m-Author\">Author</a>&gt;"_s);
    EXPECT_EQ(links.type(u"Item_2"_s), u"Item_2"_s);
    EXPECT_EQ(links.type(u"Items"_s), u"Items"_s);
    EXPECT_EQ(links.type(u"ItemList"_s), u"ItemList"_s);
    EXPECT_EQ(links.type(u"Item"_s), u"<a class=\"m\" href=\"#m-Item\">Item</a>"_s);
}

TEST(ModelLinks, TypeWithoutModelsIsEscapedAndEmptyStaysEmpty)
{
    const HTMLPage::ModelLinks links(planWith({u"Item"_s}));
    EXPECT_EQ(links.type(u"Map<String, \"Int\"> & more's"_s), u"Map&lt;String, &quot;Int&quot;&gt; &amp; more's"_s);
    EXPECT_EQ(links.type(QString()), QString());
}

TEST(ModelLinks, HangulAndCombiningMarksBelongToWords)
{
    const HTMLPage::ModelLinks links(planWith({u"상품"_s, u"Caf\u00e9"_s}));
    EXPECT_EQ(links.type(u"List<상품>"_s), u"List&lt;<a class=\"m\" href=\"#m-상품\">상품</a>&gt;"_s);
    EXPECT_EQ(links.type(u"상품목록"_s), u"상품목록"_s);
    // A decomposed é is one character of the word and names the same model.
    const QString decomposed = u"Cafe\u0301"_s;
    EXPECT_EQ(links.type(u"["_s + decomposed + u"]"_s),
              u"[<a class=\"m\" href=\"#m-"_s + decomposed + u"\">"_s + decomposed + u"</a>]"_s);
    EXPECT_EQ(links.type(decomposed + u"s"_s), decomposed + u"s"_s);
}
