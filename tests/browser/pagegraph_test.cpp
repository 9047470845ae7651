#include <gtest/gtest.h>

#include "browser/pageharness.h"
#include "support/planrecords.h"
#include "support/qtprinters.h"
#include "support/richplan.h"

using namespace Qt::StringLiterals;
using PageHarness::GraphPageTest;
using PageHarness::js;
using PageHarness::PageTest;

namespace {

Screen screen(const QString &key, const QString &title, const QString &image = {})
{
    Screen s;
    s.key = key;
    s.name = u"Shop"_s + QString(key).remove(u'%');
    s.title = title;
    if (!image.isEmpty())
        s.image.before = image;
    return s;
}

Transition move(const QString &from, const QString &to, const QString &trigger, const QString &kind = u"push"_s)
{
    Transition t;
    t.from = from;
    t.to = to;
    t.trigger = trigger;
    t.kind = kind;
    return t;
}

// The drawn nodes: Mermaid's node id, the card link around the node (if
// any), its classes and its text.
constexpr char nodesScript[] = R"JS(
Array.from(document.querySelectorAll('.graph svg g.node')).map(function (node) {
  var link = node.closest('a');
  return { id: (link || node).getAttribute('data-id'),
           href: link ? (link.getAttribute('href') || link.getAttribute('xlink:href')) : null,
           cls: node.getAttribute('class'), text: node.textContent };
}))JS";

// The drawn edges as "from>to" with "~" for a dashed one, in drawing order.
constexpr char edgesScript[] = R"JS(
Array.from(document.querySelectorAll('.graph svg path.flowchart-link')).map(function (path) {
  var from = '', to = '';
  path.classList.forEach(function (c) {
    if (c.indexOf('LS-') === 0) from = c.slice(3);
    if (c.indexOf('LE-') === 0) to = c.slice(3);
  });
  return from + (path.classList.contains('edge-pattern-dotted') ? '~' : '>') + to;
}))JS";

// Selector of the graph link to a screen's card.
QString nodeLink(const QString &href)
{
    return u".graph svg a[*|href=%1]"_s.arg(js(href));
}

QStringList strings(const QJsonValue &value)
{
    QStringList out;
    for (const QJsonValue &item : value.toArray())
        out.append(item.toString());
    return out;
}

class Drawing
{
public:
    explicit Drawing(const QJsonValue &nodes)
    {
        for (const QJsonValue &node : nodes.toArray())
            m_nodes.insert(node[u"id"_s].toString(), node.toObject());
    }
    QStringList ids() const
    {
        QStringList ids = m_nodes.keys();
        ids.sort();
        return ids;
    }
    QJsonObject node(const QString &id) const { return m_nodes.value(id); }
    QStringList links() const
    {
        QStringList hrefs;
        for (const QJsonObject &node : m_nodes)
            if (node[u"href"_s].isString())
                hrefs.append(node[u"href"_s].toString());
        hrefs.sort();
        return hrefs;
    }

private:
    QMap<QString, QJsonObject> m_nodes;
};

bool hasClass(const QJsonObject &node, const QString &cls)
{
    return node[u"cls"_s].toString().split(u' ').contains(cls);
}

TEST_F(GraphPageTest, DrawsEveryScreenEntryAndKeptMove)
{
    open(RichPlan::make());

    EXPECT_NE(eval(u"document.querySelector('.graph svg').getAttribute('aria-roledescription')"_s).toString(), u"error"_s);
    EXPECT_FALSE(eval(u"document.querySelector('.graph').textContent.indexOf('Syntax error') >= 0"_s).toBool());
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph pre.mermaid').length"_s).toInt(), 1);

    const Drawing drawing(json(QString::fromUtf8(nodesScript)));
    // The move to "share" names no screen: Mermaid draws its bare id.
    EXPECT_EQ(drawing.ids(), QStringList({u"ext_home"_s, u"ext_push_open"_s, u"s_clip_detail"_s, u"s_comment_sheet"_s,
                                          u"s_feed"_s, u"s_login"_s, u"s_share"_s}));
    EXPECT_EQ(drawing.links(), QStringList({u"#s-clip-detail"_s, u"#s-comment-sheet"_s, u"#s-feed"_s, u"#s-login"_s}));
    EXPECT_EQ(drawing.node(u"ext_push_open"_s)[u"text"_s].toString(), u"push-open"_s);
    EXPECT_EQ(drawing.node(u"s_comment_sheet"_s)[u"text"_s].toString(), u"댓글 <시트>CommentSheet · 시트"_s);
    EXPECT_EQ(drawing.node(u"s_clip_detail"_s)[u"text"_s].toString(), u"클립 '상세'Detail"_s);

    // The pop back from detail to feed returns along a push and is left out.
    EXPECT_EQ(strings(json(QString::fromUtf8(edgesScript))),
              QStringList({u"ext_push_open>s_clip_detail"_s, u"s_feed>s_clip_detail"_s, u"s_feed>s_login"_s,
                           u"s_clip_detail>s_comment_sheet"_s, u"s_comment_sheet~s_feed"_s, u"s_login~s_feed"_s,
                           u"s_feed~ext_home"_s, u"s_clip_detail>s_share"_s}));
    EXPECT_EQ(strings(json(u"Array.from(document.querySelectorAll('.graph .edgeLabel span')).map(function (s) { return s.textContent; })"_s)),
              QStringList({u"진입"_s, u"로그인"_s, u"비로그인"_s, u"댓글"_s, u"완료"_s, u"submit"_s, u"닫기"_s, u"shareLink"_s}));

    // Only a condition with text marks the screen, and the mark shows as a dashed border.
    EXPECT_TRUE(hasClass(drawing.node(u"s_clip_detail"_s), u"cond"_s));
    EXPECT_FALSE(hasClass(drawing.node(u"s_login"_s), u"cond"_s));
    EXPECT_EQ(eval(u"getComputedStyle(document.querySelector('[data-id=s_clip_detail] g.node > rect')).strokeDasharray"_s).toString(),
              u"4px, 3px"_s);
    EXPECT_EQ(eval(u"getComputedStyle(document.querySelector('[data-id=s_feed] g.node > rect')).strokeDasharray"_s).toString(),
              u"none"_s);

    // The drawing takes its colours from the page's tokens.
    EXPECT_EQ(json(u"(function (rect, edge) { return [getComputedStyle(rect).fill, getComputedStyle(rect).stroke, getComputedStyle(edge).stroke]; })"
                   "(document.querySelector('[data-id=s_feed] g.node > rect'), document.querySelector('.graph path.flowchart-link'))"_s),
              QJsonArray({u"rgb(244, 246, 249)"_s, u"rgb(217, 224, 232)"_s, u"rgb(93, 107, 122)"_s}));

    // Thumbnails carry the embedded images once the graph is drawn, and they decode.
    const QJsonValue thumbnails = json(uR"JS(
(function () {
  var images = JSON.parse(document.getElementById('quarrystone-img').textContent);
  return Array.from(document.querySelectorAll('.graph img.gimg')).map(function (img) {
    var src = img.getAttribute('src');
    var path = Object.keys(images).filter(function (k) { return images[k] === src; })[0] || null;
    return { path: path, width: img.naturalWidth };
  });
})())JS"_s);
    QStringList paths;
    for (const QJsonValue &thumbnail : thumbnails.toArray()) {
        paths.append(thumbnail[u"path"_s].toString());
        EXPECT_EQ(thumbnail[u"width"_s].toInt(), 75) << thumbnail[u"path"_s].toString().toStdString();
    }
    EXPECT_EQ(paths, QStringList({u"img/node-12-35.png"_s, u"img/it's.png"_s, u"img/node-12-40.png"_s}));
    EXPECT_EQ(browser().errors(), QStringList());
}

