#include "core/text.h"

#include <QLocale>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

TEST(Text, CountsUserPerceivedCharacters)
{
    EXPECT_EQ(Text::graphemeCount(QString()), 0);
    EXPECT_EQ(Text::graphemeCount(QString::fromUtf8("한글")), 2);
    // Decomposed Hangul (jamo) and a family emoji are one character each.
    EXPECT_EQ(Text::graphemeCount(QString::fromUtf8("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB")), 1);
    EXPECT_EQ(Text::graphemeCount(QString::fromUtf8("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7")), 1);
    EXPECT_EQ(Text::graphemeCount(QString::fromUtf8("e\xCC\x81x")), 2);
    // Plain ASCII is a character each; CR LF is one, and a mark joins the
    // letter before it.
    QString ascii;
    for (char16_t c = 0x20; c < 0x7F; ++c)
        ascii += QChar(c);
    EXPECT_EQ(Text::graphemeCount(ascii), ascii.size());
    EXPECT_EQ(Text::graphemes(u"a\r\nb"_qs), (QStringList{u"a"_qs, u"\r\n"_qs, u"b"_qs}));
    EXPECT_EQ(Text::graphemes(u"ab\u0301c"_qs), (QStringList{u"a"_qs, u"b\u0301"_qs, u"c"_qs}));
    // Hangul syllables are a character each, but a trailing jamo or a mark
    // after one joins it.
    EXPECT_EQ(Text::graphemes(u"가 나"_qs), (QStringList{u"가"_qs, u" "_qs, u"나"_qs}));
    EXPECT_EQ(Text::graphemes(u"가\u11A8나"_qs), (QStringList{u"가\u11A8"_qs, u"나"_qs}));
    EXPECT_EQ(Text::graphemeCount(u"하\u11AB다\u0301"_qs), 2);
}

TEST(Text, CutsWholeCharacters)
{
    const QString text = QString::fromUtf8("e\xCC\x81\xF0\x9F\x98\x80z");
    EXPECT_EQ(Text::graphemePrefix(text, 1), QString::fromUtf8("e\xCC\x81"));
    EXPECT_EQ(Text::graphemePrefix(text, 2), QString::fromUtf8("e\xCC\x81\xF0\x9F\x98\x80"));
    EXPECT_EQ(Text::graphemePrefix(text, 9), text);
    EXPECT_EQ(Text::graphemePrefix(text, 0), QString());
    EXPECT_EQ(Text::graphemes(text).size(), 3);
}

TEST(Text, ComparesByCanonicalEquivalence)
{
    const QString nfc = QString::fromUtf8("\xEA\xB0\x80");           // 가
    const QString nfd = QString::fromUtf8("\xE1\x84\x80\xE1\x85\xA1"); // ᄀ + ᅡ
    EXPECT_NE(nfc, nfd);
    EXPECT_TRUE(Text::canonicalEqual(nfc, nfd));
    EXPECT_EQ(Text::canonicalHash(nfc), Text::canonicalHash(nfd));
    EXPECT_FALSE(Text::canonicalEqual(nfc, QString::fromUtf8("나")));
    // A precomposed syllable followed by a trailing consonant jamo composes.
    EXPECT_TRUE(Text::canonicalEqual(nfc + QChar(0x11A8), QString::fromUtf8("각")));
    EXPECT_EQ(Text::canonicalKey(nfc + QChar(0x11A8)), QString::fromUtf8("각"));
    // A Latin letter followed by a combining accent.
    EXPECT_TRUE(Text::canonicalEqual(QString::fromUtf8("Cafe\xCC\x81"), QString::fromUtf8("Caf\xC3\xA9")));
}

TEST(Text, OrdersByCodePointNotUtf16)
{
    const QString astral = QString::fromUtf8("\xF0\x9F\x98\x80"); // U+1F600
    const QString bmpHigh = QString::fromUtf8("\xEF\xBD\x81");    // U+FF41
    EXPECT_TRUE(Text::codePointLess(bmpHigh, astral));
    EXPECT_FALSE(Text::codePointLess(astral, bmpHigh));
    QStringList list{astral, bmpHigh, "b", "a", ""};
    Text::sortByCodePoint(list);
    EXPECT_EQ(list, (QStringList{"", "a", "b", bmpHigh, astral}));
}

TEST(Text, DecodesUtf8Strictly)
{
    EXPECT_EQ(Text::decodeUtf8Strict(QByteArray("\xED\x99\x94")), std::optional<QString>(QString::fromUtf8("화")));
    EXPECT_FALSE(Text::decodeUtf8Strict(QByteArray("ab\xFF")).has_value());
    EXPECT_FALSE(Text::decodeUtf8Strict(QByteArray("\xED\x99")).has_value());
    EXPECT_EQ(Text::decodeUtf8Strict(QByteArray()), std::optional<QString>(QString()));
}

TEST(Text, FormatsNumbersWithoutTheLocale)
{
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(Text::fixed(12.5, 2), QStringLiteral("12.50"));
    EXPECT_EQ(Text::fixed(0.049, 2), QStringLiteral("0.05"));
    EXPECT_EQ(Text::fixed(1234567.0, 0), QStringLiteral("1234567"));
    // Exact ties round like printf, to the even neighbour.
    EXPECT_EQ(Text::fixed(12.5, 0), QStringLiteral("12"));
    EXPECT_EQ(Text::fixed(13.5, 0), QStringLiteral("14"));
    EXPECT_EQ(Text::shortest(0.1), QStringLiteral("0.1"));
    QLocale::setDefault(QLocale::c());
}

// Text from a plan, a page or Claude reaches a terminal or a file name with
// no control character acting: each is shown by its code; line feeds and
// tabs stay only in text shown as several lines.
TEST(Text, ShowsControlCharactersAsTheirCodes)
{
    struct Row {
        QString text;
        QString line;
        QString lines;
    };
    const QList<Row> rows{
        {"화면 A", "화면 A", "화면 A"},
        {"\x1b[2J지움", "\\x1B[2J지움", "\\x1B[2J지움"},
        {"제목\n가져왔어요: /x", "제목\\x0A가져왔어요: /x", "제목\n가져왔어요: /x"},
        {"a\tb\rc", "a\\x09b\\x0Dc", "a\tb\\x0Dc"},
        {QStringLiteral("c1\u009b31m del\u007f"), "c1\\x9B31m del\\x7F", "c1\\x9B31m del\\x7F"},
        {QStringLiteral("nul") + QChar(0), "nul\\x00", "nul\\x00"},
        {"é·한글 ✓", "é·한글 ✓", "é·한글 ✓"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(Text::printable(row.text), row.line) << row.text.toStdString();
        EXPECT_EQ(Text::printable(row.text, true), row.lines) << row.text.toStdString();
        EXPECT_EQ(Text::hasControl(row.text), row.text != row.line);
    }
}
