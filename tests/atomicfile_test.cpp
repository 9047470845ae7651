#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QTemporaryDir>
#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

// Files of this process may grow to `bytes` only, as on a disk with that
// much room left: the write that crosses it is cut short, the next refused.
class SizeLimit
{
public:
    explicit SizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_before);
        m_signal = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, m_before.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~SizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_before);
        std::signal(SIGXFSZ, m_signal);
    }

private:
    rlimit m_before{};
    void (*m_signal)(int) = nullptr;
};

QStringList everything(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

mode_t modeOf(const QString &path)
{
    struct stat info {};
    ::stat(QFile::encodeName(path).constData(), &info);
    return info.st_mode & 07777;
}

} // namespace

// A file that does not fit leaves the old one whole, whether its bytes
// would have sat in a buffer (a small file) or gone out at once, in one
// piece or many; the message names the cause, and nothing is left beside it.
TEST(AtomicFile, AFileThatDoesNotFitLeavesTheOldOne)
{
    struct Row {
        const char *what;
        qsizetype size;
        rlim_t room;
        bool inPieces;
    };
    for (const Row &row : {Row{"small", 4000, 1000, false}, Row{"large", 100000, 50000, false},
                           Row{"small in pieces", 6000, 4096, true}, Row{"large in pieces", 300000, 65536, true}}) {
        QTemporaryDir dir;
        const QString path = dir.filePath("plan.json");
        writeFile(path, "old plan");
        const QByteArray bytes(row.size, 'x');
        QString error;
        bool written = false;
        {
            const SizeLimit limit(row.room);
            if (row.inPieces)
                written = AtomicFile::write(
                    path,
                    [&bytes](QIODevice &out) {
                        for (qsizetype at = 0; at < bytes.size(); at += 1000)
                            if (out.write(bytes.mid(at, 1000)) != qMin<qsizetype>(1000, bytes.size() - at))
                                return false;
                        return true;
                    },
                    &error);
            else
                written = AtomicFile::write(path, bytes, &error);
        }
        EXPECT_FALSE(written) << row.what;
        EXPECT_EQ(readFile(path), QByteArray("old plan")) << row.what;
        EXPECT_EQ(error, FileError::describe(EFBIG)) << row.what;
        EXPECT_EQ(everything(dir.path()), QStringList{"plan.json"}) << row.what;
    }
}

// The temporary file carries a name recognisable as a leftover; those a
// killed run left anywhere in a folder go, nothing else does, nor anything
// behind a link. A replaced file keeps its permissions.
TEST(AtomicFile, LeftoversAreRecognisedAndRemoved)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("plan.json");
    writeFile(path, "old plan");
    ::chmod(QFile::encodeName(path).constData(), 0640);
    QStringList during;
    ASSERT_TRUE(AtomicFile::write(path, [&](QIODevice &out) {
        during = everything(dir.path());
        return out.write("new plan") == 8;
    }));
    EXPECT_EQ(readFile(path), QByteArray("new plan"));
    EXPECT_EQ(modeOf(path), 0640u);
    ASSERT_EQ(during.size(), 2);
    EXPECT_TRUE(AtomicFile::isLeftover(during.first())) << qPrintable(during.first());
    EXPECT_EQ(during.last(), "plan.json");
    EXPECT_FALSE(AtomicFile::isLeftover("plan.json"));
    EXPECT_FALSE(AtomicFile::isLeftover(".hidden"));

    writeFile(dir.filePath(during.first()), "cut");
    writeFile(dir.filePath("history/" + during.first()), "cut");
    writeFile(dir.filePath("img/screens/" + during.first()), "cut");
    writeFile(dir.filePath(".hidden"), "mine");
    writeFile(dir.filePath("history/plan-260101-120000.json"), "backup");
    // A link leads out of the folder: what is there is not the folder's.
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath(during.first()), "someone else's");
    ASSERT_TRUE(QFile::link(elsewhere.path(), dir.filePath("linked")));
    EXPECT_EQ(AtomicFile::removeLeftovers(dir.path()), 3);
    EXPECT_EQ(everything(dir.path()), (QStringList{".hidden", "history", "img", "linked", "plan.json"}));
    EXPECT_EQ(everything(dir.filePath("history")), QStringList{"plan-260101-120000.json"});
    EXPECT_EQ(everything(dir.filePath("img/screens")), QStringList());
    EXPECT_EQ(everything(elsewhere.path()), QStringList{during.first()});
}