// Keys are written into ids, node ids and links; titles into HTML labels.
Plan oddKeysPlan()
{
    Plan plan;
    plan.meta.feature = u"Shop"_s;
    plan.screens = {screen(u"홈"_s, u"A<B"_s, u"img/홈 1.png"_s), screen(u"목록-v2.1"_s, u"<b>굵게</b>"_s),
                    screen(u"50%할인"_s, u"할인 & 쿠폰"_s), screen(u"a%zz"_s, u"끝 \"따옴\""_s)};
    plan.transitions = {move(u"홈"_s, u"목록-v2.1"_s, u"open"_s), move(u"목록-v2.1"_s, u"50%할인"_s, u"sale"_s),
                        move(u"50%할인"_s, u"a%zz"_s, u"next"_s), move(u"a%zz"_s, u"홈"_s, u"onBack"_s, u"pop"_s)};
    return plan;
}

// A plan the checks accept, with an automatic move (no trigger), a move
// whose trigger is only blank, and an outside place without a name: the
// page draws it whole, and plan.md carries the same graph.
TEST_F(GraphPageTest, MovesWithoutTriggersAndNamelessPlacesAreDrawn)
{
    Plan plan;
    plan.meta.feature = u"Shop"_s;
    plan.meta.title = u"자동 이동"_s;
    plan.screens = {screen(u"splash"_s, u"시작 화면"_s), screen(u"home"_s, u"홈"_s)};
    plan.transitions = {move(u"splash"_s, u"home"_s, QString()), move(u"@"_s, u"splash"_s, QString()),
                        move(u"home"_s, u"@"_s, u"  "_s, u"pop"_s)};
    ASSERT_EQ(plan.problems(), QStringList());
    open(plan);

    EXPECT_NE(eval(u"document.querySelector('.graph svg').getAttribute('aria-roledescription')"_s).toString(), u"error"_s);
    EXPECT_FALSE(eval(u"document.body.textContent.indexOf('Syntax error') >= 0"_s).toBool());
    EXPECT_EQ(strings(json(QString::fromUtf8(edgesScript))),
              QStringList({u"s_splash>s_home"_s, u"ext_>s_splash"_s, u"s_home~ext_"_s}));
    const Drawing drawing(json(QString::fromUtf8(nodesScript)));
    EXPECT_EQ(drawing.ids(), QStringList({u"ext_"_s, u"s_home"_s, u"s_splash"_s}));
    EXPECT_EQ(drawing.node(u"ext_"_s)[u"text"_s].toString(), u"외부"_s);
    EXPECT_EQ(strings(json(u"Array.from(document.querySelectorAll('.graph .edgeLabel span'))"
                           u".map(function (l) { return l.textContent; }).filter(function (t) { return t.trim(); })"_s)),
              QStringList{u"진입"_s});

    QFile markdown(m_folder.filePath(u"plan.md"_s));
    ASSERT_TRUE(markdown.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(markdown.readAll()).contains(u"```mermaid\n"_s + Exporter::mermaid(plan, false) + u"\n```"_s));
    EXPECT_EQ(browser().errors(), QStringList());
}

// The graph library's own syntax in plan texts: directives that would
// re-theme or re-configure the whole graph, comments, entities, a carriage
// return and Markdown, in titles, move words, conditions and a picture path.
Plan librarySyntaxPlan(int fillers)
{
    Plan plan;
    plan.meta.feature = u"Shop"_s;
    const QString theme = u"%%{init: {'theme':'dark', 'themeCSS': '.node rect { fill: rgb(255, 0, 0) !important; }'}}%%"_s;
    const QString plain = u"%%{init: {\"flowchart\": {\"htmlLabels\": false}}}%%"_s;
    plan.screens = {screen(u"a"_s, theme), screen(u"b"_s, plain), screen(u"c"_s, u"x #35; y"_s, u"img/#46;#46;/c.png"_s),
                    screen(u"d"_s, u"x\r%% note\ry"_s), screen(u"e"_s, u"`**굵게**`"_s)};
    Transition conditional = move(u"a"_s, u"c"_s, u"tap"_s);
    conditional.condition = u"x #35; y"_s;
    Transition other = move(u"a"_s, u"d"_s, u"tap"_s);
    other.condition = u"x\r%% note\ry"_s;
    plan.transitions = {move(u"a"_s, u"b"_s, theme), conditional, other, move(u"b"_s, u"e"_s, plain),
                        move(u"c"_s, u"e"_s, u"`**굵게**`"_s)};
    for (int at = 0; at < fillers; ++at)
        plan.screens.append(screen(u"f%1"_s.arg(at), u"채움 %1"_s.arg(at)));
    return plan;
}

// A text as the graph shows it: one line, its quotation marks made apostrophes.
QString shown(QString text)
{
    return text.replace(u'\r', u' ').replace(u'"', u'\'');
}

// Drawn by the library (a small graph) and by the page (a middling one at
// load, without the library, whose start-up alone holds a phone for
// seconds; a large one on request), every box and move shows its plan text
// as written.
TEST_F(GraphPageTest, GraphLibrarySyntaxInPlanTextIsShownAsText)
{
    for (const int fillers : {0, 30, 61}) {
        SCOPED_TRACE(fillers);
        const Plan plan = librarySyntaxPlan(fillers);
        open(plan);
        if (fillers > 30)
            browser().click(u"#graph-draw"_s);
        if (fillers) {
            // Drawn at load, the offer is hidden from the start: the drawing
            // is done once its stop button has gone again.
            ASSERT_TRUE(browser().waitFor(u"document.querySelector('.gask').hidden"
                                          u" && !!document.querySelector('.graph .gsheets svg.glaid')"
                                          u" && !document.getElementById('graph-stop')"_s,
                                          60000));
            EXPECT_EQ(eval(u"document.querySelectorAll('.graph .gsheets').length"_s).toInt(), 1);
            EXPECT_GE(eval(u"document.querySelectorAll('.graph .gsheets svg.glaid').length"_s).toInt(), 1);
            EXPECT_FALSE(eval(u"!!document.getElementById('mermaid-library')"_s).toBool());
        }
        EXPECT_NE(eval(u"document.querySelector('.graph svg').getAttribute('aria-roledescription')"_s).toString(), u"error"_s);
        const Drawing drawing(json(QString::fromUtf8(nodesScript)));
        EXPECT_EQ(drawing.ids().size(), plan.screens.size());
        for (const Screen &s : plan.screens)
            EXPECT_EQ(drawing.node(u"s_"_s + s.key)[u"text"_s].toString(), shown(s.title) + s.key);
        QStringList words = strings(json(u"Array.from(document.querySelectorAll('.graph span.edgeLabel, .graph .gmove'))"
                                         u".map(function (l) { return l.textContent; }).filter(function (t) { return t.trim(); })"_s));
        words.sort();
        QStringList expected{shown(plan.transitions[0].trigger), u"x #35; y"_s, u"x %% note y"_s,
                             shown(plan.transitions[3].trigger), shown(plan.transitions[4].trigger)};
        expected.sort();
        EXPECT_EQ(words, expected);
        // No directive re-coloured the boxes.
        EXPECT_EQ(json(u"Array.from(document.querySelectorAll('.graph svg g.node > rect, .graph svg g.node > polygon'))"
                       u".filter(function (r) { return getComputedStyle(r).fill === 'rgb(255, 0, 0)'; }).length"_s),
                  QJsonValue(0));
        EXPECT_EQ(eval(u"document.querySelector('.graph svg img.gimg').getAttribute('data-src')"_s).toString(),
                  u"img/#46;#46;/c.png"_s);
        EXPECT_TRUE(browser().waitFor(u"document.querySelector('.graph svg img.gimg').getAttribute('src').indexOf('data:image/png') === 0"_s));
        EXPECT_EQ(browser().errors(), QStringList());
    }
}

