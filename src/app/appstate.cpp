#include "app/appstate.h"

#include "app/desktop.h"
#include "claude/clauderunner.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/ownthread.h"
#include "core/regularfile.h"
#include "export/exporter.h"
#include "model/generateinput.h"
#include "model/developer.h"
#include "model/generator.h"
#include "model/planfiles.h"
#include "model/planhistory.h"
#include "model/reviser.h"
#include "settings/updater.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTimer>
#include <QTimeZone>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <variant>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QString planFile = u"plan.json"_s;
const QString busyFolder = u"작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요"_s;
const QString requestFile = u"request.json"_s;

QPointer<AppState> holder;

// File work of the window under way, counted until it ends even when its
// state has gone meanwhile: the application waits for it before it quits.
std::atomic<int> fileWork = 0;

// The stops of the file work under way that the person may stop, by run:
// quitting stops them too.
std::mutex stopsMutex;
QHash<quint64, CancelToken> stops;
quint64 lastStop = 0;

struct FileWorkCount {
    explicit FileWorkCount(const std::optional<CancelToken> &stop)
    {
        ++fileWork;
        if (!stop)
            return;
        const std::lock_guard locked(stopsMutex);
        m_stop = ++lastStop;
        stops.insert(m_stop, *stop);
    }
    ~FileWorkCount()
    {
        if (m_stop != 0) {
            const std::lock_guard locked(stopsMutex);
            stops.remove(m_stop);
        }
        --fileWork;
    }
    FileWorkCount(const FileWorkCount &) = delete;
    FileWorkCount &operator=(const FileWorkCount &) = delete;

private:
    quint64 m_stop = 0;
};

const QString renaming = u"이름을 바꾸는 중"_s;
const QString exporting = u"내보내는 중"_s;
const QString importing = u"가져오는 중"_s;

// A folder path without its closing "/", as file calls take it.
QString bare(const QString &dir)
{
    if (dir.size() > 1 && dir.endsWith(u'/'))
        return dir.chopped(1);
    return dir;
}

QString lastComponent(const QString &dir)
{
    return QFileInfo(bare(QDir::cleanPath(dir))).fileName();
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

QDateTime distantPast()
{
    return QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC);
}

struct ReadFailure {
    QString message;
};

// A file read whole, with the time it last changed.
struct FileRead {
    QByteArray bytes;
    QDateTime modified;
};

// Only a regular file is read: a pipe or a device named like a plan's file
// would hold the reading thread, and with it the window's quit, for ever.
FileRead readFile(const QString &path)
{
    QString error;
    std::optional<QByteArray> bytes = RegularFile::read(path, &error);
    if (!bytes)
        throw ReadFailure{error};
    return {std::move(*bytes), QFileInfo(path).lastModified()};
}

QByteArray readWhole(const QString &path)
{
    return readFile(path).bytes;
}

// The library entry of a folder given in standard folder form, from its
// plan.json. Only the fields the entry shows are read, each with the plan's
// own reader, so the entry equals what a whole decode would give. Throws
// JSONDecodeError when the bytes are not a JSON object.
PlanRef entryOf(const QString &url, const FileRead &file)
{
    const QJsonObject object = parseObject(file.bytes);
    const Meta meta = JsonRead::record(object, u"meta"_s, Meta::read, Meta());
    const QList<Decision> decisions = JsonRead::list(object, u"decisions"_s, Decision::read);
    PlanRef ref;
    ref.url = url;
    ref.title = meta.title.isEmpty() ? lastComponent(url) : meta.title;
    ref.feature = meta.feature;
    ref.openDecisions = int(std::count_if(decisions.begin(), decisions.end(),
                                          [](const Decision &d) { return d.status != u"decided"_s; }));
    ref.modified = file.modified.isValid() ? file.modified : distantPast();
    return ref;
}

// An imported plan's folder name from its feature: one path component, so
// a foreign page can never place the folder outside the output folder.
QString importBase(const QString &feature)
{
    return (feature.isEmpty() ? u"Imported"_s : Generator::featureComponent(feature)) + u"-plan"_s;
}

std::optional<GenerateInput> savedRequest(const QString &dir)
{
    try {
        return GenerateInput::decode(readWhole(bare(dir) + u'/' + requestFile));
    } catch (const ReadFailure &) {
    } catch (const JSONDecodeError &) {
    }
    return std::nullopt;
}

