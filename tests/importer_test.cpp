#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/importer.h"
#include "model/plan.h"
#include "support/richplan.h"

#include <QDir>
#include <sys/stat.h>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

const QByteArray headMarker = "<meta name=\"generator\" content=\"quarrystone\">";
const QByteArray planMarker = "id=\"quarrystone-plan\"";

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

Plan richPlan()
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/plan/rich-plan.json"));
    if (!file.open(QIODevice::ReadOnly))
        ADD_FAILURE() << "missing rich plan fixture";
    Plan plan = Plan::decode(file.readAll());
    plan.screens[0].title = QStringLiteral("닫는 </script> 와 <b>굵게</b> & \"따옴표\"");
    return plan;
}

// JSON with every object's keys in reverse order, so a reader that relied
// on the writer's order would fail.
QByteArray reversedKeys(const QJsonValue &value)
{
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        QStringList keys = object.keys();
        std::reverse(keys.begin(), keys.end());
        QByteArray out = "{";
        for (const QString &key : keys) {
            if (out.size() > 1)
                out += ',';
            out += JSONCoding::quoted(key) + ':' + reversedKeys(object.value(key));
        }
        return out + '}';
    }
    if (value.isArray()) {
        QByteArray out = "[";
        for (const QJsonValue &element : value.toArray()) {
            if (out.size() > 1)
                out += ',';
            out += reversedKeys(element);
        }
        return out + ']';
    }
    return JSONCoding::compact(value);
}

// The escaping the page applies to its embedded JSON.
QByteArray embedded(QByteArray json)
{
    json.replace("/", "\\/");
    json.replace("<", "\\u003c");
    return json;
}

QByteArray page(const QByteArray &planBlock, const QByteArray &imageBlock = QByteArray())
{
    QByteArray html = "<!doctype html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n" + headMarker
                      + "\n<title>계획서</title>\n</head>\n<body>\n<div class=\"wrap\"><h1>계획서</h1></div>\n"
                        "<script>\nvar x = 1;\n</script>\n<script type=\"application/json\" id=\"quarrystone-plan\">"
                      + planBlock + "</script>\n";
    if (!imageBlock.isNull())
        html += "<script type=\"application/json\" id=\"quarrystone-img\">" + imageBlock + "</script>";
    return html + "\n<script>\nvar y = 2;\n</script>\n</body>\n</html>";
}

QString dataUrl(const QByteArray &bytes, const char *mime = "image/png")
{
    return QStringLiteral("data:") + QLatin1String(mime) + QStringLiteral(";base64,") + QString::fromLatin1(bytes.toBase64());
}

QByteArray imageBlock(const QJsonObject &map)
{
    return embedded(JSONCoding::compact(map));
}

class ImporterTest : public testing::Test
{
protected:
    QString path(const QString &name) const { return dir.filePath(name); }

