#include "app/filework.h"

#include "app/appstate.h"

#include "core/atomicfile.h"
#include "core/ownthread.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/generator.h"
#include "model/planfiles.h"
#include "model/planhistory.h"
#include "model/planjson.h"
#include "model/reviser.h"
#include "model/planfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString planFile = PlanFolder::planJson;
const QString renaming = u"이름을 바꾸는 중"_s;
const QString exporting = u"내보내는 중"_s;
const QString importing = u"가져오는 중"_s;

// Every instance, so that quitting finds all work under way. Main thread
// only.
QSet<FileWork *> &instances()
{
    static QSet<FileWork *> all;
    return all;
}

// Something at the path, a dangling link included.
bool occupied(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Moves a file or folder to the user's Trash. Qt makes the Trash inside the
// user's data folder but not that folder itself, and without it moves the
// item into the working folder while reporting success; so the data folder
// is made first.
bool moveToTrash(const QString &path, QString *error)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (data.isEmpty() || !QDir().mkpath(data)) {
        *error = u"휴지통 폴더를 만들 수 없어요: "_s + data;
        return false;
    }
    QFile item(path);
    if (!item.moveToTrash()) {
        *error = FileError::describe(item);
        return false;
    }
    return true;
}

// A plan's title as plan.json holds it; nothing when it does not read.
std::optional<QString> titleOf(const QString &dir)
{
    try {
        const std::optional<QByteArray> bytes =
            RegularFile::read(FileWork::bare(dir) + u'/' + planFile, FileSizes::plan);
        if (!bytes)
            return std::nullopt;
        return JsonRead::record(parseObject(*bytes), u"meta"_s, Meta::read, Meta()).title;
    } catch (const JSONDecodeError &) {
    }
    return std::nullopt;
}

// Copies the page to `target` piece by piece, looking at `stop` between the
// pieces; a stopped or failed copy leaves the target as it was.
FileWork::Exported copyPage(const QString &source, const QString &target, const CancelToken &stop)
{
    const QString sourceFile = QFileInfo(source).canonicalFilePath();
    // Saving the page over itself keeps it as it is.
    if (!sourceFile.isEmpty() && sourceFile == QFileInfo(target).canonicalFilePath())
        return {};
    QString error;
    const int fd = RegularFile::open(source, 0, &error);
    if (fd < 0)
        return {error};
    QFile page;
    if (!page.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {FileError::describe(page)};
    }
    bool stopped = false;
    std::optional<QString> unread;
    // The copy replaces an existing file only once it is whole.
    const bool copied = AtomicFile::write(target, [&](QIODevice &out) {
        QByteArray piece(1 << 20, Qt::Uninitialized);
        while (!(stopped = stop.isCancelled())) {
            const qint64 n = page.read(piece.data(), piece.size());
            if (n < 0)
                unread = FileError::describe(page);
            if (n <= 0)
                return n == 0;
            if (out.write(piece.constData(), n) != n)
                return false;
        }
        return false;
    }, &error);
    if (stopped)
        return {std::nullopt, true};
    if (unread)
        return {unread};
    if (!copied)
        return {FileError::describe(error)};
    return {};
}

FileWork::Imported importFailure(const QString &cause)
{
    return {{}, u"가져오지 못했어요: "_s + cause};
}

// An imported plan's folder name from its feature: one path component, so
// a foreign page can never place the folder outside the output folder.
QString importBase(const QString &feature)
{
    return (feature.isEmpty() ? u"Imported"_s : Generator::featureComponent(feature)) + u"-plan"_s;
}

