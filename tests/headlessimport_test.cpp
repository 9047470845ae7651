#include "export/exporter.h"
#include "model/conventions.h"
#include "model/plan.h"
#include "support/chatplans.h"
#include "support/commandline.h"
#include "support/linkswapper.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;
using TestFiles::historyFiles;

// Every path under a folder with its bytes (none for a folder), in order.
QStringList contents(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.append(QDir(root).relativeFilePath(path) + ' ' + QString::fromLatin1(readFile(path).toBase64()));
    }
    entries.sort();
    return entries;
}

const QByteArray firstImage = "\x89PNG\r\n\x1a\nfirst";
const QByteArray secondImage = "\x89PNG\r\n\x1a\nsecond";

class HeadlessImportTest : public testing::Test
{
protected:
    void SetUp() override
    {
        CommandLine::writeSettings(home.path(), R"({"userName": "테스터"})");
        source = work.filePath("source");
    }

    // A page written by this system from a plan with two screen images.
    QString sharedPage(const QString &feature, const QString &title = QStringLiteral("공유된 계획"))
    {
        return ChatPlans::writeSharedPage(source, feature, title, firstImage, secondImage);
    }

    CommandLine::Outcome quarrystone(const QStringList &arguments)
    {
        return CommandLine::run(arguments, home.path(), work.path());
    }

    QTemporaryDir home;
    QTemporaryDir work;
    QString source;
};

} // namespace