// Texts the graph library reads as its own syntax: its stand-ins for
// entities (which it turns back into "&" and ";"), formulas, icons,
// entities, directives, Markdown, backslashes and control characters.
QStringList hostileTexts()
{
    const QString fl(QChar(0xFB02)), deg(QChar(0xB0)), para(QChar(0xB6)), ss(QChar(0xDF));
    const QString dot = fl + deg + deg + u"46"_s + para + ss;
    return {dot + dot + u"/x"_s,
            u"a "_s + fl + deg + deg + u"35"_s + para + ss + u" b "_s + fl + deg + u"lt"_s + para + ss + u"i"_s + para + ss + u" c"_s,
            fl + deg + u"amp"_s + para + ss + u" 끝"_s,
            para + ss + deg + u" 온도 30"_s + deg,
            u"$$}$$"_s,
            u"할인 $$10$$ 적용"_s,
            u"$$\\rule{100000em}{100000em}$$"_s,
            u"$x$ 와 $$\\frac{a}{b}$$"_s,
            u"fa:fa-gift"_s,
            u"fab:fa-github 선물 fa:fa-car"_s,
            u"#35; #lt; #quot; #9829;"_s,
            u"&amp; &lt;b&gt; &#35; &"_s,
            u"<b>굵게</b> <img src=x onerror=alert(1)>"_s,
            u"%%{init: {'theme':'dark'}}%%"_s,
            u"%% 주석 %%"_s,
            u"`**md**` **별** _밑_"_s,
            u"C:\\new\\table"_s,
            u"a\\nb \\\\n <br/>"_s,
            u"x\u0001y\u001fz\u007f\u0085w"_s,
            u"탭\t폼\f세로\v끝"_s,
            u"줄\n바꿈\r\n그리고\u2028다음"_s,
            u"끝 \"따옴\" 'b'"_s,
            u"click k0 href \"javascript:alert(1)\""_s,
            u"end"_s,
            u"A-->B |x| [y] {z} (w) ;"_s,
            u"style k0 fill:#f00"_s};
}

// The picture paths the library turned into others: "../../outside.png"
// and "//host/x.png" once its entity stand-ins are read back.
QStringList hostilePictures()
{
    const QString fl(QChar(0xFB02)), deg(QChar(0xB0)), para(QChar(0xB6)), ss(QChar(0xDF));
    const QString dot = fl + deg + deg + u"46"_s + para + ss, slash = fl + deg + deg + u"47"_s + para + ss;
    return {dot + dot + u"/"_s + dot + dot + u"/outside.png"_s, slash + slash + u"host/x.png"_s,
            u"img/"_s + dot + u".png"_s, u"img/it's \"q\" #1 %.png"_s, u"img/a\u2028b.png"_s};
}

// Each drawn box as "title|small print" (its picture aside), each move's
// words, every picture's address as the browser resolved it, and how the
// drawing went.
constexpr char drawnTextsScript[] = R"JS(
(function () {
  var boxes = Array.from(document.querySelectorAll('.graph svg g.node')).map(function (node) {
    var label = node.querySelector('.nodeLabel, .glabel'), copy = label.cloneNode(true), small = copy.querySelector('small');
    if (small) copy.removeChild(small);
    return copy.textContent + '|' + (small ? small.textContent : '');
  });
  var words = Array.from(document.querySelectorAll('.graph span.edgeLabel, .graph .gmove'))
    .map(function (l) { return l.textContent; }).filter(function (t) { return t.trim(); });
  var pictures = Array.from(document.querySelectorAll('.graph img')).map(function (i) { return i.src || i.getAttribute('data-src'); });
  var broken = Array.from(document.querySelectorAll('.graph img')).filter(function (i) { return !i.naturalWidth; })
    .map(function (i) { return i.getAttribute('data-src'); });
  var svg = document.querySelector('.graph svg').getBoundingClientRect();
  return { boxes: boxes, words: words, pictures: pictures, broken: broken, width: svg.width, height: svg.height,
           error: document.querySelector('.graph').textContent.indexOf('Syntax error') >= 0,
           base: location.href.replace(/[^/]*$/, '') };
})())JS";

// Every hostile text in every place a graph shows one (titles, small
// print, move words, conditions, outside places), drawn by the library
// (a small plan) and by the page (a middling one): each box and move shows
// its plan text as written, and every picture the drawing shows comes from
// the plan folder.
TEST_F(GraphPageTest, HostileTextIsDrawnAsWrittenAndPicturesStayInTheFolder)
{
    const QStringList texts = hostileTexts();
    const QStringList pictures = hostilePictures();
    constexpr int perPlan = 18;
    for (const int fillers : {0, 30}) {
        for (qsizetype from = 0; from < texts.size(); from += perPlan) {
            SCOPED_TRACE(u"from %1, %2 more screens"_s.arg(from).arg(fillers).toStdString());
            Plan plan;
            plan.meta.feature = u"Shop"_s;
            QStringList boxes, words;
            const auto oneLine = [](const QString &text) {
                return shown(text).replace(u'\n', u' ').replace(QChar(0x2028), u' ');
            };
            const qsizetype count = std::min<qsizetype>(perPlan, texts.size() - from);
            for (qsizetype at = 0; at < count; ++at) {
                const QString key = u"k%1"_s.arg(at);
                Screen s = screen(key, texts[from + at], at < pictures.size() ? pictures[at] : QString());
                s.name = texts[from + (at + 1) % count];
                plan.screens.append(s);
                boxes.append(oneLine(s.title) + u'|' + oneLine(s.name));
                if (at > 0) {
                    plan.transitions.append(move(u"k%1"_s.arg(at - 1), key, texts[from + (at + 2) % count]));
                    words.append(plan.transitions.last().trigger);
                }
            }
            // Two moves of one start and trigger show their conditions.
            Transition first = move(u"k0"_s, u"k1"_s, u"same"_s), second = move(u"k0"_s, u"k2"_s, u"same"_s);
            first.condition = texts[from];
            second.condition = texts[from + count - 1];
            plan.transitions.append({first, second});
            words.append({*first.condition, *second.condition});
            // Outside places are named by the text after "@".
            plan.transitions.append(move(u"@"_s + texts[from + 1], u"k0"_s, u"open"_s));
            plan.transitions.append(move(u"k%1"_s.arg(count - 1), u"@"_s + texts[from + 2], texts[from + 3]));
            boxes.append({oneLine(texts[from + 1]) + u'|', oneLine(texts[from + 2]) + u'|'});
            words.append({u"진입"_s, texts[from + 3]});
            for (int at = 0; at < fillers; ++at) {
                plan.screens.append(screen(u"f%1"_s.arg(at), u"채움 %1"_s.arg(at)));
                boxes.append(u"채움 %1|f%1"_s.arg(at));
            }
            for (QString &word : words)
                word = oneLine(word);

            open(plan);
            if (fillers) {
                ASSERT_TRUE(browser().waitFor(u"document.querySelector('.gask').hidden && !!document.querySelector('.graph .gsheets svg.glaid')"
                                              u" && !document.getElementById('graph-stop')"_s,
                                              60000));
            }
            // Every picture has been given its address.
            ASSERT_TRUE(browser().waitFor(u"Array.from(document.querySelectorAll('.graph img')).every(function (i) { return i.src && i.complete; })"_s));
            const QJsonValue drawn = json(QString::fromUtf8(drawnTextsScript));
            EXPECT_FALSE(drawn[u"error"_s].toBool());
            QStringList drawnBoxes = strings(drawn[u"boxes"_s]), drawnWords = strings(drawn[u"words"_s]);
            drawnBoxes.sort();
            drawnWords.sort();
            boxes.sort();
            words.sort();
            EXPECT_EQ(drawnBoxes, boxes);
            EXPECT_EQ(drawnWords, words);
            // No formula was laid out: the drawing is about as large as its boxes.
            EXPECT_LT(drawn[u"width"_s].toDouble(), 6000);
            EXPECT_LT(drawn[u"height"_s].toDouble(), 20000);

            // Every picture is its own, whatever its path holds.
            EXPECT_EQ(strings(drawn[u"broken"_s]), QStringList());
            const QString base = drawn[u"base"_s].toString();
            const QStringList addresses = strings(drawn[u"pictures"_s]);
            EXPECT_EQ(addresses.size(), std::min<qsizetype>(count, pictures.size()));
            for (const QString &address : addresses)
                EXPECT_TRUE(address.startsWith(u"data:image/png;base64,"_s) || address.startsWith(base)) << address.toStdString();
            for (const QUrl &asked : browser().localRequests())
                EXPECT_TRUE(asked.toString(QUrl::FullyEncoded).startsWith(base)) << asked.toString().toStdString();
            // Nothing is fetched from elsewhere but the fonts and the library.
            for (const QUrl &asked : browser().remoteRequests())
                EXPECT_TRUE(asked.host() == u"fonts.googleapis.com"_s || asked.path() == QLatin1String(PageHarness::mermaidTail))
                    << asked.toString().toStdString();
            EXPECT_EQ(browser().errors(), QStringList());
        }
    }
}

