#include "model/folderclaim.h"

#include "core/atomicfile.h"
#include "model/folderrestore.h"
#include "model/planguard.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// A folder of a plan or of a generation under way; anything else (a whole
// home folder given by mistake) keeps whatever it holds.
bool planFolder(const QString &dir)
{
    const QDir folder(dir);
    return present(folder.filePath(QStringLiteral("plan.json"))) || present(folder.filePath(QStringLiteral("request.json")))
        || FolderClaim::isHusk(dir);
}

} // namespace

FolderClaim FolderClaim::take(const QString &dir, const AppSettings &settings, std::chrono::milliseconds wait,
                              bool repair)
{
    FolderClaim claim;
    if (!QFileInfo(dir).isDir())
        return claim;
    try {
        claim.m_lock = FolderLock::take(dir, wait);
    } catch (const FolderLock::Failure &failure) {
        throw Failure{failure.message, failure.busy};
    }
    try {
        if (const std::optional<QString> line = FolderRestore::rollBack(dir, settings)) {
            claim.m_notices.append(*line);
            claim.m_rolledBack = true;
        }
        if (const std::optional<QString> line = PlanGuard::recover(dir))
            claim.m_notices.append(*line);
        if (repair)
            if (const std::optional<QString> line = FolderRestore::repair(dir, settings))
                claim.m_notices.append(*line);
    } catch (const FolderRestore::Failure &failure) {
        throw Failure{failure.message, failure.busy};
    }
    // Only the holder may take away what cut writes left: a live writer's
    // file is never among them.
    if (planFolder(dir))
        AtomicFile::removeLeftovers(dir);
    return claim;
}

bool FolderClaim::isHusk(const QString &dir)
{
    const QDir folder(dir);
    const QFileInfoList entries = folder.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const bool emptyImages = entry.fileName() == QLatin1String("img") && entry.isDir() && !entry.isSymLink()
            && QDir(entry.filePath()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        if (!emptyImages && !(AtomicFile::isLeftover(entry.fileName()) && entry.isFile() && !entry.isSymLink()))
            return false;
    }
    return !entries.isEmpty();
}
