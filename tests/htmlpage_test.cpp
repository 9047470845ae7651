#include "export/htmlpage.h"

#include "core/jsoncoding.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <limits>

namespace {

QByteArray readFixture(const QString &name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

Plan fixturePlan(const QString &name)
{
    return Plan::decode(readFixture(name));
}

QByteArray render(const Plan &plan, const HTMLPage::Assets &assets = {})
{
    return HTMLPage::render(plan, Conventions::builtIn(), assets);
}

// The text between a block's opening tag and the next "</script>".
QByteArray block(const QByteArray &page, const QByteArray &id)
{
    const QByteArray open = "id=\"" + id + "\">";
    const qsizetype start = page.indexOf(open);
    if (start < 0)
        return {};
    const qsizetype from = start + open.size();
    return page.mid(from, page.indexOf("</script>", from) - from);
}

Decision decision(const QString &key, const QStringList &options, const QString &proposal)
{
    Decision d;
    d.key = key;
    d.question = QStringLiteral("질문 ") + key;
    d.options = options;
    d.proposal = proposal;
    return d;
}

QByteArray between(const QByteArray &page, const QByteArray &from, const QByteArray &to)
{
    const qsizetype start = page.indexOf(from);
    if (start < 0)
        return {};
    return page.mid(start, page.indexOf(to, start) + to.size() - start);
}

} // namespace

TEST(HTMLPageRender, SmallPlanMatchesTheGoldenPage)
{
    const HTMLPage::Assets assets{{QStringLiteral("img/node-1-3.png"), "data:image/png;base64,iVBORw0K/+8="}};
    const QByteArray page = render(fixturePlan(QStringLiteral("page/small-plan.json")), assets);
    const QByteArray golden = readFixture(QStringLiteral("page/small-index.html"));
    if (page != golden) {
        QFile actual(QStringLiteral(QUARRYSTONE_BUILD_DIR "/small-index.actual.html"));
        if (actual.open(QIODevice::WriteOnly))
            actual.write(page);
    }
    EXPECT_TRUE(page == golden) << "differs from the golden page; this run's page is in " QUARRYSTONE_BUILD_DIR;
}

TEST(HTMLPageRender, MarkerComesEarlyAndPageEndsWithoutLineFeed)
{
    Plan plan = fixturePlan(QStringLiteral("plan/rich-plan.json"));
    plan.meta.title = QString(5000, u'가');
    const QByteArray page = render(plan);
    const qsizetype marker = page.indexOf("<meta name=\"generator\" content=\"quarrystone\">");
    ASSERT_GE(marker, 0);
    EXPECT_LT(marker + 45, 4096);
    EXPECT_TRUE(page.startsWith("<!doctype html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n"));
    EXPECT_TRUE(page.endsWith("></script>\n</body>\n</html>"));
    EXPECT_EQ(page.count("id=\"quarrystone-plan\">"), 1);
}

TEST(HTMLPageRender, PlanBlockIsScriptSafeAndReadsBack)
{
    Plan plan = fixturePlan(QStringLiteral("plan/rich-plan.json"));
    plan.meta.title = QStringLiteral("보기</script><script>alert(1)</script>");
    plan.screens[0].title = QStringLiteral("a/b <i>");
    const QByteArray page = render(plan);
    const QByteArray json = block(page, "quarrystone-plan");

    EXPECT_TRUE(json.contains("\\u003c\\/script>\\u003cscript>alert(1)\\u003c\\/script>"));
    EXPECT_TRUE(json.contains("a\\/b \\u003ci>"));
    EXPECT_FALSE(json.contains('<'));
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    ASSERT_TRUE(doc.isObject());
    EXPECT_EQ(JSONCoding::compact(doc.object()), JSONCoding::compact(plan));
    // The visible page shows the same texts as characters, never as markup.
    EXPECT_TRUE(page.contains("<h1>보기&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt; 개발 계획서</h1>"));
}

TEST(HTMLPageRender, UnencodablePlanGivesAnEmptyObject)
{
    Plan plan = fixturePlan(QStringLiteral("plan/rich-plan.json"));
    plan.strings[0].box = StringKey::Box{std::numeric_limits<double>::infinity(), 0, 1, 1};
    EXPECT_EQ(block(render(plan), "quarrystone-plan"), "{}");
}

TEST(HTMLPageRender, ImageBlockOnlyWithImages)
{
    const Plan plan = fixturePlan(QStringLiteral("page/small-plan.json"));
    const QByteArray without = render(plan);
    EXPECT_FALSE(without.contains("id=\"quarrystone-img\""));
    EXPECT_TRUE(without.contains("</script>\n\n<script>"));

    const HTMLPage::Assets assets{{QStringLiteral("img/a<b>.png"), "data:image/png;base64,AB/+"},
                                  {QStringLiteral("img/c.jpg"), "data:image/jpeg;base64,CD=="}};
    const QByteArray with = render(plan, assets);
    EXPECT_EQ(block(with, "quarrystone-img"),
              "{\"img\\/a\\u003cb>.png\":\"data:image\\/png;base64,AB\\/+\",\"img\\/c.jpg\":\"data:image\\/jpeg;base64,CD==\"}");
    EXPECT_TRUE(with.contains("</script>\n<script type=\"application/json\" id=\"quarrystone-img\">"));

    const HTMLPage::Assets broken{{QStringLiteral("img/a.png"), QByteArray("data:\xff\xfe")}};
    EXPECT_EQ(block(render(plan, broken), "quarrystone-img"), "{}");
}

// A picture's entry, encoded straight from its bytes, is the entry of its
// data URL, whatever bytes are left over after the whole 3-byte groups and
// however many of its characters are "/".
TEST(HTMLPageRender, PictureEntryIsItsDataUrlsEntry)
{
    QByteArray bytes;
    for (int n = 0; n < 3 * 4096 + 2; ++n)
        bytes += char(n * 37 % 251 | (n % 7 == 0 ? 0xfc : 0));
    ASSERT_GT(bytes.toBase64().count('/'), 100);
    // Every 12 bits, so every pair of characters, in both halves of a group.
    QByteArray everyPair;
    for (uint bits = 0; bits < 4096; ++bits) {
        const uint group = bits << 12 | (4095 - bits);
        everyPair += char(group >> 16);
        everyPair += char(group >> 8);
        everyPair += char(group);
    }
    const QList<QByteArray> pictures{bytes.left(0), bytes.left(1), bytes.left(2), bytes.left(3), bytes.left(4),
                                     bytes.left(5), bytes.left(3 * 4096), bytes.left(3 * 4096 + 1), bytes,
                                     everyPair, everyPair + "\xfc", everyPair + "\xfc\xff"};
    for (const QByteArray &picture : pictures) {
        const QByteArray url = "data:image/png;base64," + picture.toBase64();
        EXPECT_EQ(HTMLPage::imageEntry(QStringLiteral("img/a<b>.png"), "image/png", picture),
                  HTMLPage::imageEntry(QStringLiteral("img/a<b>.png"), url))
            << picture.size();
    }
}

TEST(HTMLPageRender, HeadingTakesTheFeatureAndKeepsAPlanTitle)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("HarborClips");
    EXPECT_TRUE(render(plan).contains("<title>HarborClips 개발 계획서</title>"));
    plan.meta.title = QStringLiteral("클립 개발 계획서");
    EXPECT_TRUE(render(plan).contains("<h1>클립 개발 계획서</h1>"));
    // The same ending in decomposed Hangul is the same text.
    plan.meta.title = QStringLiteral("클립 계획서").normalized(QString::NormalizationForm_D);
    EXPECT_TRUE(render(plan).contains("<h1>" + plan.meta.title.toUtf8() + "</h1>"));
    plan.meta = Meta{};
    EXPECT_TRUE(render(plan).contains("<title> 개발 계획서</title>"));
}