// A page whose second picture is 300 MB of base64: written beside the rest
// of the page a piece at a time, never held whole.
void withHugeSecondImage(const QString &path, const QByteArray &page)
{
    const QByteArray payload = secondImage.toBase64();
    const qsizetype at = page.indexOf(payload);
    ASSERT_GE(at, 0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(page.left(at));
    file.write(QByteArray("\x89PNG\r\n\x1a\n", 8).append('\0').toBase64());
    const QByteArray zeros(4 << 20, 'A');
    for (qint64 written = 0; written < qint64(400) << 20; written += zeros.size())
        file.write(zeros);
    file.write(page.mid(at + payload.size()));
}

// Own pages to new folders: every image written (one whose data is broken
// is not counted, one too large is skipped and named), the feature one
// folder name however it climbs and whatever control characters it holds.
// A new folder's revision log starts with the import; imported again, the
// earlier import is backed up and the import logged on top.
TEST_F(HeadlessImportTest, OwnPageToANewFolder)
{
    // A page whose image map is cut imports what it carries and names what
    // it does not.
    // A map naming a picture twice is judged by the parser, after the
    // pictures before it were written: they are written once, as the
    // parser reads the map, and nothing of the first try is left behind.
    enum class Damage { none, brokenSecondImage, cutImageMap, hugeSecondImage, secondImageTwice };
    struct Row {
        const char *feature;
        Damage damage;
        QString folder;
        int images;
        QString missing;
    };
    const QList<Row> rows{{"Chat", Damage::none, "Chat-plan-imported", 2, {}},
                          {"Chat", Damage::brokenSecondImage, "Chat-plan-imported", 1, "1개: img/b.png"},
                          {"../../x", Damage::none, ".._.._x-plan-imported", 2, {}},
                          {"Cut", Damage::cutImageMap, "Cut-plan-imported", 0, "2개: img/a.png, img/b.png"},
                          {"Ch\nat\x1b[31m", Damage::none, "Ch_at_[31m-plan-imported", 2, {}},
                          {"Chat", Damage::hugeSecondImage, "Chat-plan-imported", 1, {}},
                          {"Chat", Damage::secondImageTwice, "Chat-plan-imported", 2, {}}};
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Row &row = rows[i];
        SCOPED_TRACE(i);
        QByteArray page = readFile(sharedPage(row.feature));
        const QByteArray payload = (row.damage == Damage::cutImageMap ? firstImage : secondImage).toBase64();
        ASSERT_TRUE(page.contains(payload));
        if (row.damage == Damage::brokenSecondImage)
            writeFile(source + "/index.html", page.replace(payload, "!!" + payload));
        if (row.damage == Damage::cutImageMap)
            writeFile(source + "/index.html", page.left(page.indexOf(payload) + 4));
        if (row.damage == Damage::hugeSecondImage)
            withHugeSecondImage(source + "/index.html", page);
        if (row.damage == Damage::secondImageTwice) {
            const qsizetype at = page.indexOf("\"img\\/b.png\":\"");
            ASSERT_GE(at, 0);
            const QByteArray entry = page.mid(at, page.indexOf('"', page.indexOf(":\"", at) + 2) + 1 - at);
            writeFile(source + "/index.html", page.replace(entry, entry + ',' + entry));
        }
        const QString out = "deep/out" + QString::number(i);
        QDir(work.path()).mkpath(out);
        const auto r = quarrystone({"--import", "source/index.html", "--out", out});
        ASSERT_EQ(r.code, 0) << qPrintable(r.err);
        EXPECT_EQ(QDir(work.filePath(out)).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{row.folder});
        EXPECT_FALSE(QFileInfo::exists(work.filePath("x-plan-imported")));
        const QString dir = work.filePath(out + "/" + row.folder);
        QString said = "가져왔어요: " + dir + " (그림 " + QString::number(row.images) + "개)\n"
            + (row.missing.isEmpty() ? QString() : "페이지에 담겨 있지 않은 그림 " + row.missing + "\n");
        if (row.damage == Damage::hugeSecondImage) {
            const QRegularExpression skipped("^· img/b\\.png: 그림이 너무 커서 건너뛰었어요 \\((\\d+)바이트, 최대 67108864바이트\\)\n$");
            const QRegularExpressionMatch match = skipped.match(r.out.mid(said.size()));
            ASSERT_TRUE(match.hasMatch()) << qPrintable(r.out);
            EXPECT_GT(match.captured(1).toLongLong(), 300'000'000);
            said = r.out;
        }
        EXPECT_EQ(r.out, said);
        EXPECT_EQ(readFile(dir + "/img/a.png"), row.damage == Damage::cutImageMap ? QByteArray() : firstImage);
        const bool secondWritten = row.damage == Damage::none || row.damage == Damage::secondImageTwice;
        EXPECT_EQ(QFileInfo::exists(dir + "/img/b.png"), secondWritten);
        EXPECT_EQ(readFile(dir + "/img/b.png"), secondWritten ? secondImage : QByteArray());
        EXPECT_EQ(QDir(dir + "/img").entryList(QDir::Files | QDir::Hidden).filter(".quarrystone-tmp-"), QStringList());
        EXPECT_TRUE(readFile(dir + "/plan.json").contains("공유된 계획"));
        EXPECT_TRUE(readFile(dir + "/plan.md").contains("공유된 계획"));
        EXPECT_FALSE(readFile(dir + "/index.html").isEmpty());
        const QString entry = "> (가져오기) index.html\n\n- 공유받은 HTML 로 계획서를 바꿈\n\n";
        const QString firstLog = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
        EXPECT_TRUE(firstLog.startsWith("## ") && firstLog.endsWith(" · 테스터\n\n" + entry)) << qPrintable(firstLog);
        EXPECT_EQ(firstLog.count("## "), 1);

        const auto again = quarrystone({"--import", "source/index.html", "--out", out});
        ASSERT_EQ(again.code, 0) << qPrintable(again.err);
        EXPECT_EQ(again.out, said);
        EXPECT_EQ(historyFiles(dir, "plan-*.json").size(), 1);
        const QString log = QString::fromUtf8(readFile(dir + "/history/revisions.md"));
        EXPECT_EQ(log.count(entry), 2);
        EXPECT_TRUE(log.endsWith(firstLog));
    }
}

// The page's image map: where its text begins and ends.
std::pair<qsizetype, qsizetype> imageMap(const QByteArray &page)
{
    const QByteArray opening = "id=\"quarrystone-img\">";
    const qsizetype from = page.indexOf(opening) + opening.size();
    return {from, page.indexOf("</script>", from)};
}