    QString write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return file.fileName();
    }

    // A file of `size` bytes, holes apart from `text` written at `offset`.
    QString sparse(const QString &name, qint64 size, qint64 offset, const QByteArray &text) const
    {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_TRUE(file.resize(size));
        EXPECT_TRUE(file.seek(offset));
        file.write(text);
        EXPECT_EQ(file.size(), size);
        return file.fileName();
    }

    std::string failure(const QString &file) const
    {
        try {
            Importer::read(file);
        } catch (const Importer::Failure &f) {
            return utf8(f.message);
        }
        return "no failure";
    }

    QByteArray contents(const QString &name) const
    {
        QFile file(path(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(ImporterTest, PageIsRecognisedByItsHeadAlone)
{
    // Far above the whole-file limit, so only the head can have answered.
    EXPECT_TRUE(Importer::isPlanHTML(sparse("big.html", 40'000'000, 0, page("{}"))));
}

TEST_F(ImporterTest, HeadMarkerCountsOnlyWithinTheFirst4096Bytes)
{
    const QByteArray marker = "content=\"quarrystone\"";
    const QByteArray endsAtLimit = QByteArray(4096 - marker.size(), ' ') + marker;
    EXPECT_TRUE(Importer::isPlanHTML(write("at.html", endsAtLimit + "\n</html>")));
    EXPECT_FALSE(Importer::isPlanHTML(write("after.html", ' ' + endsAtLimit + "\n</html>")));
}

TEST_F(ImporterTest, HeadCutInsideACharacterFallsBackToTheWholeFile)
{
    // "가" is three bytes; the cut head ends after its first one.
    const QByteArray padded = headMarker + QByteArray(4096 - headMarker.size(), ' ');
    const QByteArray cut = padded.chopped(1) + "가";
    EXPECT_FALSE(Importer::isPlanHTML(write("cut.html", cut + " 본문")));
    EXPECT_TRUE(Importer::isPlanHTML(write("cut-with-block.html", cut + "<script " + planMarker + ">{}</script>")));
    EXPECT_TRUE(Importer::isPlanHTML(write("whole.html", padded + "가 본문")));
}

TEST_F(ImporterTest, WholeFileSearchStopsAtThirtyMillionBytes)
{
    EXPECT_TRUE(Importer::isPlanHTML(sparse("below.html", 29'999'999, 29'999'999 - planMarker.size(), planMarker)));
    EXPECT_FALSE(Importer::isPlanHTML(sparse("at.html", 30'000'000, 30'000'000 - planMarker.size(), planMarker)));
    // A marker split across the reader's pieces is still found.
    EXPECT_TRUE(Importer::isPlanHTML(sparse("split-head.html", 3'000'000, 4096 - 5, planMarker)));
    EXPECT_TRUE(Importer::isPlanHTML(sparse("split.html", 3'000'000, 4096 + (1 << 20) - 5, planMarker)));
    EXPECT_FALSE(Importer::isPlanHTML(sparse("none.html", 3'000'000, 100, "<p>hello</p>")));
}

TEST_F(ImporterTest, OnlyRegularFilesAreLookedAt)
{
    const QString fifo = path("pipe.html");
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Opening the pipe would wait for a writer for ever.
    EXPECT_FALSE(Importer::isPlanHTML(fifo));
    EXPECT_FALSE(Importer::isPlanHTML(dir.path()));
    EXPECT_FALSE(Importer::isPlanHTML(path("missing.html")));

    const QString target = write("real.html", page("{}"));
    ASSERT_TRUE(QFile::link(target, path("link.html")));
    EXPECT_TRUE(Importer::isPlanHTML(path("link.html")));
}

TEST_F(ImporterTest, OrdinaryWebPageIsRefusedNamingTheFile)
{
    const QString file = write("소식 page.html", "<!doctype html>\n<html><head><meta name=\"generator\" content=\"Hugo\">"
                                                 "</head><body><script>var a = 1;</script></body></html>");
    EXPECT_FALSE(Importer::isPlanHTML(file));
    EXPECT_EQ(failure(file), "“소식 page.html” 은(는) 이 앱에서 내보낸 계획서 HTML 이 아니라 가져올 수 없어요. "
                             "다른 사람에게 받을 때는 앱의 “내보내기”로 만든 파일을 받아 주세요.");
    // A block that never closes is a page cut short, and said to be.
    const QString open = write("open.html", "<script type=\"application/json\" " + planMarker + ">{\"meta\":{}}");
    EXPECT_EQ(failure(open), "“open.html” 은(는) 계획서 데이터 중간에서 잘려 있어요. 파일을 다시 받아 주세요.");
}

TEST_F(ImporterTest, ReadsPlanAndImagesWrittenInAnyKeyOrder)
{
    const Plan plan = richPlan();
    const QByteArray planJson = embedded(reversedKeys(plan.toJson()));
    ASSERT_TRUE(planJson.contains("\\/")) << "the plan should hold a slash";
    ASSERT_TRUE(planJson.contains("\\u003c\\/script>"));
    const QByteArray png("\x89PNG\r\n\x1a\n\0\1\2", 11);
    const QJsonObject images{{QStringLiteral("img/node-12-40.png"), dataUrl(png)},
                             {QStringLiteral("img/leave-ios.png"), dataUrl("GIF89a", "image/gif")}};
    const QString file = write("index.html", page(planJson, imageBlock(images)));

    EXPECT_TRUE(Importer::isPlanHTML(file));
    const ImportedPlan imported = Importer::read(file);
    EXPECT_EQ(JSONCoding::compact(imported.plan), JSONCoding::compact(plan));
    EXPECT_EQ(imported.plan.screens[0].title, plan.screens[0].title);
    EXPECT_EQ(imported.source, file);
    EXPECT_TRUE(imported.candidates.isEmpty());
    ASSERT_EQ(imported.assets.size(), 2);
    EXPECT_EQ(imported.assets.value(QStringLiteral("img/leave-ios.png")), "data:image/gif;base64,R0lGODlh");
    EXPECT_EQ(imported.assets.value(QStringLiteral("img/node-12-40.png")), "data:image/png;base64," + png.toBase64());
    EXPECT_NE(Importer::read(file).id, imported.id);
}

TEST_F(ImporterTest, HandWrittenBlockWithEscapes)
{
    const QByteArray planJson = "\n  {\"screens\":[{\"title\":\"A\\u003cB \\/ \\u003c\\/script>\",\"name\":\"Home\",\"id\":\"home\"}],"
                                "\"meta\":{\"title\":\"제목\",\"feature\":\"Chat\"}}  \n";
    const ImportedPlan imported = Importer::read(write("hand.html", page(planJson)));
    EXPECT_EQ(utf8(imported.plan.meta.feature), "Chat");
    ASSERT_EQ(imported.plan.screens.size(), 1);
    EXPECT_EQ(utf8(imported.plan.screens[0].title), "A<B / </script>");
    EXPECT_EQ(utf8(imported.plan.screens[0].key), "home");
    EXPECT_TRUE(imported.assets.isEmpty());
    // Missing keys take their defaults.
    EXPECT_EQ(imported.plan.schemaVersion, 1);
    EXPECT_EQ(utf8(imported.plan.meta.stage), "before-dev");
}

TEST_F(ImporterTest, ImageMapEscapesMeanWhatJsonSays)
{
    // Escaped slashes beside escaped backslashes, quotes and "<".
    const QByteArray block = R"({"img\/a.png":"x\\/y\\\\\/z\u003c\/\"\/","img\/b\\.png":"\\"})";
    const ImportedPlan imported = Importer::read(write("escapes.html", page("{\"meta\":{}}", block)));
    ASSERT_EQ(imported.assets.size(), 2);
    EXPECT_EQ(imported.assets.value("img/a.png").toStdString(), R"(x\/y\\/z</"/)");
    EXPECT_EQ(imported.assets.value("img/b\\.png").toStdString(), "\\");
    // A backslash outside a string stays an error.
    EXPECT_TRUE(Importer::read(write("stray.html", page("{\"meta\":{}}", R"({"img\/a.png":"x"\/})"))).assets.isEmpty());
}

TEST_F(ImporterTest, BrokenImageBlockGivesNoImages)
{
    const QByteArray plan = "{\"meta\":{\"feature\":\"Chat\"}}";
    const char *broken[] = {"{\"img/a.png\":\"data:image/png;base64,QQ==\",\"img/b.png\":7}", "[\"img/a.png\"]",
                            "{\"img/a.png\":", ""};
    for (const char *block : broken) {
        const ImportedPlan imported = Importer::read(write("broken.html", page(plan, block)));
        EXPECT_TRUE(imported.assets.isEmpty()) << block;
        EXPECT_EQ(utf8(imported.plan.meta.feature), "Chat");
    }
}

// The writer's spelling is read in place; every other spelling of JSON,
// and JSON broken part-way through the map, reads as the parser says.
TEST_F(ImporterTest, ImageMapSpelledOtherwiseReadsAsJsonSays)
{
    const QByteArray plan = "{\"meta\":{\"feature\":\"Chat\"}}";
    const struct {
        const char *block;
        Importer::Assets assets;
    } rows[] = {
        {R"({"img\/a.png":"x\/y","img\/b.png":"z"})", {{"img/a.png", "x/y"}, {"img/b.png", "z"}}},
        {R"({})", {}},
        {" {\"img\\/a.png\":\"x\"}", {{"img/a.png", "x"}}},
        {"{\"img\\/a.png\":\"x\"}\n", {{"img/a.png", "x"}}},
        {R"({ "img\/a.png" : "x" , "img\/b.png":"y"})", {{"img/a.png", "x"}, {"img/b.png", "y"}}},
        {R"({"img\/a.png":"x\u0041\/","img\/b.png":"y"})", {{"img/a.png", "xA/"}, {"img/b.png", "y"}}},
        {R"({"img\/\"q\".png":"x"})", {{"img/\"q\".png", "x"}}},
        {R"({"img\/a.png":"a<b","img\/b.png":"y"})", {{"img/a.png", "a<b"}, {"img/b.png", "y"}}},
        // Long texts are gone through eight bytes at a time: what stands out
        // reads the same wherever it falls in a word.
        {R"({"img\/a.png":"01234567\/9abcdef01234\/\/789abcdef\/","img\/b.png":"0123456789abcdefX"})",
         {{"img/a.png", "01234567/9abcdef01234//789abcdef/"}, {"img/b.png", "0123456789abcdefX"}}},
        {R"({"img\/a.png":"0123456789abcd<f0123","img\/b.png":"y"})", {{"img/a.png", "0123456789abcd<f0123"}, {"img/b.png", "y"}}},
        {"{\"img\\/a.png\":\"0123456789a\tcdef0123\"}", {{"img/a.png", "0123456789a\tcdef0123"}}},
        {R"({"img\/a.png":"0123456789abcdef\u0041123456789"})", {{"img/a.png", "0123456789abcdefA123456789"}}},
        {"{\"img\\/a.png\":\"0123456789abcdef한글0123456789\"}", {{"img/a.png", "0123456789abcdef한글0123456789"}}},
        // The block ends at the first "</script>", even inside a string.
        {R"({"img\/a.png":"a</script>b"})", {}},
        {"{\"img\\/한.png\":\"값\",\"img\\/b.png\":\"y\"}", {{"img/한.png", "값"}, {"img/b.png", "y"}}},
        {"{\"img\\/\xef\xbf\xbf\xf4\x8f\xbf\xbf.png\":\"x\"}", {{"img/\xef\xbf\xbf\xf4\x8f\xbf\xbf.png", "x"}}},
        // Of one key given twice, the last value holds.
        {R"({"img\/a.png":"x","img/a.png":"y"})", {{"img/a.png", "y"}}},
        {R"({"img\/a.png":"x","img\/b.png":"y",})", {}},
        {R"({"img\/a.png":"x"}x)", {}},
        // Qt's parser drops an unknown escape's backslash and takes a raw tab.
        {R"({"img\/a.png":"x\y"})", {{"img/a.png", "xy"}}},
        {"{\"img\\/a.png\":\"x\ty\"}", {{"img/a.png", "x\ty"}}},
        {R"({"img\/a.png":"x","img\/b.png"})", {}},
        {R"({"img\/a.png":"x")", {}},
        {R"({"img\/a.png")", {}},
        {R"({)", {}},
    };
    for (const auto &row : rows) {
        const ImportedPlan imported = Importer::read(write("spelled.html", page(plan, row.block)));
        EXPECT_EQ(imported.assets, row.assets) << row.block;
        EXPECT_EQ(utf8(imported.plan.meta.feature), "Chat");
    }
    // A map that never closes before the page ends.
    const QByteArray open = page(plan).replace("</body>", "<script type=\"application/json\" id=\"quarrystone-img\">"
                                                          "{\"img\\/a.png\":\"x\"}");
    EXPECT_TRUE(Importer::read(write("open.html", open)).assets.isEmpty());
}