TEST_F(GraphPageTest, OddKeysLinkToTheirCardsAndTitlesStayText)
{
    const Plan plan = oddKeysPlan();
    open(plan);

    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg g.node').length"_s).toInt(), 4);
    EXPECT_EQ(strings(json(QString::fromUtf8(edgesScript))),
              QStringList({u"s_홈>s_목록_v2_1"_s, u"s_목록_v2_1>s_50_할인"_s, u"s_50_할인>s_a_zz"_s, u"s_a_zz~s_홈"_s}));

    const Drawing drawing(json(QString::fromUtf8(nodesScript)));
    EXPECT_EQ(drawing.node(u"s_홈"_s)[u"text"_s].toString(), u"A<B홈"_s);
    EXPECT_EQ(drawing.node(u"s_목록_v2_1"_s)[u"text"_s].toString(), u"<b>굵게</b>목록-v2.1"_s);
    EXPECT_EQ(drawing.node(u"s_50_할인"_s)[u"text"_s].toString(), u"할인 & 쿠폰50할인"_s);
    EXPECT_EQ(drawing.node(u"s_a_zz"_s)[u"text"_s].toString(), u"끝 '따옴'azz"_s);
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph .nodeLabel b').length"_s).toInt(), 0);
    EXPECT_TRUE(eval(u"document.querySelector('.graph img.gimg').getAttribute('src').indexOf('data:image/png') === 0"_s).toBool());

    browser().click(u"button[data-fold=close]"_s);
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('.screen.closed').length === 4"_s));

    for (const Screen &s : plan.screens) {
        SCOPED_TRACE(s.key.toStdString());
        const QString id = u"s-"_s + s.key;
        browser().click(nodeLink(u"#"_s + QString(id).replace(u"%"_s, u"%25"_s)));
        ASSERT_TRUE(browser().waitFor(u"decodeURIComponent(location.hash) === %1"_s.arg(js(u"#"_s + id))));
        EXPECT_EQ(eval(u"document.querySelector(':target') && document.querySelector(':target').id"_s).toString(), id);
        EXPECT_FALSE(eval(u"document.getElementById(%1).classList.contains('closed')"_s.arg(js(id))).toBool());
        EXPECT_EQ(eval(u"document.getElementById(%1).querySelector('.fold').getAttribute('aria-expanded')"_s.arg(js(id))).toString(),
                  u"true"_s);
        EXPECT_TRUE(browser().waitFor(
            u"(function (r) { return r.top >= 0 && r.top < innerHeight; })(document.getElementById(%1).getBoundingClientRect())"_s.arg(js(id))));
    }
    // Each click opened its own card only.
    EXPECT_EQ(eval(u"document.querySelectorAll('.screen.closed').length"_s).toInt(), 0);
    EXPECT_EQ(browser().errors(), QStringList());
}

TEST_F(GraphPageTest, InTheApplicationAGraphClickResetsTheZoomBeforeMoving)
{
    browser().setAppMode(true);
    open(RichPlan::make());
    const QString link = nodeLink(u"#s-comment-sheet"_s);

    browser().click(link);
    ASSERT_TRUE(browser().waitFor(u"location.hash === '#s-comment-sheet'"_s));
    EXPECT_EQ(json(u"window.__quarryPosted"_s),
              QJsonArray({QJsonObject{{u"handler"_s, u"quarryZoom"_s}, {u"body"_s, u"reset"_s}, {u"hash"_s, u""_s}}}));
    EXPECT_TRUE(browser().waitFor(u"Math.abs(document.getElementById('s-comment-sheet').getBoundingClientRect().top - 72) < 2"_s));

    // The same link again: the location does not change, the card is brought back all the same.
    eval(u"window.scrollTo(0, 0)"_s);
    browser().click(link);
    EXPECT_TRUE(browser().waitFor(u"Math.abs(document.getElementById('s-comment-sheet').getBoundingClientRect().top - 72) < 2"_s));
    EXPECT_EQ(json(u"window.__quarryPosted.map(function (p) { return p.handler + ' ' + p.body + ' ' + p.hash; })"_s),
              QJsonArray({u"quarryZoom reset "_s, u"quarryZoom reset #s-comment-sheet"_s}));

    // The application zooms its view itself: the page leaves the pinch to
    // the view and the drawing alone.
    const std::optional<QPoint> centre = browser().centre(u".graph svg"_s);
    ASSERT_TRUE(centre);
    browser().wheel(*centre, 120, Qt::ControlModifier);
    EXPECT_TRUE(PageHarness::spinUntil([] { return browser().zoomFactor() > 1.0; }, 2000));
    EXPECT_EQ(eval(u"document.querySelector('.graph svg').style.width"_s).toString(), u""_s);
}

TEST_F(GraphPageTest, BrowserZoomStaysBetweenOneAndFourTimes)
{
    open(RichPlan::make());
    const QJsonValue natural = json(u"(function (r) { return [r.width, r.height]; })(document.querySelector('.graph svg').getBoundingClientRect())"_s);
    const double width = natural[0].toDouble();
    ASSERT_GT(width, 0);
    const QString widthNow = u"document.querySelector('.graph svg').getBoundingClientRect().width"_s;

    // A wheel without Control is an ordinary scroll.
    std::optional<QPoint> centre = browser().centre(u".graph svg"_s);
    ASSERT_TRUE(centre);
    browser().wheel(*centre, 120, Qt::NoModifier);
    EXPECT_DOUBLE_EQ(eval(widthNow).toDouble(), width);

    // One notch in: the point under the pointer stays under it.
    centre = browser().centre(u".graph svg"_s);
    const QJsonValue before = json(u"(function (r) { return [(%1 - r.left) / r.width, (%2 - r.top) / r.height]; })(document.querySelector('.graph svg').getBoundingClientRect())"_s
                                       .arg(centre->x()).arg(centre->y()));
    browser().wheel(*centre, 120, Qt::ControlModifier);
    const double once = eval(widthNow).toDouble();
    EXPECT_GT(once, width * 1.5);
    EXPECT_LT(once, width * 3);
    const QJsonValue after = json(u"(function (r) { return [(%1 - r.left) / r.width, (%2 - r.top) / r.height]; })(document.querySelector('.graph svg').getBoundingClientRect())"_s
                                      .arg(centre->x()).arg(centre->y()));
    EXPECT_NEAR(after[0].toDouble(), before[0].toDouble(), 2.0 / once);
    EXPECT_NEAR(after[1].toDouble(), before[1].toDouble(), 0.01);

    for (int notch = 0; notch < 4; ++notch)
        browser().wheel(*centre, 120, Qt::ControlModifier);
    EXPECT_NEAR(eval(widthNow).toDouble(), width * 4, 0.5);
    EXPECT_DOUBLE_EQ(browser().zoomFactor(), 1.0);

    // Out, it stops where the whole drawing fits the box, and no smaller
    // than its own size.
    for (int notch = 0; notch < 8; ++notch)
        browser().wheel(*browser().centre(u".graph svg"_s), -120, Qt::ControlModifier);
    const double fitted = eval(widthNow).toDouble();
    EXPECT_LE(fitted, width + 0.5);
    EXPECT_TRUE(eval(u"(function (g, r) { return r.width <= g.clientWidth && r.height <= g.clientHeight; })"
                     "(document.querySelector('.graph'), document.querySelector('.graph svg').getBoundingClientRect())"_s).toBool());
    browser().wheel(*browser().centre(u".graph svg"_s), -120, Qt::ControlModifier);
    EXPECT_NEAR(eval(widthNow).toDouble(), fitted, 0.5);

    // Following a link from a magnified graph sets it back first.
    browser().wheel(*browser().centre(u".graph svg"_s), 360, Qt::ControlModifier);
    ASSERT_GT(eval(widthNow).toDouble(), width * 1.5);
    browser().click(nodeLink(u"#s-feed"_s));
    ASSERT_TRUE(browser().waitFor(u"location.hash === '#s-feed'"_s));
    EXPECT_NEAR(eval(widthNow).toDouble(), width, 0.5);
    EXPECT_EQ(eval(u"document.querySelector('.graph').scrollLeft"_s).toInt(), 0);
}