// A map that a JSON tool saved again, with spaces and line breaks, is read
// a piece at a time as the writer's spelling is: a huge picture is passed
// over without being held, and the import's peak stays below the page.
TEST_F(HeadlessImportTest, AnImageMapSavedAgainWithSpacesIsReadAPieceAtATime)
{
    QByteArray page = readFile(sharedPage("Chat"));
    const auto [from, to] = imageMap(page);
    ASSERT_GT(to, from);
    QByteArray map = page.mid(from, to - from);
    map.replace("{\"", "{\n  \"").replace("\":\"", "\" : \"").replace("\",\"", "\",\n  \"").replace("\"}", "\"\n}\n");
    withHugeSecondImage(source + "/index.html", page.left(from) + map + page.mid(to));
    QDir(work.path()).mkpath("out");
    const auto r = quarrystone({"--import", "source/index.html", "--out", "out"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QString dir = work.filePath("out/Chat-plan-imported");
    EXPECT_TRUE(r.out.startsWith("가져왔어요: " + dir + " (그림 1개)\n· img/b.png: 그림이 너무 커서 건너뛰었어요 ("))
        << qPrintable(r.out);
    EXPECT_EQ(readFile(dir + "/img/a.png"), firstImage);
    EXPECT_FALSE(QFileInfo::exists(dir + "/img/b.png"));
    // The largest of this test's children: read whole, the map's 400 MB of
    // text would have been held several times over.
    struct rusage children {};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
    EXPECT_LT(qint64(children.ru_maxrss) * 1024, QFileInfo(source + "/index.html").size());
}

// However many other pictures a map holds before them, the most an import
// takes never leaves out the plan's own.
TEST_F(HeadlessImportTest, ThePictureCountNeverLeavesOutThePlansOwn)
{
    QByteArray page = readFile(sharedPage("Chat"));
    QByteArray others;
    for (int i = 0; i <= 100000; ++i)
        others += "\"img\\/" + QByteArray::number(i).rightJustified(6, '0') + ".png\":\"data:,eA==\",";
    writeFile(source + "/index.html", page.insert(imageMap(page).first + 1, others));
    QDir(work.path()).mkpath("out");
    const auto r = quarrystone({"--import", "source/index.html", "--out", "out"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QString dir = work.filePath("out/Chat-plan-imported");
    EXPECT_EQ(readFile(dir + "/img/a.png"), firstImage);
    EXPECT_EQ(readFile(dir + "/img/b.png"), secondImage);
    EXPECT_TRUE(r.out.startsWith("가져왔어요: " + dir + " (그림 2개)\n")) << qPrintable(r.out.left(300));
    EXPECT_TRUE(r.out.contains("\n· 그림이 너무 많아 3개는 건너뛰었어요 (최대 100000개)\n")) << qPrintable(r.out.right(300));
    EXPECT_FALSE(r.out.contains("페이지에 담겨 있지 않은 그림"));
}

// Render and import start no tool, so neither waits for the tool search's
// login shell (a person's profile can take seconds); a check of the
// connections, which does start one, shows that the profile is run.
TEST_F(HeadlessImportTest, RenderAndImportNeverRunTheLoginShell)
{
    const QString ran = home.filePath("profile-ran");
    writeFile(home.filePath(".bash_profile"), "touch '" + QFile::encodeName(ran) + "'\n");
    sharedPage("Chat");
    QDir(work.path()).mkpath("out");
    const auto imported = quarrystone({"--import", "source/index.html", "--out", "out"});
    ASSERT_EQ(imported.code, 0) << qPrintable(imported.err);
    EXPECT_FALSE(QFileInfo::exists(ran));
    const auto rendered = quarrystone({"--render", "out/Chat-plan-imported"});
    ASSERT_EQ(rendered.code, 0) << qPrintable(rendered.err);
    EXPECT_FALSE(QFileInfo::exists(ran));

    quarrystone({"--check-connections"});
    EXPECT_TRUE(QFileInfo::exists(ran));
}

// Into an existing plan: what changes is listed, the old plan backed up,
// and undo returns to it. A plan.json that is no plan is still the user's
// file: it is kept.
TEST_F(HeadlessImportTest, IntoAPlanListsChangesAndCanBeUndone)
{
    sharedPage("Chat", "새 제목");
    const QString dir = work.filePath("mine");
    const QByteArray mine = R"({"meta": {"feature": "Chat", "title": "내 제목"}, "screens": [{"id": "a", "name": "ChatA"}]})";
    writeFile(dir + "/plan.json", mine);
    QDir(dir).mkpath("history");
    // The plan's own picture at a name the page's picture takes.
    writeFile(dir + "/img/a.png", "my picture");

    // Named as a shell's completion names a folder, with a slash at its end.
    const auto r = quarrystone({"--import", source + "/index.html", "--into", dir + "/"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_EQ(r.out, "· 화면 추가: 화면 B\n· 내용이 바뀐 화면: 화면 A\n가져왔어요: " + dir + " (그림 2개)\n");
    ASSERT_EQ(historyFiles(dir, "plan-*.json").size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + historyFiles(dir, "plan-*.json").first()), mine);
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("새 제목"));
    EXPECT_TRUE(readFile(dir + "/history/revisions.md").contains(" · 테스터\n\n> (가져오기) index.html\n"));

    const auto undo = quarrystone({"--revise", dir, "--undo"});
    EXPECT_EQ(undo.code, 0) << qPrintable(undo.err);
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("내 제목"));
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("내 제목"));
    EXPECT_TRUE(undo.out.endsWith("직전 고치기 전으로 되돌렸어요\n")) << qPrintable(undo.out);
    EXPECT_EQ(readFile(dir + "/img/a.png"), "my picture");
    // The page's picture the undo replaced stays beside the kept plan.
    ASSERT_EQ(historyFiles(dir, "kept-*.json").size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + historyFiles(dir, "kept-*.json").first().chopped(5) + ".img/a.png"), firstImage);

    const QString broken = work.filePath("broken");
    writeFile(broken + "/plan.json", "{ half written");
    const auto kept = quarrystone({"--import", source + "/index.html", "--into", broken});
    ASSERT_EQ(kept.code, 0) << qPrintable(kept.err);
    EXPECT_EQ(kept.out, "가져왔어요: " + broken + " (그림 2개)\n");
    ASSERT_EQ(historyFiles(broken, "kept-*.json").size(), 1);
    EXPECT_EQ(readFile(broken + "/history/" + historyFiles(broken, "kept-*.json").first()), QByteArray("{ half written"));
    EXPECT_TRUE(historyFiles(broken, "plan-*.json").isEmpty());
}

// Into a folder that holds no plan (a website's folder, a repository's
// notes): the index.html and plan.md it replaces were made by no plan.json,
// so a copy of each is kept in history/ and named.
TEST_F(HeadlessImportTest, IntoAFolderWithoutAPlanKeepsItsOwnPages)
{
    sharedPage("Chat", "새 제목");
    const QString dir = work.filePath("site");
    writeFile(dir + "/index.html", "<html>내 사이트</html>");
    writeFile(dir + "/plan.md", "# 내 메모\n");
    const auto r = quarrystone({"--import", source + "/index.html", "--into", dir});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QStringList pages = historyFiles(dir, "kept-*-index.html");
    const QStringList notes = historyFiles(dir, "kept-*-plan.md");
    ASSERT_EQ(pages.size(), 1);
    ASSERT_EQ(notes.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + pages.first()), "<html>내 사이트</html>");
    EXPECT_EQ(readFile(dir + "/history/" + notes.first()), "# 내 메모\n");
    EXPECT_TRUE(r.out.contains("· 가져오기 전 파일은 여기 남겨 뒀어요: " + dir + "/history/" + pages.first() + "\n"))
        << qPrintable(r.out);
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("새 제목"));
}

