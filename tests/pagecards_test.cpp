#include "export/htmlpage.h"
#include "support/planrecords.h"
#include "export/exporter.h"

#include <gtest/gtest.h>

#include "support/qtprinters.h"
#include "support/richplan.h"

using namespace Qt::StringLiterals;

namespace {

using PlanRecords::action;
using PlanRecords::sourced;
using PlanRecords::arg;

Screen screen(const QString &key, const QString &name, const QString &title, const QString &kind = u"screen"_s)
{
    Screen s;
    s.key = key;
    s.name = name;
    s.title = title;
    s.kind = kind;
    return s;
}

Transition move(const QString &from, const QString &to, const QString &trigger, const QString &kind = u"push"_s,
                const QString &source = u"inferred"_s)
{
    Transition t;
    t.from = from;
    t.to = to;
    t.trigger = trigger;
    t.kind = kind;
    t.source = source;
    return t;
}

Field field(const QString &name, const QString &type, const QString &filledAt, const QString &source)
{
    Field f;
    f.name = name;
    f.type = type;
    f.filledAt = filledAt;
    f.source = source;
    return f;
}

DataModel model(const QString &name, const QList<Field> &fields = {}, const QStringList &sharedIn = {})
{
    DataModel m;
    m.name = name;
    m.fields = fields;
    m.sharedIn = sharedIn;
    return m;
}

Api api(const QString &key, const QString &responseModel)
{
    Api a;
    a.key = key;
    a.responseModel = responseModel;
    return a;
}

StringKey string(const QString &screenKey, const QString &key, const QString &ko)
{
    StringKey s;
    s.screen = screenKey;
    s.key = key;
    s.ko = ko;
    return s;
}

FileSet fileSet(const QString &dir, const QStringList &files)
{
    FileSet f;
    f.dir = dir;
    f.files = files;
    return f;
}

const QString titleOpen =
    u"<div class=\"title\"><button class=\"fold\" type=\"button\" aria-expanded=\"true\" aria-label=\"접기·펼치기\" title=\"접기·펼치기\"></button>"_s;

// A picture of the plan folder as the page writes it: for the image script,
// and for a viewer without scripts.
QString picture(const QString &cls, const QString &path, const QString &alt)
{
    return u"<img class=\"%1\" data-src=\"%2\" alt=\"%3\" loading=\"lazy\"><noscript><img class=\"%1\" src=\"%2\" "
           "alt=\"%3\"></noscript>"_s.arg(cls, path, alt);
}

} // namespace

TEST(PageCode, EmptyTextGivesNoElement)
{
    EXPECT_EQ(HTMLPage::code(QString()), QString());
    EXPECT_EQ(HTMLPage::code(u"a<b"_s), u"<code>a&lt;b</code>"_s);
    EXPECT_EQ(HTMLPage::code(u"\"x\" & 'y'"_s), u"<code>&quot;x&quot; &amp; 'y'</code>"_s);
}

TEST(PageShot, PlaceholderSingleImageAndPlatformVariants)
{
    Screen s = screen(u"home"_s, u"Home"_s, u"홈"_s);
    EXPECT_EQ(HTMLPage::shot(s, QString()), u"<div class=\"ph \"><b>이미지 없음</b>홈</div>"_s);

    s.image.before = u"img/home.png"_s;
    EXPECT_EQ(HTMLPage::shot(s, u"big"_s), picture(u"big"_s, u"img/home.png"_s, u"홈"_s));

    s.image.ios = u"img/home-ios.png"_s;
    EXPECT_EQ(HTMLPage::shot(s, QString()),
              u"<div class=\"pv p-c\">"_s + picture({}, u"img/home.png"_s, u"홈"_s) + u"</div><div class=\"pv p-a\">"_s
                  + picture({}, u"img/home.png"_s, u"홈"_s) + u"</div><div class=\"pv p-i\">"_s
                  + picture({}, u"img/home-ios.png"_s, u"홈 iOS"_s) + u"</div>"_s);
}