// The library entry of a folder in standard folder form, or nothing when its
// plan.json cannot be read.
std::optional<PlanRef> ref(const QString &dir)
{
    try {
        return entryOf(dir, readFile(dir + planFile));
    } catch (const ReadFailure &) {
        return std::nullopt;
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
}

// What a scan of the library found.
struct Scan {
    QStringList unfinished;
    QHash<QString, QString> unfinishedTitles;
    QList<PlanRef> plans;
};

// An unfinished folder's title: the request's title, else its feature, else
// (no readable request) the folder's name.
QString unfinishedTitle(const QString &dir)
{
    if (const std::optional<GenerateInput> input = savedRequest(dir))
        return input->title.isEmpty() ? input->feature : input->title;
    return lastComponent(dir);
}

Scan scan(const QString &output, const QStringList &extraDirs)
{
    // One listing serves both lists; hidden folders count, nothing is sorted.
    const QFileInfoList children =
        output.isEmpty() ? QFileInfoList()
                         : QDir(output).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                          QDir::NoDotAndDotDot,
                                                      QDir::Unsorted);
    QStringList candidates;
    Scan found;
    for (const QFileInfo &child : children) {
        const QString path = child.filePath();
        if (QFileInfo::exists(path + u'/' + planFile))
            candidates.append(path);
        else if (QFileInfo::exists(path + u'/' + requestFile))
            found.unfinished.append(AppState::standardFolder(path));
    }
    for (const QString &dir : std::as_const(found.unfinished))
        found.unfinishedTitles.insert(dir, unfinishedTitle(dir));
    const qsizetype listed = candidates.size();
    for (const QString &extra : extraDirs) {
        if (!QFileInfo::exists(bare(extra) + u'/' + planFile))
            continue;
        if (!candidates.first(listed).contains(extra))
            candidates.append(extra);
    }

    QSet<QString> seen;
    for (const QString &candidate : std::as_const(candidates)) {
        const QString standard = AppState::standardFolder(candidate);
        if (seen.contains(standard))
            continue;
        seen.insert(standard);
        if (std::optional<PlanRef> entry = ref(standard))
            found.plans.append(std::move(*entry));
    }
    std::stable_sort(found.plans.begin(), found.plans.end(),
                     [](const PlanRef &a, const PlanRef &b) { return a.modified > b.modified; });
    return found;
}

// A plan's title as plan.json holds it; nothing when it does not read.
std::optional<QString> titleOf(const QString &dir)
{
    try {
        const QJsonObject object = parseObject(readWhole(bare(dir) + u'/' + planFile));
        return JsonRead::record(object, u"meta"_s, Meta::read, Meta()).title;
    } catch (const ReadFailure &) {
    } catch (const JSONDecodeError &) {
    }
    return std::nullopt;
}

// The outcome of an export's file work: why it failed, or that it was
// stopped before the copy was in place.
struct Exported {
    std::optional<QString> failure;
    bool stopped = false;
};

// Copies the page to `target` piece by piece, looking at `stop` between the
// pieces; a stopped or failed copy leaves the target as it was.
Exported copyPage(const QString &source, const QString &target, const CancelToken &stop)
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

// The outcome of an import's file work: the new folder, or why it failed.
struct Imported {
    QString folder;
    std::optional<QString> failure;
    bool stopped = false;
};

Imported importFailure(const QString &cause)
{
    return {{}, u"가져오지 못했어요: "_s + cause};
}

// A new folder for an import in `output`, from the plan's feature: made
// here, so that no other folder of that name is ever written into.
Imported newImportFolder(const QString &output, const QString &feature)
{
    if (!QDir().mkpath(output))
        return importFailure(FileError::describe(errno));
    const QString base = importBase(feature);
    QString folder = output + u'/' + base;
    for (int n = 2; ::mkdir(QFile::encodeName(folder).constData(), 0777) != 0; ++n) {
        if (errno != EEXIST)
            return importFailure(FileError::describe(errno));
        folder = output + u'/' + base + u'-' + QString::number(n);
    }
    return {folder, std::nullopt};
}

// Writes an imported plan into `into`, or into a new folder in `output`.
// A stop is heeded until the files are whole: a new folder then goes away
// with what was written into it, and an existing plan gets its files back
// as they were (images the page brought stay).
Imported importInto(const ImportedPlan &imported, const std::optional<QString> &into, const QString &output,
                    const AppSettings &settings, const CancelToken &stop)
{
    const Imported stopped{{}, std::nullopt, true};
    if (stop.isCancelled())
        return stopped;
    QString folder;
    if (into) {
        folder = bare(*into);
        if (!QDir().mkpath(folder))
            return importFailure(FileError::describe(errno));
    } else {
        const Imported made = newImportFolder(output, imported.plan.meta.feature);
        if (made.failure)
            return made;
        folder = made.folder;
    }
    FolderClaim claim;
    std::optional<PlanFiles::Snapshot> before;
    // Nothing of an import that does not end is left.
    const auto abandon = [&](Imported outcome) {
        if (!into)
            QDir(folder).removeRecursively();
        else if (before)
            PlanFiles::putBack(folder, *before);
        return outcome;
    };
    try {
        claim = FolderClaim::take(folder, settings);
    } catch (const FolderClaim::Failure &failure) {
        return abandon({{}, failure.message});
    }
    if (stop.isCancelled())
        return abandon(stopped);
    if (into)
        before = PlanFiles::take(folder);
    // A plan whose page would lack pictures it was shared with is no import.
    QStringList failures;
    Importer::writeAssets(imported.assets, folder, &failures);
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
    QDir().mkpath(folder + u"/history"_s);
    Reviser::appendLog(folder, u"(가져오기) "_s + QFileInfo(imported.source).fileName(),
                       u"- 공유받은 HTML 로 계획서를 바꿈"_s, settings.userName);
    return {folder, std::nullopt};
}

} // namespace

