#include <QJsonObject>
#include <QJsonDocument>
#include <QJsonArray>
#include "figma/figmametadata.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QString fixture(const char *name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/metadata/") + QLatin1String(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return QString::fromUtf8(file.readAll());
}

struct Placed {
    QString id;
    QString name;
    double x, y, w, h;
    bool operator==(const Placed &) const = default;
};

void PrintTo(const Placed &p, std::ostream *os)
{
    *os << p.id.toStdString() << " " << p.name.toStdString() << " (" << p.x << ", " << p.y << ", " << p.w << ", " << p.h << ")";
}

std::vector<Placed> placed(const QList<TextBox> &boxes)
{
    std::vector<Placed> out;
    for (const TextBox &b : boxes) {
        EXPECT_FALSE(b.text.has_value());
        out.push_back(Placed{b.id, b.name, b.x, b.y, b.w, b.h});
    }
    return out;
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

} // namespace

TEST(FigmaMetadata, GroupsKeepParentCoordinatesOtherNodesAddTheirOffsets)
{
    const auto boxes = FigmaMetadata::textBoxes(fixture("offsets.xml"));
    EXPECT_EQ(boxes.keys(), (QStringList{"2:1", "6:2"}));
    const std::vector<Placed> expected{
        {"3:2", "Title", 100, 260, 50, 20},
        {"3:3", "Sub", 150, 200, 40, 10},
        {"4:2", "A", 100, 200, 10, 10},
        {"4:4", "B", 115, 225, 1, 1},
        {"5:2", "C", 50, 30, 10, 10},
        {"5:4", "D", 20, 40, 10, 10},
        {"5:5", "E", 60, 80, 10, 10},
    };
    EXPECT_EQ(placed(boxes.value("2:1")), expected);
    EXPECT_EQ(placed(boxes.value("6:2")), (std::vector<Placed>{{"6:3", "F", 1, 2, 3, 4}}));
}

TEST(FigmaMetadata, HiddenChildrenAreSkippedButHiddenFramesAreStillWalked)
{
    const auto boxes = FigmaMetadata::textBoxes(fixture("hidden.xml"));
    EXPECT_EQ(boxes.keys(), QStringList{"2:1"});
    EXPECT_EQ(placed(boxes.value("2:1")), (std::vector<Placed>{
                                              {"2:2", "Shown", 10, 10, 100, 20},
                                              {"2:7", "Hidden only by lower case", 0, 300, 100, 20},
                                          }));
}

TEST(FigmaMetadata, LeafInstancesNeedTheMinimumSizeAndLaterFramesWin)
{
    const auto boxes = FigmaMetadata::textBoxes(fixture("instances.xml"));
    EXPECT_EQ(boxes.keys(), QStringList{"2:1"});
    EXPECT_EQ(placed(boxes.value("2:1")), (std::vector<Placed>{
                                              {"4:1", QString::fromUtf8("[컴포넌트] Button"), 10, 20, 40, 16},
                                              {"4:5", "Card title", 18, 108, 100, 20},
                                          }));
}

TEST(FigmaMetadata, BrokenXmlKeepsWhatParsedBeforeTheError)
{
    const auto boxes = FigmaMetadata::textBoxes(fixture("broken.xml"));
    EXPECT_EQ(boxes.keys(), (QStringList{"2:1", "3:1"}));
    EXPECT_EQ(placed(boxes.value("3:1")), (std::vector<Placed>{{"3:2", "Before the error", 5, 6, 7, 8}}));

    const FigmaMetadata::Tree tree = FigmaMetadata::parse(fixture("broken.xml"));
    ASSERT_EQ(tree.roots.size(), 1);
    EXPECT_EQ(tree.nodes.at(tree.roots.first()).children.size(), 2);

    EXPECT_TRUE(FigmaMetadata::textBoxes("").isEmpty());
    EXPECT_TRUE(FigmaMetadata::textBoxes("not xml at all").isEmpty());
}

TEST(FigmaMetadata, RootFrameIsItsOwnScreen)
{
    const auto boxes = FigmaMetadata::textBoxes(R"(<frame id="9:1"><text id="9:2" name="T" x="1" y="1" width="2" height="2"/></frame>)");
    EXPECT_EQ(placed(boxes.value("9:1")), (std::vector<Placed>{{"9:2", "T", 1, 1, 2, 2}}));
}

