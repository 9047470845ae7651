#include "model/textboxplacement.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>

namespace {

TextBox box(const QString &id, double x, double y, double w, double h)
{
    TextBox b;
    b.id = id;
    b.name = id;
    b.x = x;
    b.y = y;
    b.w = w;
    b.h = h;
    return b;
}

FigmaFrame frame(const QString &id, double w, double h, std::optional<QList<TextBox>> boxes)
{
    FigmaFrame f;
    f.id = id;
    f.name = id;
    f.w = w;
    f.h = h;
    f.textBoxes = std::move(boxes);
    return f;
}

StringKey string(const QString &node)
{
    StringKey s;
    s.key = QStringLiteral("k_") + node;
    s.ko = QStringLiteral("문구");
    s.node = node;
    return s;
}

Plan planWith(const QList<StringKey> &strings)
{
    Plan plan;
    plan.strings = strings;
    return plan;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const QByteArray metadata = R"(<section id="1:1" name="S">
  <frame id="2:1" name="Home" x="0" y="0" width="200" height="400">
    <text id="3:1" name="Title" x="20" y="100" width="100" height="40" />
  </frame>
  <frame id="2:2" name="Detail" x="300" y="0" width="200" height="400">
    <text id="3:2" name="Body" x="10" y="10" width="50" height="20" />
  </frame>
</section>)";

} // namespace

TEST(AttachTextBoxes, FillsOnlyFramesThatLackBoxesAndReportsIt)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("figma-metadata.xml"), metadata);
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, std::nullopt),
                      frame("2:2", 200, 400, QList<TextBox>{box("kept", 0, 0, 1, 1)}),
                      frame("9:9", 200, 400, std::nullopt)};

    EXPECT_TRUE(TextBoxPlacement::attachTextBoxes(section, dir.path()));

    ASSERT_TRUE(section.frames[0].textBoxes);
    ASSERT_EQ(section.frames[0].textBoxes->size(), 1);
    EXPECT_EQ(section.frames[0].textBoxes->at(0).id, "3:1");
    EXPECT_EQ(section.frames[0].textBoxes->at(0).x, 20);
    ASSERT_EQ(section.frames[1].textBoxes->size(), 1);
    EXPECT_EQ(section.frames[1].textBoxes->at(0).id, "kept");
    EXPECT_FALSE(section.frames[2].textBoxes.has_value());
}

TEST(AttachTextBoxes, DoesNotReadMetadataWhenEveryFrameHasAList)
{
    QTemporaryDir dir;
    // An unreadable file in the metadata's place shows whether it was opened.
    ASSERT_TRUE(QDir(dir.path()).mkdir("figma-metadata.xml"));
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, QList<TextBox>{}), frame("2:2", 200, 400, QList<TextBox>{})};
    const FigmaSection before = section;
    EXPECT_FALSE(TextBoxPlacement::attachTextBoxes(section, dir.path()));
    EXPECT_EQ(section, before);

    FigmaSection none;
    EXPECT_FALSE(TextBoxPlacement::attachTextBoxes(none, dir.path()));
}

TEST(AttachTextBoxes, MissingMalformedOrNonUtf8MetadataChangesNothing)
{
    QTemporaryDir dir;
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, std::nullopt)};
    const FigmaSection before = section;

    EXPECT_FALSE(TextBoxPlacement::attachTextBoxes(section, dir.path()));
    EXPECT_EQ(section, before);

    QByteArray broken = metadata;
    broken.replace("Title", "Ti\xff\xfetle");
    writeFile(dir.filePath("figma-metadata.xml"), broken);
    EXPECT_FALSE(TextBoxPlacement::attachTextBoxes(section, dir.path()));
    EXPECT_EQ(section, before);

    writeFile(dir.filePath("figma-metadata.xml"), "<section><frame id=\"8:8\"");
    EXPECT_FALSE(TextBoxPlacement::attachTextBoxes(section, dir.path()));
    EXPECT_EQ(section, before);
}

TEST(PlaceStrings, GivesFractionsOfTheFrameUnclamped)
{
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, QList<TextBox>{box("3:1", 20, 100, 100, 40), box("3:2", -20, 380, 300, 40)})};
    Plan plan = planWith({string("3:1"), string("3:2")});

    TextBoxPlacement::placeStrings(plan, section);

    EXPECT_EQ(plan.strings[0].frame, "2:1");
    EXPECT_EQ(plan.strings[0].box, (StringKey::Box{0.1, 0.25, 0.5, 0.1}));
    EXPECT_EQ(plan.strings[1].frame, "2:1");
    EXPECT_EQ(plan.strings[1].box, (StringKey::Box{-0.1, 0.95, 1.5, 0.1}));
}