// The outcome of a rename's file work: the folder it ended in, or why it
// stopped.
struct AppState::Renamed {
    QString folder;
    std::optional<QString> failure;
    bool stopped = false;
};

// What loading a plan folder found: the line of a rolled-back revision, the
// library entry and the plan, or why it could not be read.
struct AppState::Loaded {
    std::optional<QString> rolledBack;
    bool held = false;
    std::optional<PlanRef> entry;
    Plan plan;
    QByteArray digest;
    std::optional<QString> failure;
};

size_t qHash(const Selection &selection, size_t seed)
{
    switch (selection.kind) {
    case Selection::Kind::newPlan:
        return qHashMulti(seed, 0);
    case Selection::Kind::plan:
        return qHashMulti(seed, 1, selection.url);
    case Selection::Kind::generating:
        return qHashMulti(seed, 2);
    }
    return seed;
}

namespace AppStateHolder {

AppState *state()
{
    return holder.data();
}

void setState(AppState *state)
{
    holder = state;
}

} // namespace AppStateHolder

AppState::AppState(QObject *parent)
    : QObject(parent)
    , m_settings(AppSettings::load(false))
{
    // The tool's search may ask the person's login shell, whose profile can
    // take seconds: it runs beside the event loop, and what it finds comes
    // in as a change of the settings, kept in memory as the search's result
    // always was.
    if (m_settings.claudePath.isEmpty())
        OwnThread::run(
            this, [] { return ClaudeRunner::findClaude(); },
            [this](const std::optional<QString> &found) {
                if (!found || !m_settings.claudePath.isEmpty())
                    return;
                m_settings.claudePath = *found;
                Q_EMIT settingsChanged();
            });
    m_showSetup = !m_settings.setupDone;
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &AppState::noticeChange);
    refresh();
    Generator::shared().demoIfRequested();
    if (qgetenv("QUARRYSTONE_UPDATE_AUTOINSTALL") == "1")
        Updater::shared().check(true);
    const QString open = qEnvironmentVariable("QUARRYSTONE_OPEN");
    if (!open.isEmpty()) {
        m_showSetup = false;
        AppState::open(open, false);
        startRedraftIfAsked(open);
    }
}

AppState::~AppState() = default;

QString AppState::standardFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    return clean.endsWith(u'/') ? clean : clean + u'/';
}

void AppState::setSettings(const AppSettings &settings)
{
    if (settings == m_settings)
        return;
    m_settings = settings;
    m_settings.save();
    Q_EMIT settingsChanged();
}

void AppState::setCancelGenerating(bool ask)
{
    if (ask == m_cancelGenerating)
        return;
    m_cancelGenerating = ask;
    Q_EMIT cancelGeneratingChanged();
}

void AppState::setSelection(const std::optional<Selection> &selection)
{
    if (selection && selection->isPlan()) {
        const QString standard = standardFolder(selection->url);
        if (standard != selection->url) {
            // The value before the replacement was the raw URL, which never
            // equals its standard form: the plan always loads.
            m_selection = Selection::plan(standard);
            Q_EMIT selectionChanged();
            loadSelection();
            return;
        }
    }
    if (selection == m_selection)
        return;
    m_selection = selection;
    Q_EMIT selectionChanged();
    loadSelection();
}

void AppState::setMessage(const std::optional<QString> &message)
{
    if (message == m_message)
        return;
    m_message = message;
    Q_EMIT messageChanged();
}

void AppState::setShowSetup(bool show)
{
    if (show == m_showSetup)
        return;
    m_showSetup = show;
    Q_EMIT showSetupChanged();
}

QStringList AppState::extraDirs() const
{
    return m_settings.extraDirs;
}

void AppState::setExtraDirs(const QStringList &dirs)
{
    AppSettings next = m_settings;
    next.extraDirs = dirs;
    setSettings(next);
}

std::pair<Conventions, Conventions::Origin> AppState::conventions() const
{
    return Conventions::load({m_settings.androidRepo, m_settings.iosRepo});
}

