#include "figma/figmasectionparser.h"
#include "support/qtprinters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

namespace {

// The section sits away from the page origin so that every position below
// proves it was made section- or frame-relative.
constexpr double sx = 1000;
constexpr double sy = 2000;

QJsonObject boxOf(double x, double y, double w, double h)
{
    return {{"x", x}, {"y", y}, {"width", w}, {"height", h}};
}

QJsonObject layer(const QString &id, const QString &type, double x, double y, double w, double h,
                  const QJsonArray &children = {})
{
    QJsonObject node{{"id", id}, {"name", id + " layer"}, {"type", type}, {"absoluteBoundingBox", boxOf(x, y, w, h)}};
    if (!children.isEmpty())
        node.insert("children", children);
    return node;
}

QJsonObject text(const QString &id, const QString &characters, double x = 0, double y = 0, double w = 10,
                 double h = 10)
{
    QJsonObject node = layer(id, "TEXT", x, y, w, h);
    node.insert("characters", characters);
    return node;
}

QJsonObject hidden(QJsonObject node)
{
    node.insert("visible", false);
    return node;
}

// A frame at section-relative x, y.
QJsonObject frame(const QString &id, double x, double y, double w = 360, double h = 640,
                  const QJsonArray &children = {})
{
    return layer(id, "FRAME", sx + x, sy + y, w, h, children);
}

// A label chip group at section-relative x, y, holding one text layer per text.
QJsonObject chip(const QString &id, double x, double y, double w, double h, const QStringList &texts)
{
    QJsonArray children;
    for (qsizetype i = 0; i < texts.size(); ++i)
        children.append(text(id + "-t" + QString::number(i), texts[i], sx + x, sy + y, w, h));
    return layer(id, "GROUP", sx + x, sy + y, w, h, children);
}

FigmaSection parse(const QJsonArray &children)
{
    QJsonObject section = layer("1:1", "SECTION", sx, sy, 5000, 5000, children);
    section.insert("name", "Onboarding");
    return FigmaSectionParser::parse(section, "FILEKEY");
}

const FigmaFrame *find(const FigmaSection &section, const QString &id)
{
    for (const FigmaFrame &f : section.frames)
        if (f.id == id)
            return &f;
    return nullptr;
}

std::optional<QString> labelOf(const FigmaSection &section, const QString &id)
{
    const FigmaFrame *f = find(section, id);
    return f ? f->label : std::nullopt;
}

QStringList ids(const FigmaSection &section)
{
    QStringList out;
    for (const FigmaFrame &f : section.frames)
        out.append(f.id);
    return out;
}

} // namespace

TEST(FigmaSectionParser, FillsTheSectionFramesAndBoxesRelativeToTheirParents)
{
    const QJsonArray deep{layer("3:1", "INSTANCE", sx + 20, sy + 40, 100, 50,
                                {layer("3:2", "GROUP", sx + 20, sy + 40, 100, 50,
                                       {text("3:3", "  Start\n", sx + 30, sy + 60, 80, 20)})}),
                          layer("3:4", "TEXT", sx + 0, sy + 0, 10, 10)};
    const FigmaSection section = parse({frame("2:1", 10, 20, 360, 640, deep), text("9:9", " note one ")});

    EXPECT_EQ(section.fileKey, "FILEKEY");
    EXPECT_EQ(section.nodeId, "1:1");
    EXPECT_EQ(section.name, "Onboarding");
    EXPECT_EQ(section.notes, QStringList{"note one"});
    ASSERT_EQ(section.frames.size(), 1);
    const FigmaFrame &f = section.frames[0];
    EXPECT_EQ(f.id, "2:1");
    EXPECT_EQ(f.name, "2:1 layer");
    EXPECT_EQ(f.x, 10);
    EXPECT_EQ(f.y, 20);
    EXPECT_EQ(f.w, 360);
    EXPECT_EQ(f.h, 640);
    EXPECT_EQ(f.texts, QStringList{"Start"});
    EXPECT_FALSE(f.label || f.labelText || f.image || f.imageURL);
    ASSERT_TRUE(f.textBoxes);
    ASSERT_EQ(f.textBoxes->size(), 2);
    // Raw characters, placed against the frame's page box however deep.
    EXPECT_EQ(f.textBoxes->at(0), (TextBox{"3:3", "3:3 layer", QString("  Start\n"), 20, 40, 80, 20}));
    // A text layer without characters still has a box, with no text.
    EXPECT_EQ(f.textBoxes->at(1), (TextBox{"3:4", "3:4 layer", std::nullopt, -10, -20, 10, 10}));
}