TEST(PageShot, PresentEmptyOrSamePlatformImageStillGivesVariants)
{
    Screen s = screen(u"home"_s, u"Home"_s, u"홈"_s);
    s.image.before = u"img/home.png"_s;
    s.image.android = QString();
    EXPECT_EQ(HTMLPage::shot(s, QString()),
              u"<div class=\"pv p-c\">"_s + picture({}, u"img/home.png"_s, u"홈"_s)
                  + u"</div><div class=\"pv p-a\"><div class=\"ph \"><b>이미지 없음</b>홈 Android</div></div><div class=\"pv p-i\">"_s
                  + picture({}, u"img/home.png"_s, u"홈"_s) + u"</div>"_s);

    s.image.android = u"img/home.png"_s;
    EXPECT_TRUE(HTMLPage::shot(s, QString()).contains(u"alt=\"홈 Android\""_s));
}

TEST(PageShot, PlanTextCannotLeaveTheAttribute)
{
    Screen s = screen(u"home"_s, u"Home"_s, u"\"><script>x</script>"_s);
    s.image.before = u"img/a\" onerror=\"alert(1).png"_s;
    EXPECT_EQ(HTMLPage::shot(s, QString()),
              picture({}, u"img/a&quot; onerror=&quot;alert(1).png"_s, u"&quot;&gt;&lt;script&gt;x&lt;/script&gt;"_s));
}

TEST(PageShot, OnlyRelativePathsAndWebAddressesAreLoaded)
{
    Screen s = screen(u"home"_s, u"Home"_s, u"홈"_s);
    // A path out of the plan folder is no picture either: the page sent on its own could not show it.
    for (const QString &source : {u"javascript:alert(1)"_s, u"file:///etc/passwd"_s, u"data:text/html,x"_s,
                                  u"/etc/hosts.png"_s, u"../other/img/a.png"_s, u"img/../../a.png"_s,
                                  u"img\\..\\..\\a.png"_s, u"\\\\host\\a.png"_s, u"//host/a.png"_s,
                                  u"img/%2e%2e/%2E%2e/a.png"_s, u"%2F%2Fhost/a.png"_s,
                                  // A browser drops these spaces, controls, tabs and line breaks before it reads the path.
                                  u" /abs/x.png"_s, u"\f/abs/x.png"_s, u"\t../x.png"_s, u"img/.\t./.\t./x.png"_s,
                                  u"img/.\n./x.png"_s, u"img/.\r./x.png"_s, u" //host/x.png"_s, u" http://host/x.png"_s,
                                  u"img/x.png "_s, u"C|/x.png"_s, u"c|\\x.png"_s, u"C|"_s, u"z|?x.png"_s,
                                  u"Z|#x.png"_s, u"a+b.c-d:x.png"_s, u"x09:y.png"_s, u"img/a.png/../../x.png?y"_s}) {
        s.image.before = source;
        EXPECT_EQ(HTMLPage::shot(s, QString()), u"<div class=\"ph \"><b>이미지 없음</b>홈</div>"_s) << source.toStdString();
        Plan plan;
        plan.screens = {s};
        EXPECT_FALSE(Exporter::mermaid(plan, true).contains(u"<img"_s)) << source.toStdString();
    }
    s.image.before = u"HTTPS://cdn.example.com/a.png"_s;
    EXPECT_TRUE(HTMLPage::shot(s, QString()).contains(u" src=\"HTTPS://cdn.example.com/a.png\""_s));
    // A colon after a character no scheme has, and a climb in the query or
    // the fragment, which are no part of the path.
    for (const QString &source : {u"img/node-1:2.png"_s, u"img/..a.png"_s, u"img/a..png"_s, u"1ab:x.png"_s,
                                  u"a_b:x.png"_s, u"img/a.png?x/../../y"_s, u"img/a.png#..\\..\\y"_s, u"C|x.png"_s}) {
        s.image.before = source;
        EXPECT_TRUE(HTMLPage::shot(s, QString()).contains(u" data-src=\""_s + source + u"\""_s)) << source.toStdString();
    }
}