Desktop &AppState::desktop() const
{
    return m_desktop ? *m_desktop : Desktop::standard();
}

void AppState::setDesktop(std::shared_ptr<Desktop> desktop)
{
    m_desktop = std::move(desktop);
}

void AppState::setWindow(QWidget *window)
{
    m_window = window;
}

void AppState::setPlans(const QList<PlanRef> &plans)
{
    if (plans == m_plans)
        return;
    m_plans = plans;
    Q_EMIT plansChanged();
}

void AppState::setUnfinished(const QStringList &unfinished, const QHash<QString, QString> &titles)
{
    if (unfinished == m_unfinished && titles == m_unfinishedTitles)
        return;
    m_unfinished = unfinished;
    m_unfinishedTitles = titles;
    Q_EMIT unfinishedChanged();
}

QString AppState::unfinishedTitle(const QString &dir) const
{
    return m_unfinishedTitles.value(dir, lastComponent(dir));
}

void AppState::setPlan(const Plan &plan)
{
    // Freeing a plan of thousands of screens takes a frame: the one replaced
    // goes away on a thread of its own.
    OwnThread::run(this, [replaced = std::exchange(m_plan, plan)]() mutable {
        replaced = Plan();
        return true;
    }, [](bool) {});
    Q_EMIT planChanged();
}

void AppState::setPlanDir(const std::optional<QString> &dir)
{
    if (dir == m_planDir)
        return;
    m_planDir = dir;
    watch(dir);
    Q_EMIT planDirChanged();
}

template<typename Work, typename Done>
void AppState::offMain(Work work, Done done, const std::optional<CancelToken> &stop)
{
    if (m_working++ == 0)
        Q_EMIT workingChanged();
    OwnThread::run(this, std::move(work),
                   [this, done = std::move(done), counted = std::make_shared<FileWorkCount>(stop)](auto result) mutable {
        if (--m_working == 0)
            Q_EMIT workingChanged();
        done(std::move(result));
    });
}

template<typename Work, typename Done>
void AppState::offMainStoppable(const QString &text, Work work, Done done)
{
    const CancelToken stop;
    const quint64 id = ++m_taskRun;
    m_tasks.append({id, text, stop});
    Q_EMIT tasksChanged();
    offMain([work = std::move(work), stop]() mutable { return work(stop); },
            [this, id, done = std::move(done)](auto result) mutable {
                m_tasks.removeIf([id](const Task &task) { return task.id == id; });
                Q_EMIT tasksChanged();
                done(std::move(result));
            },
            stop);
}

QStringList AppState::tasks() const
{
    QStringList texts;
    for (const Task &task : m_tasks)
        texts.append(task.text);
    return texts;
}

void AppState::stopTasks()
{
    for (const Task &task : std::as_const(m_tasks))
        task.stop.cancel();
}

void AppState::refresh()
{
    const quint64 run = ++m_scanRun;
    offMain([output = m_settings.outputFolder(), extras = extraDirs()] { return scan(output, extras); },
            [this, run](Scan found) {
                if (run != m_scanRun)
                    return;
                // A folder opened after this scan was asked for stays listed
                // until the next one, as if its load had come after it.
                if (m_opened && m_opened->second >= run
                    && std::none_of(found.plans.begin(), found.plans.end(),
                                    [&](const PlanRef &ref) { return ref.url == m_opened->first.url; }))
                    found.plans.prepend(m_opened->first);
                setUnfinished(found.unfinished, found.unfinishedTitles);
                setPlans(found.plans);
            });
}

void AppState::loadSelection()
{
    load(false);
}

// A load for a selection shows what went wrong; one that follows another
// program's change keeps the plan on show until the folder reads whole and
// no operation holds it.
void AppState::load(bool fromDisk)
{
    const quint64 run = ++m_loadRun;
    if (!m_selection || !m_selection->isPlan()) {
        setLoading(false);
        setPlanDir(std::nullopt);
        return;
    }
    const QString url = m_selection->url;
    if (!fromDisk)
        setLoading(true);
    offMain(
        [url, settings = m_settings, fromDisk] {
            Loaded loaded;
            loaded.rolledBack = rollBackInterrupted(bare(url), settings, &loaded.held);
            if (fromDisk && loaded.held)
                return loaded;
            try {
                // One read serves the library entry and the plan.
                const FileRead file = readFile(bare(url) + u'/' + planFile);
                loaded.entry = entryOf(url, file);
                loaded.plan = Plan::decode(file.bytes);
                loaded.digest = QCryptographicHash::hash(file.bytes, QCryptographicHash::Sha1);
            } catch (const ReadFailure &failure) {
                loaded.failure = u"계획서를 열지 못했어요: "_s + failure.message;
            } catch (const JSONDecodeError &failure) {
                loaded.failure = u"계획서를 열지 못했어요: "_s + failure.message;
            }
            return loaded;
        },
        [this, run, url, fromDisk](Loaded loaded) {
            if (run != m_loadRun)
                return;
            applyLoaded(url, std::move(loaded), fromDisk);
            setLoading(false);
        });
}

