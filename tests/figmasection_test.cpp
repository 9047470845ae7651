#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "figma/figmasection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <bit>
#include <gtest/gtest.h>

namespace {

// A minimal valid frame with `extra` members spliced in.
QByteArray sectionWithFrame(const char *extra)
{
    return QByteArray(R"({"fileKey":"K","nodeId":"1:2","name":"S","notes":[],"frames":[{"id":"3:4","name":"F","x":0,"y":10.5,"w":360,"h":800,"texts":["a"])")
        + extra + "}]}";
}

FigmaFrame onlyFrame(const QByteArray &json)
{
    const FigmaSection section = FigmaSection::decode(json);
    EXPECT_EQ(section.frames.size(), 1);
    return section.frames.value(0);
}

QJsonObject writtenFrame(const FigmaFrame &frame)
{
    return QJsonDocument::fromJson(JSONCoding::pretty(frame)).object();
}

// The section as written, and its numbers bit for bit: a written zero
// does not say whether it was negative.
QByteArray exactly(const FigmaSection &section)
{
    QByteArray out = JSONCoding::pretty(section);
    const auto bits = [&out](double value) { out += QByteArray::number(std::bit_cast<quint64>(value), 16) + ' '; };
    for (const FigmaFrame &frame : section.frames) {
        for (const double value : {frame.x, frame.y, frame.w, frame.h})
            bits(value);
        for (const TextBox &box : frame.textBoxes.value_or(QList<TextBox>{})) {
            for (const double value : {box.x, box.y, box.w, box.h})
                bits(value);
        }
    }
    return out;
}

} // namespace

TEST(FigmaSection, OptionalFrameKeysMayBeMissingOrNull)
{
    const FigmaFrame bare = onlyFrame(sectionWithFrame(""));
    EXPECT_EQ(bare.y, 10.5);
    EXPECT_FALSE(bare.label || bare.labelText || bare.image || bare.imageURL || bare.textBoxes);
    EXPECT_EQ(writtenFrame(bare).keys(), (QStringList{"h", "id", "name", "texts", "w", "x", "y"}));

    const FigmaFrame nulls = onlyFrame(sectionWithFrame(R"(,"label":null,"labelText":null,"image":null,"imageURL":null,"textBoxes":null)"));
    EXPECT_EQ(nulls, bare);
}

TEST(FigmaSection, EmptyTextBoxListStaysDistinctFromNone)
{
    const FigmaFrame empty = onlyFrame(sectionWithFrame(R"(,"textBoxes":[])"));
    ASSERT_TRUE(empty.textBoxes.has_value());
    EXPECT_TRUE(empty.textBoxes->isEmpty());
    EXPECT_NE(empty, onlyFrame(sectionWithFrame("")));

    const QJsonObject written = writtenFrame(empty);
    ASSERT_TRUE(written.value("textBoxes").isArray());
    EXPECT_TRUE(written.value("textBoxes").toArray().isEmpty());
}

TEST(FigmaSection, MistypedOrMissingKeysFailTheWholeSection)
{
    const char *bad[] = {
        R"(,"label":1)",
        R"(,"image":true)",
        R"(,"textBoxes":{})",
        R"(,"textBoxes":[{"id":"t","name":"n","x":1,"y":2,"h":3}])",
        R"(,"textBoxes":[{"id":"t","name":"n","x":1,"y":2,"w":"3","h":3}])",
        R"(,"textBoxes":[{"id":"t","name":"n","text":5,"x":1,"y":2,"w":3,"h":3}])",
        R"(,"textBoxes":[null])",
    };
    for (const char *extra : bad)
        EXPECT_THROW(FigmaSection::decode(sectionWithFrame(extra)), JSONDecodeError) << extra;

    EXPECT_THROW(FigmaSection::decode(R"({"fileKey":"K","nodeId":"1:2","name":"S","notes":[],"frames":[{"id":"3:4","name":"F","x":0,"y":0,"w":1,"h":1}]})"),
                 JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode(R"({"fileKey":"K","nodeId":"1:2","name":"S","notes":[],"frames":[{"id":"3:4","name":"F","x":"0","y":0,"w":1,"h":1,"texts":[]}]})"),
                 JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode(R"({"fileKey":"K","nodeId":"1:2","name":"S","frames":[]})"), JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode(R"({"fileKey":"K","nodeId":"1:2","name":"S","frames":[],"notes":[1]})"), JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode(R"({"fileKey":null,"nodeId":"1:2","name":"S","frames":[],"notes":[]})"), JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode("[]"), JSONDecodeError);
    EXPECT_THROW(FigmaSection::decode("{"), JSONDecodeError);
}