// The map is read a piece at a time: an escape, a quote, a key or the
// map's end on either side of where one piece ends reads as a whole.
TEST_F(ImporterTest, ImageMapReadAcrossPiecesOfThePage)
{
    constexpr qsizetype piece = 8 << 20;
    const QByteArray start = R"({"img\/a.png":")";
    const QByteArray tail = R"(","img\/k.png":"a\/b"})";
    for (qsizetype shift = 0; shift < tail.size() + 2; ++shift) {
        SCOPED_TRACE(shift);
        // The tail begins `shift` bytes before the first piece ends.
        QByteArray filler;
        const qsizetype fillerSize = piece - shift - start.size();
        filler.reserve(fillerSize);
        while (filler.size() + 66 <= fillerSize)
            filler += QByteArray(64, 'Q') + "\\/";
        filler += QByteArray(fillerSize - filler.size(), 'Q');
        const QByteArray block = start + filler + tail;
        ASSERT_EQ(block.indexOf(tail), piece - shift);
        const ImportedPlan imported = Importer::read(write("pieces.html", page("{\"meta\":{}}", block)));
        ASSERT_EQ(imported.assets.size(), 2);
        EXPECT_EQ(imported.assets.value("img/k.png"), "a/b");
        EXPECT_TRUE(imported.assets.value("img/a.png") == QByteArray(filler).replace("\\/", "/"));
    }
}

