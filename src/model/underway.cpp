#include "model/underway.h"

#include "core/filesizes.h"
#include "core/regularfile.h"
#include "model/planfolder.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <mutex>

struct UnderWay::State {
    std::mutex mutex;
    QString dir;
    Entry entry;
};

namespace {

const QString relativePath = QStringLiteral("history/revision-under-way");

QByteArray text(const UnderWay::Entry &entry)
{
    QByteArray bytes = entry.backup.toUtf8() + '\n';
    if (entry.group)
        bytes += RunMarks::toText(*entry.group).toUtf8() + '\n';
    return bytes;
}

} // namespace

QString UnderWay::path(const QString &dir)
{
    return QDir(dir).filePath(relativePath);
}

std::optional<UnderWay::Entry> UnderWay::read(const QString &dir)
{
    // A history/ that leads elsewhere holds no record of this folder's.
    if (!RegularFile::isOwnFolder(QDir(dir).filePath(PlanFolder::history)))
        return std::nullopt;
    const std::optional<QByteArray> bytes = PlanFolder(dir).read(relativePath, FileSizes::mark);
    if (!bytes)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(*bytes).split(u'\n');
    Entry entry;
    entry.backup = lines.value(0).trimmed();
    entry.group = RunMarks::fromText(lines.value(1));
    // Only a run that works in this very folder is this record's: a copy of
    // the folder carries the original's record.
    if (entry.group)
        entry.group->folder = dir;
    return entry;
}

UnderWay::UnderWay(const QString &dir, const QString &backup)
    : m_state(std::make_shared<State>())
{
    m_state->dir = dir;
    m_state->entry.backup = backup;
    m_state->entry.group = RunMarks::Mark{RunMarks::newToken(), RunMarks::placeOf(dir), dir};
}

QString UnderWay::start()
{
    const std::lock_guard locked(m_state->mutex);
    // Written beneath the folder: never through a history/ that became a link.
    QString error;
    PlanFolder(m_state->dir).write(relativePath, text(m_state->entry), &error);
    return error;
}

QByteArray UnderWay::token() const
{
    return m_state->entry.group->token;
}

void UnderWay::end()
{
    if (!m_state)
        return;
    const std::lock_guard locked(m_state->mutex);
    PlanFolder(m_state->dir).remove(relativePath);
}
