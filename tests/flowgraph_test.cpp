#include "export/exporter.h"
#include "support/qtprinters.h"
#include "support/richplan.h"

#include <QFile>
#include <QThreadPool>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/export/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return file.readAll();
}

Screen screen(const QString &key, const QString &title = "제목", const QString &kind = "screen")
{
    Screen s;
    s.key = key;
    s.name = key;
    s.title = title;
    s.kind = kind;
    return s;
}

Transition move(const QString &from, const QString &to, const QString &kind = "push", const QString &trigger = "go")
{
    Transition t;
    t.from = from;
    t.to = to;
    t.kind = kind;
    t.trigger = trigger;
    return t;
}

// The edge lines of a graph, in order.
QStringList edges(const QString &graph)
{
    QStringList found;
    for (const QString &line : graph.split(u'\n'))
        if (line.contains("-->|") || line.contains("-.->|"))
            found.append(line);
    return found;
}

QStringList lines(const QString &graph)
{
    return graph.split(u'\n');
}

} // namespace

TEST(FlowGraph, EmptyPlanGivesTwoLines)
{
    EXPECT_EQ(Exporter::mermaid(Plan(), false), "flowchart TD\n  classDef cond stroke-dasharray: 4 3");
    EXPECT_EQ(Exporter::mermaid(Plan(), true), "flowchart TD\n  classDef cond stroke-dasharray: 4 3");
}

TEST(FlowGraph, RichPlanMatchesItsGraphs)
{
    const Plan plan = RichPlan::make();
    EXPECT_EQ(Exporter::mermaid(plan, false).toUtf8(), fixture("rich-plan.mmd"));
    EXPECT_EQ(Exporter::mermaid(plan, true).toUtf8(), fixture("rich-plan-page.mmd"));
}

TEST(FlowGraph, BackMovesThatReturnAreLeftOut)
{
    Plan plan;
    plan.screens = {screen("list"), screen("detail"), screen("sheet", "시트", "sheet")};
    plan.transitions = {move("list", "detail"), move("detail", "list", "pop")};
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)), (QStringList{"  s_list -->|\"go\"| s_detail"}));

    plan.transitions[1].popUpTo = "list";
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)),
              (QStringList{"  s_list -->|\"go\"| s_detail", "  s_detail -.->|\"go\"| s_list"}));

    plan.transitions = {move("sheet", "list", "dismiss")};
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)), (QStringList{"  s_sheet -.->|\"go\"| s_list"}));

    plan.transitions = {move("list", "detail", "pop"), move("detail", "list", "pop")};
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)),
              (QStringList{"  s_list -.->|\"go\"| s_detail", "  s_detail -.->|\"go\"| s_list"}));
}

TEST(FlowGraph, SharedTriggersShowTheirConditions)
{
    Plan plan;
    Screen home = screen("home");
    UserAction open;
    open.key = "openDetail";
    open.label = "열기";
    home.actions = {open};
    plan.screens = {home, screen("a"), screen("b")};
    Transition first = move("home", "a", "push", "openDetail");
    first.condition = "로그인";
    Transition second = move("home", "b", "push", "openDetail");
    second.condition = "비로그인";
    plan.transitions = {first, second};
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)),
              (QStringList{"  s_home -->|\"로그인\"| s_a", "  s_home -->|\"비로그인\"| s_b"}));

    plan.transitions[1].condition.reset();
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)),
              (QStringList{"  s_home -->|\"로그인\"| s_a", "  s_home -->|\"열기\"| s_b"}));

    // A lone move keeps its action label even with a condition.
    plan.transitions.removeLast();
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)), (QStringList{"  s_home -->|\"열기\"| s_a"}));
}

TEST(FlowGraph, LabelsEscapeQuotesAndLineFeeds)
{
    Plan plan;
    Screen s = screen("s", "A \"B\"\nC<D>&");
    s.name = "Name";
    plan.screens = {s};
    EXPECT_EQ(lines(Exporter::mermaid(plan, false)).at(1), "  s_s[\"A 'B' C<D>&<br/><small>Name</small>\"]");
    // On the page the label is HTML too: plan texts show as text.
    EXPECT_EQ(lines(Exporter::mermaid(plan, true)).at(1),
              "  s_s[\"A 'B' C&lt;D&gt;&amp;<br/><small>Name</small>\"]");
}