TEST(PageMainClass, FirstFileWithoutItsLastExtensionElseTheName)
{
    Plan plan;
    const Screen home = screen(u"home"_s, u"Home"_s, u"홈"_s);
    EXPECT_EQ(HTMLPage::mainClass(home, plan), std::pair(u"Home"_s, u"Home"_s));

    plan.naming.platformMap.insert(u"home"_s, {fileSet(u"d/"_s, {u"ui/HomeFragment.kt"_s, u"Other.kt"_s}), fileSet(u"i/"_s, {})});
    EXPECT_EQ(HTMLPage::mainClass(home, plan), std::pair(u"ui/HomeFragment"_s, u"Home"_s));

    plan.naming.platformMap[u"home"_s].android.files = {u"ui.v2/Home"_s};
    plan.naming.platformMap[u"home"_s].ios.files = {u"HomePage.generated.swift"_s};
    EXPECT_EQ(HTMLPage::mainClass(home, plan), std::pair(u"ui.v2/Home"_s, u"HomePage.generated"_s));
}

// The feature's name is taken out of the shown call, the full call staying
// in the tooltip: the name as written goes first, then the lower-cased one
// from what is left; each goes at its leftmost places, none overlapping,
// and what its removal joins stays.
TEST(PageNavNames, FeatureIsTakenOutOfTheShownCall)
{
    const QString harborForm = u"<code title=\"openHarborClipsDetail(harborClipsId)\">openDetail(Id)</code>"_s;
    const struct {
        QString feature;
        QString fromName;
        QString toName;
        QString android;
        QString ios;
        QString names;
    } rows[] = {
        {u"HarborClips"_s, u"HarborClips"_s, u"HarborClipsDetail"_s, u"open{To}({from}Id)"_s, u"open{To}({from}Id)"_s,
         u"<div class=\"pv p-a nav\">"_s + harborForm + u"</div><div class=\"pv p-i nav\">"_s + harborForm + u"</div>"_s},
        {u"Aba"_s, u"AbaList"_s, u"AbaDetail"_s, u"AAbaba_abAba"_s, u"ababa_Abab"_s,
         u"<div class=\"pv p-a nav\"><code title=\"AAbaba_abAba\">Aba_<wbr>ab</code></div>"
         "<div class=\"pv p-i nav\"><code title=\"ababa_Abab\">ba_<wbr>b</code></div>"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.feature.toStdString());
        Plan plan;
        plan.meta.feature = row.feature;
        plan.screens = {screen(u"from"_s, row.fromName, u"목록"_s), screen(u"to"_s, row.toName, u"상세"_s)};
        Conventions conventions = Conventions::builtIn();
        conventions.android.navigation = row.android;
        conventions.ios.navigation = row.ios;
        EXPECT_EQ(HTMLPage::navNames(move(u"from"_s, u"to"_s, u"open"_s), plan, conventions), row.names);
    }
}

TEST(PageNavNames, BuiltInCallsBreakAfterUnderscoresAndDots)
{
    Plan plan;
    plan.meta.feature = u"HarborClips"_s;
    plan.screens = {screen(u"list"_s, u"HarborClipsList"_s, u"목록"_s), screen(u"detail"_s, u"HarborClipsDetail"_s, u"상세"_s),
                    screen(u"sheet"_s, u"HarborClipsSheet"_s, u"시트"_s, u"sheet"_s)};
    const Conventions &conventions = Conventions::builtIn();
    EXPECT_EQ(HTMLPage::navNames(move(u"list"_s, u"detail"_s, u"open"_s), plan, conventions),
              u"<div class=\"pv p-a nav\"><code title=\"action_harborClipsListFragment_to_harborClipsDetailFragment\">"
              "action_<wbr>ListFragment_<wbr>to_<wbr>DetailFragment</code></div>"
              "<div class=\"pv p-i nav\"><code title=\"HarborClipsListSideEffect.routeToDetail()\">"
              "ListSideEffect.<wbr>routeToDetail()</code></div>"_s);
    EXPECT_EQ(HTMLPage::navNames(move(u"list"_s, u"sheet"_s, u"open"_s), plan, conventions), QString());
    EXPECT_EQ(HTMLPage::navNames(move(u"list"_s, u"detail"_s, u"back"_s, u"pop"_s), plan, conventions), QString());
    EXPECT_EQ(HTMLPage::navNames(move(u"list"_s, u"@Home"_s, u"open"_s), plan, conventions), QString());
}

