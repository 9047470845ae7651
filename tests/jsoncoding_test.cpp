#include "core/jsoncoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QThreadPool>
#include <gtest/gtest.h>
#include <limits>

namespace {

QByteArray pretty(const QJsonValue &v)
{
    return JSONCoding::pretty(v);
}

} // namespace

TEST(JSONCoding, SortsKeysByCodePointAtEveryDepth)
{
    QJsonObject inner{{"b", 1}, {"a", 2}, {QString::fromUtf8("\xF0\x9F\x98\x80"), 3}, {QString::fromUtf8("\xEF\xBD\x81"), 4}};
    QJsonObject outer{{"z", inner}, {"m", QJsonArray{QJsonObject{{"y", true}, {"x", false}}}}};
    const QByteArray expected = "{\n"
                                "  \"m\" : [\n"
                                "    {\n"
                                "      \"x\" : false,\n"
                                "      \"y\" : true\n"
                                "    }\n"
                                "  ],\n"
                                "  \"z\" : {\n"
                                "    \"a\" : 2,\n"
                                "    \"b\" : 1,\n"
                                "    \"\xEF\xBD\x81\" : 4,\n"
                                "    \"\xF0\x9F\x98\x80\" : 3\n"
                                "  }\n"
                                "}";
    EXPECT_EQ(pretty(outer), expected);
}

TEST(JSONCoding, LeavesSlashesAndNonAsciiAlone)
{
    QJsonObject o{{"url", "https://example.com/a/b"}, {"ko", QString::fromUtf8("화면")}};
    EXPECT_EQ(JSONCoding::compact(o), QByteArray("{\"ko\":\"\xED\x99\x94\xEB\xA9\xB4\",\"url\":\"https://example.com/a/b\"}"));
}

TEST(JSONCoding, EscapesControlCharactersAndQuotes)
{
    EXPECT_EQ(JSONCoding::quoted(QString::fromUtf8("a\"b\\c\n\t\x01")), QByteArray("\"a\\\"b\\\\c\\n\\t\\u0001\""));
}

TEST(JSONCoding, WritesWholeNumbersWithoutFraction)
{
    QJsonArray a{0, 1.0, -3, 0.25, 1e-7, 2.5};
    EXPECT_EQ(JSONCoding::compact(a), QByteArray("[0,1,-3,0.25,1e-07,2.5]"));
}

TEST(JSONCoding, EmptyContainers)
{
    QJsonObject o{{"list", QJsonArray()}, {"map", QJsonObject()}, {"text", ""}};
    EXPECT_EQ(pretty(o), QByteArray("{\n  \"list\" : [],\n  \"map\" : {},\n  \"text\" : \"\"\n}"));
}

TEST(JSONCoding, RefusesNumbersThatAreNotFinite)
{
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        QJsonObject o{{"box", QJsonObject{{"x", bad}}}};
        EXPECT_THROW(pretty(o), JSONCoding::EncodeError);
    }
}

TEST(JSONCoding, EscapesSlashesForEmbedding)
{
    const QJsonObject o{{"a/b", "https://x.test/p"}, {"n", 1.5}, {"ko", QString::fromUtf8("화면</s>")}};
    EXPECT_EQ(JSONCoding::compactEscapingSlashes(QJsonValue(o)),
              QByteArray("{\"a\\/b\":\"https:\\/\\/x.test\\/p\",\"ko\":\"\xED\x99\x94\xEB\xA9\xB4<\\/s>\",\"n\":1.5}"));

    QByteArray out = "x=";
    JSONCoding::appendCompactEscapingSlashes(out, {{"img/b.png", "data:image/png;base64,a/b+"}, {"\"q\"", "t\n"}});
    EXPECT_EQ(out, QByteArray("x={\"\\\"q\\\"\":\"t\\n\",\"img\\/b.png\":\"data:image\\/png;base64,a\\/b+\"}"));
}

TEST(JSONCoding, LongTextsSurviveQuotingAtEveryOffset)
{
    // Escapes land at every position of the eight-byte scan and across the
    // slice boundary of long texts.
    QString text;
    const QString alphabet = QString::fromUtf8("abc/\"\\\n\x01한+=xyz0123456789");
    for (int i = 0; i < 40000; ++i)
        text += alphabet.at((i * 7 + i / 13) % alphabet.size());
    text += QString::fromUtf8("\xF0\x9F\x98\x80");
    for (const bool slashes : {false, true}) {
        const QJsonObject object{{"t", text}};
        const QByteArray json = slashes ? JSONCoding::compactEscapingSlashes(object) : JSONCoding::compact(object);
        QJsonParseError error;
        const QJsonDocument back = QJsonDocument::fromJson(json, &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError);
        EXPECT_EQ(back.object().value("t").toString(), text);
        EXPECT_EQ(json.contains("\\/"), slashes);
        EXPECT_EQ(json.contains('/') && !json.contains("\\/"), !slashes);
    }
    // The page's plan block is made from the indented text: spaces and line
    // breaks go only where they are the writer's own.
    const QJsonObject nested{{" k / \"", text},
                             {"a", QJsonArray{u" a \\/ b "_qs, 1.5, QJsonObject{}, QJsonArray{}, QJsonObject{{"x", true}}}}};
    EXPECT_EQ(JSONCoding::compactedEscapingSlashes(JSONCoding::pretty(nested)),
              JSONCoding::compactEscapingSlashes(nested));
}

