#include "model/planfiles.h"

#include "core/atomicfile.h"
#include "core/madefrom.h"
#include "core/regularfile.h"

#include <QDir>
#include <utility>

namespace PlanFiles {

Snapshot take(const QString &dir)
{
    const QDir folder(dir);
    return {RegularFile::read(folder.filePath(QStringLiteral("plan.json"))),
            RegularFile::read(folder.filePath(QStringLiteral("plan.md"))),
            RegularFile::read(folder.filePath(QStringLiteral("index.html"))), MadeFrom::take(dir)};
}

QString putBack(const QString &dir, const Snapshot &files)
{
    const QDir folder(dir);
    const std::pair<const char *, const std::optional<QByteArray> *> entries[]{
        {"plan.json", &files.plan}, {"plan.md", &files.markdown}, {"index.html", &files.page}};
    // Until every file is back, the mark names no plan.json, so that a
    // put-back cut short is made whole again at the next use of the folder.
    bool unmarked = false;
    for (const auto &[name, bytes] : entries) {
        const QString path = folder.filePath(QLatin1String(name));
        if (!*bytes || RegularFile::read(path) == **bytes)
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
