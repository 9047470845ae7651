#include "core/madefrom.h"

#include "core/atomicfile.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "core/sha256.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>

namespace MadeFrom {

namespace {

// Only a regular file at the name is a mark: a link, a pipe or a folder
// there was put by someone else and counts as none, so it neither sends
// every use of the folder to make its files again nor is read.
bool isMark(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

} // namespace

QByteArray of(const QByteArray &planBytes)
{
    return Sha256::hash(planBytes).toHex() + '\n';
}

QString path(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral(".quarrystone-made-from"));
}

void begin(const QString &dir)
{
    if (isMark(path(dir)))
        return;
    // The empty mark lasts before any file it warns of is replaced.
    AtomicFile::write(path(dir), QByteArray());
    AtomicFile::settle();
}

void record(const QString &dir, const QByteArray &mark)
{
    // A mark that says so already stays: the files were made from the same
    // plan.json's bytes, before as now, and a new file costs the most of a
    // small render's writes.
    if (take(dir) == mark)
        return;
    // The files the mark vouches for last before it is put in place.
    AtomicFile::settle();
    AtomicFile::writeLast(path(dir), mark);
}

bool holds(const QString &dir)
{
    const QDir folder(dir);
    const std::optional<QByteArray> plan =
        RegularFile::read(folder.filePath(QStringLiteral("plan.json")), FileSizes::plan);
    if (!plan)
        return true;
    // A folder without a mark was written before marks, or by hand: its
    // files are taken as they are.
    if (!isMark(path(dir)))
        return true;
    return RegularFile::read(path(dir), FileSizes::mark) == of(*plan);
}

std::optional<QByteArray> take(const QString &dir)
{
    if (!isMark(path(dir)))
        return std::nullopt;
    return RegularFile::read(path(dir), FileSizes::mark);
}

void putBack(const QString &dir, const std::optional<QByteArray> &mark)
{
    if (mark)
        AtomicFile::write(path(dir), *mark);
    else
        QFile::remove(path(dir));
}

} // namespace MadeFrom