// An entry longer than a piece of the page is taken where it was read,
// between others, in either spelling; one that holds what needs the parser
// reads as the parser says.
TEST_F(ImporterTest, ImageMapEntryLongerThanAPiece)
{
    QByteArray large;
    while (large.size() < (20 << 20))
        large += QByteArray(62, 'Q') + "\\/";
    const struct {
        const char *opening, *between, *closing;
        QByteArray odd{};
    } rows[] = {{"{", ",", "}"}, {"{\n  ", " ,\n  ", "\n}\n"}, {"{", ",", "}", "\\u0041"}, {"{ ", ", ", " }", "<"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.between);
        const QByteArray value = large + row.odd + "Z";
        const QByteArray block = row.opening + QByteArray(R"("img\/a.png":"x")") + row.between + R"("img\/big.png" : ")" + value
            + "\"" + row.between + R"("img\/z.png":"a\/b")" + row.closing;
        const ImportedPlan imported = Importer::read(write("large.html", page("{\"meta\":{}}", block)));
        ASSERT_EQ(imported.assets.size(), 3);
        EXPECT_EQ(imported.assets.value("img/a.png"), "x");
        EXPECT_EQ(imported.assets.value("img/z.png"), "a/b");
        const QByteArray expected = QByteArray(large).replace("\\/", "/") + (row.odd.startsWith('\\') ? "A" : row.odd) + "Z";
        EXPECT_TRUE(imported.assets.value("img/big.png") == expected);
    }
}