// A batch puts nothing in place before its commit; then every file it
// wrote replaces its target (keeping the target's permissions), a file
// that did not fit leaves its target as it was, and nothing is left beside
// them. What a batch that never commits wrote goes with it.
TEST(AtomicFile, ABatchReplacesItsFilesTogetherOrLeavesThemAlone)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("img/deep");
    writeFile(dir.filePath("img/a.png"), "old a");
    ::chmod(QFile::encodeName(dir.filePath("img/a.png")).constData(), 0640);
    writeFile(dir.filePath("img/big.png"), "old big");
    {
        AtomicFile::Batch batch;
        EXPECT_TRUE(batch.add(dir.filePath("img/a.png"), "new a"));
        EXPECT_TRUE(batch.add(dir.filePath("img/deep/b.png"), "new b"));
        QString error;
        {
            const SizeLimit limit(1000);
            EXPECT_FALSE(batch.add(dir.filePath("img/big.png"), QByteArray(4000, 'x'), &error));
        }
        EXPECT_EQ(error, FileError::describe(EFBIG));
        EXPECT_EQ(readFile(dir.filePath("img/a.png")), QByteArray("old a"));
        EXPECT_FALSE(QFile::exists(dir.filePath("img/deep/b.png")));
        EXPECT_TRUE(batch.commit().isEmpty());
        EXPECT_TRUE(batch.commit().isEmpty());
    }
    EXPECT_EQ(readFile(dir.filePath("img/a.png")), QByteArray("new a"));
    EXPECT_EQ(modeOf(dir.filePath("img/a.png")), mode_t(0640));
    EXPECT_EQ(readFile(dir.filePath("img/deep/b.png")), QByteArray("new b"));
    EXPECT_EQ(readFile(dir.filePath("img/big.png")), QByteArray("old big"));
    EXPECT_EQ(everything(dir.filePath("img")), (QStringList{"a.png", "big.png", "deep"}));
    EXPECT_EQ(everything(dir.filePath("img/deep")), QStringList{"b.png"});

    {
        AtomicFile::Batch dropped;
        EXPECT_TRUE(dropped.add(dir.filePath("img/a.png"), "never"));
        EXPECT_EQ(everything(dir.filePath("img")).size(), 4);
    }
    EXPECT_EQ(readFile(dir.filePath("img/a.png")), QByteArray("new a"));
    EXPECT_EQ(everything(dir.filePath("img")), (QStringList{"a.png", "big.png", "deep"}));

    // A target that cannot be replaced (a folder in its place) is named
    // with its cause; the others of the batch are still put in place.
    QDir(dir.path()).mkpath("img/folder.png/inside");
    AtomicFile::Batch blocked;
    EXPECT_TRUE(blocked.add(dir.filePath("img/folder.png"), "x"));
    EXPECT_TRUE(blocked.add(dir.filePath("img/c.png"), "new c"));
    const QList<AtomicFile::Batch::Failure> failures = blocked.commit();
    ASSERT_EQ(failures.size(), 1);
    EXPECT_EQ(failures.first().path, dir.filePath("img/folder.png"));
    EXPECT_EQ(failures.first().error, FileError::describe(EISDIR));
    EXPECT_EQ(readFile(dir.filePath("img/c.png")), QByteArray("new c"));
    EXPECT_EQ(everything(dir.filePath("img")), (QStringList{"a.png", "big.png", "c.png", "deep", "folder.png"}));
}