TEST(HTMLPageRender, PillsWarnOnlyForWorkLeft)
{
    Plan plan;
    const QByteArray empty = render(plan);
    EXPECT_TRUE(empty.contains("<span class=\"pill \">미결정 <strong>0건</strong></span>"));
    EXPECT_FALSE(empty.contains("워드민트 키 필요"));
    EXPECT_TRUE(empty.contains("<span class=\"pill\">모듈 <strong> / </strong></span>"));
    EXPECT_FALSE(empty.contains(">진입 <strong>"));

    StringKey keyed;
    keyed.key = QStringLiteral("ac_a");
    plan.strings = {keyed};
    EXPECT_TRUE(render(plan).contains("<span class=\"pill \">워드민트 키 필요 <strong>0건</strong></span>"));
    plan.strings.append(StringKey{});
    plan.decisions = {decision(QStringLiteral("D1"), {}, {})};
    const QByteArray page = render(plan);
    EXPECT_TRUE(page.contains("<span class=\"pill warnpill\">워드민트 키 필요 <strong>1건</strong></span>"));
    EXPECT_TRUE(page.contains("<span class=\"pill warnpill\">미결정 <strong>1건</strong></span>"));
    EXPECT_TRUE(page.contains("<p class=\"lead warn\">1건이 남아 있어요."));
}

