#include "core/fileerror.h"

#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <gtest/gtest.h>

TEST(FileError, SaysTheCommonCausesInKorean)
{
    EXPECT_EQ(FileError::describe(ENOENT), QString::fromUtf8("파일이나 폴더가 없어요"));
    EXPECT_EQ(FileError::describe(ENOSPC), QString::fromUtf8("디스크에 남은 공간이 없어요"));
    EXPECT_EQ(FileError::describe(EROFS), QString::fromUtf8("읽기 전용 파일 시스템이에요"));
    // The system's words, as Qt passes them on, find the same description.
    EXPECT_EQ(FileError::describe(QStringLiteral("No space left on device")), FileError::describe(ENOSPC));
    // A cause without Korean words keeps the system's text.
    EXPECT_EQ(FileError::describe(QStringLiteral("Connection closed")), QStringLiteral("Connection closed"));
    EXPECT_EQ(FileError::describe(EPIPE), QStringLiteral("Broken pipe"));
}

TEST(FileError, DescribesAFileThatCouldNotBeOpened)
{
    QTemporaryDir dir;
    QFile missing(dir.filePath(QStringLiteral("nowhere/plan.json")));
    ASSERT_FALSE(missing.open(QIODevice::ReadOnly));
    EXPECT_EQ(FileError::describe(missing), QString::fromUtf8("파일이나 폴더가 없어요"));
    // Qt words a folder opened as a file itself.
    QFile folder(dir.path());
    ASSERT_FALSE(folder.open(QIODevice::ReadOnly));
    EXPECT_EQ(FileError::describe(folder), QString::fromUtf8("파일이 아니라 폴더예요"));
}