TEST(PageModelCard, BareModelIsHeadingAndFieldList)
{
    Plan plan;
    plan.models = {model(u"Item"_s)};
    const HTMLPage::ModelLinks links(plan);
    EXPECT_EQ(HTMLPage::modelCard(plan.models.first(), {}, plan, links),
              u"<div class=\"model\" id=\"m-Item\"><h3>Item</h3><ul></ul></div>"_s);
}

TEST(PageModelCard, SharedModelWithAnsweringApisUsersAndFields)
{
    Plan plan;
    Screen detail = screen(u"detail"_s, u"Detail"_s, u"상세"_s);
    detail.args = {arg(u"feed"_s, u"Feed?"_s)};
    plan.screens = {screen(u"home"_s, u"Home"_s, u"홈"_s), detail, screen(u"other"_s, u"Other"_s, u"기타"_s)};
    plan.models = {model(u"Feed"_s,
                         {field(u"items"_s, u"[FeedItem]"_s, u"@Entry"_s, u"api"_s),
                          field(u"title"_s, u"String"_s, u"home"_s, u"spec"_s),
                          field(u"x"_s, u"Int"_s, u"ghost"_s, u"inferred"_s), field(u"y"_s, u"Int"_s, QString(), u"human"_s)},
                         {u"home"_s}),
                   model(u"FeedItem"_s)};
    plan.apis = {api(u"getFeed"_s, u"Feed"_s), api(u"getOther"_s, u"Other"_s), api(u"refreshFeed"_s, u"Feed"_s)};
    const HTMLPage::ModelLinks links(plan);

    const QString head =
        u"<div class=\"model shared\" id=\"m-Feed\"><h3>Feed <span class=\"chip ok\">흐름 공유</span></h3>"
        "<p class=\"where\">화면 사이에 넘기지 않아요. 입구 화면이 채우고, 아래 화면들이 같이 읽어요(Android: nav graph 범위 ViewModel · iOS: 흐름 코디네이터).</p>"
        "<p class=\"where\">응답: <code><a class=\"m\" href=\"#a-getFeed\">getFeed</a></code> <code><a class=\"m\" href=\"#a-refreshFeed\">refreshFeed</a></code></p>"
        "<p class=\"users\"><span class=\"where\">사용하는 화면</span> <a class=\"sl\" href=\"#s-home\">홈</a><a class=\"sl\" href=\"#s-detail\">상세</a></p><ul>"_s;
    const QString items = u"<li><code>items: [<a class=\"m\" href=\"#m-FeedItem\">FeedItem</a>]</code> <span class=\"where\">Entry</span>%1</li>"
                          "<li><code>title: String</code> <span class=\"where\">홈</span> <span class=\"apitag spec\">기획서</span></li>"
                          "<li><code>x: Int</code> <span class=\"where\">ghost</span> <span class=\"inf\">추론</span></li>"
                          "<li><code>y: Int</code> <span class=\"where\"></span></li></ul></div>"_s;

    // An API field is only worth tagging in a model the app makes itself.
    EXPECT_EQ(HTMLPage::modelCard(plan.models.first(), {}, plan, links),
              head + items.arg(u" <span class=\"apitag\">API 문서</span>"_s));
    EXPECT_EQ(HTMLPage::modelCard(plan.models.first(), {u"Feed"_s}, plan, links), head + items.arg(QString()));
}

TEST(PageScreenCard, PlainScreenListsEmptyArgumentsAndServerData)
{
    Plan plan;
    plan.screens = {screen(u"home"_s, u"Home"_s, u"홈"_s)};
    const HTMLPage::ModelLinks links(plan);
    EXPECT_EQ(HTMLPage::screenCard(plan.screens.first(), plan, links, Conventions::builtIn()),
              u"<article class=\"screen\" id=\"s-home\">"_s + titleOpen
                  + u"<h3>홈</h3><code>Home</code></div><div class=\"shot\"><div class=\"ph \"><b>이미지 없음</b>홈</div></div>"
                    "<div class=\"body\"><dl class=\"kv\"><dt>입력 인자</dt><dd>없음</dd><dt>서버 데이터</dt><dd>없음</dd></dl>"
                    "</div></article>"_s);
}