TEST(HTMLPageRender, DecisionArticles)
{
    Plan plan;
    Screen screen;
    screen.key = QStringLiteral("list");
    screen.title = QStringLiteral("목록 <화면>");
    plan.screens = {screen};

    Decision open = decision(QStringLiteral("D1"), {QStringLiteral("빈 화면"), QStringLiteral("\"숨기기\"")},
                             QStringLiteral("빈 화면"));
    open.screens = {QStringLiteral("list"), QStringLiteral("@dashboard"), QStringLiteral("gone")};
    Decision decided = decision(QStringLiteral("D2"), {}, QStringLiteral("묻기"));
    decided.status = QStringLiteral("decided");
    plan.decisions = {open, decided};
    const QByteArray page = render(plan);

    const QByteArray first = between(page, "<article class=\"decision \">", "</article>");
    EXPECT_TRUE(first.contains("<p class=\"ctx\">화면: 목록 &lt;화면&gt;, dashboard, gone</p>"));
    EXPECT_TRUE(first.contains("<li>빈 화면 <span class=\"inf\">제안</span></li><li>&quot;숨기기&quot;</li>"));
    EXPECT_TRUE(first.contains("<div class=\"dpick\" data-id=\"D1\"><button type=\"button\" class=\"opt\" data-o=\"빈 화면\">"
                               "빈 화면 <span class=\"inf\">제안</span></button>"));
    EXPECT_TRUE(first.contains("data-o=\"&quot;숨기기&quot;\">&quot;숨기기&quot;</button>"));
    EXPECT_FALSE(first.contains("제안: "));

    const QByteArray second = between(page, "<article class=\"decision done\">", "</article>");
    EXPECT_FALSE(second.contains("dpick"));
    EXPECT_TRUE(second.contains("<p>제안: 묻기</p><p class=\"res\">✅ 결정됨 <small></small></p></article>"));
    EXPECT_FALSE(page.contains("모두 결정됐어요."));

    plan.decisions = {decided};
    plan.decisions[0].result = QStringLiteral("묻기");
    plan.decisions[0].decidedAt = QStringLiteral("2026-01-01");
    const QByteArray allDone = render(plan);
    EXPECT_TRUE(allDone.contains("<p class=\"lead\">모두 결정됐어요.</p>"));
    EXPECT_TRUE(allDone.contains("✅ 묻기 <small>2026-01-01</small>"));
}

TEST(HTMLPageRender, ByLineLinksOnlyToTheWeb)
{
    Plan plan;
    plan.meta.createdBy = QStringLiteral("김하늘");
    plan.meta.figma.nodeId = QStringLiteral("1:2");

    plan.meta.figma.url = QStringLiteral("HTTPS://www.figma.com/design/x?a=1&b=\"2\"");
    EXPECT_TRUE(render(plan).contains("<p class=\"by\"><a href=\"HTTPS://www.figma.com/design/x?a=1&amp;b=&quot;2&quot;\">"
                                      "피그마 원본</a> · 노드 <code>1:2</code> · 김하늘 · "));

    // Without a web address only the link goes; the node id is plain text.
    for (const QString &url : {QStringLiteral("javascript:alert(1)"), QStringLiteral("file:///etc/passwd"),
                               QStringLiteral(" https://x.test")}) {
        plan.meta.figma.url = url;
        const QByteArray page = render(plan);
        EXPECT_TRUE(page.contains("<p class=\"by\">노드 <code>1:2</code> · 김하늘 ·  · 개발 전</p>")) << url.toStdString();
        EXPECT_FALSE(page.contains("<a href=\"" + url.toUtf8())) << url.toStdString();
        EXPECT_FALSE(page.contains("피그마 원본")) << url.toStdString();
    }
    plan.meta.figma.url.clear();
    EXPECT_TRUE(render(plan).contains("<p class=\"by\">김하늘 ·  · 개발 전</p>"));
    plan.meta.stage = QStringLiteral("after-dev");
    EXPECT_TRUE(render(plan).contains("김하늘 ·  · 개발 후</p>"));
}

TEST(HTMLPageRender, DataTabsFollowWhatThePlanHas)
{
    Plan plan;
    const QByteArray bare = render(plan);
    EXPECT_TRUE(bare.contains("<nav class=\"dtabs\" aria-label=\"모델·API\"><button data-d=\"common\" aria-pressed=\"true\">"
                              "공통 모델 <span class=\"n\">0</span></button></nav>"));
    EXPECT_TRUE(bare.contains("<div class=\"dpanel\" data-d=\"common\"><p class=\"lead\">앱이 만들어"));
    EXPECT_TRUE(bare.contains("<p class=\"lead\">없음</p></div></section>"));

    const QByteArray rich = render(fixturePlan(QStringLiteral("plan/rich-plan.json")));
    EXPECT_TRUE(rich.contains("<button data-d=\"api\" aria-pressed=\"false\">API <span class=\"n\">2</span></button>"));
    EXPECT_TRUE(rich.contains("<div class=\"dpanel\" data-d=\"api\" hidden><p class=\"lead\">화면이 부르는 API 예요. "
                              "요청은 Path·Query·Header·Body(payload)로 나눠 적었어요. “필요” 1개는 서버에 새로 요청할 API 예요.</p>"
                              "<div class=\"models apis\">"));
    EXPECT_TRUE(rich.contains("<button data-d=\"resp\" aria-pressed=\"false\">응답 모델"));
    EXPECT_TRUE(rich.contains("<div class=\"dpanel\" data-d=\"resp\" hidden>"));
}
