#include "model/planfiles.h"

#include "core/atomicfile.h"
#include "core/regularfile.h"

#include <QDir>
#include <utility>

namespace PlanFiles {

Snapshot take(const QString &dir)
{
    const QDir folder(dir);
    return {RegularFile::read(folder.filePath(QStringLiteral("plan.json"))),
            RegularFile::read(folder.filePath(QStringLiteral("plan.md"))),
            RegularFile::read(folder.filePath(QStringLiteral("index.html")))};
}

QString putBack(const QString &dir, const Snapshot &files)
{
    const QDir folder(dir);
    const std::pair<const char *, const std::optional<QByteArray> *> entries[]{
        {"plan.json", &files.plan}, {"plan.md", &files.markdown}, {"index.html", &files.page}};
    for (const auto &[name, bytes] : entries) {
        QString error;
        if (*bytes && !AtomicFile::write(folder.filePath(QLatin1String(name)), **bytes, &error))
            return QLatin1String(name) + QStringLiteral(": ") + error;
    }
    return QString();
}

} // namespace PlanFiles
