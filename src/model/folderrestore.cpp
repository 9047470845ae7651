#include "model/folderrestore.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/freedmemory.h"
#include "core/jsonread.h"
#include "core/madefrom.h"
#include "core/regularfile.h"
#include "model/conventions.h"
#include "model/plan.h"
#include "model/planexport.h"
#include "model/planfiles.h"
#include "model/planfolder.h"
#include "model/planhistory.h"
#include "model/planjson.h"
#include "model/reviser.h"
#include "model/underway.h"
#include "settings/appsettings.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <functional>
#include <utility>

namespace FolderRestore {

namespace {

QString planPath(const QString &dir)
{
    return QDir(dir).filePath(PlanFolder::planJson);
}

QString rollBackFailed(const QString &reason, const QString &backup)
{
    return QStringLiteral("중단된 고치기를 되돌리지 못했어요: ") + reason
        + QStringLiteral(". 고치기 전 계획서는 백업에 있어요: ") + backup;
}

// A backup's bytes when it holds a plan; nothing when it holds none (empty,
// cut, no JSON object, or no regular file of its own). Throws Failure when
// it cannot be read at all.
std::optional<QByteArray> planIn(const QString &dir, const QString &backup,
                                 const std::function<QString(const QString &)> &failure)
{
    // Read beneath the folder: a history/ that has become a link holds no
    // backup of this plan.
    const PlanFolder folder(dir);
    if (RegularFile::holdsNothing(backup))
        return std::nullopt;
    QString error;
    const std::optional<QByteArray> bytes = folder.read(QDir(dir).relativeFilePath(backup), FileSizes::plan, &error);
    if (!bytes && (error == RegularFile::notRegular() || error == RegularFile::linked()))
        return std::nullopt;
    if (!bytes)
        throw Failure{failure(error)};
    try {
        parseObject(*bytes);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
    return bytes;
}

// Removes the file `path` of `dir`'s history/ beneath the folder.
void removeBeneath(const QString &dir, const QString &path)
{
    PlanFolder(dir).remove(QDir(dir).relativeFilePath(path));
}

// What becomes of a backup that holds no plan, told as the end of a line:
// it is moved aside as a kept copy, once; a pipe, a socket or a device
// holds nothing to keep and goes.
QString setAside(const QString &dir, const QString &backup)
{
    if (RegularFile::holdsNothing(backup)) {
        removeBeneath(dir, backup);
        return QStringLiteral("지웠어요");
    }
    try {
        return PlanHistory::moveAside(dir, backup) + QStringLiteral(" 로 옮겨 뒀어요");
    } catch (const PlanHistory::Failure &failure) {
        throw Failure{failure.message};
    }
}

void endWhatWasLeftRunning(const QString &dir, const UnderWay::Entry &record)
{
    if (record.group && !RunMarks::end(*record.group))
        throw Failure{(RunMarks::startedHere(*record.group)
                           ? QStringLiteral("중단된 고치기의 Claude 가 아직 이 폴더에서 일하고 있어요. ")
                           : QStringLiteral("이 폴더는 복사본이고, 원래 폴더에서 중단된 고치기의 Claude 가 아직 그 폴더에서 "
                                            "일하고 있어요. "))
                          + QStringLiteral("그 Claude 가 끝난 뒤에 다시 해 주세요: ") + dir,
                      true};
}

} // namespace

// The log's newest entry is a rollback's: its first quoted line.
bool newestEntryIsRollback(const QString &dir)
{
    const std::optional<QByteArray> bytes = RegularFile::read(Reviser::logFile(dir), FileSizes::log);
    if (!bytes)
        return false;
    const QByteArray quote = "\n> ";
    const qsizetype at = bytes->indexOf(quote);
    return at >= 0 && bytes->mid(at + quote.size()).startsWith((Reviser::rollbackRequest() + u'\n').toUtf8());
}

QString brokenPlan()
{
    return QStringLiteral("plan.json 을 읽지 못했어요(JSON 이 깨짐)");
}

void reinstate(const QString &dir, const QByteArray &bytes, const AppSettings &settings)
{
    PlanJson::Read read;
    try {
        read = PlanJson::read(bytes);
    } catch (const JSONDecodeError &) {
        throw Failure{brokenPlan()};
    }
    Plan &plan = read.plan;
    try {
        if (read.wouldDrop)
            PlanHistory::keep(dir, bytes);
        QString error;
        if (RegularFile::read(planPath(dir), FileSizes::plan) != bytes && !AtomicFile::write(planPath(dir), bytes, &error))
            throw Failure{QStringLiteral("plan.json: ") + error};
        // The check that the backup is JSON let a whole tree go on this
        // thread; the render's pieces are made on the others.
        FreedMemory::giveBack();
        PlanExport::writeAll(plan, dir, Conventions::load({settings.androidRepo, settings.iosRepo}).first);
    } catch (const PlanHistory::Failure &failure) {
        throw Failure{failure.message};
    } catch (const ExportFailure &failure) {
        throw Failure{failure.message};
    }
}

std::optional<QString> rollBack(const QString &dir, const AppSettings &settings)
{
    const std::optional<UnderWay::Entry> record = UnderWay::read(dir);
    // A pipe or the like at the record's name is no record of a revision
    // (one would have replaced it): it goes, so that it is not met again.
    if (!record && RegularFile::holdsNothing(UnderWay::path(dir)))
        removeBeneath(dir, UnderWay::path(dir));
    if (!record)
        return std::nullopt;
    // Claude may outlive the run that started it: its late edit must not
    // land after the rollback.
    endWhatWasLeftRunning(dir, *record);
    const QString backup = QDir(dir).filePath(QStringLiteral("history/") + record->backup);
    const bool named = record->backup.startsWith(QLatin1String("plan-")) && !record->backup.contains(u'/');
    // Without its backup the run had already put the folder back.
    if (!named || !(QFileInfo::exists(backup) || QFileInfo(backup).isSymLink())) {
        removeBeneath(dir, UnderWay::path(dir));
        return std::nullopt;
    }
    const std::optional<QByteArray> bytes =
        planIn(dir, backup, [&backup](const QString &reason) { return rollBackFailed(reason, backup); });
    if (!bytes) {
        const QString line = QStringLiteral("중단된 고치기의 백업 ") + record->backup
            + QStringLiteral(" 이 깨져 있어 되돌리지 않고 ") + setAside(dir, backup);
        removeBeneath(dir, UnderWay::path(dir));
        return line;
    }
    const std::optional<QByteArray> left = RegularFile::read(planPath(dir), FileSizes::plan);
    // A rollback killed after its log entry is done again at the next use
    // of the folder: the plan is back already and the entry is there.
    const bool logged = left == bytes && newestEntryIsRollback(dir);
    QString kept;
    try {
        if (left && *left != *bytes)
            kept = PlanHistory::keep(dir, *left);
        reinstate(dir, *bytes, settings);
    } catch (const PlanHistory::Failure &failure) {
        throw Failure{rollBackFailed(failure.message, backup)};
    } catch (const Failure &failure) {
        throw Failure{rollBackFailed(failure.message, backup)};
    }
    // The log names the revision that was cut short, if it got that far;
    // it now says that the plan went back.
    if (!logged)
        Reviser::appendLog(dir, Reviser::rollbackRequest(), QStringLiteral("- 끝나지 않은 고치기를 고치기 전으로 되돌림"),
                           settings.userName);
    removeBeneath(dir, UnderWay::path(dir));
    removeBeneath(dir, backup);
    const QString done = QStringLiteral("중단된 고치기를 되돌렸어요: plan.json 을 고치기 전으로 돌려 놨어요");
    return kept.isEmpty() ? done : done + QStringLiteral(" (Claude 가 남긴 파일: ") + kept + QLatin1Char(')');
}

std::optional<QString> repair(const QString &dir, const AppSettings &settings)
{
    if (MadeFrom::holds(dir))
        return std::nullopt;
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir), FileSizes::plan);
    if (!bytes)
        return std::nullopt;
    try {
        parseObject(*bytes);
        reinstate(dir, *bytes, settings);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    } catch (const Failure &failure) {
        return QStringLiteral("plan.md · index.html 이 plan.json 과 맞지 않는데 다시 만들지 못했어요: ") + failure.message;
    }
    return QStringLiteral("plan.md · index.html 이 plan.json 과 맞지 않아 plan.json 으로 다시 만들었어요");
}

