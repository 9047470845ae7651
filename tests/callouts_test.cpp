#include "export/htmlpage.h"

#include <QLocale>
#include <QRegularExpression>
#include <clocale>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "support/qtprinters.h"

using namespace Qt::StringLiterals;

namespace {

StringKey placed(const QString &ko, double x, double y, const QString &frame = u"1:2"_s)
{
    StringKey s;
    s.key = u"k_"_s + ko;
    s.ko = ko;
    s.source = u"api"_s;
    s.frame = frame;
    s.box = StringKey::Box{x, y, 0.1, 0.05};
    return s;
}

StringKey loose(const QString &ko, const QString &key = QString())
{
    StringKey s;
    s.key = key;
    s.ko = ko;
    return s;
}

Screen screen(const QStringList &figmaNodes = {u"1:2"_s})
{
    Screen s;
    s.key = u"home"_s;
    s.title = u"홈"_s;
    s.figmaNodes = figmaNodes;
    s.image.before = u"img/home.png"_s;
    return s;
}

// The numbers of the callouts in one column, in the order written.
QStringList column(const QString &markup, const QString &side)
{
    const QString start = u"<div class=\"co-col "_s + side + u"\">"_s;
    const qsizetype from = markup.indexOf(start);
    const qsizetype to = side == u"l"_s ? markup.indexOf(u"<div class=\"co-img\">"_s) : markup.indexOf(u"<svg"_s);
    const QString part = markup.mid(from, to - from);
    QStringList texts;
    static const QRegularExpression ko(u"<div class=\"ko\">“([^”]*)”</div>"_s);
    for (const auto &match : ko.globalMatch(part))
        texts.append(match.captured(1));
    return texts;
}

// Number formatting must not follow the user's locale.
class GermanLocale : public testing::Test
{
protected:
    void SetUp() override
    {
        m_previous = std::setlocale(LC_ALL, nullptr);
        std::setlocale(LC_ALL, "de_DE.UTF-8");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    }
    void TearDown() override
    {
        QLocale::setDefault(QLocale::c());
        std::setlocale(LC_ALL, m_previous.c_str());
    }

private:
    std::string m_previous;
};

} // namespace

TEST(Callouts, SmallBlockMarkup)
{
    StringKey title = placed(u"제목"_s, 0.05, 0.125);
    title.box->w = 0.9;
    title.box->h = 0.03;
    const QList<StringKey> strings = {title, loose(u"a<b"_s)};
    EXPECT_EQ(HTMLPage::callouts(screen(), strings),
              u"<div class=\"callouts\"><div class=\"co-col l\">"
              "<div class=\"co ok\" data-n=\"1\" data-side=\"l\"><div class=\"coh\"><b class=\"no\">1</b>"
              "<span class=\"chip ok\">워드민트</span><span class=\"st\">키 적용 완료</span></div>"
              "<code>k_제목</code><div class=\"ko\">“제목”</div></div>"
              "</div><div class=\"co-img\"><img class=\"\" data-src=\"img/home.png\" alt=\"홈\">"
              "<noscript><img class=\"\" src=\"img/home.png\" alt=\"홈\"></noscript>"
              "<span class=\"mk ok\" data-n=\"1\" style=\"left:5.00%;top:12.50%;width:90.00%;height:3.00%\"><b>1</b></span>"
              "</div><div class=\"co-col r\">"
              "<div class=\"co need\"><div class=\"coh\"><span class=\"chip need\">키 필요</span>"
              "<span class=\"st\">하드코딩 + TODO</span></div><div class=\"ko\">“a&lt;b”</div>"
              "<div class=\"where\">이미지에서 위치를 찾지 못했어요</div></div>"
              "</div><svg class=\"co-lines\" aria-hidden=\"true\"></svg></div>"_s);
}

TEST(Callouts, NumberedTopToBottomThenLeftToRightAlternatingSides)
{
    const QList<StringKey> strings = {placed(u"A"_s, 0, 0.5), placed(u"B"_s, 0.6, 0.1), placed(u"C"_s, 0.2, 0.1)};
    const QString markup = HTMLPage::callouts(screen(), strings);
    EXPECT_EQ(column(markup, u"l"_s), QStringList({u"C"_s, u"A"_s}));
    EXPECT_EQ(column(markup, u"r"_s), QStringList({u"B"_s}));
    EXPECT_TRUE(markup.contains(u"data-n=\"1\" data-side=\"l\"><div class=\"coh\"><b class=\"no\">1</b>"
                                "<span class=\"chip ok\">워드민트</span><span class=\"st\">키 적용 완료</span></div><code>k_C</code>"_s));
    EXPECT_TRUE(markup.contains(u"data-n=\"2\" data-side=\"r\"><div class=\"coh\"><b class=\"no\">2</b>"
                                "<span class=\"chip ok\">워드민트</span><span class=\"st\">키 적용 완료</span></div><code>k_B</code>"_s));
    EXPECT_TRUE(markup.contains(u"data-n=\"3\" data-side=\"l\""_s));
    // Marks follow the numbering: C's box first.
    const qsizetype first = markup.indexOf(u"<span class=\"mk ok\" data-n=\"1\" style=\"left:20.00%;top:10.00%"_s);
    const qsizetype third = markup.indexOf(u"<span class=\"mk ok\" data-n=\"3\" style=\"left:0.00%;top:50.00%"_s);
    EXPECT_GT(first, 0);
    EXPECT_GT(third, first);
}

TEST(Callouts, IdenticalBoxesKeepPlanOrder)
{
    const QList<StringKey> strings = {placed(u"one"_s, 0.3, 0.3), placed(u"two"_s, 0.3, 0.3), placed(u"three"_s, 0.3, 0.3),
                                      placed(u"four"_s, 0.3, 0.3)};
    const QString markup = HTMLPage::callouts(screen(), strings);
    EXPECT_EQ(column(markup, u"l"_s), QStringList({u"one"_s, u"three"_s}));
    EXPECT_EQ(column(markup, u"r"_s), QStringList({u"two"_s, u"four"_s}));
}