TEST(FigmaMetadata, NumbersMustBeWholeLiterals)
{
    const FigmaMetadata::Tree tree = FigmaMetadata::parse(
        R"(<frame><text x="12" y="-3.5" width="1e3" height="+.5"/><text x=" 12" y="12 " width="12px" height=""/>)"
        R"(<text x="inf" y="nan" width="1e999" height="0x10"/><text/></frame>)");
    ASSERT_EQ(tree.nodes.size(), 5);
    const FigmaMetadata::Node &good = tree.nodes.at(1);
    EXPECT_EQ(good.tag, "text");
    EXPECT_EQ(good.x, 12);
    EXPECT_EQ(good.y, -3.5);
    EXPECT_EQ(good.w, 1000);
    EXPECT_EQ(good.h, 0.5);
    for (qsizetype i = 2; i < tree.nodes.size(); ++i) {
        const FigmaMetadata::Node &n = tree.nodes.at(i);
        EXPECT_EQ(n.x, 0) << i;
        EXPECT_EQ(n.y, 0) << i;
        EXPECT_EQ(n.w, 0) << i;
        EXPECT_EQ(n.h, 0) << i;
        EXPECT_TRUE(n.id.isEmpty());
    }
}

TEST(FigmaMetadata, TrimmedCutsTheFirstElement)
{
    EXPECT_EQ(FigmaMetadata::trimmed("Here: <section id=\"1\"><frame/></section> done </section>!"),
              "<section id=\"1\"><frame/></section> done </section>");
    EXPECT_EQ(FigmaMetadata::trimmed("a <b>x</b> <frame>"), "<b>x</b>");
    EXPECT_EQ(FigmaMetadata::trimmed("words <frame id=\"1\"> open"), "<frame id=\"1\"> open");
    EXPECT_EQ(FigmaMetadata::trimmed("<Frame/> plain"), "<Frame/> plain");
}

TEST(FigmaMetadata, OutlineInsideTheToolResult)
{
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult("The outline: <section id=\"1\"><frame/></section> That is all."),
              "<section id=\"1\"><frame/></section>");
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult("Only <frame id=\"2\"><text/></frame> here"), "<frame id=\"2\"><text/></frame>");
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult("Nothing useful").has_value());
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult("saved to relative/out.txt").has_value());
}

// The notice the tool (2.1.197) hands over in place of a result it saved.
QString savedNotice(const QString &path)
{
    return "<persisted-output>\nOutput too large (61.2KB). Full output saved to: " + path
        + "\n\nPreview (first 2KB):\n[\n...\n</persisted-output>";
}

TEST(FigmaMetadata, OutlineFromTheSavedFile)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QDir dir(home.filePath("projects/-w/session/tool-results"));
    ASSERT_TRUE(dir.mkpath("."));
    const QString json = dir.filePath("result.json");
    writeFile(json, R"([{"type":"text","text":"Outline: <section id=\"1\">"},{"type":"image"},{"text":"<frame/></section> end"}])");
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(json)), "<section id=\"1\"><frame/></section>");
    // Only the tool's own notice names a file to read.
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult("Large output saved to " + json + " please read it").has_value());

    const QString txt = dir.filePath("result.txt");
    writeFile(txt, "head <frame id=\"3\"></frame> tail");
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(txt)), "<frame id=\"3\"></frame>");

    const QString plain = dir.filePath("plain.txt");
    writeFile(plain, "no tags here");
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(plain)), "no tags here");

    const QString objects = dir.filePath("objects.json");
    writeFile(objects, R"([{"type":"image"}])");
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(objects)), "");

    const QString badUtf8 = dir.filePath("bad.txt");
    writeFile(badUtf8, "<frame>\xff\xfe</frame>");
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(badUtf8)).has_value());
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(dir.filePath("missing.json"))).has_value());
}

