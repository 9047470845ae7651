#include "core/folderlock.h"
#include "core/privatetemp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDateTime>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::lstat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

// Points the temporary folder at a fresh place for one test.
class PrivateTempTest : public testing::Test
{
protected:
    void SetUp() override { qputenv("TMPDIR", m_tmp.path().toUtf8()); }
    void TearDown() override { qunsetenv("TMPDIR"); }
    QString expected() const { return m_tmp.path() + "/quarrystone-" + QString::number(geteuid()); }

    QTemporaryDir m_tmp;
};

} // namespace

TEST_F(PrivateTempTest, CreatesAFolderOnlyTheUserCanEnter)
{
    ::umask(0);
    const auto folder = PrivateTemp::folder();
    ::umask(022);
    ASSERT_EQ(folder, std::optional<QString>(expected()));
    EXPECT_EQ(modeOf(*folder), 0700u);
    EXPECT_EQ(PrivateTemp::folder(), folder);
}

TEST_F(PrivateTempTest, TightensAFolderThatIsTooOpen)
{
    ASSERT_TRUE(QDir().mkpath(expected()));
    ::chmod(QFile::encodeName(expected()).constData(), 0777);
    EXPECT_EQ(PrivateTemp::folder(), std::optional<QString>(expected()));
    EXPECT_EQ(modeOf(expected()), 0700u);
}

// Whatever holds the fixed name (another user's folder, a link, a file),
// our files go to a fresh private folder instead, never through it.
TEST_F(PrivateTempTest, PassesByANameTakenBySomethingElse)
{
    QTemporaryDir elsewhere;
    const auto occupy = [&](const char *what) {
        if (QByteArray(what) == "link")
            return QFile::link(elsewhere.path(), expected());
        if (QByteArray(what) == "file") {
            QFile file(expected());
            return file.open(QIODevice::WriteOnly);
        }
        return QDir().mkpath(expected()) && ::chmod(QFile::encodeName(expected()).constData(), 0777) == 0
               && ::chown(QFile::encodeName(expected()).constData(), geteuid() + 1, getegid()) == 0;
    };
    for (const char *what : {"link", "file", "someone else's folder"}) {
        if (QByteArray(what).startsWith("someone") && geteuid() != 0)
            GTEST_SKIP() << "giving a folder away needs root";
        ASSERT_TRUE(occupy(what)) << what;
        const auto folder = PrivateTemp::folder();
        ASSERT_TRUE(folder.has_value()) << what;
        EXPECT_NE(*folder, expected()) << what;
        EXPECT_TRUE(folder->startsWith(expected() + "-")) << what;
        EXPECT_EQ(modeOf(*folder), 0700u) << what;
        EXPECT_TRUE(QFileInfo(*folder).isDir() && !QFileInfo(*folder).isSymLink()) << what;
        // The same folder for the rest of the process.
        EXPECT_EQ(PrivateTemp::folder(), folder) << what;
        EXPECT_TRUE(QDir(elsewhere.path()).isEmpty()) << what;
        QFile::remove(expected());
        QDir(expected()).removeRecursively();
        QDir(*folder).removeRecursively();
    }
}