TEST(PageScreenCard, TitleRowNamesAndPills)
{
    Plan plan;
    Screen home = screen(u"a\"b"_s, u"Home"_s, u"홈"_s, u"sheet"_s);
    home.figmaLabel = u" \t "_s;
    plan.screens = {home};
    plan.naming.platformMap.insert(home.key, {fileSet(u"d/"_s, {u"ui/HomeFragment.kt"_s}), fileSet(u"i/"_s, {})});
    const HTMLPage::ModelLinks links(plan);

    QString card = HTMLPage::screenCard(home, plan, links, Conventions::builtIn());
    EXPECT_TRUE(card.startsWith(u"<article class=\"screen\" id=\"s-a&quot;b\">"_s + titleOpen
                                + u"<h3>홈</h3><span class=\"pv p-c\"><code>Home</code></span><span class=\"pv p-a\">"
                                  "<code>ui/HomeFragment</code></span><span class=\"pv p-i\"><code>Home</code></span>"
                                  "<span class=\"pill\">sheet</span></div>"_s))
        << card.toStdString();
    EXPECT_TRUE(card.contains(u"<dt class=\"pv p-a\">파일</dt><dd class=\"pv p-a\"><div class=\"dir\">d/</div>"
                              "<code>ui/HomeFragment.kt</code></dd><dt class=\"pv p-i\">파일</dt><dd class=\"pv p-i\">"
                              "<div class=\"dir\">i/</div></dd>"_s));

    // Only spaces and tabs count as blank; a line break is kept and shown.
    home.figmaLabel = u"\nTO-BE"_s;
    home.kind = u"screen"_s;
    card = HTMLPage::screenCard(home, plan, links, Conventions::builtIn());
    EXPECT_TRUE(card.contains(u"</span><span class=\"pill\">\nTO-BE</span></div><div class=\"shot\">"_s));
    EXPECT_EQ(card.count(u"class=\"pill\""_s), 1);
}

TEST(PageScreenCard, Facts)
{
    Plan plan;
    Screen list = screen(u"list"_s, u"List"_s, u"목록"_s);
    list.condition = sourced(u"로그인 <필수>"_s, u"spec"_s);
    list.args = {arg(u"itemId"_s, u"Item?"_s), arg(u"page"_s, QString())};
    list.serverData = {u"getFeed"_s, QString(), u"other"_s};
    list.rules = {sourced(u"a<b"_s, u"inferred"_s), sourced(u"c"_s, u"human"_s)};
    list.platformNotes.ios = u"iOS 만"_s;
    plan.screens = {list};
    plan.models = {model(u"Item"_s), model(u"Flow"_s, {}, {u"list"_s, u"list"_s})};
    plan.apis = {api(u"getFeed"_s, QString())};
    const HTMLPage::ModelLinks links(plan);

    const QString card = HTMLPage::screenCard(list, plan, links, Conventions::builtIn());
    EXPECT_TRUE(card.contains(
        u"<dl class=\"kv\"><dt>조건</dt><dd>로그인 &lt;필수&gt; <span class=\"apitag spec\">기획서</span></dd>"
        "<dt>흐름 공유</dt><dd><code><a class=\"m\" href=\"#m-Flow\">Flow</a></code></dd>"
        "<dt>입력 인자</dt><dd><div class=\"argl\"><code>itemId: <a class=\"m\" href=\"#m-Item\">Item</a>?</code>"
        "<code>page</code></div></dd>"
        "<dt>서버 데이터</dt><dd><code><a class=\"m\" href=\"#a-getFeed\">getFeed</a></code>  <code>other</code></dd>"
        "<dt>검증·규칙</dt><dd>a&lt;b <span class=\"inf\">추론</span><br>c</dd>"
        "<dt>플랫폼 메모</dt><dd>iOS: iOS 만</dd></dl>"_s))
        << card.toStdString();

    list.condition = sourced(QString(), u"spec"_s);
    list.platformNotes.android = u"A"_s;
    const QString second = HTMLPage::screenCard(list, plan, links, Conventions::builtIn());
    EXPECT_FALSE(second.contains(u"조건"_s));
    EXPECT_TRUE(second.contains(u"<dt>플랫폼 메모</dt><dd>Android: A<br>iOS: iOS 만</dd>"_s));
}