// A surrogate without its partner has no UTF-8 form; it must be written as
// its escape so that the text reads back the same, in values and in keys.
TEST(JSONCoding, LoneSurrogatesReadBackTheSame)
{
    const struct {
        const char *what;
        QString text;
        QByteArray literal;
    } cases[] = {
        {"high alone", QString(QChar(0xD800)), "\"\\ud800\""},
        {"low alone", QString(QChar(0xDFFF)), "\"\\udfff\""},
        {"between texts", u"가/"_qs + QChar(0xDBFF) + u"\"b"_qs, "\"\xEA\xB0\x80/\\udbff\\\"b\""},
        {"reversed pair", QString(QChar(0xDC00)) + QChar(0xD800), "\"\\udc00\\ud800\""},
        {"pair then lone", u"\U0001F600"_qs + QChar(0xD83D), "\"\xF0\x9F\x98\x80\\ud83d\""},
        {"high before high", QString(QChar(0xD83D)) + u"\U0001F600"_qs, "\"\\ud83d\xF0\x9F\x98\x80\""},
        // A long text is written in slices; a pair on a slice's edge stays one
        // character.
        {"pair on a long text's slice edge", QString(16383, u'a') + u"\U0001F600\n"_qs,
         "\"" + QByteArray(16383, 'a') + "\xF0\x9F\x98\x80\\n\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(JSONCoding::quoted(c.text), c.literal) << c.what;
        const QJsonObject object{{c.text, c.text}, {"k", QJsonArray{c.text}}};
        for (const QByteArray &json : {pretty(object), JSONCoding::compact(QJsonValue(object)),
                                       JSONCoding::compactEscapingSlashes(QJsonValue(object))}) {
            QJsonParseError error;
            const QJsonObject back = QJsonDocument::fromJson(json, &error).object();
            ASSERT_EQ(error.error, QJsonParseError::NoError) << c.what;
            EXPECT_FALSE(json.contains('?')) << c.what;
            EXPECT_EQ(back, object) << c.what;
            EXPECT_TRUE(back.keys().contains(c.text)) << c.what;
        }
    }
    QByteArray out;
    JSONCoding::appendCompactEscapingSlashes(out, {{QString(QChar(0xD800)) + "/x", "v"}});
    EXPECT_EQ(out, "{\"\\ud800\\/x\":\"v\"}");
}

// Long arrays are written in slices on the pool's threads and joined; the
// text must be the one element after another would give, whatever the
// length around a slice's edge and however many threads the pool has.
TEST(JSONCoding, LongArraysReadAsOneTextAtEveryLengthAndPoolSize)
{
    QThreadPool *const pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    for (const int poolThreads : {1, 4}) {
        pool->setMaxThreadCount(poolThreads);
        for (const qsizetype length : {1, 63, 64, 65, 127, 128, 129, 640, 641, 4097}) {
            QJsonArray list;
            QByteArray pretty = "{\n  \"list\" : [";
            QByteArray compact = "{\"list\":[";
            QByteArray escaped = compact;
            for (qsizetype i = 0; i < length; ++i) {
                const QByteArray n = QByteArray::number(i);
                list.append(QJsonObject{{"i", i}, {"s", QString("a/" + n)}});
                const QByteArray comma = i > 0 ? "," : "";
                pretty += comma + "\n    {\n      \"i\" : " + n + ",\n      \"s\" : \"a/" + n + "\"\n    }";
                compact += comma + "{\"i\":" + n + ",\"s\":\"a/" + n + "\"}";
                escaped += comma + "{\"i\":" + n + ",\"s\":\"a\\/" + n + "\"}";
            }
            pretty += "\n  ]\n}";
            compact += "]}";
            escaped += "]}";
            const QJsonObject object{{"list", list}};
            EXPECT_EQ(JSONCoding::pretty(QJsonValue(object)), pretty) << length << " on " << poolThreads;
            EXPECT_EQ(JSONCoding::compact(QJsonValue(object)), compact) << length << " on " << poolThreads;
            EXPECT_EQ(JSONCoding::compactEscapingSlashes(QJsonValue(object)), escaped) << length << " on " << poolThreads;
        }

        // Of two numbers that cannot be written, the first in the list is
        // the one reported, wherever the slices fall.
        const auto messageFor = [](const QJsonValue &v) {
            try {
                JSONCoding::compact(v);
            } catch (const JSONCoding::EncodeError &error) {
                return error.message;
            }
            return QString();
        };
        const double inf = std::numeric_limits<double>::infinity();
        const QString first = messageFor(QJsonArray{-inf});
        ASSERT_FALSE(first.isEmpty());
        ASSERT_NE(first, messageFor(QJsonArray{inf}));
        QJsonArray bad;
        for (int i = 0; i < 1000; ++i)
            bad.append(i == 70 ? QJsonValue(-inf) : i == 900 ? QJsonValue(inf) : QJsonValue(i));
        EXPECT_EQ(messageFor(QJsonObject{{"list", bad}}), first) << poolThreads;
    }
    pool->setMaxThreadCount(threads);
}
