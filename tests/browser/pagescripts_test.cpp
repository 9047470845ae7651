#include <gtest/gtest.h>

#include "browser/pageharness.h"
#include "support/qtprinters.h"
#include "support/richplan.h"

using namespace Qt::StringLiterals;
using PageHarness::js;
using PageHarness::PageTest;

namespace {

// The element's top edge sits where a jump to it puts it, below the sticky
// tab bar, or as near as the end of the page lets it.
QString atTop(const QString &id)
{
    return u"(function (top) { var end = document.documentElement.scrollHeight - innerHeight;"
           " return Math.abs(top - 72) < 2 || (Math.abs(scrollY - end) < 2 && top > 72 && top < innerHeight); })"
           "(document.getElementById(%1).getBoundingClientRect().top)"_s.arg(js(id));
}

// The card sits at the start of its sideways row (snapping may take the 2 px back).
QString slidIn(const QString &id)
{
    return u"(function (e) { var row = e.parentElement; var gap = e.getBoundingClientRect().left - row.getBoundingClientRect().left;"
           " return row.scrollLeft > 0 && gap > -0.5 && gap < 2.5; })(document.getElementById(%1))"_s.arg(js(id));
}

QString pressed(const QString &bar)
{
    return u"Array.from(document.querySelectorAll('%1 button')).map(function (b) { return b.getAttribute('aria-pressed'); }).join(' ')"_s
        .arg(bar);
}

QString shown(const QString &selector)
{
    return u"getComputedStyle(document.querySelector(%1)).display !== 'none'"_s.arg(js(selector));
}

QString visiblePanel()
{
    return u"Array.from(document.querySelectorAll('.dpanel')).filter(function (p) { return !p.hidden; }).map(function (p) { return p.getAttribute('data-d'); }).join(' ')"_s;
}

TEST_F(PageTest, PlatformTabsSwitchTheNamesAndSurviveAReload)
{
    open(RichPlan::make());
    EXPECT_EQ(eval(u"document.body.getAttribute('data-p')"_s).toString(), u"c"_s);
    EXPECT_EQ(eval(pressed(u".ptabs"_s)).toString(), u"true false false"_s);
    EXPECT_TRUE(eval(shown(u"#s-feed .title .p-c"_s)).toBool());
    EXPECT_FALSE(eval(shown(u"#s-feed .title .p-a"_s)).toBool());

    browser().click(u".ptabs button[data-p=a]"_s);
    ASSERT_TRUE(browser().waitFor(u"document.body.getAttribute('data-p') === 'a'"_s));
    EXPECT_EQ(eval(pressed(u".ptabs"_s)).toString(), u"false true false"_s);
    EXPECT_FALSE(eval(shown(u"#s-feed .title .p-c"_s)).toBool());
    EXPECT_TRUE(eval(shown(u"#s-feed .title .p-a"_s)).toBool());
    EXPECT_FALSE(eval(shown(u"#s-feed .title .p-i"_s)).toBool());
    EXPECT_NE(eval(u"document.querySelector('#s-feed .title .p-a').textContent"_s).toString(),
              eval(u"document.querySelector('#s-feed .title .p-c').textContent"_s).toString());
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.platform:' + location.pathname)"_s).toString(), u"a"_s);

    ASSERT_TRUE(browser().reload());
    EXPECT_EQ(eval(u"document.body.getAttribute('data-p')"_s).toString(), u"a"_s);
    EXPECT_EQ(eval(pressed(u".ptabs"_s)).toString(), u"false true false"_s);

    browser().click(u".ptabs button[data-p=i]"_s);
    ASSERT_TRUE(browser().waitFor(u"document.body.getAttribute('data-p') === 'i'"_s));
    EXPECT_TRUE(eval(shown(u"#s-feed .title .p-i"_s)).toBool());

    // Only the three known values are taken from storage.
    eval(u"localStorage.setItem('quarrystone.platform:' + location.pathname, 'android')"_s);
    ASSERT_TRUE(browser().reload());
    EXPECT_EQ(eval(u"document.body.getAttribute('data-p')"_s).toString(), u"c"_s);
    EXPECT_EQ(eval(pressed(u".ptabs"_s)).toString(), u"true false false"_s);
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.platform:' + location.pathname)"_s).toString(), u"c"_s);
}

TEST_F(PageTest, DataTabsAndInPageLinksRevealHiddenPanels)
{
    // Narrow enough that a panel's cards overflow their row and must slide.
    browser().resize(400, 900);
    open(RichPlan::make());
    EXPECT_EQ(eval(visiblePanel()).toString(), u"common"_s);
    EXPECT_EQ(eval(pressed(u".dtabs"_s)).toString(), u"true false false"_s);

    browser().click(u".dtabs button[data-d=api]"_s);
    ASSERT_TRUE(browser().waitFor(visiblePanel() + u" === 'api'"_s));
    EXPECT_EQ(eval(pressed(u".dtabs"_s)).toString(), u"false true false"_s);
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.data:' + location.pathname)"_s).toString(), u"api"_s);
    ASSERT_TRUE(browser().reload());
    EXPECT_EQ(eval(visiblePanel()).toString(), u"api"_s);

    // A link in the API card to a response model opens the response tab.
    browser().click(u"#a-getClips a.m[href='#m-ClipPage']"_s);
    ASSERT_TRUE(browser().waitFor(visiblePanel() + u" === 'resp'"_s));
    EXPECT_EQ(eval(u"location.hash"_s).toString(), u"#m-ClipPage"_s);
    EXPECT_EQ(eval(pressed(u".dtabs"_s)).toString(), u"false false true"_s);
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.data:' + location.pathname)"_s).toString(), u"resp"_s);
    EXPECT_TRUE(browser().waitFor(atTop(u"m-ClipPage"_s)));

    // From a screen card to a model that sits further along its row.
    browser().click(u".dtabs button[data-d=common]"_s);
    ASSERT_TRUE(browser().waitFor(visiblePanel() + u" === 'common'"_s));
    eval(u"window.scrollTo(0, 0)"_s);
    browser().click(u"#s-clip-detail a.m[href='#m-ClipItem']"_s);
    ASSERT_TRUE(browser().waitFor(visiblePanel() + u" === 'resp'"_s));
    EXPECT_EQ(eval(u"location.hash"_s).toString(), u"#m-ClipItem"_s);
    EXPECT_TRUE(browser().waitFor(atTop(u"m-ClipItem"_s)));
    EXPECT_TRUE(browser().waitFor(slidIn(u"m-ClipItem"_s)));

    // The same link while the location already names the card: the browser
    // would not move, the page brings the card back itself.
    eval(u"window.scrollTo(0, 0)"_s);
    eval(u"document.querySelector('.dpanel[data-d=resp] .models').scrollLeft = 0"_s);
    browser().click(u"#s-clip-detail a.m[href='#m-ClipItem']"_s);
    EXPECT_TRUE(browser().waitFor(atTop(u"m-ClipItem"_s)));
    EXPECT_TRUE(browser().waitFor(slidIn(u"m-ClipItem"_s)));
    EXPECT_EQ(eval(u"location.hash"_s).toString(), u"#m-ClipItem"_s);

    // A stored tab the page does not have is ignored.
    eval(u"localStorage.setItem('quarrystone.data:' + location.pathname, 'nothing')"_s);
    ASSERT_TRUE(browser().load(m_url));
    EXPECT_EQ(eval(visiblePanel()).toString(), u"common"_s);
    EXPECT_EQ(browser().errors(), QStringList());
}

TEST_F(PageTest, APageOpenedAtACardInAHiddenPanelShowsThatCard)
{
    browser().resize(400, 900);
    open(RichPlan::make(), u"m-ClipItem"_s);
    EXPECT_EQ(eval(visiblePanel()).toString(), u"resp"_s);
    EXPECT_TRUE(browser().waitFor(atTop(u"m-ClipItem"_s)));
    EXPECT_TRUE(browser().waitFor(slidIn(u"m-ClipItem"_s)));
}

// Keys holding "%" that is not an escape: decoding them fails, and the
// scripts fall back to the text as written.
TEST_F(PageTest, StrayPercentSignsDoNotStopTheScripts)
{
    Plan plan = RichPlan::make();
    const QString sheet = u"sheet%zz"_s;
    const auto rename = [&](QString &key) {
        if (key == u"comment-sheet"_s)
            key = sheet;
    };
    for (Screen &s : plan.screens)
        rename(s.key);
    for (Transition &t : plan.transitions) {
        rename(t.from);
        rename(t.to);
    }
    for (DataModel &m : plan.models)
        std::for_each(m.sharedIn.begin(), m.sharedIn.end(), rename);
    plan.apis[1].key = u"a%zz"_s;
    plan.screens[2].serverData = {u"a%zz"_s};
    open(plan, u"a-a%zz"_s);
    EXPECT_EQ(eval(visiblePanel()).toString(), u"api"_s);
    EXPECT_TRUE(browser().waitFor(atTop(u"a-a%zz"_s)));

    browser().click(u".dtabs button[data-d=common]"_s);
    browser().click(u"button[data-fold=close]"_s);
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('.screen.closed').length === 4"_s));
    browser().click(u"#m-FeedFilter a.sl[href='#s-sheet%zz']"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('s-sheet%zz').classList.contains('closed')"_s));
    EXPECT_TRUE(browser().waitFor(atTop(u"s-sheet%zz"_s)));

    const QString link = u"#s-sheet\\%zz a.m[href='#a-a%zz']"_s;
    browser().moveTo({1, 1});
    browser().moveTo(*browser().centre(link));
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    EXPECT_TRUE(eval(u"document.getElementById('pop').innerHTML === document.getElementById('a-a%zz').innerHTML"_s).toBool());

    browser().click(link);
    ASSERT_TRUE(browser().waitFor(visiblePanel() + u" === 'api'"_s));
    EXPECT_TRUE(browser().waitFor(atTop(u"a-a%zz"_s)));

    // A location that holds the stray "%" as it is.
    browser().click(u"button[data-fold=close]"_s);
    eval(u"location.hash = '#s-sheet%zz'"_s);
    ASSERT_EQ(eval(u"location.hash"_s).toString(), u"#s-sheet%zz"_s);
    EXPECT_TRUE(browser().waitFor(u"!document.getElementById('s-sheet%zz').classList.contains('closed')"_s));
    EXPECT_EQ(browser().errors(), QStringList());
}

// Moves the pointer onto a link after scrolling it to a place in the window
// ("start", "center" or "end"); the scroll's own event is over by then.
void pointAt(const QString &selector, const QString &block)
{
    PageHarness::Browser &b = PageHarness::Browser::shared();
    b.moveTo({1, 1});
    const QJsonValue point = b.json(u"(function () { var e = document.querySelector(%1);"
                                     " e.scrollIntoView({ block: %2 });"
                                     " var r = e.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2]; })()"_s
                                         .arg(js(selector), js(block)));
    PageHarness::pause(150);
    b.moveTo(QPoint(qRound(point[0].toDouble()), qRound(point[1].toDouble())));
}

constexpr char popPlace[] = R"JS(
(function () {
  var pop = document.getElementById('pop'), link = document.querySelector(%1);
  var p = pop.getBoundingClientRect(), r = link.getBoundingClientRect();
  return { hidden: pop.hidden, clip: pop.classList.contains('clip'), maxHeight: pop.style.maxHeight,
           left: p.left, top: p.top, width: p.width, height: p.height, bottom: p.bottom,
           linkLeft: r.left, linkTop: r.top, linkBottom: r.bottom, windowWidth: innerWidth, windowHeight: innerHeight,
           footer: getComputedStyle(pop, '::after').content };
})())JS";

TEST_F(PageTest, LinkPreviewsArePlacedBesideTheLinkAndCutWhenTooTall)
{
    Plan plan = RichPlan::make();
    DataModel huge;
    huge.name = u"HugeModel"_s;
    for (int i = 0; i < 40; ++i) {
        Field field;
        field.name = u"field%1"_s.arg(i);
        field.type = u"String"_s;
        huge.fields.append(field);
    }
    plan.models.append(huge);
    Arg arg;
    arg.name = u"huge"_s;
    arg.model = u"HugeModel"_s;
    plan.screens[0].args.append(arg);
    open(plan);

    const QString small = u"#s-clip-detail a.m[href='#m-ClipItem']"_s;
    const QString tall = u"#s-feed a.m[href='#m-HugeModel']"_s;
    const QString place = QString::fromUtf8(popPlace);

    pointAt(small, u"center"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    EXPECT_TRUE(eval(u"document.getElementById('pop').innerHTML === document.getElementById('m-ClipItem').innerHTML"_s).toBool());
    QJsonValue p = json(place.arg(js(small)));
    EXPECT_FALSE(p[u"clip"_s].toBool());
    EXPECT_NEAR(p[u"top"_s].toDouble(), p[u"linkBottom"_s].toDouble() + 8, 1);
    EXPECT_NEAR(p[u"left"_s].toDouble(), p[u"linkLeft"_s].toDouble(), 1);
    EXPECT_EQ(p[u"width"_s].toDouble(), 300);

    // Leaving, scrolling and clicking all put it away.
    browser().moveTo({1, 1});
    EXPECT_TRUE(browser().waitFor(u"document.getElementById('pop').hidden"_s));
    pointAt(small, u"center"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    eval(u"window.scrollBy(0, 5)"_s);
    EXPECT_TRUE(browser().waitFor(u"document.getElementById('pop').hidden"_s));
    eval(u"document.querySelector(%1).focus()"_s.arg(js(small)));
    EXPECT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    eval(u"document.querySelector(%1).blur()"_s.arg(js(small)));
    EXPECT_TRUE(browser().waitFor(u"document.getElementById('pop').hidden"_s));

    // Taller than the room on either side: cut to the larger room.
    browser().resize(1280, 400);
    pointAt(tall, u"center"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    p = json(place.arg(js(tall)));
    const double below = p[u"windowHeight"_s].toDouble() - p[u"linkBottom"_s].toDouble() - 16;
    const double above = p[u"linkTop"_s].toDouble() - 16;
    ASSERT_GT(below, 120);
    EXPECT_TRUE(p[u"clip"_s].toBool());
    EXPECT_EQ(p[u"footer"_s].toString(), u"\"잘렸어요 · 누르면 카드 전체로 가요\""_s);
    if (below >= above) {
        EXPECT_NEAR(p[u"height"_s].toDouble(), below, 1);
        EXPECT_NEAR(p[u"top"_s].toDouble(), p[u"linkBottom"_s].toDouble() + 8, 1);
    } else {
        EXPECT_NEAR(p[u"height"_s].toDouble(), above, 1);
        EXPECT_NEAR(p[u"bottom"_s].toDouble(), p[u"linkTop"_s].toDouble() - 8, 1);
    }

    // Near the bottom of the window it goes above the link.
    pointAt(tall, u"end"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    p = json(place.arg(js(tall)));
    EXPECT_TRUE(p[u"clip"_s].toBool());
    EXPECT_NEAR(p[u"bottom"_s].toDouble(), p[u"linkTop"_s].toDouble() - 8, 1);
    EXPECT_NEAR(p[u"height"_s].toDouble(), p[u"linkTop"_s].toDouble() - 16, 1);

    // Never cut below 120 px, and never closer than 16 px to the window's edge.
    browser().resize(360, 220);
    pointAt(tall, u"center"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    p = json(place.arg(js(tall)));
    EXPECT_EQ(p[u"maxHeight"_s].toString(), u"120px"_s);
    EXPECT_NEAR(p[u"height"_s].toDouble(), 120, 1);
    EXPECT_GE(p[u"left"_s].toDouble(), 16);
    EXPECT_LE(p[u"left"_s].toDouble() + p[u"width"_s].toDouble(), p[u"windowWidth"_s].toDouble() - 16 + 0.5);

    // A fresh preview starts without the earlier cut.
    browser().resize(1280, 900);
    pointAt(small, u"center"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('pop').hidden"_s));
    p = json(place.arg(js(small)));
    EXPECT_FALSE(p[u"clip"_s].toBool());
    EXPECT_EQ(p[u"maxHeight"_s].toString(), u""_s);
}

TEST_F(PageTest, ScreenCardsFoldOneByOneAllTogetherAndOpenWhenLinkedTo)
{
    open(RichPlan::make());
    const QString closedCount = u"document.querySelectorAll('.screen.closed').length"_s;

    browser().click(u"#s-feed > .title h3"_s);
    ASSERT_TRUE(browser().waitFor(u"document.getElementById('s-feed').classList.contains('closed')"_s));
    EXPECT_EQ(eval(u"document.querySelector('#s-feed .fold').getAttribute('aria-expanded')"_s).toString(), u"false"_s);
    EXPECT_FALSE(eval(shown(u"#s-feed > .body"_s)).toBool());
    EXPECT_FALSE(eval(shown(u"#s-feed > .shot"_s)).toBool());
    EXPECT_EQ(eval(u"getComputedStyle(document.querySelector('#s-feed .fold'), '::before').content"_s).toString(), u"\"▸\""_s);
    EXPECT_EQ(eval(closedCount).toInt(), 1);

    browser().click(u"#s-feed > .title .fold"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('s-feed').classList.contains('closed')"_s));
    EXPECT_EQ(eval(u"document.querySelector('#s-feed .fold').getAttribute('aria-expanded')"_s).toString(), u"true"_s);
    EXPECT_TRUE(eval(shown(u"#s-feed > .body"_s)).toBool());

    browser().click(u"button[data-fold=close]"_s);
    ASSERT_TRUE(browser().waitFor(closedCount + u" === 4"_s));
    browser().click(u"button[data-fold=open]"_s);
    ASSERT_TRUE(browser().waitFor(closedCount + u" === 0"_s));

    // A link to a closed card opens it, and so does a new location.
    browser().click(u"button[data-fold=close]"_s);
    ASSERT_TRUE(browser().waitFor(closedCount + u" === 4"_s));
    browser().click(u"#m-FeedFilter a.sl[href='#s-comment-sheet']"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('s-comment-sheet').classList.contains('closed')"_s));
    EXPECT_TRUE(browser().waitFor(atTop(u"s-comment-sheet"_s)));
    eval(u"location.hash = '#s-login'"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.getElementById('s-login').classList.contains('closed')"_s));
    EXPECT_EQ(eval(closedCount).toInt(), 2);
}

// RichPlan with its feed strings placed on the feed image.
Plan calloutPlan()
{
    Plan plan = RichPlan::make();
    const auto place = [](StringKey &string, double y) {
        string.frame = u"12:35"_s;
        string.box = StringKey::Box{0.2, y, 0.5, 0.05};
    };
    place(plan.strings[0], 0.1);
    StringKey pick;
    pick.ko = u"추천 클립"_s;
    pick.screen = u"feed"_s;
    place(pick, 0.45);
    StringKey more;
    more.key = u"clips_more"_s;
    more.ko = u"더 보기"_s;
    more.source = u"spec"_s;
    more.screen = u"feed"_s;
    place(more, 0.85);
    plan.strings.append({pick, more});
    return plan;
}

// Every line of the feed's callouts: its class, where it starts and ends,
// and where it should, from the callout's and the mark's rectangles.
constexpr char calloutLines[] = R"JS(
(function () {
  var block = document.querySelector('#s-feed .callouts'), b = block.getBoundingClientRect();
  var paths = Array.from(block.querySelectorAll('.co-lines path'));
  var dots = Array.from(block.querySelectorAll('.co-lines circle'));
  return Array.from(block.querySelectorAll('.co[data-n]')).map(function (co, i) {
    var n = co.getAttribute('data-n'), mark = block.querySelector('.mk[data-n="' + n + '"]');
    var c = co.getBoundingClientRect(), m = mark.getBoundingClientRect(), left = co.getAttribute('data-side') === 'l';
    var path = paths[i], start = path.getPointAtLength(0), end = path.getPointAtLength(path.getTotalLength());
    return { n: n, cls: path.getAttribute('class'), dot: dots[i].getAttribute('class'), r: dots[i].getAttribute('r'),
             dotX: +dots[i].getAttribute('cx'), dotY: +dots[i].getAttribute('cy'),
             start: [start.x, start.y], end: [end.x, end.y],
             wantStart: [(left ? c.right : c.left) - b.left, c.top + 18 - b.top],
             wantEnd: [(left ? m.left : m.right) - b.left, m.top + m.height / 2 - b.top],
             want: co.classList.contains('need') ? 'need' : 'ok' };
  });
})())JS";

// How many elements inside a closed details box a redraw of every callout
// block measures.
constexpr char measuredWhenClosed[] = R"JS(
(function () {
  var count = 0, proto = Element.prototype, names = ['getClientRects', 'getBoundingClientRect'];
  var saved = names.map(function (name) { return proto[name]; });
  names.forEach(function (name, at) {
    proto[name] = function () { if (this.closest('details:not([open])')) count++; return saved[at].apply(this, arguments); };
  });
  try { window.dispatchEvent(new Event('resize')); } finally { names.forEach(function (name, at) { proto[name] = saved[at]; }); }
  return count;
})())JS";

TEST_F(PageTest, CalloutLinesJoinCalloutsToMarksOnlyAboveSevenHundredSixtyPixels)
{
    browser().resize(761, 900);
    open(calloutPlan());
    const QString lineCount = u"document.querySelectorAll('#s-feed .co-lines path').length"_s;
    // The strings block starts folded: nothing to draw, and nothing in it is
    // measured, which would lay the whole page out once per closed block.
    EXPECT_EQ(eval(lineCount).toInt(), 0);
    EXPECT_EQ(eval(QString::fromUtf8(measuredWhenClosed)).toInt(), 0);

    browser().click(u"#s-feed details.strings > summary"_s);
    ASSERT_TRUE(browser().waitFor(lineCount + u" === 3"_s));
    const QJsonArray lines = json(QString::fromUtf8(calloutLines)).toArray();
    ASSERT_EQ(lines.size(), 3);
    for (const QJsonValue &line : lines) {
        SCOPED_TRACE(line[u"n"_s].toString().toStdString());
        EXPECT_EQ(line[u"cls"_s].toString(), line[u"want"_s].toString());
        EXPECT_EQ(line[u"dot"_s].toString(), line[u"want"_s].toString());
        EXPECT_EQ(line[u"r"_s].toString(), u"3"_s);
        for (int axis = 0; axis < 2; ++axis) {
            EXPECT_NEAR(line[u"start"_s][axis].toDouble(), line[u"wantStart"_s][axis].toDouble(), 0.5);
            EXPECT_NEAR(line[u"end"_s][axis].toDouble(), line[u"wantEnd"_s][axis].toDouble(), 0.5);
        }
        EXPECT_NEAR(line[u"dotX"_s].toDouble(), line[u"wantEnd"_s][0].toDouble(), 0.5);
        EXPECT_NEAR(line[u"dotY"_s].toDouble(), line[u"wantEnd"_s][1].toDouble(), 0.5);
    }
    // Numbered top to bottom, alternating sides: the second is the one without a key.
    EXPECT_EQ(lines[2][u"n"_s].toString(), u"2"_s);
    EXPECT_EQ(lines[2][u"cls"_s].toString(), u"need"_s);
    // Callouts of one column keep at least 8 px between them.
    EXPECT_TRUE(eval(u"(function (cs) { for (var i = 1; i < cs.length; ++i) if (cs[i].getBoundingClientRect().top < cs[i - 1].getBoundingClientRect().bottom + 8 - 0.5) return false; return cs.length === 2; })"
                     "(Array.from(document.querySelectorAll('#s-feed .co-col.l .co[data-n]')))"_s)
                    .toBool());

    browser().resize(760, 900);
    ASSERT_TRUE(browser().waitFor(lineCount + u" === 0"_s));
    EXPECT_TRUE(eval(u"Array.from(document.querySelectorAll('#s-feed .co')).every(function (c) { return c.style.marginTop === ''; })"_s).toBool());

    browser().resize(761, 900);
    ASSERT_TRUE(browser().waitFor(lineCount + u" === 3"_s));

    // A closed card has nothing to join; opened, it is drawn again.
    browser().click(u"#s-feed > .title h3"_s);
    ASSERT_TRUE(browser().waitFor(lineCount + u" === 0"_s));
    browser().click(u"#s-feed > .title h3"_s);
    ASSERT_TRUE(browser().waitFor(lineCount + u" === 3"_s));

    // A platform tab redraws: the old lines give way to new ones.
    eval(u"document.querySelector('#s-feed .co-lines path').setAttribute('data-old', '1')"_s);
    browser().click(u".ptabs button[data-p=a]"_s);
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('#s-feed .co-lines path[data-old]').length === 0"_s));
    EXPECT_EQ(eval(lineCount).toInt(), 3);
    EXPECT_EQ(browser().errors(), QStringList());
}

// What a viewer without scripts shows: the pictures that are on screen and
// whether each has come, the data panels left hidden, the buttons shown.
constexpr char withoutScripts[] = R"JS(
(function () {
  var shown = function (e) { return e.getClientRects().length > 0; };
  var pictures = Array.from(document.querySelectorAll('img')).filter(shown);
  return JSON.stringify({
    pictures: pictures.length, planned: document.querySelectorAll('img[data-src]').length,
    waiting: pictures.filter(function (i) { return !i.complete; }).length,
    broken: pictures.filter(function (i) { return i.complete && !i.naturalWidth; }).map(function (i) { return i.outerHTML.slice(0, 90); }),
    hiddenPanels: Array.from(document.querySelectorAll('.dpanel')).filter(function (p) { return !shown(p); }).length,
    buttons: Array.from(document.querySelectorAll('button')).filter(shown).length,
    graphSource: shown(document.querySelector('.graph pre.mermaid')),
    graphWords: Array.from(document.querySelectorAll('.graph p')).filter(shown).map(function (p) { return p.textContent; }).join('|') });
})())JS";

// A mail or file preview shows the page without its scripts: every picture
// still shows, every data panel can be read, and no dead button is offered.
TEST_F(PageTest, WithScriptsOffEveryPictureAndDataPanelShows)
{
    // A small plan, and one large enough that its graph is drawn only when asked.
    Plan large = RichPlan::make();
    for (int at = 0; at < 70; ++at) {
        Screen filler = large.screens.front();
        filler.key = u"filler-%1"_s.arg(at);
        large.screens.append(filler);
    }
    for (const Plan &plan : {RichPlan::make(), large}) {
        SCOPED_TRACE(plan.screens.size());
        browser().setScripts(false);
        open(plan);
        QJsonObject seen;
        const bool settled = PageHarness::spinUntil([&] {
            seen = QJsonDocument::fromJson(browser().eval(QString::fromUtf8(withoutScripts), 10000, QWebEngineScript::ApplicationWorld)
                                               .toString().toUtf8()).object();
            return seen[u"waiting"_s].toInt() == 0;
        }, 10000);
        ASSERT_TRUE(settled) << QJsonDocument(seen).toJson().toStdString();
        EXPECT_GE(seen[u"planned"_s].toInt(), 3);
        EXPECT_EQ(seen[u"pictures"_s].toInt(), seen[u"planned"_s].toInt());
        EXPECT_EQ(seen[u"broken"_s].toArray(), QJsonArray());
        EXPECT_EQ(seen[u"hiddenPanels"_s].toInt(), 0);
        EXPECT_EQ(seen[u"buttons"_s].toInt(), 0);
        // The graph box says why it holds no drawing, not the graph's source.
        EXPECT_FALSE(seen[u"graphSource"_s].toBool());
        EXPECT_EQ(seen[u"graphWords"_s].toString(),
                  u"스크립트가 꺼져 있어 그래프를 그리지 않았어요. 화면 사이 이동은 화면별 상세에 있어요."_s);
    }
}

// Every picture of the page as its source and whether it decodes, once all
// have their sources.
constexpr char picturesGiven[] = R"JS(
Array.from(document.querySelectorAll('img[data-src]')).map(function (i) {
  return { path: i.getAttribute('data-src'), src: i.getAttribute('src'), drawn: i.complete && i.naturalWidth > 0 };
}))JS";

// The image map is read entry by entry, not parsed whole: paths that JSON
// escapes (quotation marks, backslashes, "<", the name of an object's
// prototype) find their pictures, and a map that is not a whole JSON
// object embeds nothing, each picture falling back to its path.
TEST_F(PageTest, EveryPictureFindsItsEmbeddedCopyAndABrokenMapEmbedsNothing)
{
    Plan plan;
    plan.meta.feature = u"Shop"_s;
    const QStringList paths = {u"img/plain.png"_s, u"img/it's \"q\".png"_s, u"img/back\\slash.png"_s, u"img/ends\\\\.png"_s,
                               u"img/<b>.png"_s, u"img/__proto__.png"_s, u"img/한 글.png"_s, u"img/a\",\"b.png"_s};
    for (qsizetype at = 0; at < paths.size(); ++at) {
        Screen s;
        s.key = u"s%1"_s.arg(at);
        s.name = u"Shop"_s + s.key;
        s.title = s.key;
        s.image.before = paths[at];
        plan.screens.append(s);
    }
    open(plan);
    const QString allGiven = u"Array.from(document.querySelectorAll('img[data-src]')).every(function (i) { return i.complete && i.getAttribute('src'); })"_s;
    ASSERT_TRUE(browser().waitFor(allGiven));
    QSet<QString> found;
    for (const QJsonValue &picture : json(QString::fromUtf8(picturesGiven)).toArray()) {
        SCOPED_TRACE(picture[u"path"_s].toString().toStdString());
        EXPECT_TRUE(picture[u"src"_s].toString().startsWith(u"data:image/png;base64,"_s));
        EXPECT_TRUE(picture[u"drawn"_s].toBool());
        found.insert(picture[u"path"_s].toString());
    }
    EXPECT_EQ(found, QSet<QString>(paths.cbegin(), paths.cend()));

    // The same map with spaces between its tokens is still a map; cut short,
    // or followed by anything, it is none.
    QFile file(m_url.toLocalFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray page = file.readAll();
    file.close();
    const QByteArray opening = "<script type=\"application/json\" id=\"quarrystone-img\">";
    const qsizetype from = page.indexOf(opening) + opening.size(), to = page.indexOf("</script>", from);
    ASSERT_GT(from, opening.size());
    const QByteArray map = page.mid(from, to - from);
    QByteArray spaced = map;
    spaced.replace("\":\"", "\" :\n \"").replace("\",\"", "\" ,\t\"").replace("{", "{ ").replace("}", "\r\n}");
    const QList<std::pair<QByteArray, bool>> blocks = {
        {spaced, true}, {map.chopped(1), false}, {map + "x", false}, {map.chopped(2) + "}", false}, {"[]", false}, {"", false}};
    for (const auto &[block, embeds] : blocks) {
        SCOPED_TRACE(block.left(60).toStdString());
        QFile changed(m_url.toLocalFile());
        ASSERT_TRUE(changed.open(QIODevice::WriteOnly));
        changed.write(page.left(from) + block + page.mid(to));
        changed.close();
        ASSERT_TRUE(browser().load(m_url));
        ASSERT_TRUE(browser().waitFor(u"Array.from(document.querySelectorAll('img[data-src]')).every(function (i) { return i.getAttribute('src'); })"_s));
        for (const QJsonValue &picture : json(QString::fromUtf8(picturesGiven)).toArray()) {
            SCOPED_TRACE(picture[u"path"_s].toString().toStdString());
            if (embeds)
                EXPECT_TRUE(picture[u"src"_s].toString().startsWith(u"data:image/png;base64,"_s));
            else
                EXPECT_EQ(picture[u"src"_s], picture[u"path"_s]);
        }
    }
    EXPECT_EQ(browser().errors(), QStringList());
}

// The lowest contrast between the text and the ground under it of every
// element a selector finds; null when it finds none.
constexpr char lowestContrast[] = R"JS(
(function (selectors) {
  var colour = function (text) { var n = text.match(/[\d.]+/g).map(Number); return { rgb: n.slice(0, 3), alpha: n.length > 3 ? n[3] : 1 }; };
  var light = function (rgb) {
    var f = rgb.map(function (v) { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); });
    return 0.2126 * f[0] + 0.7152 * f[1] + 0.0722 * f[2];
  };
  var ground = function (e) {
    for (; e; e = e.parentElement) { var c = colour(getComputedStyle(e).backgroundColor); if (c.alpha > 0) return c.rgb; }
    return [255, 255, 255];
  };
  var ratio = function (e) {
    var a = light(colour(getComputedStyle(e).color).rgb), b = light(ground(e));
    return (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
  };
  var out = {};
  selectors.forEach(function (selector) {
    var found = Array.from(document.querySelectorAll(selector)).map(ratio);
    out[selector] = found.length ? Math.round(Math.min.apply(null, found) * 100) / 100 : null;
  });
  return out;
})(['.ptabs button[aria-pressed="true"]', '.dtabs button[aria-pressed="true"]', '.co .no', '.chip.ok', '.chip.need', '.mk b',
    'a.m', 'a.sl', '.top a'])
)JS";

// Text on the accent, on the callout badges and in links reads at 4.5:1 or
// better in both themes, and the card's fold button has a name of its own.
TEST_F(PageTest, TextMeetsContrastInBothThemesAndFoldButtonsHaveNames)
{
    open(calloutPlan());
    for (const QString &theme : {u"light"_s, u"dark"_s}) {
        SCOPED_TRACE(theme.toStdString());
        eval(u"document.documentElement.setAttribute('data-theme', %1)"_s.arg(PageHarness::js(theme)));
        const QJsonObject ratios = json(QString::fromUtf8(lowestContrast)).toObject();
        for (auto it = ratios.begin(); it != ratios.end(); ++it)
            EXPECT_GE(it.value().toDouble(), 4.5) << it.key().toStdString();
    }
    EXPECT_EQ(json(u"Array.from(document.querySelectorAll('button.fold')).filter(function (b) { return b.getAttribute('aria-label') !== '접기·펼치기'; }).length"_s),
              QJsonValue(0));
}

TEST_F(PageTest, TheDarkThemeSwapsEveryToken)
{
    open(RichPlan::make());
    const QStringList tokens = {u"--bg"_s,   u"--surface"_s,     u"--fg"_s,   u"--muted"_s,     u"--line"_s, u"--accent"_s,
                                u"--accent-soft"_s, u"--warn"_s, u"--warn-soft"_s, u"--ok"_s, u"--code-bg"_s, u"--phone"_s, u"--on-fill"_s};
    const QString read = u"(function () { var s = getComputedStyle(document.documentElement); return %1.map(function (t) { return s.getPropertyValue(t).trim(); }).concat([s.colorScheme, getComputedStyle(document.body).backgroundColor]); })()"_s
                             .arg(QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(tokens)).toJson(QJsonDocument::Compact)));

    const QJsonArray light = {u"#f4f6f9"_s, u"#ffffff"_s, u"#16202c"_s, u"#5d6b7a"_s, u"#d9e0e8"_s, u"#1766d6"_s, u"#e6f0fe"_s,
                              u"#b5470b"_s, u"#fdeee4"_s, u"#1d7a46"_s, u"#eef2f6"_s, u"#0d1117"_s, u"#fff"_s, u"normal"_s, u"rgb(244, 246, 249)"_s};
    const QJsonArray dark = {u"#0f141a"_s, u"#171e26"_s, u"#e3e9ef"_s, u"#93a1b0"_s, u"#2a3440"_s, u"#5aa0ff"_s, u"#15283f"_s,
                             u"#f0965c"_s, u"#3a2316"_s, u"#5ccf8a"_s, u"#1f2833"_s, u"#000"_s, u"#0f141a"_s, u"dark"_s, u"rgb(15, 20, 26)"_s};
    EXPECT_EQ(json(read).toArray(), light);
    eval(u"document.documentElement.setAttribute('data-theme', 'dark')"_s);
    EXPECT_EQ(json(read).toArray(), dark);
    eval(u"document.documentElement.setAttribute('data-theme', 'light')"_s);
    EXPECT_EQ(json(read).toArray(), light);
}

} // namespace