TEST(FigmaSectionParser, FrameWithoutTextLayersHasAnEmptyBoxList)
{
    const FigmaSection section = parse({frame("2:1", 0, 0)});
    ASSERT_TRUE(section.frames.value(0).textBoxes);
    EXPECT_TRUE(section.frames[0].textBoxes->isEmpty());
    EXPECT_TRUE(section.frames[0].texts.isEmpty());
}

TEST(FigmaSectionParser, FramesNeedTwoHundredOnBothSides)
{
    const FigmaSection section = parse({frame("narrow", 0, 0, 199, 800), frame("low", 400, 0, 800, 199),
                                        frame("square", 1400, 0, 200, 200)});
    EXPECT_EQ(ids(section), QStringList{"square"});
}

TEST(FigmaSectionParser, TopLevelTextIsANoteEvenWhenItReadsLikeALabel)
{
    const FigmaSection section = parse({text("t1", "AS-IS"), frame("f", 0, 40), text("t2", "AS-IS"),
                                        hidden(text("t3", "gone")), text("t4", "   ")});
    EXPECT_EQ(section.notes, (QStringList{"AS-IS", "AS-IS"}));
    EXPECT_EQ(labelOf(section, "f"), std::nullopt);
}

TEST(FigmaSectionParser, ChipTextsGiveLabelAndLabelText)
{
    const FigmaSection section = parse({
        chip("c1", 0, 0, 100, 30, {"To Be", "Home screen", "v2"}), frame("f1", 0, 40),
        chip("c2", 1000, 0, 100, 30, {"NEW"}), frame("f2", 1000, 40),
        chip("c3", 2000, 0, 100, 30, {"AS-IS", "TO-BE"}), frame("f3", 2000, 40),
    });
    const FigmaFrame *f1 = find(section, "f1");
    ASSERT_TRUE(f1);
    EXPECT_EQ(f1->label, "TO-BE");
    EXPECT_EQ(f1->labelText, "Home screen v2");
    EXPECT_EQ(labelOf(section, "f2"), "New");
    EXPECT_EQ(find(section, "f2")->labelText, std::nullopt);
    EXPECT_EQ(labelOf(section, "f3"), "AS-IS");
    EXPECT_EQ(find(section, "f3")->labelText, std::nullopt);
    // Chips are neither frames nor notes.
    EXPECT_EQ(section.frames.size(), 3);
    EXPECT_TRUE(section.notes.isEmpty());
}

TEST(FigmaSectionParser, LabelSpellings)
{
    const std::pair<QString, std::optional<QString>> cases[] = {
        {"as is", "AS-IS"},        {" asis\n", "AS-IS"}, {"To Be", "TO-BE"},   {"to-be", "TO-BE"},
        {"new", "New"},            {"N E W", "New"},     {"Deleted", "Delete"}, {"DELETE", "Delete"},
        {"AS_IS", std::nullopt},   {"ASIS2", std::nullopt}, {"NEWS", std::nullopt},
        {"NEW\u3000", "New"},      {"NE\u3000W", std::nullopt}, {"TO\tBE", std::nullopt},
    };
    for (const auto &[spelling, label] : cases) {
        const FigmaSection section = parse({chip("c", 0, 0, 100, 30, {spelling}), frame("f", 0, 40)});
        EXPECT_EQ(labelOf(section, "f"), label) << spelling.toStdString();
    }
}

TEST(FigmaSectionParser, OnlyLowNodesAreChips)
{
    const FigmaSection tall = parse({chip("c", 0, 0, 100, 81, {"NEW"}), frame("f", 0, 90)});
    EXPECT_EQ(labelOf(tall, "f"), std::nullopt);
    const FigmaSection exact = parse({chip("c", 0, 0, 100, 80, {"NEW"}), frame("f", 0, 90)});
    EXPECT_EQ(labelOf(exact, "f"), "New");
}