// The page is looked at in pieces: a block's opening tag or a character
// across where one ends is found whole, and a bad byte there is refused.
TEST_F(ImporterTest, PageReadAcrossPiecesOfTheFile)
{
    constexpr qsizetype piece = 2 << 20;
    const QByteArray plain = page("{\"meta\":{\"feature\":\"Chat\"}}", R"({"img\/a.png":"x"})");
    const qsizetype blocks = plain.indexOf("<script type=\"application/json\"");
    // The page with a comment of `size` bytes, `text` at its end, before
    // its blocks.
    const auto padded = [&](qsizetype size, const QByteArray &text) {
        const QByteArray comment = "<!--" + QByteArray(size - 7 - text.size(), '-') + text + "-->";
        return plain.left(blocks) + comment + plain.mid(blocks);
    };
    const QByteArray planTag = "id=\"quarrystone-plan\">";
    const qsizetype tagInScript = QByteArray("<script type=\"application/json\" ").size();
    for (qsizetype shift = 0; shift <= planTag.size(); ++shift) {
        SCOPED_TRACE(shift);
        const QByteArray html = padded(piece - shift - blocks - tagInScript, "");
        ASSERT_EQ(html.indexOf(planTag), piece - shift);
        const ImportedPlan imported = Importer::read(write("tag.html", html));
        EXPECT_EQ(utf8(imported.plan.meta.feature), "Chat");
        EXPECT_EQ(imported.assets, (Importer::Assets{{"img/a.png", "x"}}));
    }
    for (qsizetype shift = 1; shift <= 4; ++shift) {
        SCOPED_TRACE(shift);
        // "가" is three bytes, the first `shift` bytes before the piece ends.
        const qsizetype comment = piece - blocks - shift + 3 + 3;
        const QByteArray whole = padded(comment, "가");
        ASSERT_EQ(whole.indexOf("가"), piece - shift);
        EXPECT_EQ(utf8(Importer::read(write("whole.html", whole)).plan.meta.feature), "Chat");
        EXPECT_EQ(failure(write("cut.html", padded(comment, QByteArray("가").left(2) + "-"))), "파일을 읽지 못했어요");
        EXPECT_EQ(failure(write("stray.html", padded(comment, "-\x80\x80"))), "파일을 읽지 못했어요");
        EXPECT_EQ(failure(write("run.html", padded(comment + 2, "\xea\x80\x80\x80\x80"))), "파일을 읽지 못했어요");
    }
}

TEST_F(ImporterTest, PlanBlockThatIsNoPlanFails)
{
    const std::string prefix = "계획서 데이터를 읽지 못했어요: ";
    const char *blocks[] = {"[1,2]", "\"plan\"", "{\"meta\":", "", "{}", "{\"unrelated\":true}"};
    for (const char *block : blocks) {
        const std::string message = failure(write("bad.html", page(block)));
        EXPECT_EQ(message.substr(0, prefix.size()), prefix) << block;
        EXPECT_GT(message.size(), prefix.size()) << block;
    }
    // One plan key is enough, even with a value of the wrong type.
    EXPECT_EQ(Importer::read(write("one.html", page("{\"screens\":\"none\"}"))).plan.screens.size(), 0);
}

TEST_F(ImporterTest, UnreadableFiles)
{
    EXPECT_EQ(failure(path("missing.html")), "파일을 읽지 못했어요");
    EXPECT_EQ(failure(write("latin1.html", page("{\"meta\":{\"title\":\"caf\xe9\"}}"))), "파일을 읽지 못했어요");
    EXPECT_EQ(failure(dir.path()), "파일을 읽지 못했어요");
    // A pipe would wait for a writer for ever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("pipe.html")).constData(), 0600), 0);
    EXPECT_EQ(failure(path("pipe.html")), "파일을 읽지 못했어요");
}

