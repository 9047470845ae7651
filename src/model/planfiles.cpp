#include "model/planfiles.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/madefrom.h"
#include "core/regularfile.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <sys/stat.h>
#include <utility>

namespace PlanFiles {

Snapshot take(const QString &dir)
{
    const QDir folder(dir);
    return {RegularFile::read(folder.filePath(QStringLiteral("plan.json")), FileSizes::plan),
            RegularFile::read(folder.filePath(QStringLiteral("plan.md")), FileSizes::plan),
            RegularFile::read(folder.filePath(QStringLiteral("index.html")), FileSizes::page), MadeFrom::take(dir)};
}

QString notOwnPlan(const QString &dir)
{
    const QString path = QDir(dir).filePath(QStringLiteral("plan.json"));
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || S_ISREG(status.st_mode))
        return QString();
    return QStringLiteral("plan.json: ")
        + (S_ISLNK(status.st_mode) ? RegularFile::linked()
           : S_ISDIR(status.st_mode) ? FileError::describe(EISDIR)
                                     : RegularFile::notRegular());
}

QString putBack(const QString &dir, const Snapshot &files)
{
    const QDir folder(dir);
    const struct {
        const char *name;
        const std::optional<QByteArray> *bytes;
        qint64 most;
    } entries[]{{"plan.json", &files.plan, FileSizes::plan},
                {"plan.md", &files.markdown, FileSizes::plan},
                {"index.html", &files.page, FileSizes::page}};
    // Until every file is back, the mark names no plan.json, so that a
    // put-back cut short is made whole again at the next use of the folder.
    bool unmarked = false;
    for (const auto &[name, bytes, most] : entries) {
        const QString path = folder.filePath(QLatin1String(name));
        if (!*bytes || RegularFile::read(path, most) == **bytes)
            continue;
        if (!std::exchange(unmarked, true))
            MadeFrom::record(dir, QByteArray());
        QString error;
        if (!AtomicFile::write(path, **bytes, &error))
            return QLatin1String(name) + QStringLiteral(": ") + error;
    }
    if (unmarked || MadeFrom::take(dir) != files.madeFrom)
        MadeFrom::putBack(dir, files.madeFrom);
    return QString();
}

} // namespace PlanFiles