// An import that cannot copy the plan it would replace, of a page that is
// no plan, with --into but no folder, or that fails part-way through its
// images or its files, changes nothing at all.
TEST_F(HeadlessImportTest, FailuresChangeNothing)
{
    writeFile(work.filePath("other.html"), "<!doctype html><p>hello</p>");
    // Outside the compared folder: reading the pipe would wait for a writer.
    QTemporaryDir elsewhere;
    const QString pipe = elsewhere.filePath("page.html");
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    const QString page = sharedPage("Chat");
    // Pages whose plan data does not decode, named in Korean words.
    const auto brokenPlan = [&](const QString &name, const QByteArray &data) {
        QByteArray html = readFile(page);
        const qsizetype start = html.indexOf("id=\"quarrystone-plan\">") + qsizetype(strlen("id=\"quarrystone-plan\">"));
        const qsizetype end = html.indexOf("</script>", start);
        EXPECT_GT(end, start);
        writeFile(work.filePath(name), html.replace(start, end - start, data));
        return name;
    };
    const QString notObject = brokenPlan("list.html", "[1]");
    const QString unterminated = brokenPlan("cut.html", "{\"a");
    const QString backupFailed = QStringLiteral("plan.json 을 백업하지 못해 가져오지 않았어요: ");
    const QString longFeature(300, u'긴');
    const QString longPage = ChatPlans::writeSharedPage(work.filePath("long"), longFeature, "긴 이름", firstImage, secondImage);
    struct Row {
        const char *planFolder; // holds a plan and a file at `blocked`
        QStringList arguments;
        QString message;
        const char *blocked = "history";
        // img/ is a link to a folder outside the plan folder.
        bool linkedImages = false;
    };
    const QString outsideImages = elsewhere.filePath("pictures");
    ASSERT_TRUE(QDir().mkpath(outsideImages));
    const QList<Row> rows{
        {"mine", {"--import", page, "--into", work.filePath("mine")}, backupFailed},
        {"out/Chat-plan-imported", {"--import", page, "--out", work.filePath("out")}, backupFailed},
        {nullptr, {"--import", "other.html", "--out", work.filePath("out")}, "“other.html” 은(는) 이 앱에서 내보낸 계획서 HTML 이 아니라"},
        {nullptr, {"--import", page, "--out", work.filePath("out"), "--into"}, "--into 뒤에 계획서 폴더를 주세요\n"},
        {"images", {"--import", page, "--into", work.filePath("images")}, "그림을 쓰지 못해 가져오지 않았어요: img/", "img"},
        {"page", {"--import", page, "--into", work.filePath("page")}, work.filePath("page") + "/index.html",
         "index.html/inside"},
        {"linked", {"--import", page, "--into", work.filePath("linked")},
         "그림을 쓰지 못해 가져오지 않았어요: img/", "notes.txt", true},
        {nullptr, {"--import", pipe, "--out", work.filePath("out")}, "파일을 읽지 못했어요\n"},
        {nullptr, {"--import", notObject, "--out", work.filePath("out")},
         "계획서 데이터를 읽지 못했어요: 맨 바깥이 JSON 객체가 아니에요\n"},
        {nullptr, {"--import", unterminated, "--out", work.filePath("out")},
         "계획서 데이터를 읽지 못했어요: 문자열이 닫히지 않았어요 (4바이트째)\n"},
        {nullptr, {"--import", elsewhere.path(), "--out", work.filePath("out")}, "파일을 읽지 못했어요\n"},
        {nullptr, {"--import", longPage, "--out", work.filePath("out")},
         "폴더를 만들지 못했어요: " + work.filePath("out/" + longFeature) + "-plan-imported (이름이 너무 길어요)\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(qPrintable(row.arguments.join(' ')));
        if (row.planFolder) {
            writeFile(work.filePath(row.planFolder) + "/plan.json", R"({"meta": {"feature": "Chat"}})");
            writeFile(work.filePath(row.planFolder) + "/" + row.blocked, "a file where a folder should be");
            writeFile(work.filePath(row.planFolder) + "/plan.md", "old md");
        }
        if (row.linkedImages) {
            ASSERT_TRUE(QFile::link(outsideImages, work.filePath(row.planFolder) + "/img"));
        }
        const QStringList before = contents(work.path());
        const auto r = quarrystone(row.arguments);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.startsWith(row.message)) << qPrintable(r.err);
        EXPECT_TRUE(row.planFolder ? !r.out.contains("가져왔어요") : r.out.isEmpty()) << qPrintable(r.out);
        EXPECT_EQ(contents(work.path()), before);
    }
    EXPECT_TRUE(QDir(outsideImages).isEmpty());
}