// The page is checked for UTF-8 without being decoded: a page of more
// than 1 MiB of many-byte characters reads, and a surrogate, an overlong
// form or a stray continuation byte anywhere in it is refused.
TEST_F(ImporterTest, StrictUtf8ReachesAcrossTheWholePage)
{
    for (const int shift : {0, 1, 2, 3}) {
        SCOPED_TRACE(shift);
        QByteArray title(shift, 'a');
        while (title.size() < (1 << 20) + 64)
            title += "한😀";
        const QString fine = write("fine.html", page("{\"meta\":{\"title\":\"" + title + "\"}}"));
        EXPECT_EQ(Importer::read(fine).plan.meta.title, QString::fromUtf8(title));
        for (const QByteArray &bad : {QByteArray("\xed\xa0\x80"), QByteArray("\xc0\xaf"), QByteArray("\x80\x80\x80\x80")}) {
            const qsizetype at = shift + 7 * (((1 << 20) - 40) / 7);
            const QByteArray broken = title.left(at) + bad + title.mid(at);
            EXPECT_EQ(failure(write("bad.html", page("{\"meta\":{\"title\":\"" + broken + "\"}}"))),
                      "파일을 읽지 못했어요");
        }
    }
}

TEST_F(ImporterTest, WritesImagesUnderImg)
{
    const QByteArray png("\x89PNG\r\n\x1a\n\0\xff\x10", 11);
    // What is no picture, or a picture whose header claims sides no screen
    // has, is skipped and named.
    QByteArray wide("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\0\0\0\0\0\x10", 24);
    Importer::Assets assets{{"img/node-1-2.png", dataUrl(png).toLatin1()},
                            {"img/ios/deep/leave.png", "anything,R0lGODlh"},
                            {"img/empty.png", "data:image/png;base64,"},
                            {"img/page.png", "data:image/png;base64," + QByteArray("<html>").toBase64()},
                            {"img/wide.png", dataUrl(wide).toLatin1()}};
    const QString plan = path("plan");
    QStringList skipped;
    EXPECT_EQ(Importer::writeAssets(assets, plan, nullptr, &skipped), 2);
    EXPECT_EQ(contents("plan/img/node-1-2.png"), png);
    EXPECT_EQ(contents("plan/img/ios/deep/leave.png"), "GIF89a");
    for (const char *name : {"plan/img/empty.png", "plan/img/page.png", "plan/img/wide.png"})
        EXPECT_FALSE(QFile::exists(path(name))) << name;
    EXPECT_EQ(skipped, QStringList({"img/empty.png: 그림 파일이 아니라 건너뛰었어요", "img/page.png: 그림 파일이 아니라 건너뛰었어요",
                                    "img/wide.png: 그림 파일이 아니라 건너뛰었어요"}));

    // An existing image is replaced whole.
    write("plan/img/node-1-2.png", QByteArray(5000, 'x'));
    EXPECT_EQ(Importer::writeAssets({{"img/node-1-2.png", "data:,R0lGODlh"}}, plan), 1);
    EXPECT_EQ(contents("plan/img/node-1-2.png"), "GIF89a");

    // One already holding the same bytes counts but is left as it is; one of
    // the same size with other bytes is replaced.
    write("plan/img/other.png", "GIF89b");
    const auto inode = [this](const char *name) {
        struct stat info {};
        return ::stat(QFile::encodeName(path(name)).constData(), &info) == 0 ? info.st_ino : 0;
    };
    const auto same = inode("plan/img/node-1-2.png");
    const auto other = inode("plan/img/other.png");
    EXPECT_EQ(Importer::writeAssets({{"img/node-1-2.png", "data:,R0lGODlh"}, {"img/other.png", "data:,R0lGODlh"}}, plan), 2);
    EXPECT_EQ(inode("plan/img/node-1-2.png"), same);
    EXPECT_NE(inode("plan/img/other.png"), other);
    EXPECT_EQ(contents("plan/img/other.png"), "GIF89a");
}