TEST(PageScreenCard, ExitTableRowsInActionThenPlanOrder)
{
    Plan plan;
    plan.meta.feature = u"HarborClips"_s;
    Screen list = screen(u"list"_s, u"HarborClipsList"_s, u"목록"_s);
    list.actions = {action(u"open"_s, u"열기"_s), action(u"refresh"_s, u"새로고침"_s), action(u"onBack"_s, QString())};
    Screen detail = screen(u"detail"_s, u"HarborClipsDetail"_s, u"상세"_s);
    detail.args = {arg(u"itemId"_s, u"Item"_s)};
    Screen other = screen(u"other"_s, u"Other"_s, u"기타"_s);
    other.args = {arg(u"itemId"_s, u"Other"_s)};
    plan.screens = {list, detail, other};
    plan.models = {model(u"Item"_s), model(u"Other"_s)};

    Transition first = move(u"list"_s, u"detail"_s, u"open"_s);
    first.condition = QString();
    first.passes = {u"itemId"_s, u"raw<id>"_s};
    Transition swipe = move(u"list"_s, u"@Home"_s, u"swipe"_s, u"pop"_s, u"human"_s);
    swipe.popUpTo = QString();
    Transition second = move(u"list"_s, u"detail"_s, u"open"_s, u"push"_s, u"spec"_s);
    second.condition = u"로그인 시"_s;
    Transition back = move(u"list"_s, u"nowhere"_s, u"onBack"_s, u"pop"_s, u"api"_s);
    back.popUpTo = u"detail"_s;
    plan.transitions = {first, move(u"detail"_s, u"list"_s, u"open"_s), swipe, second, back};
    const HTMLPage::ModelLinks links(plan);

    const QString nav = u"<div class=\"pv p-a nav\"><code title=\"action_harborClipsListFragment_to_harborClipsDetailFragment\">"
                        "action_<wbr>ListFragment_<wbr>to_<wbr>DetailFragment</code></div>"
                        "<div class=\"pv p-i nav\"><code title=\"HarborClipsListSideEffect.routeToDetail()\">"
                        "ListSideEffect.<wbr>routeToDetail()</code></div>"_s;
    const QString expected =
        u"<div class=\"exits-wrap\"><table class=\"exits\"><tr><th>사용자 행동</th><th>넘기는 값</th><th>이동</th></tr>"
        "<tr><td>열기<br><small></small></td><td><code><a class=\"m\" href=\"#m-Item\">itemId</a></code> <code>raw&lt;id&gt;</code></td>"
        "<td>상세 <small>(push)</small>"_s
        + nav + u" <span class=\"inf\">추론</span></td></tr>"
                "<tr><td>열기<br><small>로그인 시</small></td><td></td><td>상세 <small>(push)</small>"_s
        + nav + u" <span class=\"apitag spec\">기획서</span></td></tr>"
                "<tr><td>새로고침</td><td></td><td><small>제자리</small></td></tr>"
                "<tr><td>뒤로</td><td></td><td>nowhere <small>(pop)</small><br><small>pop 상세</small> "
                "<span class=\"apitag\">API 문서</span></td></tr>"
                "<tr><td>swipe</td><td></td><td>Home <small>(pop)</small></td></tr></table></div>"_s;
    const QString card = HTMLPage::screenCard(list, plan, links, Conventions::builtIn());
    EXPECT_TRUE(card.contains(u"</dl>"_s + expected + u"</div></article>"_s)) << card.toStdString();

    // The detail screen's only move is triggered by no action of its own.
    const QString detailCard = HTMLPage::screenCard(detail, plan, links, Conventions::builtIn());
    EXPECT_TRUE(detailCard.contains(u"<tr><td>open</td><td></td><td>목록 <small>(push)</small>"_s));
    EXPECT_FALSE(HTMLPage::screenCard(other, plan, links, Conventions::builtIn()).contains(u"exits"_s));
}

