#include "claude/jsonextract.h"

#include <gtest/gtest.h>

namespace {

std::optional<QByteArray> cut(const char *answer)
{
    return JSONExtract::object(QString::fromUtf8(answer));
}

} // namespace

TEST(JSONExtract, TakesTheObjectInsideAFence)
{
    EXPECT_EQ(cut("Here it is:\n```json\n{\"a\": \"}\", \"b\": {\"c\": 1}}\n```\nDone {x}"),
              QByteArray("{\"a\": \"}\", \"b\": {\"c\": 1}}"));
    // An unmarked fence, and a JSON fence after an unmarked one.
    EXPECT_EQ(cut("```\n{\"a\":1}\n```"), QByteArray("{\"a\":1}"));
    EXPECT_EQ(cut("```swift\n{x}\n```\n```json\n{\"y\":2}\n```"), QByteArray("{\"y\":2}"));
    // "```JSON" is an unmarked fence followed by a word.
    EXPECT_EQ(cut("```JSON\n{\"a\":1}\n```"), QByteArray("{\"a\":1}"));
    // A fence that never closes keeps the rest of the text.
    EXPECT_EQ(cut("```json\n{\"a\":[1,2]}"), QByteArray("{\"a\":[1,2]}"));
    // Only what is inside the fence counts.
    EXPECT_FALSE(cut("{\"outside\":1}\n```json\nno object\n```").has_value());
}

TEST(JSONExtract, TakesTheFirstBalancedObjectOfPlainText)
{
    EXPECT_EQ(cut("{\"a\":1} trailing"), QByteArray("{\"a\":1}"));
    EXPECT_EQ(cut("Sure! {\"s\": \"say \\\"}\\\" and \\\\\", \"t\": \"{\"} end"),
              QByteArray("{\"s\": \"say \\\"}\\\" and \\\\\", \"t\": \"{\"}"));
    // Prose braces come first: the caller's decoding then fails.
    EXPECT_EQ(cut("Use {braces} then {\"real\":true}"), QByteArray("{braces}"));
    EXPECT_EQ(cut("{\"k\": \"한글 값\"}"), QString::fromUtf8("{\"k\": \"한글 값\"}").toUtf8());
    // Brackets and single quotes have no effect.
    EXPECT_EQ(cut("{'a': ']}', \"b\": 1}"), QByteArray("{'a': ']}"));
}

TEST(JSONExtract, GivesNothingWithoutABalancedObject)
{
    EXPECT_FALSE(cut("no braces at all").has_value());
    EXPECT_FALSE(cut("").has_value());
    EXPECT_FALSE(cut("{\"a\": {\"b\": 1}").has_value());
    EXPECT_FALSE(cut("{\"a\": \"}").has_value());
    EXPECT_FALSE(cut("} only closing").has_value());
}