void AppState::setLoading(bool loading)
{
    if (loading == m_loading)
        return;
    m_loading = loading;
    Q_EMIT loadingChanged();
}

void AppState::applyLoaded(const QString &url, Loaded loaded, bool fromDisk)
{
    if (loaded.rolledBack)
        setMessage(*loaded.rolledBack);
    if (fromDisk && loaded.held) {
        // The writer is not done yet: look again once it may be.
        QTimer::singleShot(500, this, &AppState::noticeChange);
        return;
    }
    // A plan.json caught half written shows once it is whole: its writer's
    // last change brings another notice.
    if (fromDisk && loaded.failure)
        return;
    if (loaded.failure) {
        setMessage(*loaded.failure);
        setPlanDir(std::nullopt);
        return;
    }
    if (fromDisk && loaded.digest == m_loadedDigest && m_planDir == url)
        return;
    const bool listed = std::any_of(m_plans.begin(), m_plans.end(),
                                    [&](const PlanRef &ref) { return ref.url == url; });
    if (!listed) {
        QList<PlanRef> plans = m_plans;
        plans.prepend(*loaded.entry);
        setPlans(plans);
        m_opened = {*loaded.entry, m_scanRun};
    }
    m_loadedDigest = loaded.digest;
    setPlan(loaded.plan);
    setPlanDir(url);
    if (fromDisk) {
        refresh();
        Q_EMIT planReplaced();
    }
}

// The folder itself is watched, since every write replaces plan.json by a
// rename; notices come in bursts, one per file written.
void AppState::watch(const std::optional<QString> &dir)
{
    const QStringList watched = m_watcher.directories();
    if (!watched.isEmpty())
        m_watcher.removePaths(watched);
    if (dir)
        m_watcher.addPath(bare(*dir));
}

void AppState::noticeChange()
{
    if (std::exchange(m_followPending, true))
        return;
    QTimer::singleShot(200, this, &AppState::followDisk);
}

void AppState::followDisk()
{
    m_followPending = false;
    if (!m_planDir || !m_selection || !m_selection->isPlan() || m_selection->url != *m_planDir)
        return;
    // The window's own jobs end in a load of their own.
    if (jobWrites(*m_planDir))
        return;
    // A load under way may be the window's own; the one after it tells
    // whether plan.json still differs from what is shown.
    if (m_working > 0) {
        noticeChange();
        return;
    }
    load(true);
}

void AppState::open(const QString &dir, bool remember)
{
    if (remember) {
        // Only the output folder's direct children are found by the scan;
        // every other folder, a sibling with a longer name or one deeper
        // down included, must be remembered to stay in the library, even
        // when it is listed now. A folder is remembered once.
        const QString standard = standardFolder(dir);
        const QString parent = standardFolder(standard + u".."_s);
        const QString output = standardFolder(m_settings.outputFolder());
        const QStringList remembered = extraDirs();
        const bool known = std::any_of(remembered.begin(), remembered.end(),
                                       [&](const QString &extra) { return standardFolder(extra) == standard; });
        if (parent != output && !known)
            setExtraDirs(remembered + QStringList{dir});
    }
    refresh();
    setSelection(Selection::plan(dir));
}

void AppState::openNewPlan()
{
    ++m_newPlanToken;
    Q_EMIT newPlanTokenChanged();
    setSelection(Selection::newPlan());
}

void AppState::openPanel()
{
    QPointer<AppState> self(this);
    desktop().chooseFolder(m_window, u"plan.json 이 들어 있는 계획서 폴더를 고르세요"_s, [self](const QString &dir) {
        if (!self)
            return;
        if (QFileInfo::exists(bare(dir) + u'/' + planFile))
            self->open(dir, true);
        else
            self->setMessage(u"이 폴더에는 plan.json 이 없어요."_s);
    });
}

void AppState::importPanel()
{
    QPointer<AppState> self(this);
    desktop().choosePlanPage(m_window,
                             u"이 앱에서 내보낸 계획서 HTML 만 고를 수 있어요(다른 HTML 은 흐리게 보여요)"_s,
                             [self](const QString &page) {
                                 if (self)
                                     self->importHTML(page);
                             });
}

void AppState::exportHTML(const std::optional<QString> &dir)
{
    const std::optional<QString> folder = dir ? dir : m_planDir;
    if (!folder)
        return;
    offMain([folder = *folder] { return titleOf(folder); },
            [this, folder = *folder](const std::optional<QString> &title) { chooseExportTarget(folder, title.value_or(QString())); });
}