// Writes an imported plan into `into`, or into a new folder in `output`.
// A stop is heeded until the files are whole: a new folder then goes away
// with what was written into it, and an existing plan gets its files back
// as they were (images the page brought stay).
FileWork::Imported importInto(const ImportedPlan &imported, const std::optional<QString> &into, const QString &output,
                              const AppSettings &settings, const CancelToken &stop)
{
    const FileWork::Imported stopped{{}, std::nullopt, true};
    if (stop.isCancelled())
        return stopped;
    QString folder;
    std::shared_ptr<FolderClaim> claim;
    if (into) {
        folder = FileWork::bare(*into);
        if (!QDir().mkpath(folder))
            return importFailure(FileError::describe(errno));
    } else {
        // Made here, so that no other folder of that name is ever written
        // into.
        const QString base = importBase(imported.plan.meta.feature);
        FolderClaim::New made = FolderClaim::makeNew(
            output, [&base](int n) { return n == 1 ? base : base + u'-' + QString::number(n); }, settings);
        if (!made.claim)
            return importFailure(made.failure);
        folder = made.dir;
        claim = std::move(made.claim);
    }
    std::optional<PlanFiles::Snapshot> before;
    // Nothing of an import that does not end is left.
    const auto abandon = [&](FileWork::Imported outcome) {
        if (!into)
            QDir(folder).removeRecursively();
        else if (before)
            PlanFiles::putBack(folder, *before);
        return outcome;
    };
    try {
        if (!claim)
            claim = std::make_shared<FolderClaim>(FolderClaim::take(folder, settings));
    } catch (const FolderClaim::Failure &failure) {
        return abandon({{}, failure.message});
    }
    if (stop.isCancelled())
        return abandon(stopped);
    if (into)
        before = PlanFiles::take(folder);
    // A plan whose page would lack pictures it was shared with is no import.
    QStringList failures;
    Importer::writeAssets(imported.assets, folder, &failures, nullptr, Importer::shownPictures(imported.plan));
    if (!failures.isEmpty())
        return abandon({{}, Importer::picturesNotWritten(failures)});
    if (stop.isCancelled())
        return abandon(stopped);
    Plan plan = imported.plan;
    try {
        Exporter::writeAll(plan, folder, Conventions::load({settings.androidRepo, settings.iosRepo}).first);
    } catch (const ExportFailure &failure) {
        return abandon(importFailure(FileError::describe(failure.message)));
    }
    if (stop.isCancelled())
        return abandon(stopped);
    // The log lives in history/, which a new folder does not have yet.
    QDir().mkpath(folder + u"/"_s + PlanFolder::history);
    Reviser::appendLog(folder, u"(가져오기) "_s + QFileInfo(imported.source).fileName(),
                       u"- 공유받은 HTML 로 계획서를 바꿈"_s, settings.userName);
    return {folder, std::nullopt};
}

} // namespace

FileWork::FileWork(QObject *parent)
    : QObject(parent)
    , m_outlet(std::make_shared<Outlet>())
{
    m_outlet->object = this;
    instances().insert(this);
}

FileWork::~FileWork()
{
    instances().remove(this);
    stopTasks();
    // What still runs after the wait reaches nothing here: its result is
    // dropped, as are the object's posted calls.
    std::unique_lock locked(m_outlet->mutex);
    m_outlet->threadEnded.wait_for(locked, endWait, [this] { return m_outlet->threads == 0; });
    m_outlet->object = nullptr;
}

void FileWork::Outlet::post(std::function<void(FileWork *)> call)
{
    const std::lock_guard locked(mutex);
    if (object)
        QMetaObject::invokeMethod(object, [object = object, call = std::move(call)] { call(object); }, Qt::QueuedConnection);
}

QString FileWork::bare(const QString &dir)
{
    if (dir.size() > 1 && dir.endsWith(u'/'))
        return dir.chopped(1);
    return dir;
}

QString FileWork::lastComponent(const QString &dir)
{
    return QFileInfo(bare(QDir::cleanPath(dir))).fileName();
}

QStringList FileWork::tasks() const
{
    QStringList texts;
    for (const Task &task : m_tasks)
        texts.append(task.text);
    return texts;
}

void FileWork::stopTasks()
{
    for (const Task &task : std::as_const(m_tasks))
        task.stop.cancel();
}

bool FileWork::busy()
{
    const QSet<FileWork *> &all = instances();
    return std::any_of(all.begin(), all.end(), [](const FileWork *work) { return work->working(); });
}

void FileWork::stopAll()
{
    for (FileWork *work : std::as_const(instances()))
        work->stopTasks();
}

void FileWork::start(std::function<void()> work, std::function<void()> finish)
{
    const bool first = m_jobs.empty();
    const quint64 id = ++m_lastJob;
    m_jobs[id] = std::move(finish);
    {
        const std::lock_guard locked(m_outlet->mutex);
        ++m_outlet->threads;
    }
    OwnThread::detach(
        [work = std::move(work)]() mutable {
            work();
            // What the work was handed goes here, beside the event loop.
            work = nullptr;
        },
        [outlet = m_outlet, id] {
            outlet->post([id](FileWork *self) { self->finish(id); });
            const std::lock_guard locked(outlet->mutex);
            --outlet->threads;
            outlet->threadEnded.notify_all();
        });
    if (first)
        Q_EMIT workingChanged();
}

void FileWork::finish(quint64 id)
{
    const auto found = m_jobs.find(id);
    if (found == m_jobs.end())
        return;
    const std::function<void()> done = std::move(found->second);
    m_jobs.erase(found);
    if (m_jobs.empty())
        Q_EMIT workingChanged();
    done();
}