TEST(PageScreenCard, StringsBlockCountsShownStringsAndKeysNeeded)
{
    Plan plan;
    Screen home = screen(u"home"_s, u"Home"_s, u"홈"_s);
    plan.screens = {home, screen(u"other"_s, u"Other"_s, u"기타"_s)};
    plan.strings = {string(u"home"_s, u"home_title"_s, u"제목"_s), string(u"home"_s, QString(), u"안내"_s),
                    string(u"home"_s, u"home_empty"_s, QString()), string(u"other"_s, QString(), u"다른"_s),
                    string(u"home"_s, u"home_ok"_s, u"확인"_s)};
    const HTMLPage::ModelLinks links(plan);

    const QList<StringKey> shown = {plan.strings[0], plan.strings[1], plan.strings[4]};
    const QString card = HTMLPage::screenCard(home, plan, links, Conventions::builtIn());
    EXPECT_TRUE(card.endsWith(u"</dl><details class=\"strings\"><summary>문구·워드민트 보기 <small>3개 · 키 필요 1</small></summary>"_s
                              + HTMLPage::callouts(home, shown) + u"</details></div></article>"_s))
        << card.toStdString();

    plan.strings[1].key = u"home_guide"_s;
    EXPECT_TRUE(HTMLPage::screenCard(home, plan, links, Conventions::builtIn())
                    .contains(u"<small>3개</small></summary>"_s));
    plan.strings = {string(u"home"_s, u"k"_s, QString())};
    EXPECT_FALSE(HTMLPage::screenCard(home, plan, links, Conventions::builtIn()).contains(u"details"_s));
}

TEST(PageScreenCard, RichPlanCardsEscapeTextsAndLabelEveryExit)
{
    const Plan plan = RichPlan::make();
    const HTMLPage::ModelLinks links(plan);
    QString all;
    for (const Screen &s : plan.screens)
        all += HTMLPage::screenCard(s, plan, links, Conventions::builtIn());
    EXPECT_FALSE(all.contains(u"<시트>"_s));
    EXPECT_FALSE(all.contains(u"\"상세\""_s));
    EXPECT_TRUE(all.contains(u"<h3>댓글 &lt;시트&gt;</h3><code>HarborClipsCommentSheet</code><span class=\"pill\">sheet</span></div>"_s));
    EXPECT_TRUE(all.contains(u"data-src=\"img/it's.png\" alt=\"클립 &quot;상세&quot;\""_s));

    const QString feed = HTMLPage::screenCard(plan.screens.first(), plan, links, Conventions::builtIn());
    EXPECT_TRUE(feed.contains(u"<span class=\"pv p-a\"><code>ClipsFeedScreen</code></span><span class=\"pv p-i\"><code>ClipsFeedView</code></span>"_s));
    EXPECT_EQ(feed.count(u"<tr><td>클립 보기<br><small>"_s), 2);
    EXPECT_TRUE(feed.contains(u"<tr><td>클립 보기<br><small>로그인</small></td><td><code>clipId</code> <code>clip</code></td>"
                              "<td>클립 &quot;상세&quot; <small>(push)</small><div class=\"pv p-a nav\">"_s));
    EXPECT_TRUE(feed.contains(u"<tr><td>클립 보기<br><small>비로그인</small></td><td></td><td>로그인 <small>(push)</small>"
                              " <span class=\"inf\">추론</span></td></tr>"
                              "<tr><td>닫기</td><td></td><td>home <small>(pop)</small> <span class=\"inf\">추론</span></td></tr>"
                              "<tr><td>필터</td><td></td><td><small>제자리</small></td></tr></table>"_s))
        << feed.toStdString();
}
