#include "support/testrepo.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <gtest/gtest.h>

namespace TestRepo {

QString sh(const QString &dir, const QStringList &args)
{
    QProcess git;
    git.setWorkingDirectory(dir);
    git.start("/usr/bin/git", QStringList{"-c", "user.name=Tester", "-c", "user.email=t@example.com"} + args);
    git.waitForFinished(30000);
    EXPECT_EQ(git.exitCode(), 0) << args.join(' ').toStdString() << git.readAllStandardError().toStdString();
    return QString::fromUtf8(git.readAllStandardOutput()).trimmed();
}

QStringList tree(const QString &dir)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(QDir(dir).relativeFilePath(it.next()));
    paths.sort();
    return paths;
}

} // namespace TestRepo
