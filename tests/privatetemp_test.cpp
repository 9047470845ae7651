#include "core/privatetemp.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
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

TEST_F(PrivateTempTest, RefusesALinkOrAFileInItsPlace)
{
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QFile::link(elsewhere.path(), expected()));
    EXPECT_FALSE(PrivateTemp::folder().has_value());
    ASSERT_TRUE(QFile::remove(expected()));

    QFile file(expected());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_FALSE(PrivateTemp::folder().has_value());
}
