#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QUrl>
#include <QVariant>
#include <optional>

// This file names no printer itself: the test targets give every test file
// the printers of Qt's values, and a failed check reads as text.

TEST(QtPrinters, FailuresShowQtValuesAsText)
{
    using testing::PrintToString;
    EXPECT_EQ(PrintToString(QStringLiteral("수정하기")), "\"수정하기\"");
    EXPECT_EQ(PrintToString(QStringList{QStringLiteral("가"), QStringLiteral("b")}), "{\n  \"가\",\n  \"b\"\n}");
    EXPECT_EQ(PrintToString(std::optional<QString>(QStringLiteral("토스트"))), "(\"토스트\")");
    EXPECT_EQ(PrintToString(QByteArray("a\"\\\n\x01\xEA\xB0\x80")), "b\"a\\\"\\\\\\x0A\\x01\xEA\xB0\x80\"");
    // The posted bodies of a page: a JSON array of objects.
    const QJsonArray posted{QJsonObject{{"id", "D1"}, {"choice", "예"}}, QJsonObject{{"clear", true}}};
    EXPECT_EQ(PrintToString(posted), R"([{"choice":"예","id":"D1"},{"clear":true}])");
    EXPECT_EQ(PrintToString(posted.at(1)), R"({"clear":true})");
    EXPECT_EQ(PrintToString(QJsonValue(QStringLiteral("x"))), "\"x\"");
    EXPECT_EQ(PrintToString(QList<QUrl>{QUrl("https://example.com/a?b=1")}), "{ QUrl(\"https://example.com/a?b=1\") }");
    EXPECT_EQ(PrintToString(QVariant(3)), "QVariant(int, \"3\")");
    EXPECT_EQ(PrintToString(QVariant()), "QVariant(invalid, \"\")");
    EXPECT_EQ(PrintToString(QSize(980, 640)), "980x640");
    EXPECT_EQ(PrintToString(QRect(1, 2, 30, 40)), "30x40+1+2");
    EXPECT_EQ(PrintToString(QPoint(-3, 4)), "(-3, 4)");
}