TEST(PlaceStrings, LaterFrameWinsForADuplicateBoxId)
{
    FigmaSection section;
    section.frames = {frame("A", 100, 100, QList<TextBox>{box("dup", 10, 10, 10, 10)}),
                      frame("B", 200, 200, QList<TextBox>{box("dup", 10, 10, 10, 10)})};
    Plan plan = planWith({string("dup")});
    TextBoxPlacement::placeStrings(plan, section);
    EXPECT_EQ(plan.strings[0].frame, "B");
    EXPECT_EQ(plan.strings[0].box, (StringKey::Box{0.05, 0.05, 0.05, 0.05}));
}

TEST(PlaceStrings, FrameWithoutUsableSizeLeavesStringsUnplaced)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FigmaSection section;
    section.frames = {frame("zero", 0, 100, QList<TextBox>{box("a", 1, 1, 1, 1)}),
                      frame("neg", 100, -5, QList<TextBox>{box("b", 1, 1, 1, 1)}),
                      frame("nan", nan, 100, QList<TextBox>{box("c", 1, 1, 1, 1)})};
    Plan plan = planWith({string("a"), string("b"), string("c")});
    for (StringKey &s : plan.strings) {
        s.frame = "old";
        s.box = StringKey::Box{0.1, 0.1, 0.1, 0.1};
    }
    TextBoxPlacement::placeStrings(plan, section);
    for (const StringKey &s : plan.strings) {
        EXPECT_TRUE(s.frame.isEmpty()) << s.node.toStdString();
        EXPECT_FALSE(s.box.has_value()) << s.node.toStdString();
    }
}

TEST(PlaceStrings, NonFiniteQuotientLeavesTheStringUnplaced)
{
    const double inf = std::numeric_limits<double>::infinity();
    FigmaSection section;
    section.frames = {frame("tiny", 1e-320, 100, QList<TextBox>{box("a", 1, 1, 1, 1)}),
                      frame("wide", inf, 100, QList<TextBox>{box("b", inf, 1, 1, 1)}),
                      frame("ok", 100, 100, QList<TextBox>{box("c", 1, 1, inf, 1)})};
    Plan plan = planWith({string("a"), string("b"), string("c")});
    TextBoxPlacement::placeStrings(plan, section);
    for (const StringKey &s : plan.strings) {
        EXPECT_TRUE(s.frame.isEmpty()) << s.node.toStdString();
        EXPECT_FALSE(s.box.has_value()) << s.node.toStdString();
    }
}

TEST(PlaceStrings, EmptyNodeNeverMatchesEvenABoxWithoutId)
{
    FigmaSection section;
    section.frames = {frame("2:1", 100, 100, QList<TextBox>{box("", 10, 10, 10, 10), box("3:1", 0, 0, 10, 10)})};
    Plan plan = planWith({string(""), string("3:1")});
    plan.strings[0].frame = "2:1";
    plan.strings[0].box = StringKey::Box{0.1, 0.1, 0.1, 0.1};
    TextBoxPlacement::placeStrings(plan, section);
    EXPECT_TRUE(plan.strings[0].frame.isEmpty());
    EXPECT_FALSE(plan.strings[0].box.has_value());
    EXPECT_EQ(plan.strings[1].frame, "2:1");
}

TEST(PlaceStrings, SectionWithoutBoxesClearsEarlierPlacements)
{
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, std::nullopt), frame("2:2", 200, 400, QList<TextBox>{})};
    Plan plan = planWith({string("3:1"), string("3:2")});
    for (StringKey &s : plan.strings) {
        s.frame = "2:1";
        s.box = StringKey::Box{0.1, 0.2, 0.3, 0.4};
    }
    TextBoxPlacement::placeStrings(plan, section);
    for (const StringKey &s : plan.strings) {
        EXPECT_TRUE(s.frame.isEmpty());
        EXPECT_FALSE(s.box.has_value());
    }
}

TEST(PlaceStrings, AttachThenPlaceUsesTheCompletedSection)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("figma-metadata.xml"), metadata);
    FigmaSection section;
    section.frames = {frame("2:1", 200, 400, std::nullopt), frame("2:2", 200, 400, std::nullopt)};
    Plan plan = planWith({string("3:2"), string("3:1"), string("missing")});

    ASSERT_TRUE(TextBoxPlacement::attachTextBoxes(section, dir.path()));
    TextBoxPlacement::placeStrings(plan, section);

    EXPECT_EQ(plan.strings[0].frame, "2:2");
    EXPECT_EQ(plan.strings[0].box, (StringKey::Box{0.05, 0.025, 0.25, 0.05}));
    EXPECT_EQ(plan.strings[1].frame, "2:1");
    EXPECT_TRUE(plan.strings[2].frame.isEmpty());
    EXPECT_FALSE(plan.strings[2].box.has_value());
}