// What killed runs left goes at the next start; files of live runs, also
// those of a run in another PID namespace, whose number means nothing here,
// files made a moment ago, the pasted images and the update's folder stay.
TEST_F(PrivateTempTest, RemovesWhatEndedRunsLeft)
{
    const auto folder = PrivateTemp::folder();
    ASSERT_TRUE(folder.has_value());
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);

    const QDateTime twoDaysAgo = QDateTime::currentDateTime().addDays(-2);
    QTemporaryFile live(PrivateTemp::runFileTemplate(*folder, "mcp", ".json"));
    ASSERT_TRUE(live.open());
    ASSERT_TRUE(PrivateTemp::hold(live.handle()));
    ASSERT_TRUE(live.setFileTime(twoDaysAgo, QFileDevice::FileModificationTime));
    const QString liveName = QFileInfo(live.fileName()).fileName();
    const QString ended = "mcp-" + QString::number(child) + "-Ab12Cd.json";
    const auto make = [&](const QString &name, const QDateTime &when) {
        QFile file(*folder + "/" + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(name);
        ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime)) << qPrintable(name);
    };
    make(ended, twoDaysAgo);
    make("mcp-Xy34Zw.json", twoDaysAgo);
    make("mcp-Fresh1.json", QDateTime::currentDateTime());
    make("mcp-" + QString::number(child) + "-Just12.json", QDateTime::currentDateTime());
    make("quarrystone-capture-0123ABCD.png", twoDaysAgo);
    ASSERT_TRUE(QDir().mkpath(*folder + "/quarrystone-update-12"));
    // Held by a run whose number, in its own namespace, is one that has
    // ended here.
    const QString elsewhere = "mcp-" + QString::number(child) + "-Ns99Ns.json";
    make(elsewhere, twoDaysAgo);
    QFile held(*folder + "/" + elsewhere);
    ASSERT_TRUE(held.open(QIODevice::ReadOnly));
    ASSERT_TRUE(PrivateTemp::hold(held.handle()));

    EXPECT_EQ(PrivateTemp::removeStale(), 2);
    QStringList left = QDir(*folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QStringList kept{liveName, "mcp-" + QString::number(child) + "-Just12.json", elsewhere, "mcp-Fresh1.json",
                     "quarrystone-capture-0123ABCD.png", "quarrystone-update-12"};
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    EXPECT_TRUE(liveName.startsWith("mcp-" + QString::number(::getpid()) + "-"));
}

// A killed run's folders (a development run's /tmp, the browser relay's) go
// at the next start with all they hold, also what a build made read-only,
// while nothing a link inside points to is touched. A folder of a live run,
// one made a moment ago, a link named like a run folder and folders of
// other names stay.
TEST_F(PrivateTempTest, RemovesTheFoldersOfEndedRuns)
{
    const auto folder = PrivateTemp::folder();
    ASSERT_TRUE(folder.has_value());
    QTemporaryDir outside;
    const QString precious = outside.filePath("precious");
    QFile(precious).open(QIODevice::WriteOnly);
    const auto makeFolder = [&](const QString &name, bool old) {
        const QString path = *folder + "/" + name;
        EXPECT_TRUE(QDir().mkpath(path + "/build/out")) << qPrintable(name);
        QFile file(path + "/build/out/big.bin");
        EXPECT_TRUE(file.open(QIODevice::WriteOnly)) << qPrintable(name);
        file.write(QByteArray(1 << 16, 'x'));
        file.close();
        EXPECT_TRUE(QFile::link(precious, path + "/build/link"));
        EXPECT_TRUE(QFile::link(outside.path(), path + "/folderlink"));
        ::chmod(QFile::encodeName(path + "/build/out").constData(), 0555);
        ::chmod(QFile::encodeName(path + "/build").constData(), 0555);
        if (old) {
            const timeval twoDaysAgo[2] = {{::time(nullptr) - 2 * 24 * 3600, 0}, {::time(nullptr) - 2 * 24 * 3600, 0}};
            EXPECT_EQ(::utimes(QFile::encodeName(path).constData(), twoDaysAgo), 0);
        }
        return path;
    };
    makeFolder("develop-Ab12Cd", true);
    makeFolder("browser-Ef34Gh", true);
    const QString live = makeFolder("develop-Live12", true);
    const FolderLock held = FolderLock::take(live);
    makeFolder("develop-Fresh1", false);
    makeFolder("develop-Ab12Cd-more", true);
    makeFolder("notes-Ab12Cd", true);
    ASSERT_TRUE(QFile::link(outside.path(), *folder + "/develop-Link12"));

    EXPECT_EQ(PrivateTemp::removeStale(), 2);
    QStringList left = QDir(*folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    QStringList kept{"develop-Live12", "develop-Fresh1", "develop-Ab12Cd-more", "notes-Ab12Cd", "develop-Link12"};
    left.sort();
    kept.sort();
    EXPECT_EQ(left, kept);
    EXPECT_TRUE(QFileInfo::exists(precious));
    EXPECT_EQ(QDir(outside.path()).entryList(QDir::Files), QStringList{"precious"});
    // The test's own folders go with their tree, read-only parts included.
    for (const QString &name : kept)
        for (const char *inner : {"/build", "/build/out"})
            ::chmod(QFile::encodeName(*folder + "/" + name + inner).constData(), 0755);
}