// The usual text is read in one pass, anything else by the parser: both
// give the same section or both fail.
TEST(FigmaSection, ReadsEveryTextAsTheParserDoes)
{
    const QByteArray texts[] = {
        sectionWithFrame(""),
        sectionWithFrame(R"(,"label":"TO-BE","labelText":null,"image":"img/a.png","textBoxes":[{"id":"t","name":"n","text":"Hi","x":1,"y":2.5,"w":3e2,"h":-4.25E-1}])"),
        // Escapes, text beyond ASCII, and room around every token.
        " {\n \"fileKey\" : \"K\\u0041\\\"\\\\\\/\\n\" , \"nodeId\":\"1:2\",\"name\":\"\xED\x99\x88 \xF0\x9F\x98\x80\",\t\"notes\":[\"a\",\"\\ud83d\\ude00\"],"
        "\"frames\":[ ] }\r\n",
        // A negative zero, numbers past 64 bits and past a double's digits.
        sectionWithFrame(R"(,"textBoxes":[{"id":"t","name":"n","x":-0,"y":-0.0,"w":123456789012345678901,"h":0.1000000000000000055511151231257827}])"),
        // A key twice, a key of no record, a key spelled with an escape.
        R"({"fileKey":"A","fileKey":"B","nodeId":"1:2","name":"S","frames":[],"notes":[]})",
        sectionWithFrame(R"(,"other":{"x":[1,2]})"),
        R"({"file\u004bey":"K","nodeId":"1:2","name":"S","frames":[],"notes":[]})",
        // Null for a required list, a text where a number goes, more after the end.
        R"({"fileKey":"K","nodeId":"1:2","name":"S","frames":[],"notes":null})",
        sectionWithFrame(R"(,"textBoxes":[{"id":"t","name":"n","x":"1","y":2,"w":3,"h":4}])"),
        sectionWithFrame("") + " {}",
        // Text that is not UTF-8, and a control character in a text.
        R"({"fileKey":"K)" "\xC3\x28" R"(","nodeId":"1:2","name":"S","frames":[],"notes":[]})",
        R"({"fileKey":"K)" "\x01" R"(","nodeId":"1:2","name":"S","frames":[],"notes":[]})",
    };
    for (const QByteArray &text : texts) {
        std::optional<QByteArray> slow;
        try {
            slow = exactly(FigmaSection::read(parseObject(text)));
        } catch (const JSONDecodeError &) {
        }
        std::optional<QByteArray> decoded;
        try {
            decoded = exactly(FigmaSection::decode(text));
        } catch (const JSONDecodeError &) {
        }
        EXPECT_EQ(decoded, slow) << text.toStdString();
    }
}

TEST(FigmaSection, TextBoxTextIsOptional)
{
    const FigmaFrame frame = onlyFrame(sectionWithFrame(R"(,"textBoxes":[{"id":"t","name":"n","x":1,"y":2,"w":3,"h":4}])"));
    ASSERT_EQ(frame.textBoxes->size(), 1);
    EXPECT_FALSE(frame.textBoxes->at(0).text.has_value());
    EXPECT_FALSE(writtenFrame(frame).value("textBoxes").toArray().at(0).toObject().contains("text"));
}

TEST(FigmaSection, EmptySectionKeepsItsEmptyArrays)
{
    const FigmaSection section = FigmaSection::decode(R"({"fileKey":"K","nodeId":"1:2","name":"S","frames":[],"notes":[],"other":1})");
    const QJsonObject written = QJsonDocument::fromJson(JSONCoding::pretty(section)).object();
    EXPECT_EQ(written.keys(), (QStringList{"fileKey", "frames", "name", "nodeId", "notes"}));
    EXPECT_EQ(written.value("frames"), QJsonArray());
    EXPECT_EQ(written.value("notes"), QJsonArray());
}

TEST(FigmaSection, WrittenSectionReadsBackEqual)
{
    FigmaSection section{"K", "1:2", QString::fromUtf8("홈 섹션"), {}, {"note/1", ""}};
    FigmaFrame full{"3:4", "Home", 10, 20.25, 360, 800, "TO-BE", QString::fromUtf8("새 화면"), {"a", "b"},
                    "img/node-3-4.png", "https://figma.example/i.png", QList<TextBox>{{"5:6", "Title", "Hi", 1, 2, 3, 4}, {"5:7", "Sub", std::nullopt, 0, 0, 0.5, 0}}};
    FigmaFrame bare{"3:5", "Other", -5, 0, 1, 1, std::nullopt, std::nullopt, {}, std::nullopt, std::nullopt, std::nullopt};
    section.frames = {full, bare};

    const FigmaSection back = FigmaSection::decode(JSONCoding::pretty(section));
    EXPECT_EQ(back, section);
    EXPECT_EQ(JSONCoding::pretty(back), JSONCoding::pretty(section));
}