TEST_F(ImporterTest, UnusableEntriesAreSkipped)
{
    const QByteArray ok = "data:image/png;base64,R0lGODlh";
    const Importer::Assets assets{
        {"img/../escape.png", ok},
        {"img/a..b.png", ok},
        {"../img/escape.png", ok},
        {"/tmp/img/escape.png", ok},
        {dir.path() + "/img/abs.png", ok},
        {"IMG/upper.png", ok},
        {"pics/other.png", ok},
        {"img\\win.png", ok},
        {"img/back\\slash.png", ok},
        {QStringLiteral("img/nul") + QChar(0) + QStringLiteral(".png"), ok},
        // A name that would print as a terminal's order.
        {QStringLiteral("img/\x1b]0;title\x07.png"), ok},
        {QStringLiteral("img/line\nbreak.png"), ok},
        {QStringLiteral("img/c1\u009b31m.png"), ok},
        {"img/", ok},
        {"img/.", ok},
        {"img/no-comma.png", "data:image/png;base64;R0lGODlh"},
        {"img/newline.png", "data:image/png;base64,R0lG\nODlh"},
        {"img/space.png", "data:image/png;base64,R0lG ODlh"},
        {"img/unpadded.png", "data:image/png;base64,R0lGODg"},
        {"img/one-char.png", "data:image/png;base64,R"},
        {"img/bad-char.png", "data:image/png;base64,R0lG*Dlh"},
        {"img/url-alphabet.png", "data:image/png;base64,R0lG_Dlh"},
        {"img/pad-inside.png", "data:image/png;base64,QQ==QUJD"},
        {"img/short-pad.png", "data:image/png;base64,QQ="},
    };
    const QString plan = path("plan");
    EXPECT_EQ(Importer::writeAssets(assets, plan), 0);
    EXPECT_FALSE(QFile::exists(path("escape.png")));
    EXPECT_FALSE(QFile::exists(path("img")));
    const QDir img(plan + QStringLiteral("/img"));
    EXPECT_TRUE(img.entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty()) << utf8(img.entryList().join(' '));
}

// Every payload gives the bytes Qt's strict decoder gives, or is skipped
// where it refuses: the writer's spelling of every length and of all the
// alphabet, and spellings it never uses.
TEST_F(ImporterTest, PicturesDecodeAsTheStrictDecoderSays)
{
    QList<QByteArray> payloads;
    for (int size = 0; size < 40; ++size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (int at = 0; at < size; ++at)
            bytes[at] = char(QRandomGenerator(size).bounded(256) ^ (at * 37));
        payloads.append(bytes.toBase64());
    }
    QByteArray every;
    for (int value = 0; value < 256; ++value)
        every += char(value);
    payloads.append(every.toBase64());
    payloads.append(QByteArray(every).append(every).toBase64());
    payloads += {"QR==", "QUJ=", "QUK=", "Q===", "====", "QUJD====", "=QUJ", "QQ==QUJD", "QU=D", "A+/=", "AB\xff=",
                 "ABC\x80", "////", "++++"};
    // Each behind a GIF's signature, whole base64 groups of its own.
    for (QByteArray &payload : payloads)
        payload.prepend(QByteArray("GIF89a").toBase64());
    Importer::Assets assets;
    for (qsizetype at = 0; at < payloads.size(); ++at)
        assets.insert(QStringLiteral("img/%1.png").arg(at, 3, 10, QLatin1Char('0')), "data:;base64," + payloads[at]);
    const QString plan = path("plan");
    int usable = 0;
    Importer::writeAssets(assets, plan);
    for (qsizetype at = 0; at < payloads.size(); ++at) {
        const auto decoded = QByteArray::fromBase64Encoding(
            payloads[at], QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
        const QString name = QStringLiteral("plan/img/%1.png").arg(at, 3, 10, QLatin1Char('0'));
        if (decoded.decodingStatus == QByteArray::Base64DecodingStatus::Ok) {
            ++usable;
            EXPECT_EQ(contents(name), decoded.decoded) << payloads[at].constData();
        } else {
            EXPECT_FALSE(QFile::exists(path(name))) << payloads[at].constData();
        }
    }
    EXPECT_GE(usable, 45);
}

TEST_F(ImporterTest, LinksOutOfThePlanFolderAreNotFollowed)
{
    const QString plan = path("plan");
    const QString outside = path("outside");
    ASSERT_TRUE(QDir().mkpath(plan + QStringLiteral("/img")));
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QFile::link(outside, plan + QStringLiteral("/img/shots")));
    write("outside/kept.png", "kept");
    ASSERT_TRUE(QFile::link(path("outside/kept.png"), plan + QStringLiteral("/img/kept.png")));

    ASSERT_TRUE(QFile::link(path("outside/made.png"), plan + QStringLiteral("/img/dangling.png")));

    const QByteArray gif = "data:image/gif;base64,R0lGODlh";
    QStringList failures;
    EXPECT_EQ(Importer::writeAssets({{"img/shots/new.png", gif},
                                     {"img/shots/deeper/new.png", gif},
                                     {"img/kept.png", gif},
                                     {"img/dangling.png", gif},
                                     {"img/fine.png", gif}},
                                    plan, &failures),
              1);
    // Each picture left out is named, so that no caller takes a folder with
    // missing pictures for a whole import.
    const QString linked = QStringLiteral(": 계획서 폴더 밖으로 이어진 링크라 쓰지 않았어요");
    EXPECT_EQ(failures, (QStringList{"img/dangling.png" + linked, "img/kept.png" + linked,
                                     "img/shots/deeper/new.png" + linked, "img/shots/new.png" + linked}));
    EXPECT_EQ(utf8(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(u' ')), "kept.png");
    EXPECT_EQ(contents("outside/kept.png"), "kept");
    EXPECT_EQ(contents("plan/img/fine.png"), "GIF89a");
}