// img/ swapped for a link to a folder of the person's while an import into
// a plan writes its pictures: each picture is written into the folder held
// beneath the plan folder, or not at all, and what a failed import puts back
// goes there too, so the folder outside keeps every file as it was. As many
// tries as QUARRYSTONE_RACE_TRIES says (200 when unset).
TEST_F(HeadlessImportTest, IntoAPlanWithImgSwappedForALinkHarmsNothing)
{
    const int tries = qEnvironmentVariableIsSet("QUARRYSTONE_RACE_TRIES") ? qEnvironmentVariableIntValue("QUARRYSTONE_RACE_TRIES") : 200;
    const QString page = sharedPage("Chat", "새 제목");
    const QString outside = work.filePath("outside");
    writeFile(outside + "/a.png", "outside a");
    writeFile(outside + "/b.png", "outside b");
    const QMap<QString, QByteArray> outsideBefore = LinkSwapper::filesBelow(outside);
    const QString dir = work.filePath("mine");
    int harms = 0;
    int imported = 0;
    for (int attempt = 0; attempt < tries; ++attempt) {
        writeFile(dir + "/plan.json", R"({"meta": {"feature": "Chat", "title": "내 제목"}, "screens": [{"id": "a", "name": "ChatA"}]})");
        writeFile(dir + "/img/a.png", "my picture");
        CommandLine::Outcome r;
        {
            LinkSwapper swapper(dir + "/img", outside);
            r = quarrystone({"--import", page, "--into", dir});
        }
        imported += r.code == 0 ? 1 : 0;
        if (LinkSwapper::filesBelow(outside) != outsideBefore) {
            ++harms;
            ADD_FAILURE() << "try " << attempt << ": outside changed\n" << qPrintable(r.out + r.err);
            QDir(outside).removeRecursively();
            for (auto it = outsideBefore.begin(); it != outsideBefore.end(); ++it)
                writeFile(outside + "/" + it.key(), it.value());
        }
        ASSERT_TRUE(QDir(dir).removeRecursively());
    }
    std::cout << "import --into with img/ swapped: " << tries << " tries, " << imported << " imported, " << harms
              << " harms\n";
    EXPECT_EQ(harms, 0);
    EXPECT_GT(imported, 0);
}