TEST_F(GraphPageTest, GraphFoldingIsRememberedAndTheClosedGraphIsStillDrawn)
{
    open(RichPlan::make());
    browser().click(u"#s-login > .title h3"_s);
    ASSERT_TRUE(browser().waitFor(u"document.getElementById('s-login').classList.contains('closed')"_s));

    browser().click(u"#graph-fold"_s);
    ASSERT_TRUE(browser().waitFor(u"document.querySelector('.graph').classList.contains('closed')"_s));
    EXPECT_EQ(eval(u"document.getElementById('graph-fold').textContent"_s).toString(), u"그래프 펼치기"_s);
    EXPECT_EQ(eval(u"document.getElementById('graph-fold').getAttribute('aria-expanded')"_s).toString(), u"false"_s);
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.graph:' + location.pathname)"_s).toString(), u"closed"_s);
    EXPECT_EQ(eval(u"document.querySelector('.graph').getBoundingClientRect().height"_s).toDouble(), 0.0);
    EXPECT_EQ(eval(u"document.querySelectorAll('.screen.closed').length"_s).toInt(), 1);

    ASSERT_TRUE(browser().reload());
    ASSERT_TRUE(browser().waitForGraph());
    EXPECT_TRUE(eval(u"document.querySelector('.graph').classList.contains('closed')"_s).toBool());
    EXPECT_EQ(eval(u"document.getElementById('graph-fold').textContent"_s).toString(), u"그래프 펼치기"_s);
    // Screen cards are not remembered.
    EXPECT_EQ(eval(u"document.querySelectorAll('.screen.closed').length"_s).toInt(), 0);

    // Every page opened from disk shares one storage: another plan keeps its own fold.
    const QTemporaryDir other;
    ASSERT_TRUE(browser().load(PageHarness::writePlan(other, RichPlan::make())));
    ASSERT_TRUE(browser().waitForGraph());
    EXPECT_FALSE(eval(u"document.querySelector('.graph').classList.contains('closed')"_s).toBool());
    ASSERT_TRUE(browser().load(m_url));
    ASSERT_TRUE(browser().waitForGraph());

    browser().click(u"#s-feed > .title h3"_s);
    browser().click(u"#graph-fold"_s);
    ASSERT_TRUE(browser().waitFor(u"!document.querySelector('.graph').classList.contains('closed')"_s));
    EXPECT_EQ(eval(u"document.getElementById('graph-fold').textContent"_s).toString(), u"그래프 접기"_s);
    EXPECT_EQ(eval(u"document.getElementById('graph-fold').getAttribute('aria-expanded')"_s).toString(), u"true"_s);
    EXPECT_EQ(eval(u"localStorage.getItem('quarrystone.graph:' + location.pathname)"_s).toString(), u"open"_s);
    EXPECT_EQ(eval(u"document.querySelectorAll('.screen.closed').length"_s).toInt(), 1);
    // Drawn while closed, the graph has its full size once open.
    EXPECT_GT(eval(u"document.querySelector('[data-id=s_feed] g.node > rect').getBoundingClientRect().width"_s).toDouble(), 40);
    EXPECT_GT(eval(u"document.querySelector('.graph').getBoundingClientRect().height"_s).toDouble(), 200);
}