TEST(FigmaSectionParser, ChipReachesEightAboveAndUnderTwoFortyBelowItsBottom)
{
    // Chip bottom at 100.
    const auto labelAt = [](double frameY) {
        return labelOf(parse({chip("c", 0, 70, 100, 30, {"NEW"}), frame("f", 0, frameY)}), "f");
    };
    EXPECT_EQ(labelAt(92), "New");
    EXPECT_EQ(labelAt(91), std::nullopt);
    EXPECT_EQ(labelAt(339), "New");
    EXPECT_EQ(labelAt(340), std::nullopt);
}

TEST(FigmaSectionParser, NarrowChipReachesFortyToTheRight)
{
    const auto labelAt = [](double frameX, double frameW) {
        return labelOf(parse({chip("c", 500, 0, 10, 30, {"NEW"}), frame("f", frameX, 40, frameW)}), "f");
    };
    EXPECT_EQ(labelAt(539, 360), "New");
    EXPECT_EQ(labelAt(540, 360), std::nullopt);
    // A frame ending exactly where the chip starts does not overlap it.
    EXPECT_EQ(labelAt(140, 360), std::nullopt);
    EXPECT_EQ(labelAt(141, 360), "New");
}

TEST(FigmaSectionParser, HighestCandidateWinsThenNearestThenEarliest)
{
    // The higher frame wins although the other lies right under the chip.
    const FigmaSection higher = parse({chip("c", 300, 0, 400, 30, {"NEW"}), frame("under", 300, 60, 360),
                                       frame("higher", 0, 40, 360)});
    EXPECT_EQ(labelOf(higher, "higher"), "New");
    EXPECT_EQ(labelOf(higher, "under"), std::nullopt);

    // Same top: the frame whose x is nearer the chip's x.
    const FigmaSection nearer = parse({chip("c", 300, 0, 400, 30, {"NEW"}), frame("far", 0, 40, 360),
                                       frame("near", 380, 40, 360)});
    EXPECT_EQ(labelOf(nearer, "near"), "New");
    EXPECT_EQ(labelOf(nearer, "far"), std::nullopt);

    // Same top and same distance: the earlier frame.
    const FigmaSection earlier = parse({chip("c", 300, 0, 400, 30, {"NEW"}), frame("first", 200, 40, 360),
                                        frame("second", 400, 40, 360)});
    EXPECT_EQ(labelOf(earlier, "first"), "New");
    EXPECT_EQ(labelOf(earlier, "second"), std::nullopt);
}

TEST(FigmaSectionParser, ChipWhoseFrameIsTakenIsDropped)
{
    // The second chip sits nearer, but the first one found labels the frame;
    // the second does not move on to another candidate.
    const FigmaSection section = parse({chip("far", 0, 0, 100, 30, {"AS-IS", "old"}),
                                        chip("near", 0, 20, 100, 30, {"TO-BE", "new"}),
                                        frame("f", 0, 60), frame("g", 50, 80)});
    const FigmaFrame *f = find(section, "f");
    ASSERT_TRUE(f);
    EXPECT_EQ(f->label, "AS-IS");
    EXPECT_EQ(f->labelText, "old");
    EXPECT_EQ(labelOf(section, "g"), std::nullopt);
}

TEST(FigmaSectionParser, RowsOfSevenHundredThenLeftToRight)
{
    const FigmaSection section = parse({
        frame("r1", 0, 700), frame("r0-late", 0, 650), frame("r0-right", 400, 10), frame("r0-left", 20, 10),
        frame("neg", 900, -300), frame("same-x-1", 1500, 100), frame("same-x-2", 1500, 0),
    });
    EXPECT_EQ(ids(section), (QStringList{"r0-late", "r0-left", "r0-right", "neg", "same-x-1", "same-x-2", "r1"}));
}