// Directives, comments, entities and Markdown of the graph library are
// plan text too: written as entities, they cannot configure the graph.
TEST(FlowGraph, LibrarySyntaxInPlanTextIsWrittenAsEntities)
{
    Plan plan;
    Screen s = screen("s", "%%{init: {'theme':'dark'}}%% x #35; y\r%% note\u2028`md`");
    s.name = "Name";
    plan.screens = {s};
    EXPECT_EQ(lines(Exporter::mermaid(plan, false)).at(1),
              "  s_s[\"#37;#37;{init: {'theme':'dark'}}#37;#37; x #35;35; y #37;#37; note #96;md#96;<br/><small>Name</small>\"]");
    EXPECT_EQ(lines(Exporter::mermaid(plan, true)).at(1),
              "  s_s[\"&percnt;&percnt;{init: {'theme':'dark'}}&percnt;&percnt; x &num;35; y &percnt;&percnt; note "
              "&grave;md&grave;<br/><small>Name</small>\"]");

    // The library's own stand-ins for "&#" and ";" are broken at their
    // first character, so it reads back no entity the plan did not write.
    s.title = u"\uFB02\u00B0\u00B046\u00B6\u00DF/x \u00B6\u00DF 30\u00B0"_s;
    plan.screens = {s};
    EXPECT_EQ(lines(Exporter::mermaid(plan, false)).at(1),
              u"  s_s[\"#64258;\u00B0\u00B046#182;\u00DF/x #182;\u00DF 30\u00B0<br/><small>Name</small>\"]"_s);
    // The page's graph is never read by the library as it is written.
    EXPECT_EQ(lines(Exporter::mermaid(plan, true)).at(1),
              u"  s_s[\"\uFB02\u00B0\u00B046\u00B6\u00DF/x \u00B6\u00DF 30\u00B0<br/><small>Name</small>\"]"_s);
}

// A very long title or move word is cut to 120 characters in the graph.
TEST(FlowGraph, LongTextsAreCutInTheGraph)
{
    Plan plan;
    Screen s = screen("s", QString(200000, u'가'));
    s.name = "Name";
    plan.screens = {s, screen("t")};
    plan.transitions = {move("s", "t", "push", QString(300, u'x'))};
    const QString graph = Exporter::mermaid(plan, true);
    EXPECT_EQ(lines(graph).at(1), "  s_s[\"" + QString(119, u'가') + "…<br/><small>Name</small>\"]");
    EXPECT_EQ(edges(graph), QStringList{"  s_s -->|\"" + QString(119, u'x') + "…\"| s_t"});
}

TEST(FlowGraph, PageLabelsCarryNoMarkupFromThePlan)
{
    Plan plan;
    Screen s = screen("s", "<script>alert(1)</script>");
    s.image.before = "img/a'b<c>.png";
    plan.screens = {s, screen("t")};
    Transition t = move("@<b>push</b>", "s", "push", "<i>x</i>");
    plan.transitions = {t, move("s", "t", "push", "<u>go</u>")};
    const QString graph = Exporter::mermaid(plan, true);
    EXPECT_FALSE(graph.contains("<script>"));
    EXPECT_FALSE(graph.contains("<b>"));
    EXPECT_FALSE(graph.contains("<u>"));
    EXPECT_TRUE(graph.contains("data-src='img/a&apos;b&lt;c&gt;.png'"));
    EXPECT_TRUE(graph.contains("  ext__b_push__b_([\"&lt;b&gt;push&lt;/b&gt;\"])"));
    EXPECT_TRUE(graph.contains("  s_s -->|\"&lt;u&gt;go&lt;/u&gt;\"| s_t"));
    // The document keeps the text as written.
    EXPECT_TRUE(Exporter::mermaid(plan, false).contains("  s_s -->|\"<u>go</u>\"| s_t"));
}

TEST(FlowGraph, KindsPickShapesOrThumbnailWords)
{
    Plan plan;
    Screen sheet = screen("pick", "고르기", "sheet");
    sheet.name = "ClipsPick";
    sheet.image.before = "img/p.png";
    plan.meta.feature = "Clips";
    plan.screens = {sheet, screen("sys", "시스템", "system"), screen("dlg", "팝업", "dialog"), screen("odd", "기타", "Sheet")};
    const QStringList plain = lines(Exporter::mermaid(plan, false));
    EXPECT_EQ(plain.at(1), "  s_pick[/\"고르기<br/><small>Pick</small>\"/]");
    EXPECT_EQ(plain.at(2), "  s_sys[[\"시스템<br/><small>sys</small>\"]]");
    EXPECT_EQ(plain.at(3), "  s_dlg{{\"팝업<br/><small>dlg</small>\"}}");
    EXPECT_EQ(plain.at(4), "  s_odd[\"기타<br/><small>odd</small>\"]");

    const QStringList page = lines(Exporter::mermaid(plan, true));
    EXPECT_EQ(page.at(1), "  s_pick[\"<img class='gimg' alt='' data-src='img/p.png' width='52' height='112' "
                          "style='width:52px;height:112px;object-fit:cover;object-position:top'/><br/>"
                          "고르기<br/><small>Pick · 시트</small>\"]");
    EXPECT_EQ(page.at(2), "  click s_pick href \"#s-pick\"");
}