// The shared check of lines that run through a box, as the page tests in
// other browsers and the drawing benchmark run it.
QString linesThroughBoxes()
{
    QFile file(QStringLiteral(QUARRYSTONE_SOURCE_DIR "/tests/support/linesthroughboxes.js"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// Where each drawn box and line lies: boxes that overlap, lines that do
// not start on their source's box or end on their target's, and lines that
// run through another box.
constexpr char layoutScript[] = R"JS(
(function () {
  var boxes = {};
  var nodes = Array.from(document.querySelectorAll('.graph svg g.node'));
  nodes.forEach(function (node) { boxes[node.getAttribute('data-id')] = node.getBoundingClientRect(); });
  var overlaps = 0;
  for (var i = 0; i < nodes.length; i++)
    for (var j = i + 1; j < nodes.length; j++) {
      var a = nodes[i].getBoundingClientRect(), b = nodes[j].getBoundingClientRect();
      if (a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5) overlaps++;
    }
  var on = function (point, box) {
    return box && point.x >= box.left - 2 && point.x <= box.right + 2 && point.y >= box.top - 2 && point.y <= box.bottom + 2;
  };
  var astray = [];
  document.querySelectorAll('.graph svg path.flowchart-link').forEach(function (path) {
    var from = '', to = '';
    path.classList.forEach(function (c) {
      if (c.indexOf('LS-') === 0) from = c.slice(3);
      if (c.indexOf('LE-') === 0) to = c.slice(3);
    });
    var matrix = path.getScreenCTM(), length = path.getTotalLength();
    var start = path.getPointAtLength(0).matrixTransform(matrix);
    var end = path.getPointAtLength(length).matrixTransform(matrix);
    if (!on(start, boxes[from]) || !on(end, boxes[to])) astray.push(from + '>' + to);
  });
  // A move's words can be read where their box meets no screen box, no
  // other move's words and stays inside the drawing and the room it has.
  var rects = nodes.map(function (node) { return node.getBoundingClientRect(); });
  var whole = document.querySelector('.graph svg').getBoundingClientRect();
  var meet = function (a, b) { return a.left < b.right - 0.5 && b.left < a.right - 0.5 && a.top < b.bottom - 0.5 && b.top < a.bottom - 0.5; };
  var moves = Array.from(document.querySelectorAll('.graph svg .gmove'));
  var spots = moves.map(function (move) { return move.getBoundingClientRect(); });
  var hidden = moves.filter(function (move, at) {
    var r = spots[at];
    var room = move.parentNode.getBoundingClientRect();
    var inside = r.width > 0 && r.left >= whole.left && r.right <= whole.right && r.top >= whole.top && r.bottom <= whole.bottom &&
                 r.right <= room.right + 0.5 && r.bottom <= room.bottom + 0.5;
    return !inside || rects.some(function (q) { return meet(r, q); }) ||
           spots.some(function (q, other) { return other !== at && meet(r, q); });
  }).map(function (move) { return move.textContent; });
  var through = linesThroughBoxes();
  return { overlaps: overlaps, astray: astray, hidden: hidden, through: through, words: moves.length,
           widest: Math.max.apply(null, spots.map(function (r) { return r.width; })),
           notes: document.querySelectorAll('.graph .gnote').length };
})())JS";

TEST_F(GraphPageTest, AGraphOfThreeHundredScreensIsDrawn)
{
    Plan plan;
    plan.meta.feature = u"Big"_s;
    const int count = 300;
    auto key = [](int i) { return u"screen-%1"_s.arg(i); };
    for (int i = 0; i < count; ++i) {
        plan.screens.append(screen(key(i), u"화면 %1 제목"_s.arg(i), u"img/s%1.png"_s.arg(i % 10)));
        if (i > 0)
            plan.transitions.append(move(key(i / 2), key(i), u"tap%1"_s.arg(i)));
        if (i > 1 && i < 215)
            plan.transitions.append(move(key(i), key(i - 2), u"skip%1"_s.arg(i)));
        // Long moves across the whole plan, as a large feature's shortcuts
        // are: the kind of graph Mermaid takes minutes to lay out.
        for (int step : {13, 26, 39, 52})
            plan.transitions.append(move(key(i), key((i + step) % count), u"jump%1"_s.arg(step)));
    }
    plan.screens[3].kind = u"dialog"_s;
    plan.screens[4].condition = PlanRecords::sourced("로그인했을 때", "spec");
    plan.transitions.append(move(key(5), key(5), u"새로고침"_s));
    plan.transitions.append(move(key(7), key(1), u"닫기"_s, u"pop"_s));
    plan.transitions.append(move(u"@home"_s, key(0), u"진입"_s));
    // Moves a drawing easily hides: two between the same screens, a pair
    // there and back, a loop with long words, and words too long for a line.
    plan.transitions.append(move(key(20), key(41), u"저장"_s));
    plan.transitions.append(move(key(20), key(41), u"다른 이름으로 저장"_s));
    plan.transitions.append(move(key(30), key(31), u"다음"_s));
    plan.transitions.append(move(key(31), key(30), u"이전"_s));
    plan.transitions.append(move(key(60), key(60), u"목록을 처음부터 다시 불러오기"_s));
    plan.transitions.append(move(key(61), key(61), u"정렬"_s));
    plan.transitions.append(move(key(61), key(61), u"필터"_s));
    plan.transitions.append(move(key(70), key(90), u"주문 내역에서 선택한 상품의 배송 상태를 확인하고 문의하기를 누르면"_s));
    plan.transitions.append(move(key(71), key(72), u"onVeryLongHandlerNameThatNeverBreaksOnItsOwnAnywhere"_s));
    // Well past Mermaid's own limits of 50,000 characters and 500 edges.
    ASSERT_GT(Exporter::mermaid(plan, true).size(), 50000);
    ASSERT_GT(plan.transitions.size(), 1500);
    open(plan);

    // Drawn only when asked: the page answers at once, and the section says why.
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg').length"_s).toInt(), 0);
    EXPECT_EQ(eval(u"document.querySelector('.gask').textContent"_s).toString(),
              u"화면 300개·이동 %1개라 그래프는 누를 때 그려요. 그래프 그리기"_s.arg(plan.transitions.size()));
    EXPECT_EQ(eval(u"document.querySelector('.graph pre.mermaid').getBoundingClientRect().height"_s).toDouble(), 0.0);
    // Asked and stopped at once, the page is as before and can be asked again.
    browser().click(u"#graph-draw"_s);
    browser().click(u"#graph-stop"_s);
    EXPECT_EQ(eval(u"document.getElementById('graph-draw').textContent"_s).toString(), u"그래프 그리기"_s);
    EXPECT_FALSE(eval(u"document.getElementById('graph-draw').disabled"_s).toBool());
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg, #graph-stop, .gmeasure').length"_s).toInt(), 0);
    PageHarness::pause(300);
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg').length"_s).toInt(), 0);
    browser().click(u"#graph-draw"_s);
    // Drawn, the offer goes. Mermaid's layout of this graph held the page
    // for minutes; the page's own, on a worker, takes about a second.
    ASSERT_TRUE(browser().waitFor(u"document.querySelector('.gask').hidden"_s, 300000));

    const Drawing drawing(json(QString::fromUtf8(nodesScript)));
    EXPECT_EQ(drawing.ids().size(), count + 1);
    EXPECT_EQ(drawing.links().size(), count);
    EXPECT_EQ(drawing.node(u"s_screen_0"_s)[u"href"_s].toString(), u"#s-screen-0"_s);
    EXPECT_EQ(drawing.node(u"s_screen_0"_s)[u"text"_s].toString(), u"화면 0 제목Shopscreen-0"_s);
    EXPECT_EQ(drawing.node(u"ext_home"_s)[u"text"_s].toString(), u"home"_s);
    EXPECT_TRUE(hasClass(drawing.node(u"s_screen_4"_s), u"cond"_s));
    EXPECT_FALSE(hasClass(drawing.node(u"s_screen_5"_s), u"cond"_s));

    QStringList expected;
    for (const Transition &t : std::as_const(plan.transitions)) {
        auto id = [](QString end) { return end.startsWith(u'@') ? u"ext_"_s + end.mid(1) : u"s_"_s + end.replace(u'-', u'_'); };
        expected.append(id(t.from) + (t.kind == u"pop"_s ? u"~"_s : u">"_s) + id(t.to));
    }
    QStringList edges = strings(json(QString::fromUtf8(edgesScript)));
    expected.sort();
    edges.sort();
    EXPECT_EQ(edges, expected);

    const QJsonObject layout =
        browser()
            .json(u"(function () {\n%1\nreturn %2;\n})()"_s.arg(linesThroughBoxes(), QString::fromUtf8(layoutScript).trimmed()), 300000)
            .toObject();
    EXPECT_EQ(layout[u"overlaps"_s].toInt(), 0);
    EXPECT_EQ(strings(layout[u"astray"_s]), QStringList());
    EXPECT_EQ(strings(layout[u"through"_s]), QStringList());
    EXPECT_EQ(layout[u"words"_s].toInt(), plan.transitions.size());
    // Every move's words can be seen, long ones on several lines.
    EXPECT_EQ(strings(layout[u"hidden"_s]), QStringList());
    EXPECT_LE(layout[u"widest"_s].toDouble(), 170);
    EXPECT_EQ(layout[u"notes"_s].toInt(), 0);
    // The thumbnails get their pictures, as in a graph the library draws.
    EXPECT_TRUE(browser().waitFor(u"document.querySelector('.graph svg img.gimg').getAttribute('src') !== null"_s));

    // A map in a box of its own height, opened on its top screen: fitted
    // whole, a screen found by name, and each card leads to its place.
    EXPECT_TRUE(eval(u"(function (n, g) { return n.left >= g.left && n.right <= g.right; })(document.querySelector("
                     u"'[data-id=ext_home] g.node, g.node[data-id=ext_home]').getBoundingClientRect(),"
                     u" document.querySelector('.graph').getBoundingClientRect())"_s).toBool());
    EXPECT_LE(eval(u"document.querySelector('.graph').getBoundingClientRect().height"_s).toDouble(),
              eval(u"innerHeight * 0.8"_s).toDouble());
    const QString whole = u"(function (g, d) { return d.width <= g.clientWidth && d.height <= g.clientHeight; })"
                          u"(document.querySelector('.graph'), document.querySelector('.gsheets').getBoundingClientRect())"_s;
    EXPECT_FALSE(eval(whole).toBool());
    browser().click(u".gtools button"_s);
    EXPECT_TRUE(eval(whole).toBool());
    const QString inView = u"(function (id) { var n = document.querySelector('[data-id=' + id + '] g.node, g.node[data-id=' + id + ']');"
                           u" var r = n.getBoundingClientRect(), g = document.querySelector('.graph').getBoundingClientRect();"
                           u" return n.classList.contains('gfound') && r.left >= g.left && r.right <= g.right && r.top >= g.top && r.bottom <= g.bottom;"
                           u" })(%1)"_s;
    eval(u"(function (f) { f.value = '화면 137 제목'; f.dispatchEvent(new Event('change')); })(document.querySelector('.gfind'))"_s);
    EXPECT_TRUE(eval(inView.arg(js(u"s_screen_137"_s))).toBool());
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('.screen .gwhere').length === %1"_s.arg(count)));
    browser().click(u"#s-screen-250 .gwhere"_s);
    EXPECT_TRUE(browser().waitFor(inView.arg(js(u"s_screen_250"_s))));
    EXPECT_FALSE(eval(inView.arg(js(u"s_screen_137"_s))).toBool());
}

// A plan the page draws at load, whose keys hold the characters a link
// carries percent-encoded.
Plan middlingPlan()
{
    Plan plan;
    plan.meta.feature = u"Shop"_s;
    const QStringList keys = {u"빈 칸"_s, u"따옴\"표"_s, u"샵#1"_s, u"50%"_s, u"탭\t끝"_s};
    for (int at = 0; at < 30; ++at)
        plan.screens.append(screen(at < keys.size() ? keys[at] : u"m%1"_s.arg(at), u"화면 %1"_s.arg(at)));
    for (int at = 1; at < 30; ++at)
        plan.transitions.append(move(plan.screens[(at - 1) / 2].key, plan.screens[at].key, u"tap%1"_s.arg(at)));
    plan.transitions.append(move(u"@home"_s, plan.screens[0].key, u"open"_s));
    return plan;
}

// Where the focus is, as a short name.
constexpr char focusScript[] = R"JS(
(function (e) {
  if (!e || e === document.body) return 'body';
  return (e.closest('.graph') ? 'graph ' : '') + e.localName + (e.id ? '#' + e.id : '') + ' ' + (e.textContent || '').trim().slice(0, 20);
})(document.activeElement))JS";

// Drawn by the library and by the page: every box is named and reached by
// a reader; folded, the map takes no focus.
TEST_F(GraphPageTest, EveryBoxOfTheMapIsNamedAndAFoldedMapTakesNoFocus)
{
    for (const Plan &plan : {RichPlan::make(), middlingPlan()}) {
        SCOPED_TRACE(plan.screens.size());
        open(plan);
        ASSERT_TRUE(browser().waitFor(u"!!document.querySelector('.graph svg g.node') && !document.getElementById('graph-stop')"
                                      u" && (!document.querySelector('.gask') || document.querySelector('.gask').hidden)"_s,
                                      60000));
        // Each box: a link named by its words, or a picture of them; none
        // hidden from a reader.
        const QJsonValue boxes = json(uR"JS(
Array.from(document.querySelectorAll('.graph svg g.node')).map(function (node) {
  var link = node.closest('a[href]'), named = link || node;
  return { role: link ? 'link' : node.getAttribute('role'), name: named.getAttribute('aria-label'),
           hidden: !!node.closest('[aria-hidden=true]'), text: node.textContent };
}))JS"_s);
        qsizetype links = 0;
        for (const QJsonValue &box : boxes.toArray()) {
            SCOPED_TRACE(box[u"text"_s].toString().toStdString());
            EXPECT_TRUE(box[u"role"_s] == u"link"_s || box[u"role"_s] == u"img"_s);
            EXPECT_FALSE(box[u"hidden"_s].toBool());
            EXPECT_FALSE(box[u"name"_s].toString().trimmed().isEmpty());
            EXPECT_EQ(QString(box[u"name"_s].toString()).remove(u' '), QString(box[u"text"_s].toString()).remove(u' '));
            links += box[u"role"_s] == u"link"_s;
        }
        EXPECT_EQ(links, plan.screens.size());

        // Folded, the map is passed over: Tab goes from its button to the
        // next one after it.
        browser().click(u"#graph-fold"_s);
        ASSERT_TRUE(browser().waitFor(u"document.querySelector('.graph').classList.contains('closed')"_s));
        eval(u"document.getElementById('graph-fold').focus()"_s);
        browser().key(Qt::Key_Tab);
        EXPECT_EQ(eval(QString::fromUtf8(focusScript)).toString(), u"button 모두 접기"_s);
        // Open again, the map's first box is the next stop.
        browser().click(u"#graph-fold"_s);
        ASSERT_TRUE(browser().waitFor(u"!document.querySelector('.graph').classList.contains('closed')"_s));
        eval(u"document.getElementById('graph-fold').focus()"_s);
        browser().key(Qt::Key_Tab);
        EXPECT_TRUE(eval(QString::fromUtf8(focusScript)).toString().startsWith(u"graph "_s));
        EXPECT_EQ(browser().errors(), QStringList());
    }
}

// Cards whose key a link carries percent-encoded lead to their boxes too,
// and a drag that the browser cancels (a touch it takes over) ends there.
TEST_F(GraphPageTest, EveryCardLeadsToItsBoxAndACancelledDragEnds)
{
    const Plan plan = middlingPlan();
    open(plan);
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('.screen .gwhere').length === %1"_s.arg(plan.screens.size()), 60000));
    for (int at = 0; at < 4; ++at) {
        SCOPED_TRACE(plan.screens[at].key.toStdString());
        eval(u"document.querySelector('.gfound') && document.querySelector('.gfound').classList.remove('gfound')"_s);
        eval(u"document.getElementById(%1).querySelector('.gwhere').click()"_s.arg(js(u"s-"_s + plan.screens[at].key)));
        EXPECT_EQ(eval(u"document.querySelector('.gfound').closest('a').getAttribute('aria-label')"_s).toString(),
                  u"화면 %1 %2"_s.arg(at).arg(shown(plan.screens[at].name.mid(4))));
    }

    // With the map folded, a card's link opens it and shows its box, and
    // the focus goes to the box.
    browser().click(u"#graph-fold"_s);
    ASSERT_TRUE(browser().waitFor(u"document.querySelector('.graph').classList.contains('closed')"_s));
    eval(u"document.getElementById('s-m7').querySelector('.gwhere').focus()"_s);
    browser().key(Qt::Key_Return);
    EXPECT_TRUE(browser().waitFor(u"!document.querySelector('.graph').classList.contains('closed')"_s));
    EXPECT_EQ(eval(u"document.activeElement.getAttribute('data-id') + ' ' + !!document.activeElement.querySelector('.gfound')"_s).toString(),
              u"s_m7 true"_s);
    EXPECT_GT(eval(u"document.querySelector('.gfound').getBoundingClientRect().width"_s).toDouble(), 40);

    // From a card far below the map, the map's tools come to rest below the
    // sticky platform bar, not under it.
    eval(u"window.scrollTo(0, document.body.scrollHeight)"_s);
    eval(u"document.getElementById('s-m29').querySelector('.gwhere').click()"_s);
    EXPECT_EQ(eval(u"(function (t, p) { return Math.round(t.getBoundingClientRect().top - p.getBoundingClientRect().bottom) >= 0; })"
                   u"(document.querySelector('.gtools'), document.querySelector('.ptabs'))"_s).toBool(), true);

    // Find goes on to the next box at each Enter, and finds a title written
    // in the other Unicode form of Hangul.
    const QString foundNow = u"document.querySelector('.gfound').closest('a').getAttribute('data-id')"_s;
    eval(u"(function (f) { f.focus(); f.value = '화면 1'; })(document.querySelector('.gfind'))"_s);
    QStringList visited;
    for (int press = 0; press < 12; ++press) {
        browser().key(Qt::Key_Return);
        visited.append(eval(foundNow).toString());
    }
    QStringList ones = {u"s_따옴_표"_s};
    for (int at = 10; at < 20; ++at)
        ones.append(u"s_m%1"_s.arg(at));
    ones.append(u"s_따옴_표"_s);
    EXPECT_EQ(visited, ones);
    // Progress and misses are told to a reader, not only shown.
    const QString told = u"(function (s) { return s.getAttribute('aria-live') + ' ' + s.textContent; })"
                         u"(document.querySelector('.gtools [role=status]'))"_s;
    EXPECT_EQ(eval(told).toString(), u"polite 11개 중 1번째"_s);
    eval(u"(function (f) { f.value = '없는 화면'; f.dispatchEvent(new Event('change')); })(document.querySelector('.gfind'))"_s);
    EXPECT_EQ(eval(told).toString(), u"polite '없는 화면'에 맞는 화면이 없어요"_s);
    eval(u"(function (f) { f.value = '화면 23'.normalize('NFD'); f.dispatchEvent(new Event('change')); })(document.querySelector('.gfind'))"_s);
    EXPECT_EQ(eval(foundNow).toString(), u"s_m23"_s);
    EXPECT_FALSE(eval(u"document.querySelector('.gfind').classList.contains('gmiss')"_s).toBool());

    // Real size, so there is room to pan; a drag on the ground moves it.
    browser().click(u".gtools button:nth-child(2)"_s);
    const QString scrolled = u"(function (g) { return [g.scrollLeft, g.scrollTop]; })(document.querySelector('.graph'))"_s;
    const QString pointer = u"(function (d) { var r = d.getBoundingClientRect();"
                            u" d.dispatchEvent(new PointerEvent(%1, { pointerId: 1, button: 0, bubbles: true,"
                            u" clientX: r.left + 5 + %2, clientY: r.top + 5 + %2 })); })(document.querySelector('.gsheets'))"_s;
    eval(u"document.querySelector('.graph').scrollTo(200, 200)"_s);
    eval(pointer.arg(js(u"pointerdown"_s)).arg(0));
    eval(pointer.arg(js(u"pointermove"_s)).arg(-40));
    const QJsonValue dragged = json(scrolled);
    ASSERT_NE(dragged, json(u"[200, 200]"_s));
    eval(pointer.arg(js(u"pointerup"_s)).arg(-40));
    for (const QString &end : {u"pointercancel"_s, u"lostpointercapture"_s}) {
        SCOPED_TRACE(end.toStdString());
        eval(pointer.arg(js(u"pointerdown"_s)).arg(0));
        eval(pointer.arg(js(end)).arg(0));
        const QJsonValue before = json(scrolled);
        eval(pointer.arg(js(u"pointermove"_s)).arg(40));
        EXPECT_EQ(json(scrolled), before);
    }
    EXPECT_EQ(browser().errors(), QStringList());
}

// A small graph is a map as a large one is: it opens on its first screen,
// fits, goes to real size, finds a screen by name, and each card leads to
// its box.
void expectSmallMap(const Plan &plan)
{
    PageHarness::Browser &browser = PageHarness::Browser::shared();
    const auto eval = [&browser](const QString &script) { return browser.eval(script).toString(); };
    ASSERT_TRUE(browser.waitFor(u"document.querySelectorAll('.screen .gwhere').length === %1"_s.arg(plan.screens.size()), 60000));
    EXPECT_EQ(eval(u"Array.from(document.querySelectorAll('.graph .gtools button, .graph .gtools input')).map(function (b) {"
                   " return b.textContent || b.placeholder; }).join('|')"_s),
              u"전체 보기|실제 크기|화면 이름으로 찾기"_s);
    // None of the graph's source is left as text beside the drawing.
    EXPECT_EQ(eval(u"String(Array.from(document.querySelectorAll('.graph pre.mermaid')).every(function (p) {"
                   " return Array.from(p.childNodes).every(function (c) { return c.nodeType !== 3 || !c.textContent.trim(); }); }))"_s),
              u"true"_s);
    EXPECT_EQ(eval(u"String(document.querySelectorAll('.graph .gnote').length)"_s), u"0"_s);
    for (const Screen &screen : plan.screens) {
        SCOPED_TRACE(screen.key.toStdString());
        const QString name = eval(u"document.querySelector('.graph a[href=\"#s-%1\"]').getAttribute('aria-label')"_s.arg(screen.key));
        ASSERT_FALSE(name.isEmpty());
        eval(u"(function (f) { f.value = %1; f.dispatchEvent(new Event('change')); })(document.querySelector('.gfind'))"_s
                 .arg(js(name)));
        EXPECT_EQ(eval(u"document.querySelector('.gfound').closest('a').getAttribute('href')"_s), u"#s-"_s + screen.key);
        eval(u"document.querySelector('.gfound').classList.remove('gfound')"_s);
        eval(u"document.getElementById(%1).querySelector('.gwhere').click()"_s.arg(js(u"s-"_s + screen.key)));
        EXPECT_EQ(eval(u"document.querySelector('.gfound').closest('a').getAttribute('href')"_s), u"#s-"_s + screen.key);
    }
    // Real size, then fitted: the whole drawing in the box.
    eval(u"document.querySelector('.gtools button:nth-child(2)').click()"_s);
    eval(u"document.querySelector('.gtools button:nth-child(1)').click()"_s);
    EXPECT_EQ(eval(u"(function (g, d) { var b = g.getBoundingClientRect(), r = d.getBoundingClientRect();"
                   " return String(r.width <= b.width && r.height <= b.height + 1); })"
                   "(document.querySelector('.graph'), document.querySelector('.graph .gsheets'))"_s),
              u"true"_s);
}

TEST_F(GraphPageTest, ASmallGraphDrawnByTheLibraryIsAMap)
{
    open(RichPlan::make());
    expectSmallMap(RichPlan::make());
    EXPECT_EQ(browser().errors(), QStringList());
}

// Offline, the page draws a small graph itself, as a map.
TEST_F(PageTest, WithoutTheGraphLibraryEveryCardShowsAndThePageDrawsTheGraph)
{
    const Plan plan = RichPlan::make();
    open(plan);
    expectSmallMap(plan);
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg.glaid a[href] g.node').length"_s).toInt(), plan.screens.size());
    EXPECT_EQ(eval(u"document.querySelectorAll('.screens > .screen').length"_s).toInt(), 4);
    EXPECT_EQ(eval(u"document.querySelectorAll('.dpanel .model').length"_s).toInt(), 8);
    EXPECT_EQ(eval(u"document.querySelectorAll('.dpanel .api').length"_s).toInt(), 3);
    EXPECT_EQ(eval(u"document.querySelectorAll('.decision').length"_s).toInt(), 3);
    EXPECT_TRUE(eval(u"Array.from(document.querySelectorAll('.shot img')).every(function (i) { return i.getAttribute('src').indexOf('data:image/png;base64,') === 0; })"_s).toBool());
    EXPECT_TRUE(browser().remoteRequests().contains(QUrl(eval(u"document.querySelector('script[src]').src"_s).toString())));
    EXPECT_EQ(browser().errors(), QStringList());
}

// A page sent on its own shows every picture from its embedded copy and
// asks for no file beside it.
TEST_F(GraphPageTest, APageSentAloneAsksForNoPictureFile)
{
    const QUrl written = PageHarness::writePlan(m_folder, RichPlan::make());
    const QTemporaryDir alone;
    const QString page = alone.filePath(u"index.html"_s);
    ASSERT_TRUE(QFile::copy(written.toLocalFile(), page));
    ASSERT_TRUE(browser().load(QUrl::fromLocalFile(page)));
    ASSERT_TRUE(browser().waitForGraph());

    EXPECT_EQ(browser().localRequests(), QList<QUrl>{QUrl::fromLocalFile(page)});
    EXPECT_GT(eval(u"document.querySelectorAll('.graph img.gimg').length"_s).toInt(), 0);
    EXPECT_TRUE(eval(u"Array.from(document.querySelectorAll('img')).every(function (i) {"
                     " return (i.getAttribute('src') || '').indexOf('data:image/png;base64,') === 0; })"_s).toBool());
    EXPECT_EQ(browser().errors(), QStringList());
}

// The page pins the graph library by its digest: the pinned file draws (the
// tests above), a changed one at the same address is refused, and the page
// goes on as it does without the library.
TEST_F(GraphPageTest, AChangedGraphLibraryIsRefusedAndThePageStillWorks)
{
    const Plan plan = RichPlan::make();
    browser().serveTamperedMermaid();
    m_url = PageHarness::writePlan(m_folder, plan);
    ASSERT_TRUE(browser().load(m_url));
    const QUrl library(eval(u"document.querySelector('script[src]').src"_s).toString());
    ASSERT_TRUE(PageHarness::spinUntil([&] { return browser().remoteRequests().contains(library); }, 10000));
    // Time for a script that was let through to draw.
    PageHarness::pause(1500);

    // Refused, the library draws nothing: the page draws the graph itself.
    ASSERT_TRUE(browser().waitFor(u"document.querySelectorAll('.graph svg.glaid a[href] g.node').length === %1"_s.arg(plan.screens.size()), 60000));
    EXPECT_EQ(eval(u"document.querySelectorAll('.graph svg:not(.glaid)').length"_s).toInt(), 0);
    EXPECT_EQ(eval(u"typeof window.mermaid"_s).toString(), u"undefined"_s);

    browser().click(u".ptabs button[data-p=a]"_s);
    EXPECT_TRUE(browser().waitFor(u"document.body.getAttribute('data-p') === 'a'"_s));
    EXPECT_EQ(eval(u"document.querySelectorAll('.decision').length"_s).toInt(), 3);
    // A decision's pick still asks for the application.
    browser().click(u".dpick button"_s);
    EXPECT_TRUE(browser().waitFor(u"!document.querySelector('.askapp').hidden"_s));
    EXPECT_EQ(browser().errors(), QStringList());
}

} // namespace