TEST(FigmaSectionParser, TextsDropOnlyConsecutiveRepeatsAndStopAtOneTwenty)
{
    const FigmaSection repeats = parse({frame("f", 0, 0, 360, 640,
                                              {text("1", "A"), text("2", " A\n"), text("3", "B"), text("4", "A"),
                                               text("5", ""), text("6", "Caf\u00e9"), text("7", "Cafe\u0301")})});
    const FigmaFrame &f = repeats.frames.value(0);
    EXPECT_EQ(f.texts, (QStringList{"A", "B", "A", "Caf\u00e9"}));
    // Boxes keep every layer, blank and repeated ones included.
    EXPECT_EQ(f.textBoxes.value_or(QList<TextBox>()).size(), 7);

    QJsonArray many;
    for (int i = 0; i < 130; ++i)
        many.append(text(QString::number(i), "text " + QString::number(i)));
    const FigmaFrame big = parse({frame("big", 0, 0, 360, 640, many)}).frames.value(0);
    ASSERT_EQ(big.texts.size(), 120);
    EXPECT_EQ(big.texts.last(), "text 119");
    EXPECT_EQ(big.textBoxes.value_or(QList<TextBox>()).size(), 130);
}

TEST(FigmaSectionParser, HiddenNodesHideEverythingUnderThem)
{
    const QJsonArray children{text("1", "shown"),
                              hidden(layer("g", "GROUP", 0, 0, 10, 10, {text("2", "under hidden group")})),
                              hidden(text("3", "hidden text"))};
    const FigmaFrame f = parse({frame("f", 0, 0, 360, 640, children)}).frames.value(0);
    EXPECT_EQ(f.texts, QStringList{"shown"});
    ASSERT_TRUE(f.textBoxes);
    ASSERT_EQ(f.textBoxes->size(), 1);
    EXPECT_EQ(f.textBoxes->at(0).id, "1");

    // A hidden chip has no texts, so it labels nothing.
    const FigmaSection chipHidden = parse({hidden(chip("c", 0, 0, 100, 30, {"NEW"})), frame("g", 0, 40)});
    EXPECT_EQ(labelOf(chipHidden, "g"), std::nullopt);
}

TEST(FigmaSectionParser, HiddenTopLevelFrameIsPlacedWithBoxesButNoTexts)
{
    const FigmaSection section = parse({hidden(frame("f", 0, 0, 360, 640, {text("1", "inside")}))});
    ASSERT_EQ(section.frames.size(), 1);
    EXPECT_TRUE(section.frames[0].texts.isEmpty());
    ASSERT_TRUE(section.frames[0].textBoxes);
    EXPECT_EQ(section.frames[0].textBoxes->size(), 1);
}

TEST(FigmaSectionParser, MistypedValuesReadAsDefaults)
{
    QJsonObject noBox = frame("f", 0, 0);
    noBox.remove("absoluteBoundingBox");
    QJsonObject stringBox = frame("s", 0, 0);
    stringBox.insert("absoluteBoundingBox", QJsonObject{{"x", "1"}, {"y", 2}, {"width", 300}, {"height", true}});
    QJsonObject mixedChildren = frame("m", 0, 0);
    mixedChildren.insert("children", QJsonArray{text("1", "dropped with its list"), 5});
    QJsonObject textVisible = frame("v", 400, 0, 360, 640, {text("2", "kept")});
    textVisible.insert("visible", "false");
    QJsonObject numberedType = text("n", "typed as number");
    numberedType.insert("type", 1);

    // The section box is missing too, so positions are page positions.
    QJsonObject section{{"id", 7}, {"children", QJsonArray{noBox, stringBox, mixedChildren, textVisible, numberedType}}};
    const FigmaSection parsed = FigmaSectionParser::parse(section, "K");
    EXPECT_EQ(parsed.nodeId, "");
    EXPECT_EQ(parsed.name, "");
    // Only the frame with a real box is big enough; its children list holds a
    // number, so it counts as no children. Only a Boolean false hides.
    ASSERT_EQ(ids(parsed), (QStringList{"m", "v"}));
    EXPECT_EQ(parsed.frames[0].x, sx);
    EXPECT_TRUE(parsed.frames[0].texts.isEmpty());
    EXPECT_TRUE(parsed.frames[0].textBoxes->isEmpty());
    EXPECT_EQ(parsed.frames[1].texts, QStringList{"kept"});
    EXPECT_TRUE(parsed.notes.isEmpty());

    EXPECT_EQ(FigmaSectionParser::parse(QJsonObject(), "K"), (FigmaSection{"K", "", "", {}, {}}));
}