TEST(FigmaMetadata, PersistedOutputIsReadFromItsFileNotItsPreview)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QDir dir(home.filePath("projects/-w/session/tool-results"));
    ASSERT_TRUE(dir.mkpath("."));
    const QString whole = "<section id=\"1:1\"><frame id=\"1:2\"><text id=\"9\"/></frame></section>";
    const QString preview = "\n\nPreview (first 2KB):\n<section id=\"1:1\"><frame id=\"1:2\">\n...\n</persisted-output>";
    const QString json = dir.filePath("toolu_01.json");
    writeFile(json, QJsonDocument(QJsonArray{QJsonObject{{"type", "text"}, {"text", whole}}}).toJson());
    const QString txt = dir.filePath("toolu_02.txt");
    writeFile(txt, whole.toUtf8());
    for (const QString &path : {json, txt})
        EXPECT_EQ(FigmaMetadata::xmlFromToolResult("<persisted-output>\nOutput too large (150.2KB). Full output saved to: " + path
                                                   + preview),
                  whole);
    // Other words name no file: the preview's own outline is what there is.
    const QStringList others{
        "<persisted-output>\nOutput too large. Full output saved to " + json + preview,
        "<persisted-output>\nOutput has been saved to " + txt + "." + preview,
    };
    for (const QString &result : others)
        EXPECT_NE(FigmaMetadata::xmlFromToolResult(result), whole) << result.toStdString();
    // A saved file that cannot be read leaves the inline text.
    const std::optional<QString> inline_ = FigmaMetadata::xmlFromToolResult(
        "<persisted-output>\nOutput too large (1KB). Full output saved to: " + dir.filePath("gone.json")
        + "\n\nPreview (first 2KB):\n<frame id=\"x\"></frame>\n</persisted-output>");
    ASSERT_TRUE(inline_.has_value());
    EXPECT_TRUE(inline_->contains("<frame id=\"x\"></frame>"));
}

TEST(FigmaMetadata, JsonlPathReadsTheJsonFile)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    ASSERT_TRUE(QDir(home.path()).mkpath("projects/-w/session/tool-results"));
    const QString base = home.filePath("projects/-w/session/tool-results/out.json");
    writeFile(base + "l", "<frame id=\"jsonl\"/>");
    writeFile(base, "<frame id=\"json\"/>");
    // The tool saves .json and .txt files only: a notice naming another
    // file names none, and no file beside it is read instead.
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(base + "l")).has_value());
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(base)), "<frame id=\"json\"/>");
}

TEST(FigmaMetadata, SavedFileMustBeARegularFileOfBoundedSize)
{
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QDir dir(home.filePath("projects/-w/session/tool-results"));
    ASSERT_TRUE(dir.mkpath("."));

    const QString large = dir.filePath("large.txt");
    {
        QFile file(large);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.write("<frame/>"));
        ASSERT_TRUE(file.resize(FigmaMetadata::maxSavedResultSize + 1));
    }
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(large)).has_value());

    const QString folder = dir.filePath("folder.json");
    ASSERT_TRUE(QDir().mkdir(folder));
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(folder)).has_value());

    // Opening a pipe without a writer would block forever.
    const QString fifo = dir.filePath("pipe.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_FALSE(FigmaMetadata::xmlFromToolResult(savedNotice(fifo)).has_value());

    const QString link = dir.filePath("link.txt");
    const QString target = dir.filePath("target.xml");
    writeFile(target, "<frame id=\"t\"/>");
    ASSERT_TRUE(QFile::link(target, link));
    EXPECT_EQ(FigmaMetadata::xmlFromToolResult(savedNotice(link)), "<frame id=\"t\"/>");
}

TEST(FigmaMetadata, DeepOutlineDoesNotExhaustTheStack)
{
    constexpr int depth = 200000;
    QString outline = QStringLiteral("<frame id=\"deep\">");
    // Alternating positions keep every level from counting as a group.
    for (int i = 0; i < depth; ++i)
        outline += i % 2 ? QStringLiteral("<frame x=\"2\">") : QStringLiteral("<frame x=\"1\">");
    outline += QStringLiteral("<text id=\"t\" width=\"2\" height=\"3\"/>");
    const auto boxes = FigmaMetadata::textBoxes(outline);
    EXPECT_EQ(placed(boxes.value("deep")), (std::vector<Placed>{{"t", "", depth / 2 * 3.0, 0, 2, 3}}));
}
