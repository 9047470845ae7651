#include "model/planfolder.h"

#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

class PlanFolderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        dir = QDir(tmp.path()).canonicalPath() + "/plan";
        outside = QDir(tmp.path()).canonicalPath() + "/outside";
        writeFile(dir + "/plan.json", "{}");
        writeFile(dir + "/history/plan-1.json", "{\"a\": 1}");
        writeFile(outside + "/x.md", "mine");
        ASSERT_TRUE(QFile::link(outside, dir + "/img"));
        ASSERT_TRUE(QFile::link(outside + "/x.md", dir + "/history/linked.md"));
    }

    QTemporaryDir tmp;
    QString dir;
    QString outside;
};

} // namespace

// A part is opened beneath the folder or not at all: a link on the way or
// at its end, "..", an absolute path, or an empty part is refused, each
// with its cause; the folder's own parts open.
TEST_F(PlanFolderTest, OpensOnlyWhatIsBeneathTheFolderThroughNoLink)
{
    const PlanFolder folder(dir);
    ASSERT_TRUE(folder.isOpen());
    struct Row {
        const char *part;
        int error;
    };
    const QList<Row> rows{
        {"plan.json", 0},
        {"history/plan-1.json", 0},
        {"img/x.md", ELOOP},
        {"history/linked.md", ELOOP},
        {"../outside/x.md", EXDEV},
        {"history/../plan.json", EXDEV},
        {"/etc/passwd", EXDEV},
        {"./plan.json", EXDEV},
        {"history//plan-1.json", EXDEV},
        {"", EXDEV},
        {"missing.json", ENOENT},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.part);
        errno = 0;
        const PlanFolder::Descriptor file(folder.open(row.part, O_RDONLY));
        EXPECT_EQ(file.isOpen(), row.error == 0);
        if (row.error != 0) {
            EXPECT_EQ(errno, row.error);
        }
    }
    EXPECT_EQ(folder.read("history/plan-1.json", 100), QByteArray("{\"a\": 1}"));
    EXPECT_FALSE(folder.read("history/plan-1.json", 3));
    EXPECT_FALSE(folder.read("img/x.md", 100));
}

// Writes, new files, folders and removals stay beneath the folder: a link
// at the name is replaced, never written through; a link on the way stops
// the write; a new file never replaces what is there.
TEST_F(PlanFolderTest, WritesNothingThroughALink)
{
    const PlanFolder folder(dir);
    QString error;
    EXPECT_TRUE(folder.write("history/linked.md", "plan's own", &error)) << error.toStdString();
    EXPECT_FALSE(QFileInfo(dir + "/history/linked.md").isSymLink());
    EXPECT_EQ(readFile(dir + "/history/linked.md"), "plan's own");
    EXPECT_FALSE(folder.write("img/x.md", "planted", &error));
    EXPECT_FALSE(folder.makeFolder("img/new"));
    EXPECT_TRUE(folder.makeFolder("history/kept"));
    EXPECT_TRUE(QFileInfo(dir + "/history/kept").isDir());

    bool taken = false;
    const auto bytes = [](const QByteArray &written) {
        return [written](QIODevice &out) { return out.write(written) == written.size(); };
    };
    EXPECT_FALSE(folder.create("history/plan-1.json", bytes("new"), 0600, &taken, &error));
    EXPECT_TRUE(taken);
    EXPECT_EQ(readFile(dir + "/history/plan-1.json"), "{\"a\": 1}");
    EXPECT_TRUE(folder.create("history/plan-2.json", bytes("two"), 0640, &taken, &error)) << error.toStdString();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(dir + "/history/plan-2.json").constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_FALSE(folder.create("img/y.md", bytes("planted"), 0600, &taken, &error));
    EXPECT_FALSE(taken);

    EXPECT_FALSE(folder.remove("img/x.md"));
    EXPECT_TRUE(folder.remove("history/plan-2.json"));
    EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"x.md"});
    EXPECT_EQ(readFile(outside + "/x.md"), "mine");
    EXPECT_EQ(QDir(dir + "/history").entryList({".quarrystone-tmp-*"}, QDir::AllEntries | QDir::Hidden), QStringList());
}