void FileWork::tell(const SharedOutlet &outlet, const QStringList &notices)
{
    if (notices.isEmpty())
        return;
    outlet->post([text = notices.join(u'\n')](FileWork *self) { Q_EMIT self->told(text); });
}

std::optional<FolderClaim> FileWork::claimIdle(const SharedOutlet &outlet, const QString &dir,
                                               const AppSettings &settings, QString *refusal)
{
    // The window's own brief holds (the look for an interrupted operation
    // as a plan opens) are waited out, so that a click just after opening is
    // not refused; a revision or a run elsewhere still is, two seconds on.
    try {
        FolderClaim claim = FolderClaim::take(bare(dir), settings, std::chrono::seconds(2));
        tell(outlet, claim.notices());
        return claim;
    } catch (const FolderClaim::Failure &failure) {
        *refusal = failure.message;
        return std::nullopt;
    }
}

std::optional<QString> FileWork::rollBackInterrupted(const QString &dir, const AppSettings &settings, bool *held)
{
    // A folder held by a run, here or elsewhere, has its record live: only a
    // free folder can hold what an interrupted operation left.
    try {
        const FolderClaim claim = FolderClaim::take(dir, settings);
        if (!claim.notices().isEmpty())
            return claim.notices().join(u'\n');
    } catch (const FolderClaim::Failure &failure) {
        *held = failure.busy;
        if (!failure.busy)
            return failure.message;
    }
    return std::nullopt;
}

void FileWork::rename(const QString &dir, const QString &title, const QString &name, const AppSettings &settings,
                      std::function<void(const Renamed &)> done)
{
    runStoppable(
        renaming,
        [outlet = m_outlet, dir, title, name, settings](const CancelToken &stop) {
            return renameClaimed(outlet, dir, title, name, settings, stop);
        },
        std::move(done));
}

FileWork::Renamed FileWork::renameClaimed(const SharedOutlet &outlet, const QString &dir, const QString &newTitle,
                                          const QString &name, const AppSettings &settings, const CancelToken &stop)
{
    const Renamed stopped{{}, std::nullopt, true};
    QString refusal;
    const std::optional<FolderClaim> claim = claimIdle(outlet, dir, settings, &refusal);
    if (!claim)
        return {{}, refusal};
    if (stop.isCancelled())
        return stopped;

    // Once the new title is written the folder is renamed too: a stop then
    // finds the rename whole.
    bool titled = false;
    QString error;
    const std::optional<QByteArray> bytes = RegularFile::read(dir + planFile, FileSizes::plan, &error);
    // A title that cannot be set stops the whole rename: half of it done
    // would be reported as all of it.
    const auto untitled = [](const QString &cause) -> Renamed {
        return {{}, u"이름을 바꾸지 못했어요: plan.json ("_s + cause + u')'};
    };
    if (!bytes && !newTitle.isEmpty())
        return untitled(error);
    if (bytes) {
        try {
            PlanJson::Read read = PlanJson::read(*bytes);
            Plan &plan = read.plan;
            if (!newTitle.isEmpty() && newTitle != plan.meta.title) {
                if (stop.isCancelled())
                    return stopped;
                try {
                    // The rewrite keeps only what the plan's reader
                    // understood; anything else is first copied into
                    // history/, as a kept copy: a new title is no revision
                    // for an undo to go back to.
                    if (read.wouldDrop)
                        PlanHistory::keep(bare(dir), *bytes);
                    plan.meta.title = newTitle;
                    titled = true;
                    Exporter::writeAll(plan, bare(dir), Conventions::load({settings.androidRepo, settings.iosRepo}).first);
                } catch (const PlanHistory::Failure &failure) {
                    return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(failure.message)};
                } catch (const ExportFailure &failure) {
                    return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(failure.message)};
                }
            }
        } catch (const JSONDecodeError &failure) {
            if (!newTitle.isEmpty())
                return untitled(failure.message);
        }
    }

    if (name.isEmpty() || name == lastComponent(dir))
        return {dir, std::nullopt};
    if (!titled && stop.isCancelled())
        return stopped;
    if (name.contains(u'/') || name.startsWith(u'.'))
        return {{}, u"폴더 이름에 / 나 맨 앞 . 은 쓸 수 없어요"_s};
    const QString target = AppState::standardFolder(dir + u"../"_s + name);
    if (occupied(bare(target)))
        return {{}, u"같은 이름의 폴더가 이미 있어요: "_s + name};
    const QByteArray from = QFile::encodeName(bare(dir));
    const QByteArray to = QFile::encodeName(bare(target));
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0)
        return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(errno)};
    return {target, std::nullopt};
}