TEST(FlowGraph, ShortNameDropsALongerFeaturePrefix)
{
    Plan plan;
    plan.meta.feature = "Clips";
    Screen same = screen("a");
    same.name = "Clips";
    Screen longer = screen("b");
    longer.name = "ClipsFeed";
    Screen other = screen("c");
    other.name = "FeedClips";
    plan.screens = {same, longer, other};
    const QStringList graph = lines(Exporter::mermaid(plan, false));
    EXPECT_TRUE(graph.at(1).endsWith("<small>Clips</small>\"]"));
    EXPECT_TRUE(graph.at(2).endsWith("<small>Feed</small>\"]"));
    EXPECT_TRUE(graph.at(3).endsWith("<small>FeedClips</small>\"]"));
}

TEST(FlowGraph, EntryPointsAreWrittenOnceWhereTheyFirstOccur)
{
    Plan plan;
    plan.screens = {screen("home")};
    plan.transitions = {move("@push-open", "@deep-link"), move("home", "@deep-link"), move("@deep-link", "home"),
                        move("home", "@push-open", "pop")};
    const QString graph = Exporter::mermaid(plan, false);
    EXPECT_EQ(lines(graph).mid(1, 3), (QStringList{"  ext_push_open([\"push-open\"])", "  ext_deep_link([\"deep-link\"])",
                                                   "  s_home[\"제목<br/><small>home</small>\"]"}));
    EXPECT_EQ(edges(graph), (QStringList{"  ext_push_open -->|\"진입\"| ext_deep_link", "  s_home -->|\"go\"| ext_deep_link",
                                         "  ext_deep_link -->|\"진입\"| s_home", "  s_home -.->|\"go\"| ext_push_open"}));
}

TEST(FlowGraph, NodeIdsReplacePunctuationAndKeepKeysInLinks)
{
    Plan plan;
    Screen dotted = screen("home.tab-1");
    Screen korean = screen("홈-화면");
    plan.screens = {dotted, korean};
    plan.transitions = {move("home.tab-1", "홈-화면")};
    const QStringList graph = lines(Exporter::mermaid(plan, true));
    EXPECT_TRUE(graph.at(1).startsWith("  s_home_tab_1[\""));
    EXPECT_EQ(graph.at(2), "  click s_home_tab_1 href \"#s-home.tab-1\"");
    EXPECT_TRUE(graph.at(3).startsWith("  s_홈_화면[\""));
    EXPECT_EQ(graph.last(), "  s_home_tab_1 -->|\"go\"| s_홈_화면");
}

// An id is made a whole character at a time: a letter with a combining mark
// stays as it is, and a character of two code units, an emoji with its
// modifier, becomes one "_".
TEST(FlowGraph, NodeIdsTakeWholeCharacters)
{
    const QString accented = QString::fromUtf8("cafe\xCC\x81");
    const QString emoji = QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD");
    Plan plan;
    plan.screens = {screen(accented + emoji + "-1"), screen("b")};
    plan.transitions = {move("b", "@" + emoji + accented)};
    const QStringList graph = lines(Exporter::mermaid(plan, false));
    EXPECT_EQ(graph.at(1), "  ext__" + accented + "([\"" + emoji + accented + "\"])");
    EXPECT_TRUE(graph.at(2).startsWith("  s_" + accented + "__1[\""));
    EXPECT_EQ(graph.last(), "  s_b -->|\"go\"| ext__" + accented);
}

TEST(FlowGraph, CollidingKeysGetTheirOwnNodes)
{
    Plan plan;
    Screen dashed = screen("home-tab");
    Screen underscored = screen("home_tab");
    underscored.condition = Sourced{QUuid(), "조건", "spec"};
    Screen taken = screen("home_tab_2");
    plan.screens = {dashed, underscored, taken};
    plan.transitions = {move("home_tab", "home-tab"), move("home-tab", "home_tab_2"), move("home?tab", "home_tab")};
    const QString graph = Exporter::mermaid(plan, true);
    EXPECT_EQ(lines(graph).mid(1),
              (QStringList{"  s_home_tab[\"제목<br/><small>home-tab</small>\"]", "  click s_home_tab href \"#s-home-tab\"",
                           "  s_home_tab_2[\"제목<br/><small>home_tab</small>\"]", "  class s_home_tab_2 cond",
                           "  click s_home_tab_2 href \"#s-home_tab\"",
                           "  s_home_tab_2_2[\"제목<br/><small>home_tab_2</small>\"]",
                           "  click s_home_tab_2_2 href \"#s-home_tab_2\"", "  classDef cond stroke-dasharray: 4 3",
                           "  s_home_tab_2 -->|\"go\"| s_home_tab", "  s_home_tab -->|\"go\"| s_home_tab_2_2",
                           "  s_home_tab_3 -->|\"go\"| s_home_tab_2"}));
}