void AppState::chooseExportTarget(const QString &folder, QString title)
{
    const QString source = bare(folder) + u"/index.html"_s;
    if (title.isEmpty())
        title = lastComponent(folder);
    QString name = title + u" 계획서 "_s + QDate::currentDate().toString(u"yyMMdd"_s) + u".html"_s;
    name.replace(u'/', u'_');
    // The panel starts where the plans are, else in the home folder; never
    // in the process's working folder.
    const QString output = m_settings.outputFolder();
    const QString start = QFileInfo(output).isDir() ? output : QDir::homePath();
    QPointer<AppState> self(this);
    desktop().chooseSaveTarget(
        m_window, start, name, u"이 파일 하나만 보내면 돼요. 받은 사람은 브라우저로 보거나, 앱에서 가져와 고칠 수 있어요."_s,
        [self, source](const QString &target) {
            if (self)
                self->saveExport(source, target);
        });
}

void AppState::saveExport(const QString &source, const QString &target)
{
    offMainStoppable(exporting, [source, target](const CancelToken &stop) { return copyPage(source, target, stop); },
                     [this, target](const Exported &exported) {
                         if (exported.stopped) {
                             setMessage(u"내보내기를 멈췄어요"_s);
                             return;
                         }
                         if (exported.failure) {
                             setMessage(u"내보내지 못했어요: "_s + *exported.failure);
                             return;
                         }
                         setMessage(u"내보냈어요: "_s + QFileInfo(target).fileName());
                         reveal(target);
                     });
}

bool AppState::jobWrites(const QString &dir)
{
    QStringList working;
    const Generator &generator = Generator::shared();
    if (generator.phase().isRunning() && generator.runningDir())
        working.append(*generator.runningDir());
    if (Reviser::shared().phase().isRunning())
        working.append(Reviser::shared().dir());
    if (Developer::shared().isRunning())
        working.append(Developer::shared().planDir());
    return std::any_of(working.begin(), working.end(),
                       [&](const QString &folder) { return standardFolder(folder) == standardFolder(dir); });
}

bool AppState::refuseBusy(const QString &dir)
{
    if (!jobWrites(dir))
        return false;
    setMessage(busyFolder);
    return true;
}

void AppState::tell(const QStringList &notices)
{
    if (notices.isEmpty())
        return;
    QMetaObject::invokeMethod(
        this, [this, text = notices.join(u'\n')] { setMessage(text); }, Qt::QueuedConnection);
}

std::optional<FolderClaim> AppState::claimIdle(const QString &dir, const AppSettings &settings, QString *refusal)
{
    try {
        FolderClaim claim = FolderClaim::take(bare(dir), settings);
        tell(claim.notices());
        return claim;
    } catch (const FolderClaim::Failure &failure) {
        *refusal = failure.message;
        return std::nullopt;
    }
}

std::optional<QString> AppState::rollBackInterrupted(const QString &dir, const AppSettings &settings, bool *held)
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

void AppState::rename(const QString &url, const QString &title, const QString &folder, std::function<void(bool)> done)
{
    const QString dir = standardFolder(url);
    if (refuseBusy(dir)) {
        if (done)
            done(false);
        return;
    }
    const QString newTitle = title.trimmed();
    const QString name = folder.trimmed();
    offMainStoppable(
        renaming,
        [this, dir, newTitle, name, settings = m_settings](const CancelToken &stop) -> Renamed {
            const Renamed stopped{{}, std::nullopt, true};
            QString refusal;
            const std::optional<FolderClaim> claim = claimIdle(dir, settings, &refusal);
            if (!claim)
                return {{}, refusal};
            if (stop.isCancelled())
                return stopped;

            // Once the new title is written the folder is renamed too: a
            // stop then finds the rename whole.
            bool titled = false;
            try {
                const QByteArray bytes = readWhole(dir + planFile);
                const QJsonObject object = parseObject(bytes);
                Plan plan = *Plan::read(object);
                if (!newTitle.isEmpty() && newTitle != plan.meta.title) {
                    if (stop.isCancelled())
                        return stopped;
                    try {
                        // The rewrite keeps only what the plan's reader
                        // understood; anything else is first copied into
                        // history/, as a kept copy: a new title is no
                        // revision for an undo to go back to.
                        if (PlanHistory::writeWouldDrop(object, plan))
                            PlanHistory::keep(bare(dir), bytes);
                        plan.meta.title = newTitle;
                        titled = true;
                        Exporter::writeAll(plan, bare(dir),
                                           Conventions::load({settings.androidRepo, settings.iosRepo}).first);
                    } catch (const PlanHistory::Failure &failure) {
                        return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(failure.message)};
                    } catch (const ExportFailure &failure) {
                        return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(failure.message)};
                    }
                }
            } catch (const ReadFailure &) {
            } catch (const JSONDecodeError &) {
            }

            if (name.isEmpty() || name == lastComponent(dir))
                return {dir, std::nullopt};
            if (!titled && stop.isCancelled())
                return stopped;
            if (name.contains(u'/') || name.startsWith(u'.'))
                return {{}, u"폴더 이름에 / 나 맨 앞 . 은 쓸 수 없어요"_s};
            const QString target = standardFolder(dir + u"../"_s + name);
            if (occupied(bare(target)))
                return {{}, u"같은 이름의 폴더가 이미 있어요: "_s + name};
            const QByteArray from = QFile::encodeName(bare(dir));
            const QByteArray to = QFile::encodeName(bare(target));
            if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0)
                return {{}, u"이름을 바꾸지 못했어요: "_s + FileError::describe(errno)};
            return {target, std::nullopt};
        },
        [this, dir, done](const Renamed &renamed) {
            finishRename(dir, renamed);
            if (done)
                done(!renamed.failure && !renamed.stopped);
        });
}

