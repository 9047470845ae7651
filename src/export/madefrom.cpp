#include "export/madefrom.h"

#include "core/atomicfile.h"
#include "core/regularfile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace MadeFrom {

namespace {

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QByteArray of(const QByteArray &planBytes)
{
    return QCryptographicHash::hash(planBytes, QCryptographicHash::Sha256).toHex() + '\n';
}

QString path(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral(".quarrystone-made-from"));
}

void begin(const QString &dir)
{
    if (!present(path(dir)))
        AtomicFile::write(path(dir), QByteArray());
}

void record(const QString &dir, const QByteArray &mark)
{
    AtomicFile::write(path(dir), mark);
}

bool holds(const QString &dir)
{
    const QDir folder(dir);
    const std::optional<QByteArray> plan = RegularFile::read(folder.filePath(QStringLiteral("plan.json")));
    if (!plan)
        return true;
    // A folder without a mark was written before marks, or by hand: its
    // files are taken as they are.
    if (!present(path(dir)))
        return true;
    return RegularFile::read(path(dir)) == of(*plan);
}

std::optional<QByteArray> take(const QString &dir)
{
    return RegularFile::read(path(dir));
}

void putBack(const QString &dir, const std::optional<QByteArray> &mark)
{
    if (mark)
        AtomicFile::write(path(dir), *mark);
    else
        QFile::remove(path(dir));
}

} // namespace MadeFrom
