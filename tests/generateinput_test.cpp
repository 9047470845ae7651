#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "model/generateinput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

namespace {

QJsonObject minimal()
{
    return QJsonObject{
        {"link", QJsonObject{{"fileKey", "K"}, {"nodeId", "1:2"}, {"url", "https://www.figma.com/design/K/T?node-id=1-2"}}},
        {"feature", "feed-detail"},
        {"title", QString::fromUtf8("피드 상세")},
        {"module", QJsonObject{{"android", "bazaar"}, {"androidFeatureDir", "feed"}, {"ios", "Bazaar"}, {"iosGroup", "Feed"}}},
        {"notes", ""},
        {"includeLabels", QJsonArray{"TO-BE"}},
    };
}

GenerateInput decoded(const QJsonObject &o)
{
    return GenerateInput::decode(QJsonDocument(o).toJson());
}

QJsonObject written(const GenerateInput &input)
{
    return QJsonDocument::fromJson(JSONCoding::pretty(input)).object();
}

} // namespace

TEST(GenerateInput, DocumentListsAreAbsentUnlessGiven)
{
    const GenerateInput bare = decoded(minimal());
    EXPECT_FALSE(bare.apiDocs.has_value());
    EXPECT_FALSE(bare.specDocs.has_value());
    EXPECT_EQ(written(bare).keys(), (QStringList{"feature", "includeLabels", "link", "module", "notes", "title"}));

    QJsonObject withNull = minimal();
    withNull.insert("apiDocs", QJsonValue::Null);
    withNull.insert("specDocs", QJsonArray{});
    const GenerateInput input = decoded(withNull);
    EXPECT_FALSE(input.apiDocs.has_value());
    ASSERT_TRUE(input.specDocs.has_value());
    EXPECT_TRUE(input.specDocs->isEmpty());
    EXPECT_EQ(written(input).value("specDocs"), QJsonArray{});
    EXPECT_FALSE(written(input).contains("apiDocs"));
}

TEST(GenerateInput, ModuleReadsTolerantlyInsideAStrictRequest)
{
    QJsonObject o = minimal();
    o.insert("module", QJsonObject{{"android", "bazaar"}, {"ios", 7}});
    const GenerateInput input = decoded(o);
    EXPECT_EQ(input.module.android, "bazaar");
    EXPECT_EQ(input.module.ios, "");
    EXPECT_EQ(input.module.iosGroup, "");

    o.insert("module", "bazaar");
    EXPECT_THROW(decoded(o), JSONDecodeError);
    o.remove("module");
    EXPECT_THROW(decoded(o), JSONDecodeError);
}

TEST(GenerateInput, MissingOrMistypedKeysFail)
{
    for (const char *key : {"link", "feature", "title", "notes", "includeLabels"}) {
        QJsonObject o = minimal();
        o.remove(key);
        EXPECT_THROW(decoded(o), JSONDecodeError) << key;
    }
    const std::pair<const char *, QJsonValue> mistyped[] = {
        {"feature", 1},
        {"notes", QJsonValue::Null},
        {"includeLabels", QJsonArray{"a", 1}},
        {"includeLabels", "a"},
        {"apiDocs", "doc.md"},
        {"specDocs", QJsonArray{QJsonValue::Null}},
        {"link", QJsonObject{{"fileKey", "K"}, {"url", "u"}}},
    };
    for (const auto &[key, value] : mistyped) {
        QJsonObject o = minimal();
        o.insert(key, value);
        EXPECT_THROW(decoded(o), JSONDecodeError) << key;
    }
    EXPECT_THROW(GenerateInput::decode("[]"), JSONDecodeError);
}

TEST(GenerateInput, IncludeLabelsIsASet)
{
    QJsonObject o = minimal();
    const QString nfc = QString::fromUtf8("caf\xC3\xA9");
    const QString nfd = QString::fromUtf8("cafe\xCC\x81");
    o.insert("includeLabels", QJsonArray{"TO-BE", "New", "TO-BE", nfd, nfc});
    const GenerateInput input = decoded(o);
    EXPECT_EQ(input.includeLabels, (QStringList{"New", "TO-BE", nfd}));

    GenerateInput reordered = input;
    reordered.includeLabels = {nfc, "TO-BE", "New", "New"};
    EXPECT_EQ(reordered, input);
    EXPECT_EQ(written(reordered).value("includeLabels"), (QJsonArray{"New", "TO-BE", nfc}));
    reordered.includeLabels.removeAll("New");
    EXPECT_NE(reordered, input);
}

TEST(GenerateInput, WrittenRequestReadsBackEqualAndDropsUnknownKeys)
{
    QJsonObject o = minimal();
    o.insert("comment", "ignored");
    o.insert("apiDocs", QJsonArray{"/docs/api.md", "https://wiki.example/page/1"});
    const GenerateInput input = decoded(o);
    const QByteArray bytes = JSONCoding::pretty(input);
    EXPECT_FALSE(bytes.contains("comment"));
    EXPECT_TRUE(bytes.contains("\"https://wiki.example/page/1\""));
    const GenerateInput back = GenerateInput::decode(bytes);
    EXPECT_EQ(back, input);
    EXPECT_EQ(JSONCoding::pretty(back), bytes);
}