TEST(Callouts, OtherFrameOrMissingBoxIsUnplacedAfterNumberedOnes)
{
    StringKey noBox = placed(u"nobox"_s, 0, 0);
    noBox.box.reset();
    const QList<StringKey> strings = {placed(u"elsewhere"_s, 0, 0, u"9:9"_s), noBox, placed(u"p1"_s, 0, 0.2),
                                      placed(u"p2"_s, 0, 0.4)};
    const QString markup = HTMLPage::callouts(screen(), strings);
    EXPECT_EQ(column(markup, u"l"_s), QStringList({u"p1"_s}));
    EXPECT_EQ(column(markup, u"r"_s), QStringList({u"p2"_s, u"elsewhere"_s, u"nobox"_s}));
    EXPECT_EQ(markup.count(u"class=\"mk "_s), 2);
    EXPECT_EQ(markup.count(u"이미지에서 위치를 찾지 못했어요"_s), 2);
}

TEST(Callouts, ScreenWithoutDesignNodeOrImage)
{
    Screen s = screen({});
    s.image.before = QString();
    const QList<StringKey> strings = {loose(u"하나"_s), loose(u"둘"_s, u"two"_s)};
    const QString markup = HTMLPage::callouts(s, strings);
    EXPECT_TRUE(markup.startsWith(u"<div class=\"callouts\"><div class=\"co-col l\"></div><div class=\"co-img\">"
                                  "<div class=\"ph \"><b>이미지 없음</b>홈</div></div><div class=\"co-col r\">"_s));
    EXPECT_EQ(column(markup, u"r"_s), QStringList({u"하나"_s, u"둘"_s}));

    // Marks are still drawn over the placeholder.
    s.figmaNodes = {u"1:2"_s};
    s.image.before.reset();
    EXPECT_TRUE(HTMLPage::callouts(s, {placed(u"x"_s, 0.5, 0.5)})
                    .contains(u"<div class=\"ph \"><b>이미지 없음</b>홈</div><span class=\"mk ok\" data-n=\"1\""_s));
}

TEST(Callouts, KeyStates)
{
    StringKey inferred = loose(u"추정"_s, u"guess\"key"_s);
    inferred.source = u"inferred"_s;
    StringKey spec = loose(u"기획"_s, u"spec_key"_s);
    spec.source = u"spec"_s;
    const QString markup = HTMLPage::callouts(screen(), {inferred, spec, loose(u"없음"_s)});
    EXPECT_TRUE(markup.contains(u"<div class=\"co ok\"><div class=\"coh\"><span class=\"chip ok\">워드민트</span>"
                                "<span class=\"st warn\">키 확인 필요</span></div><code>guess&quot;key</code>"_s));
    EXPECT_TRUE(markup.contains(u"<span class=\"st\">키 적용 완료</span></div><code>spec_key</code>"_s));
    EXPECT_TRUE(markup.contains(u"<div class=\"co need\"><div class=\"coh\"><span class=\"chip need\">키 필요</span>"
                                "<span class=\"st\">하드코딩 + TODO</span></div><div class=\"ko\">“없음”</div>"_s));
}

TEST(Callouts, ImagePathIsWrittenEscapedAsThePlanHoldsIt)
{
    Screen s = screen();
    s.image.before = u"https://example.com/a.png?x=1&y=\"2\""_s;
    EXPECT_TRUE(HTMLPage::callouts(s, {loose(u"a"_s)})
                    .contains(u"<img class=\"\" src=\"https://example.com/a.png?x=1&amp;y=&quot;2&quot;\" alt=\"홈\">"_s));
}

TEST(Callouts, BoxWithoutSizeNeitherBreaksOrderNorCrashes)
{
    StringKey broken = placed(u"nan"_s, 0.1, std::nan(""));
    const QList<StringKey> strings = {broken, placed(u"b"_s, 0.1, 0.9), placed(u"a"_s, 0.1, 0.2), placed(u"c"_s, 0.1, 0.95)};
    const QString markup = HTMLPage::callouts(screen(), strings);
    EXPECT_EQ(column(markup, u"l"_s), QStringList({u"a"_s, u"c"_s}));
    EXPECT_EQ(column(markup, u"r"_s), QStringList({u"b"_s, u"nan"_s}));
}

TEST(Callouts, PositionsOutOfTheUsualRangeAreWrittenInFull)
{
    StringKey s = placed(u"x"_s, 1e300, std::nan(""));
    s.box->w = std::numeric_limits<double>::infinity();
    s.box->h = -1e20;
    const QString markup = HTMLPage::callouts(screen(), {s});
    const QString left = Text::fixed(1e302, 2);
    EXPECT_EQ(left.size(), 306);
    EXPECT_TRUE(markup.contains(u"style=\"left:"_s + left
                                + u"%;top:nan%;width:inf%;height:-10000000000000000000000.00%\""_s))
        << markup.toStdString();
}

TEST_F(GermanLocale, PositionsArePercentagesWithAPoint)
{
    StringKey s = placed(u"x"_s, 0.1234, -0.05);
    s.box->w = 1.5;
    s.box->h = 0.00001;
    const QString markup = HTMLPage::callouts(screen(), {s});
    EXPECT_TRUE(markup.contains(u"style=\"left:12.34%;top:-5.00%;width:150.00%;height:0.00%\""_s)) << markup.toStdString();
    EXPECT_EQ(QLocale().toString(1.5, 'f', 2), u"1,50"_s);
}
