#include "export/htmlpage.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include "support/qtprinters.h"

using namespace Qt::StringLiterals;

namespace {

Api::ApiField apiField(const QString &name, const QString &type, bool required = true, const QString &location = {},
                       const QString &desc = {})
{
    Api::ApiField f;
    f.name = name;
    f.type = type;
    f.required = required;
    f.location = location;
    f.desc = desc;
    return f;
}

Screen screen(const QString &key, const QString &title)
{
    Screen s;
    s.key = key;
    s.title = title;
    return s;
}

Api bare(const QString &key, const QString &status = u"exists"_s)
{
    Api a;
    a.key = key;
    a.status = status;
    a.source = u"human"_s;
    return a;
}

QString card(const Api &api, const Plan &plan = {})
{
    return HTMLPage::apiCard(api, plan, HTMLPage::ModelLinks(plan));
}

QStringList blockTitles(const QString &markup)
{
    QStringList titles;
    static const QRegularExpression head(u"<div class=\"fh\">([^<]*)"_s);
    for (const auto &match : head.globalMatch(markup))
        titles.append(match.captured(1));
    return titles;
}

} // namespace

TEST(ApiCard, FullCardMarkup)
{
    Plan plan;
    plan.screens = {screen(u"feed"_s, u"피드"_s)};
    DataModel page;
    page.name = u"FeedPage"_s;
    plan.models = {page};

    Api api = bare(u"getFeed"_s, u"needed"_s);
    api.method = u"GET"_s;
    api.path = u"/feeds/{id}"_s;
    api.purpose = u"피드 목록"_s;
    api.source = u"api"_s;
    api.usedBy = {u"feed"_s};
    api.request = u"shown only without fields"_s;
    api.requestFields = {apiField(u"id"_s, u"Long"_s, true, u"Path"_s), apiField(u"cursor"_s, u"String?"_s, false, u"query"_s, u"다음 쪽"_s)};
    api.responseFields = {apiField(u"page"_s, u"FeedPage"_s, true, u"body"_s)};
    api.responseModel = u"FeedPage"_s;

    EXPECT_EQ(card(api, plan),
              u"<div class=\"model api need\" id=\"a-getFeed\"><h3><span class=\"mth\">GET</span> getFeed</h3>"
              "<div class=\"path\">/feeds/{id}</div><p class=\"where\">피드 목록 <span class=\"apitag\">API 문서</span></p>"
              "<p class=\"where\">사용하는 화면 피드 · <b class=\"need\">필요</b></p>"
              "<div class=\"fh\">요청 · Path</div><ul><li><code>id: Long</code></li></ul>"
              "<div class=\"fh\">요청 · Query</div><ul><li><code>cursor: String?</code> <span class=\"opt\">선택</span>"
              " <span class=\"where\">다음 쪽</span></li></ul>"
              "<div class=\"fh\">응답 → <code><a class=\"m\" href=\"#m-FeedPage\">FeedPage</a></code></div>"
              "<ul><li><code>page: <a class=\"m\" href=\"#m-FeedPage\">FeedPage</a></code> <span class=\"loc\">body</span></li></ul>"
              "</div>"_s);
}

TEST(ApiCard, BareCardKeepsEmptyPiecesAsSpecified)
{
    EXPECT_EQ(card(bare(u"ping"_s)),
              u"<div class=\"model api \" id=\"a-ping\"><h3>ping</h3><p class=\"where\"></p>"
              "<p class=\"where\">사용하는 화면 — · <b class=\"\">있음</b></p>"
              "<div class=\"fh\">요청</div><p class=\"where\">없음</p><div class=\"fh\">응답</div><p class=\"where\">없음</p></div>"_s);
}

TEST(ApiCard, StatusLabels)
{
    EXPECT_TRUE(card(bare(u"a"_s, u"done"_s)).contains(u"<b class=\"\">완료</b>"_s));
    EXPECT_TRUE(card(bare(u"a"_s, u"Needed"_s)).startsWith(u"<div class=\"model api \""_s));
    EXPECT_TRUE(card(bare(u"a"_s, u"Needed"_s)).contains(u"<b class=\"\">Needed</b>"_s));
    EXPECT_TRUE(card(bare(u"a"_s, u"<보류>"_s)).contains(u"<b class=\"\">&lt;보류&gt;</b>"_s));
}

TEST(ApiCard, UsersByEntryPointTitleOrKey)
{
    Plan plan;
    plan.screens = {screen(u"feed"_s, u"피드 <1>"_s), screen(u"blank"_s, QString())};
    Api api = bare(u"a"_s);
    api.usedBy = {u"@Home"_s, u"feed"_s, u"ghost"_s};
    EXPECT_TRUE(card(api, plan).contains(u"사용하는 화면 Home, 피드 &lt;1&gt;, ghost · "_s));
    api.usedBy = {u"blank"_s};
    EXPECT_TRUE(card(api, plan).contains(u"사용하는 화면 — · "_s));
}

TEST(ApiCard, RequestBlocksOrderedByLocation)
{
    Api api = bare(u"a"_s);
    api.request = u"hidden"_s;
    api.requestFields = {apiField(u"q"_s, u"String"_s, true, u"QUERY"_s), apiField(u"p"_s, u"Long"_s, true, u"path"_s),
                         apiField(u"e"_s, u"Int"_s, true, QString()),       apiField(u"c"_s, u"String"_s, true, u"Cookie"_s),
                         apiField(u"b"_s, u"Body"_s, true, u"Body"_s),        apiField(u"q2"_s, u"Int"_s, true, u"query"_s),
                         apiField(u"f"_s, u"String"_s, true, u"Form"_s)};
    const QString markup = card(api);
    EXPECT_EQ(blockTitles(markup), QStringList({u"요청 · Path"_s, u"요청 · Query"_s, u"요청 · Body (payload)"_s, u"요청"_s,
                                                u"요청 · cookie"_s, u"요청 · form"_s, u"응답"_s}));
    EXPECT_TRUE(markup.contains(u"<div class=\"fh\">요청 · Query</div><ul><li><code>q: String</code></li>"
                                "<li><code>q2: Int</code></li></ul>"_s));
    EXPECT_FALSE(markup.contains(u"class=\"loc\""_s));
    EXPECT_FALSE(markup.contains(u"hidden"_s));
}

TEST(ApiCard, FreeTextShowsOnlyWithoutFields)
{
    Api api = bare(u"a"_s);
    api.request = u"JSON <body>"_s;
    api.response = u"ok"_s;
    api.responseModel = u"Missing"_s;
    EXPECT_TRUE(card(api).contains(u"<div class=\"fh\">요청</div><p class=\"where\">JSON &lt;body&gt;</p>"
                                   "<div class=\"fh\">응답 → <code>Missing</code></div><p class=\"where\">ok</p>"_s));
    api.response.clear();
    EXPECT_TRUE(card(api).contains(u"<div class=\"fh\">응답 → <code>Missing</code></div><p class=\"where\">없음</p>"_s));
}

TEST(ApiCard, KeyIsEscapedAlikeInIdAndHeading)
{
    Api api = bare(u"a<\"b"_s);
    api.method = u"P&ST"_s;
    EXPECT_TRUE(card(api).startsWith(u"<div class=\"model api \" id=\"a-a&lt;&quot;b\"><h3><span class=\"mth\">P&amp;ST</span> "
                                     "a&lt;&quot;b</h3><p class=\"where\"></p>"_s));
}