QString picturesOf(const QString &backup)
{
    return (backup.endsWith(QLatin1String(".json")) ? backup.chopped(5) : backup) + QStringLiteral(".img");
}

QString keepPictures(const QString &dir, const QString &backup, const QHash<QString, QByteArray> &pictures)
{
    const PlanFolder folder(dir);
    const QString side = picturesOf(QDir(dir).relativeFilePath(backup));
    for (auto it = pictures.begin(); it != pictures.end(); ++it) {
        const QString target = side + QLatin1Char('/') + it.key();
        for (qsizetype slash = target.indexOf(u'/'); slash > 0; slash = target.indexOf(u'/', slash + 1))
            folder.makeFolder(target.left(slash), 0700);
        if (QString error; !folder.write(target, it.value(), &error))
            return PlanFolder::images + QLatin1Char('/') + it.key() + QStringLiteral(" (") + error + QLatin1Char(')');
    }
    return QString();
}

namespace {

// Puts the pictures kept beside `backup` back into img/, beneath the folder;
// each picture there now goes beside `kept`, the replaced plan's copy.
// Gives the paths that could not be put back.
QStringList putBackPictures(const QString &dir, const QString &backup, const std::optional<QString> &kept)
{
    const PlanFolder folder(dir);
    const QString side = QDir(dir).relativeFilePath(picturesOf(backup));
    const QString keptSide = kept ? QDir(dir).relativeFilePath(picturesOf(*kept)) : QString();
    QStringList failed;
    QDirIterator pictures(folder.pathOf(side), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (pictures.hasNext()) {
        const QString name = QDir(folder.pathOf(side)).relativeFilePath(pictures.next());
        const QString target = PlanFolder::images + QLatin1Char('/') + name;
        for (const QString &path : {target, keptSide + QLatin1Char('/') + name})
            for (qsizetype slash = path.indexOf(u'/'); slash > 0; slash = path.indexOf(u'/', slash + 1))
                folder.makeFolder(path.left(slash));
        const PlanFolder::Place now = folder.place(target);
        const PlanFolder::Place from = folder.place(side + QLatin1Char('/') + name);
        if (kept && now.isOpen()) {
            const PlanFolder::Place aside = folder.place(keptSide + QLatin1Char('/') + name);
            if (aside.isOpen())
                ::renameat2(now.folder.get(), now.name.constData(), aside.folder.get(), aside.name.constData(),
                            RENAME_NOREPLACE);
        }
        if (!now.isOpen() || !from.isOpen()
            || ::renameat(from.folder.get(), from.name.constData(), now.folder.get(), now.name.constData()) != 0)
            failed.append(folder.pathOf(target));
    }
    if (failed.isEmpty())
        QDir(folder.pathOf(side)).removeRecursively();
    return failed;
}

} // namespace

QString undo(const QString &dir, const QString &backup, const AppSettings &settings)
{
    // A history/ that is no folder of the plan's own holds no undo point.
    if (const QString refused = PlanHistory::elsewhere(dir); !refused.isEmpty())
        throw Failure{refused};
    const std::optional<QByteArray> bytes = planIn(dir, backup, [](const QString &reason) { return reason; });
    // Undo steps back one backup whatever it holds: one that is no plan
    // moves aside as a kept copy, so the backups behind it stay reachable.
    if (!bytes)
        throw Failure{QFileInfo(backup).fileName() + QStringLiteral(" 은 JSON 이 깨져 있어 되돌리지 않고 ")
                      + setAside(dir, backup) + QStringLiteral(". 한 번 더 되돌리면 그 앞 백업으로 돌아가요")};

    QString error;
    std::optional<QByteArray> current = RegularFile::read(planPath(dir), FileSizes::plan, &error);
    if (QFileInfo::exists(planPath(dir)) && !current)
        throw Failure{error};
    // Nothing makes the replaced plan an undo point, but it is the user's
    // work: it stays in history/ as a kept copy, which is also what a
    // failed undo puts back.
    std::optional<QString> kept;
    try {
        if (current)
            kept = PlanHistory::keep(dir, *std::exchange(current, std::nullopt));
    } catch (const PlanHistory::Failure &failure) {
        throw Failure{failure.message};
    }
    const PlanFiles::Snapshot before = PlanFiles::take(dir, kept ? PlanFiles::Kept::at(*kept) : PlanFiles::Kept());

    // The folder changes whole or not at all: on any failure the three
    // files go back as they were and the backup stays for another try.
    QString failed;
    try {
        reinstate(dir, *bytes, settings);
        if (!PlanFolder(dir).remove(QDir(dir).relativeFilePath(backup)))
            failed = FileError::describe(errno);
    } catch (const Failure &failure) {
        failed = failure.message;
    }
    if (!failed.isEmpty()) {
        const QString notBack = PlanFiles::putBack(dir, before);
        if (notBack.isEmpty() && kept)
            removeBeneath(dir, *kept);
        throw Failure{notBack.isEmpty() ? failed
                                        : failed + QStringLiteral("\n바뀌기 전 파일을 다시 놓지 못했어요(") + notBack
                                              + QStringLiteral("). 되돌리기 전 plan.json 은 여기 있어요: ")
                                              + kept.value_or(QString())};
    }
    const QStringList pictures = putBackPictures(dir, backup, kept);
    Reviser::appendLog(dir, Reviser::undoRequest(), QStringLiteral("- 직전 고치기 전으로 되돌림"), settings.userName);
    if (!pictures.isEmpty())
        return QStringLiteral("직전 고치기 전으로 되돌렸어요. 그림은 다시 놓지 못했어요(") + pictures.join(QStringLiteral(", "))
            + QStringLiteral("): ") + QDir(dir).relativeFilePath(picturesOf(backup)) + QStringLiteral(" 에 있어요");
    return QStringLiteral("직전 고치기 전으로 되돌렸어요");
}

} // namespace FolderRestore