std::optional<QString> FileWork::trashClaimed(const SharedOutlet &outlet, const QString &dir,
                                             const AppSettings &settings)
{
    QString refusal;
    const std::optional<FolderClaim> claim = claimIdle(outlet, dir, settings, &refusal);
    if (!claim)
        return refusal;
    QString error;
    if (!moveToTrash(bare(dir), &error))
        return u"삭제하지 못했어요: "_s + error;
    return std::nullopt;
}

void FileWork::trash(const QString &dir, const AppSettings &settings,
                     std::function<void(const std::optional<QString> &)> done)
{
    run([outlet = m_outlet, dir, settings] { return trashClaimed(outlet, dir, settings); }, std::move(done));
}

void FileWork::renderPage(const QString &dir, const AppSettings &settings,
                          std::function<void(const std::optional<QString> &)> done)
{
    run([outlet = m_outlet, dir, settings]() -> std::optional<QString> {
        const QString failed = u"index.html 을 다시 그리지 못했어요: "_s;
        QString error;
        const std::optional<FolderClaim> claim = claimIdle(outlet, dir, settings, &error);
        if (!claim)
            return failed + error;
        const std::optional<QByteArray> bytes = RegularFile::read(bare(dir) + u'/' + planFile, FileSizes::plan, &error);
        if (!bytes)
            return failed + error;
        try {
            const QJsonObject object = parseObject(*bytes);
            std::optional<Plan> plan = Plan::read(object);
            if (!plan)
                return failed + u"plan.json 이 계획서가 아니에요"_s;
            // What the plan's reader did not understand is kept first.
            if (PlanHistory::writeWouldDrop(object, *plan))
                PlanHistory::keep(bare(dir), *bytes);
            Exporter::writeAll(*plan, bare(dir), Conventions::load({settings.androidRepo, settings.iosRepo}).first);
        } catch (const JSONDecodeError &) {
            return failed + u"plan.json 을 JSON 으로 읽지 못했어요"_s;
        } catch (const PlanHistory::Failure &failure) {
            return failed + FileError::describe(failure.message);
        } catch (const ExportFailure &failure) {
            return failed + FileError::describe(failure.message);
        }
        return std::nullopt;
    }, std::move(done));
}

void FileWork::readTitle(const QString &dir, std::function<void(const std::optional<QString> &)> done)
{
    run([dir] { return titleOf(dir); }, std::move(done));
}

void FileWork::exportPage(const QString &source, const QString &target, std::function<void(const Exported &)> done)
{
    runStoppable(
        exporting, [source, target](const CancelToken &stop) { return copyPage(source, target, stop); },
        std::move(done));
}

void FileWork::importPage(const QString &page, const QString &output, const AppSettings &settings,
                          std::function<void(const Imported &)> done)
{
    runStoppable(
        importing,
        [page, output, settings](const CancelToken &stop) -> Imported {
            ImportedPlan imported;
            try {
                imported = Importer::read(page, stop);
            } catch (const Importer::Failure &failure) {
                return {{}, failure.message};
            } catch (const Cancelled &) {
                return {{}, std::nullopt, true};
            }
            imported.source = page;
            imported.candidates.clear();
            return importInto(imported, std::nullopt, output, settings, stop);
        },
        std::move(done));
}

void FileWork::applyImport(ImportedPlan imported, const std::optional<QString> &into, const QString &output,
                           const AppSettings &settings, std::function<void(const Imported &)> done)
{
    runStoppable(
        importing,
        [imported = std::move(imported), into, output, settings](const CancelToken &stop) {
            return importInto(imported, into, output, settings, stop);
        },
        std::move(done));
}

void FileWork::endStoppedRun(const std::optional<QString> &running, bool remove, const AppSettings &settings,
                             std::function<void(bool earlierPlan)> done)
{
    run(
        [running, remove, settings] {
            if (!running)
                return false;
            // Moved only while held: a writer elsewhere keeps its folder.
            std::optional<FolderClaim> claim;
            try {
                claim = FolderClaim::take(*running, settings);
            } catch (const FolderClaim::Failure &) {
            }
            const bool earlierPlan = QFileInfo(*running + u"/plan.json"_s).isFile();
            QString ignored;
            if (remove && !earlierPlan && claim)
                moveToTrash(*running, &ignored);
            return earlierPlan;
        },
        std::move(done));
}
