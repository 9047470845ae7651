#include "export/exporter.h"
#include "model/conventions.h"
#include "model/plan.h"
#include "support/commandline.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;
using TestFiles::historyFiles;

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
        Plan plan;
        plan.meta.feature = feature;
        plan.meta.title = title;
        for (const char *id : {"a", "b"}) {
            Screen screen;
            screen.key = QString::fromLatin1(id);
            screen.name = "Chat" + screen.key.toUpper();
            screen.title = "화면 " + screen.key.toUpper();
            screen.image.before = "img/" + screen.key + ".png";
            plan.screens.append(screen);
        }
        writeFile(source + "/img/a.png", firstImage);
        writeFile(source + "/img/b.png", secondImage);
        Exporter::writeAll(plan, source, Conventions::builtIn());
        return source + "/index.html";
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

TEST_F(HeadlessImportTest, OwnPageToANewFolder)
{
    sharedPage("Chat");
    const QString out = work.filePath("out");
    const auto r = quarrystone({"--import", "source/index.html", "--out", "out"});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QString dir = out + "/Chat-plan-imported";
    EXPECT_EQ(r.out, "가져왔어요: " + dir + " (그림 2개)\n");
    EXPECT_EQ(readFile(dir + "/img/a.png"), firstImage);
    EXPECT_EQ(readFile(dir + "/img/b.png"), secondImage);
    EXPECT_TRUE(readFile(dir + "/plan.json").contains("공유된 계획"));
    EXPECT_TRUE(readFile(dir + "/plan.md").contains("공유된 계획"));
    EXPECT_FALSE(readFile(dir + "/index.html").isEmpty());
    // A new folder has no history to log into.
    EXPECT_FALSE(QFileInfo::exists(dir + "/history"));

    // Imported again, the earlier import is backed up and the import logged.
    const auto again = quarrystone({"--import", "source/index.html", "--out", "out"});
    ASSERT_EQ(again.code, 0) << qPrintable(again.err);
    EXPECT_EQ(again.out, "가져왔어요: " + dir + " (그림 2개)\n");
    EXPECT_EQ(historyFiles(dir, "plan-*.json").size(), 1);
    EXPECT_TRUE(readFile(dir + "/history/revisions.md").contains("> (가져오기) index.html\n\n- 공유받은 HTML 로 계획서를 바꿈\n"));
}

TEST_F(HeadlessImportTest, CountsOnlyTheImagesWritten)
{
    QByteArray page = readFile(sharedPage("Chat"));
    const QByteArray payload = secondImage.toBase64();
    ASSERT_TRUE(page.contains(payload));
    page.replace(payload, "!!" + payload);
    writeFile(source + "/index.html", page);
    const auto r = quarrystone({"--import", source + "/index.html", "--out", work.filePath("out")});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.out.endsWith(" (그림 1개)\n")) << qPrintable(r.out);
    EXPECT_FALSE(QFileInfo::exists(work.filePath("out/Chat-plan-imported/img/b.png")));
}

TEST_F(HeadlessImportTest, FeatureIsOneFolderName)
{
    sharedPage("../../x");
    QDir(work.path()).mkpath("deep/out");
    const auto r = quarrystone({"--import", source + "/index.html", "--out", work.filePath("deep/out")});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    const QStringList made = QDir(work.filePath("deep/out")).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    ASSERT_EQ(made.size(), 1);
    EXPECT_EQ(made.first(), ".._.._x-plan-imported");
    EXPECT_FALSE(QFileInfo::exists(work.filePath("x-plan-imported")));
    EXPECT_TRUE(r.out.startsWith("가져왔어요: " + work.filePath("deep/out/" + made.first()))) << qPrintable(r.out);
}

// Into an existing plan: what changes is listed, the old plan backed up,
// and undo returns to it.
TEST_F(HeadlessImportTest, IntoAPlanListsChangesAndCanBeUndone)
{
    sharedPage("Chat", "새 제목");
    const QString dir = work.filePath("mine");
    const QByteArray mine = R"({"meta": {"feature": "Chat", "title": "내 제목"}, "screens": [{"id": "a", "name": "ChatA"}]})";
    writeFile(dir + "/plan.json", mine);
    QDir(dir).mkpath("history");

    const auto r = quarrystone({"--import", source + "/index.html", "--into", dir});
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
}

// A plan.json that is no plan is still the user's file: it is kept.
TEST_F(HeadlessImportTest, BrokenPlanIsKept)
{
    sharedPage("Chat");
    const QString dir = work.filePath("mine");
    writeFile(dir + "/plan.json", "{ half written");
    const auto r = quarrystone({"--import", source + "/index.html", "--into", dir});
    ASSERT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_EQ(r.out, "가져왔어요: " + dir + " (그림 2개)\n");
    const QStringList kept = historyFiles(dir, "kept-*.json");
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(dir + "/history/" + kept.first()), QByteArray("{ half written"));
    EXPECT_TRUE(historyFiles(dir, "plan-*.json").isEmpty());
}

// Without a copy of the plan it would replace, the import writes nothing.
TEST_F(HeadlessImportTest, FailedBackupChangesNothing)
{
    sharedPage("Chat");
    for (const char *folder : {"mine", "out/Chat-plan-imported"}) {
        SCOPED_TRACE(folder);
        const QString dir = work.filePath(folder);
        const QByteArray mine = R"({"meta": {"feature": "Chat"}})";
        writeFile(dir + "/plan.json", mine);
        writeFile(dir + "/history", "a file where the folder should be");
        const QStringList arguments = QString::fromLatin1(folder) == "mine"
            ? QStringList{"--import", source + "/index.html", "--into", dir}
            : QStringList{"--import", source + "/index.html", "--out", work.filePath("out")};
        const auto r = quarrystone(arguments);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.startsWith("plan.json 을 백업하지 못해 가져오지 않았어요: ")) << qPrintable(r.err);
        EXPECT_EQ(readFile(dir + "/plan.json"), mine);
        EXPECT_EQ(QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), (QStringList{"history", "plan.json"}));
    }
}

// A page that is no plan, or --into without its folder, writes nothing.
TEST_F(HeadlessImportTest, BadPageOrFolderFails)
{
    writeFile(work.filePath("other.html"), "<!doctype html><p>hello</p>");
    sharedPage("Chat");
    const QList<std::pair<QStringList, QString>> rows{
        {{"--import", "other.html", "--out", work.filePath("out")},
         "“other.html” 은(는) 이 앱에서 내보낸 계획서 HTML 이 아니라"},
        {{"--import", source + "/index.html", "--out", work.filePath("out"), "--into"},
         "--into 뒤에 계획서 폴더를 주세요\n"},
    };
    for (const auto &[arguments, message] : rows) {
        SCOPED_TRACE(qPrintable(arguments.join(' ')));
        const auto r = quarrystone(arguments);
        EXPECT_EQ(r.code, 1);
        EXPECT_TRUE(r.err.startsWith(message)) << qPrintable(r.err);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(work.filePath("out")));
    }
}