void AppState::finishRename(const QString &dir, const Renamed &renamed)
{
    if (renamed.stopped) {
        setMessage(u"이름 바꾸기를 멈췄어요"_s);
        return;
    }
    if (renamed.failure) {
        setMessage(*renamed.failure);
        return;
    }
    if (renamed.folder != dir) {
        QStringList remembered = extraDirs();
        for (QString &extra : remembered)
            if (standardFolder(extra) == dir)
                extra = bare(renamed.folder);
        setExtraDirs(remembered);
    }
    const bool selected = m_selection == Selection::plan(dir);
    refresh();
    if (selected) {
        setSelection(std::nullopt);
        setSelection(Selection::plan(renamed.folder));
    }
    setMessage(u"이름을 바꿨어요"_s);
}

std::optional<QString> AppState::trashClaimed(const QString &dir, const AppSettings &settings)
{
    QString refusal;
    const std::optional<FolderClaim> claim = claimIdle(dir, settings, &refusal);
    if (!claim)
        return refusal;
    QString error;
    if (!moveToTrash(bare(dir), &error))
        return u"삭제하지 못했어요: "_s + error;
    return std::nullopt;
}

void AppState::trash(const QString &url)
{
    const QString dir = standardFolder(url);
    if (refuseBusy(dir))
        return;
    offMain([this, dir, settings = m_settings] { return trashClaimed(dir, settings); },
        [this, dir](const std::optional<QString> &failure) {
            if (failure) {
                setMessage(*failure);
                return;
            }
            QStringList remembered = extraDirs();
            remembered.removeIf([&](const QString &extra) { return standardFolder(extra) == dir; });
            setExtraDirs(remembered);
            if (m_selection == Selection::plan(dir))
                setSelection(Selection::newPlan());
            refresh();
            setMessage(u"휴지통으로 옮겼어요"_s);
        });
}

void AppState::trashUnfinished(const QString &url)
{
    const QString dir = standardFolder(url);
    if (jobWrites(dir))
        return;
    offMain([this, dir, settings = m_settings] { return trashClaimed(dir, settings); },
            [this](const std::optional<QString> &) { refresh(); });
}