TEST_F(ImporterTest, PageWrittenByTheFolderWriterComesBackWhole)
{
    Plan plan = RichPlan::make();
    plan.screens[0].title += QStringLiteral(" </script><img src=x onerror=alert(1)> \\/ \\u003c");
    plan.screens[0].image.ios = QStringLiteral("img/ios/feed.png");
    plan.screens[1].image.android = QStringLiteral("https://example.com/web.png");
    const QString first = path("first");
    QStringList images;
    for (const Screen &screen : plan.screens)
        for (const auto &image : {screen.image.before, screen.image.android, screen.image.ios})
            if (image && !image->startsWith(u"https:"))
                images.append(*image);
    ASSERT_EQ(images.size(), 4);
    for (const QString &image : images) {
        QByteArray bytes(3000, Qt::Uninitialized);
        QRandomGenerator(images.indexOf(image) + 1).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        bytes.replace(0, 6, "GIF89a");
        ASSERT_TRUE(QDir().mkpath(QFileInfo(first + u'/' + image).absolutePath()));
        write("first/" + image, bytes);
    }
    Exporter::writeAll(plan, first, Conventions::builtIn());

    const QString page = first + QStringLiteral("/index.html");
    ASSERT_TRUE(Importer::isPlanHTML(page));
    const ImportedPlan imported = Importer::read(page);
    EXPECT_EQ(JSONCoding::compact(imported.plan), JSONCoding::compact(plan));
    EXPECT_EQ(imported.plan.screens[0].title, plan.screens[0].title);
    EXPECT_EQ(imported.assets.size(), images.size());

    const QString second = path("second");
    EXPECT_EQ(Importer::writeAssets(imported.assets, second), images.size());
    Plan again = imported.plan;
    Exporter::writeAll(again, second, Conventions::builtIn());
    for (const QString &image : images)
        EXPECT_EQ(contents("second/" + image), contents("first/" + image)) << utf8(image);
    for (const char *file : {"plan.json", "plan.md", "index.html"})
        EXPECT_EQ(contents(QStringLiteral("second/") + QLatin1String(file)), contents(QStringLiteral("first/") + QLatin1String(file)))
            << file;
    EXPECT_EQ(Importer::changes(plan, again), QStringList{QStringLiteral("바뀐 곳이 없어요")});
}

// Texts with a surrogate that lost its partner (hand-edited or from an
// answer) survive plan.json and the page's plan block unchanged.
TEST_F(ImporterTest, LoneSurrogatesSurviveWriteReadAndImport)
{
    Plan plan = RichPlan::make();
    const QString lone = u"앞"_qs + QChar(0xD800) + u"뒤"_qs;
    plan.meta.title = lone;
    plan.screens[0].title = QChar(0xDC01) + lone;
    const Plan original = plan;
    QTemporaryDir folder;
    Exporter::writeAll(plan, folder.path(), Conventions::builtIn());

    QFile file(folder.filePath("plan.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray written = file.readAll();
    EXPECT_TRUE(written.contains("\\ud800")) << written.left(400).constData();
    EXPECT_TRUE(written.contains("\\udc01"));
    const Plan reread = Plan::decode(written);
    EXPECT_EQ(reread.meta.title, original.meta.title);
    EXPECT_EQ(reread.screens[0].title, original.screens[0].title);
    EXPECT_EQ(JSONCoding::pretty(reread), written);

    const ImportedPlan imported = Importer::read(folder.filePath("index.html"));
    EXPECT_EQ(imported.plan.meta.title, original.meta.title);
    EXPECT_EQ(imported.plan.screens[0].title, original.screens[0].title);
    EXPECT_EQ(JSONCoding::pretty(imported.plan), written);
}
