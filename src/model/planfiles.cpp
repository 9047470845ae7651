#include "model/planfiles.h"

#include "core/atomicfile.h"

#include <QDir>
#include <QFile>
#include <utility>

namespace PlanFiles {

namespace {

std::optional<QByteArray> read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return bytes;
}

} // namespace

Snapshot take(const QString &dir)
{
    const QDir folder(dir);
    return {read(folder.filePath(QStringLiteral("plan.json"))), read(folder.filePath(QStringLiteral("plan.md"))),
            read(folder.filePath(QStringLiteral("index.html")))};
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