void AppState::importHTML(const QString &page)
{
    offMainStoppable(
        importing,
        [page, output = bare(m_settings.outputFolder()), settings = m_settings](const CancelToken &stop) -> Imported {
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
        [this](const Imported &done) { finishImport(done.folder, done.failure, done.stopped); });
}

void AppState::applyImport(ImportedPlan imported, const std::optional<QString> &into)
{
    offMainStoppable(
        importing,
        [imported = std::move(imported), into, output = bare(m_settings.outputFolder()),
         settings = m_settings](const CancelToken &stop) { return importInto(imported, into, output, settings, stop); },
        [this](const Imported &done) { finishImport(done.folder, done.failure, done.stopped); });
}

void AppState::finishImport(const QString &folder, const std::optional<QString> &failure, bool stopped)
{
    if (stopped) {
        setMessage(u"가져오기를 멈췄어요"_s);
        return;
    }
    if (failure) {
        setMessage(*failure);
        return;
    }
    refresh();
    setSelection(std::nullopt);
    setSelection(Selection::plan(folder));
    setMessage(u"새 계획서로 가져왔어요"_s);
}

void AppState::openInBrowser()
{
    if (m_planDir)
        openAddress(QUrl::fromLocalFile(bare(*m_planDir) + u"/index.html"_s));
}

void AppState::openAddress(const QUrl &url)
{
    QPointer<AppState> self(this);
    desktop().openUrl(url, [self, url](bool opened) {
        if (self && !opened)
            self->setMessage(u"주소를 열 프로그램을 찾지 못했어요: "_s + url.toDisplayString(QUrl::PreferLocalFile));
    });
}

void AppState::reveal(const QString &path)
{
    QPointer<AppState> self(this);
    desktop().reveal(path, [self, path](bool opened) {
        if (self && !opened)
            self->setMessage(u"폴더를 열 프로그램을 찾지 못했어요: "_s + path);
    });
}

void AppState::cancelGeneration(bool keep)
{
    Generator &generator = Generator::shared();
    // A run that ended while the user was deciding is finished work: the
    // choice no longer applies to it.
    if (!generator.phase().isRunning())
        return;
    const std::optional<QString> running = generator.runningDir();
    generator.cancel();
    generator.setPhase(Generator::Phase::idle());
    // A stopped run may still be writing its folder, or taking back files
    // it wrote; the folder is moved only once that is over, so no writer
    // brings it back. By then a folder holds a plan.json only when it held
    // one before the run: a redraft, whose earlier plan is never trashed.
    QPointer<AppState> self(this);
    generator.afterWrites([self, keep, running] {
        if (!self)
            return;
        // A run started meanwhile in the same folder keeps it.
        const Generator &now = Generator::shared();
        const bool reused = now.phase().isRunning() && now.runningDir() == running;
        self->endCancelledRun(running, keep, reused);
    });
}

void AppState::endCancelledRun(const std::optional<QString> &running, bool keep, bool reused)
{
    const bool remove = !keep && !reused;
    const std::optional<Selection> asked = m_selection;
    offMain(
        [running, remove, settings = m_settings] {
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
        [this, keep, asked](bool earlierPlan) {
            refresh();
            // Another selection made meanwhile stays.
            if (m_selection == asked)
                setSelection(Selection::newPlan());
            if (keep)
                setMessage(u"만들기를 취소했어요. 사이드바에서 이어서 만들 수 있어요"_s);
            else
                setMessage(earlierPlan ? u"만들기를 멈췄어요. 있던 계획서는 그대로 뒀어요"_s : u"만들기를 취소하고 지웠어요"_s);
        });
}

// What a folder's generation needs to go on: its saved request, and whether
// the design section was saved too.
struct AppState::Resumable {
    std::optional<GenerateInput> input;
    bool reuse = false;
};

AppState::Resumable AppState::resumable(const QString &dir)
{
    return {savedRequest(dir), QFileInfo::exists(bare(dir) + u"/figma-section.json"_s)};
}

void AppState::resume(const QString &dir)
{
    if (Generator::shared().phase().isRunning())
        return;
    const quint64 run = ++m_resumeRun;
    const std::optional<Selection> asked = m_selection;
    offMain([dir] { return resumable(dir); },
            [this, dir, run, asked](const Resumable &found) {
                // A later resume or another selection made meanwhile wins.
                if (run != m_resumeRun || m_selection != asked || !found.input
                    || Generator::shared().phase().isRunning())
                    return;
                setSelection(Selection::generating());
                QPointer<AppState> self(this);
                Generator::shared().run(*found.input, bare(dir), m_settings, found.reuse, [self](const QString &finished) {
                    if (!self)
                        return;
                    self->refresh();
                    self->setSelection(Selection::plan(finished));
                    self->setMessage(u"계획서를 만들었어요"_s);
                });
            });
}

void AppState::startRedraftIfAsked(const QString &dir)
{
    if (qgetenv("QUARRYSTONE_REDRAFT") != "1")
        return;
    offMain([dir] { return savedRequest(dir); },
            [this, dir](const std::optional<GenerateInput> &input) {
                if (!input || Generator::shared().phase().isRunning())
                    return;
                QPointer<AppState> self(this);
                Generator::shared().run(*input, bare(dir), m_settings, true, [self](const QString &finished) {
                    if (!self)
                        return;
                    // Through none, so that the plan loads again even when
                    // its folder was already selected.
                    self->setSelection(std::nullopt);
                    self->setSelection(Selection::plan(finished));
                });
            });
}

bool AppState::busy()
{
    // A stopped run's Claude may still be ending; the application waits
    // for it, so that none outlives it.
    return Generator::shared().phase().isRunning() || Reviser::shared().phase().isRunning() ||
           Developer::shared().isRunning() || ClaudeRunner::toolsRunning() > 0 || fileWork > 0;
}

void AppState::stopWork()
{
    if (Generator::shared().phase().isRunning())
        Generator::shared().cancel();
    if (Reviser::shared().phase().isRunning())
        Reviser::shared().cancel();
    if (Developer::shared().isRunning())
        Developer::shared().cancel();
    QList<CancelToken> fileStops;
    {
        const std::lock_guard locked(stopsMutex);
        fileStops = stops.values();
    }
    for (const CancelToken &stop : std::as_const(fileStops))
        stop.cancel();
}