// A large plan's lines are made on the pool's threads; which look-alike key
// gets "_2" still follows the order the graph names them in, across pieces,
// and the graph is the same on one thread as on four.
TEST(FlowGraph, ManyCollidingKeysKeepTheirOrderOnAnyPool)
{
    Plan plan;
    constexpr int pairs = 150;
    for (int i = 0; i < pairs; ++i)
        plan.screens << screen(QStringLiteral("p-%1").arg(i)) << screen(QStringLiteral("p_%1").arg(i));
    for (int i = 0; i < pairs; ++i)
        plan.transitions << move(QStringLiteral("p_%1").arg(i), QStringLiteral("p-%1").arg((i + 1) % pairs))
                         << move(QStringLiteral("p?%1").arg(i), QStringLiteral("p_%1").arg(i));
    QThreadPool *const pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    QStringList graphs;
    for (const int poolThreads : {1, 4}) {
        pool->setMaxThreadCount(poolThreads);
        graphs << Exporter::mermaid(plan, false);
    }
    pool->setMaxThreadCount(threads);
    EXPECT_EQ(graphs[0], graphs[1]);
    const QStringList all = lines(graphs[0]);
    ASSERT_EQ(all.size(), 1 + 2 * pairs + 1 + 2 * pairs);
    for (int i = 0; i < pairs; ++i) {
        const QString n = QString::number(i);
        EXPECT_EQ(all[1 + 2 * i], "  s_p_" + n + "[\"제목<br/><small>p-" + n + "</small>\"]");
        EXPECT_EQ(all[2 + 2 * i], "  s_p_" + n + "_2[\"제목<br/><small>p_" + n + "</small>\"]");
        const QString next = QString::number((i + 1) % pairs);
        EXPECT_EQ(all[2 + 2 * pairs + 2 * i], "  s_p_" + n + "_2 -->|\"go\"| s_p_" + next);
        EXPECT_EQ(all[3 + 2 * pairs + 2 * i], "  s_p_" + n + "_3 -->|\"go\"| s_p_" + n + "_2");
    }
}

TEST(FlowGraph, ClickTargetsCannotBreakTheGraph)
{
    Plan plan;
    plan.screens = {screen("a \"b\"%\n\tc")};
    const QStringList graph = lines(Exporter::mermaid(plan, true));
    EXPECT_EQ(graph.size(), 4);
    EXPECT_EQ(graph.at(2), "  click s_a__b____c href \"#s-a%20%22b%22%25%0A%09c\"");
    // "#" would start one of the library's entities; other characters,
    // Hangul included, stay as they are for the page to decode.
    plan.screens = {screen("상세#1")};
    EXPECT_EQ(lines(Exporter::mermaid(plan, true)).at(2), "  click s_상세_1 href \"#s-상세%231\"");
}

TEST(FlowGraph, CanonicallyEqualKeysShareANode)
{
    const QString nfc = QString::fromUtf8("\xED\x99\x95");
    const QString nfd = QString::fromUtf8("\xE1\x84\x92\xE1\x85\xAA\xE1\x86\xA8");
    Plan plan;
    plan.screens = {screen(nfc), screen("b")};
    plan.transitions = {move("b", nfd)};
    EXPECT_EQ(edges(Exporter::mermaid(plan, false)), (QStringList{"  s_b -->|\"go\"| s_" + nfc}));
}

// Mermaid refuses a whole graph for one empty label: a move without a
// trigger (a splash screen going on after loading) is drawn without a
// label, and an outside place without a name is named.
TEST(FlowGraph, MovesWithoutTriggersAndNamelessPlacesKeepTheGraphDrawable)
{
    Plan plan;
    plan.screens = {screen("splash"), screen("home")};
    plan.transitions = {move("splash", "home", "push", ""), move("@", "home", "push", ""),
                        move("home", "@", "pop", " "), move("home", "splash", "push", "\n")};
    plan.transitions[2].popUpTo = "";
    for (const bool links : {false, true}) {
        const QString graph = Exporter::mermaid(plan, links);
        EXPECT_EQ(lines(graph).at(1), "  ext_([\"외부\"])");
        EXPECT_EQ(lines(graph).mid(lines(graph).size() - 4),
                  (QStringList{"  s_splash --> s_home", "  ext_ -->|\"진입\"| s_home", "  s_home -.-> ext_",
                               "  s_home --> s_splash"}));
        EXPECT_FALSE(graph.contains("\"\"")) << graph.toStdString();
    }
}
