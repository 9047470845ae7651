#include "model/folderclaim.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "model/folderrestore.h"
#include "model/planfolder.h"
#include "model/planguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <sys/stat.h>

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
    return present(folder.filePath(PlanFolder::planJson)) || present(folder.filePath(PlanFolder::request))
        || FolderClaim::isHusk(dir);
}

bool emptyFolder(const QString &dir)
{
    return QDir(dir).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

FolderClaim::New FolderClaim::makeNew(const QString &parent, const std::function<QString(int)> &name,
                                      const AppSettings &settings)
{
    if (!QDir().mkpath(parent))
        return {QDir(parent).filePath(name(1)), {}, FileError::describe(errno)};
    QString tried;
    for (int n = 1;; ++n) {
        const QString candidate = name(n);
        if (candidate.isEmpty())
            return {tried, {}, {}};
        tried = QDir::cleanPath(QDir(parent).absoluteFilePath(candidate));
        // The folder is held from its making on, never through a link that
        // took its name meanwhile: what the run writes goes beneath it.
        if (::mkdir(QFile::encodeName(tried).constData(), 0777) == 0) {
            PlanFolder folder(tried, PlanFolder::AtName::noLink);
            if (!folder.isOpen())
                return {tried, {}, FileError::describe(errno)};
            try {
                return {tried, heldClaim(std::move(folder), settings), {}};
            } catch (const Failure &failure) {
                return {tried, {}, failure.message};
            }
        }
        if (errno != EEXIST)
            return {tried, {}, FileError::describe(errno)};
        // A husk no other run holds: still a husk once held, or empty, as
        // the claim leaves one when it takes its temporary files away (an
        // empty folder found before the claim is one another run has just
        // made and not yet claimed).
        if (!isHusk(tried))
            continue;
        PlanFolder folder(tried, PlanFolder::AtName::noLink);
        if (!folder.isOpen())
            continue;
        try {
            std::shared_ptr<FolderClaim> claim = heldClaim(std::move(folder), settings);
            const QString held = claim->folder().held();
            if (claim->isHeld() && (isHusk(held) || emptyFolder(held)))
                return {tried, std::move(claim), {}};
        } catch (const Failure &) {
        }
    }
}

std::shared_ptr<FolderClaim> FolderClaim::heldClaim(PlanFolder folder, const AppSettings &settings)
{
    // Claimed through the folder made, never through its name again.
    auto claim = std::make_shared<FolderClaim>(take(folder.held(), settings));
    claim->m_folder = std::move(folder);
    return claim;
}

FolderClaim FolderClaim::take(const QString &dir, const AppSettings &settings, std::chrono::milliseconds wait,
                              bool repair)
{
    FolderClaim claim;
    if (!QFileInfo(dir).isDir())
        return claim;
    // The lock is taken on the folder held, which the claim keeps: what
    // holds the folder is asked of it, whatever its name names later.
    PlanFolder folder = PlanFolder(dir);
    const QString held = folder.held();
    try {
        claim.m_lock = FolderLock::take(held, wait);
    } catch (const FolderLock::Failure &failure) {
        throw Failure{QString(failure.message).replace(held, dir), failure.busy};
    }
    claim.m_folder = std::move(folder);
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
