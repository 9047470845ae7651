#include "app/appstate.h"

#include "app/desktop.h"
#include "claude/clauderunner.h"
#include "core/jsonread.h"
#include "core/ownthread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "model/generateinput.h"
#include "model/developer.h"
#include "model/generator.h"
#include "model/planfolder.h"
#include "model/reviser.h"
#include "settings/updater.h"
#include "views/revisedrafts.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString planFile = PlanFolder::planJson;
const QString busyFolder = u"작업 중인 계획서는 이름을 바꾸거나 휴지통으로 옮길 수 없어요"_s;
const QString requestFile = PlanFolder::request;

QPointer<AppState> holder;

// The saved settings. A settings.json that cannot be read is moved aside,
// so that no save overwrites it, and the window starts from the defaults
// with the reason in `problem`: a silent first start would look as if the
// person's folders and choices were gone.
AppSettings savedSettings(std::optional<QString> &problem)
{
    try {
        return AppSettings::load(false);
    } catch (const AppSettings::Failure &failure) {
        const QString start = failure.message + u". 처음 설정으로 시작해요. "_s;
        try {
            problem = start + u"읽지 못한 파일은 지원 폴더에 "_s + AppSettings::keepUnread() + u" 로 남겨 두었어요."_s;
        } catch (const AppSettings::Failure &kept) {
            problem = start + kept.message;
        }
    }
    AppSettings defaults;
    defaults.fillIn(false);
    return defaults;
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
FileRead readFile(const QString &path, qint64 most)
{
    QString error;
    std::optional<QByteArray> bytes = RegularFile::read(path, most, &error);
    if (!bytes)
        throw ReadFailure{error};
    return {std::move(*bytes), QFileInfo(path).lastModified()};
}

QByteArray readWhole(const QString &path, qint64 most)
{
    return readFile(path, most).bytes;
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
    ref.title = meta.title.isEmpty() ? FileWork::lastComponent(url) : meta.title;
    ref.feature = meta.feature;
    ref.openDecisions = int(std::count_if(decisions.begin(), decisions.end(),
                                          [](const Decision &d) { return d.status != u"decided"_s; }));
    ref.modified = file.modified.isValid() ? file.modified : distantPast();
    return ref;
}

std::optional<GenerateInput> savedRequest(const QString &dir)
{
    try {
        return GenerateInput::decode(readWhole(FileWork::bare(dir) + u'/' + requestFile, FileSizes::fields));
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
        return entryOf(dir, readFile(dir + planFile, FileSizes::plan));
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
    return FileWork::lastComponent(dir);
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
        if (!QFileInfo::exists(FileWork::bare(extra) + u'/' + planFile))
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

} // namespace

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
    , m_settings(savedSettings(m_settingsProblem))
    , m_files(std::make_unique<FileWork>())
{
    connect(m_files.get(), &FileWork::workingChanged, this, &AppState::workingChanged);
    connect(m_files.get(), &FileWork::tasksChanged, this, &AppState::tasksChanged);
    connect(m_files.get(), &FileWork::told, this, [this](const QString &text) { setMessage(text); });
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
    if (m_settingsProblem)
        setMessage(m_settingsProblem);
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
    if (settings == m_settings && !m_settingsProblem)
        return;
    m_settings = settings;
    try {
        m_settings.save();
        m_settingsProblem.reset();
    } catch (const AppSettings::Failure &failure) {
        m_settingsProblem = failure.message;
        setMessage(failure.message);
    }
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
    return m_unfinishedTitles.value(dir, FileWork::lastComponent(dir));
}

void AppState::setPlan(const Plan &plan)
{
    letGo(std::exchange(m_plan, plan));
    Q_EMIT planChanged();
}

void AppState::letGo(Plan plan)
{
    // Freeing a plan of thousands of screens takes a frame: it goes away on
    // a thread of its own.
    OwnThread::run(this, [plan = std::move(plan)]() mutable {
        plan = Plan();
        return true;
    }, [](bool) {});
}

void AppState::setPlanDir(const std::optional<QString> &dir)
{
    if (dir == m_planDir)
        return;
    m_planDir = dir;
    watch(dir);
    Q_EMIT planDirChanged();
}

bool AppState::working() const
{
    return m_files->working();
}

QStringList AppState::tasks() const
{
    return m_files->tasks();
}

void AppState::stopTasks()
{
    m_files->stopTasks();
}

void AppState::refresh()
{
    const quint64 run = ++m_scanRun;
    m_files->run([output = m_settings.outputFolder(), extras = extraDirs()] { return scan(output, extras); },
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
    m_files->run(
        [url, settings = m_settings, fromDisk] {
            Loaded loaded;
            loaded.rolledBack = FileWork::rollBackInterrupted(FileWork::bare(url), settings, &loaded.held);
            if (fromDisk && loaded.held)
                return loaded;
            try {
                // One read serves the library entry and the plan.
                const FileRead file = readFile(FileWork::bare(url) + u'/' + planFile, FileSizes::plan);
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
            if (run != m_loadRun) {
                letGo(std::move(loaded.plan));
                return;
            }
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
    if (fromDisk && loaded.digest == m_loadedDigest && m_planDir == url) {
        letGo(std::move(loaded.plan));
        return;
    }
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
        m_watcher.addPath(FileWork::bare(*dir));
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
    if (m_files->working()) {
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
        if (QFileInfo::exists(FileWork::bare(dir) + u'/' + planFile))
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
    m_files->readTitle(*folder, [this, folder = *folder](const std::optional<QString> &title) {
        chooseExportTarget(folder, title.value_or(QString()));
    });
}

void AppState::renderPage(const QString &dir)
{
    if (refuseBusy(dir))
        return;
    m_files->renderPage(dir, m_settings, [this](const std::optional<QString> &failure) {
        if (failure) {
            setMessage(*failure);
            return;
        }
        Q_EMIT planReplaced();
        setMessage(u"index.html 을 다시 그렸어요"_s);
    });
}

void AppState::chooseExportTarget(const QString &folder, QString title)
{
    const QString source = FileWork::bare(folder) + u"/index.html"_s;
    if (title.isEmpty())
        title = FileWork::lastComponent(folder);
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
    m_files->exportPage(source, target, [this, target](const FileWork::Exported &exported) {
        if (exported.stopped) {
            setMessage(u"내보내기를 멈췄어요"_s);
            return;
        }
        if (exported.failure) {
            setMessage(u"내보내지 못했어요: "_s + *exported.failure);
            return;
        }
        const QString exportedText = u"내보냈어요: "_s + QFileInfo(target).fileName();
        setMessage(exportedText);
        // The file is written whether or not its folder can be shown: the
        // note on the folder joins the success instead of replacing it.
        QPointer<AppState> self(this);
        desktop().reveal(target, [self, exportedText](Desktop::Opening opening) {
            if (self && opening != Desktop::Opening::opened)
                self->setMessage(exportedText + u" (폴더는 열지 못했어요)"_s);
        });
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

void AppState::rename(const QString &url, const QString &title, const QString &folder, std::function<void(bool)> done)
{
    const QString dir = standardFolder(url);
    if (refuseBusy(dir)) {
        if (done)
            done(false);
        return;
    }
    m_files->rename(dir, title.trimmed(), folder.trimmed(), m_settings, [this, dir, done](const FileWork::Renamed &renamed) {
        finishRename(dir, renamed);
        if (done)
            done(!renamed.failure && !renamed.stopped);
    });
}

void AppState::finishRename(const QString &dir, const FileWork::Renamed &renamed)
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
        // What is being typed for the plan moves with it, before its panel
        // is built again under the new path.
        ReviseDrafts::move(dir, renamed.folder);
        QStringList remembered = extraDirs();
        for (QString &extra : remembered)
            if (standardFolder(extra) == dir)
                extra = FileWork::bare(renamed.folder);
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

void AppState::trash(const QString &url)
{
    const QString dir = standardFolder(url);
    if (refuseBusy(dir))
        return;
    m_files->trash(dir, m_settings, [this, dir](const std::optional<QString> &failure) {
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
    m_files->trash(dir, m_settings, [this](const std::optional<QString> &) { refresh(); });
}

void AppState::importHTML(const QString &page)
{
    m_files->importPage(page, FileWork::bare(m_settings.outputFolder()), m_settings,
                        [this](const FileWork::Imported &done) { finishImport(done); });
}

void AppState::applyImport(ImportedPlan imported, const std::optional<QString> &into)
{
    m_files->applyImport(std::move(imported), into, FileWork::bare(m_settings.outputFolder()), m_settings,
                         [this](const FileWork::Imported &done) { finishImport(done); });
}

void AppState::finishImport(const FileWork::Imported &imported)
{
    if (imported.stopped) {
        setMessage(u"가져오기를 멈췄어요"_s);
        return;
    }
    if (imported.failure) {
        setMessage(*imported.failure);
        return;
    }
    refresh();
    setSelection(std::nullopt);
    setSelection(Selection::plan(imported.folder));
    setMessage(u"새 계획서로 가져왔어요"_s);
}

void AppState::openInBrowser()
{
    if (m_planDir)
        openAddress(QUrl::fromLocalFile(FileWork::bare(*m_planDir) + u"/index.html"_s));
}

void AppState::openAddress(const QUrl &url)
{
    QPointer<AppState> self(this);
    desktop().openUrl(url, [self, url](Desktop::Opening opening) {
        if (!self || opening == Desktop::Opening::opened)
            return;
        const QString cause = opening == Desktop::Opening::programFailed ? u"주소를 여는 프로그램이 실패했어요: "_s
                                                                         : u"주소를 열 프로그램을 찾지 못했어요: "_s;
        self->setMessage(cause + url.toDisplayString(QUrl::PreferLocalFile));
    });
}

void AppState::reveal(const QString &path)
{
    QPointer<AppState> self(this);
    desktop().reveal(path, [self, path](Desktop::Opening opening) {
        if (!self || opening == Desktop::Opening::opened)
            return;
        const QString cause = opening == Desktop::Opening::programFailed ? u"폴더를 여는 프로그램이 실패했어요: "_s
                                                                         : u"폴더를 열 프로그램을 찾지 못했어요: "_s;
        self->setMessage(cause + path);
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
    m_files->endStoppedRun(running, remove, m_settings, [this, keep, asked](bool earlierPlan) {
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
    return {savedRequest(dir), QFileInfo::exists(FileWork::bare(dir) + u"/figma-section.json"_s)};
}

void AppState::resume(const QString &dir)
{
    if (Generator::shared().phase().isRunning())
        return;
    const quint64 run = ++m_resumeRun;
    const std::optional<Selection> asked = m_selection;
    m_files->run([dir] { return resumable(dir); },
            [this, dir, run, asked](const Resumable &found) {
                // A later resume or another selection made meanwhile wins.
                if (run != m_resumeRun || m_selection != asked || !found.input
                    || Generator::shared().phase().isRunning())
                    return;
                setSelection(Selection::generating());
                QPointer<AppState> self(this);
                Generator::shared().run(*found.input, FileWork::bare(dir), m_settings, found.reuse, [self](const QString &finished) {
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
    m_files->run([dir] { return savedRequest(dir); },
            [this, dir](const std::optional<GenerateInput> &input) {
                if (!input || Generator::shared().phase().isRunning())
                    return;
                QPointer<AppState> self(this);
                Generator::shared().run(*input, FileWork::bare(dir), m_settings, true, [self](const QString &finished) {
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
           Developer::shared().isRunning() || ClaudeRunner::toolsRunning() > 0 || FileWork::busy();
}

void AppState::stopWork()
{
    if (Generator::shared().phase().isRunning())
        Generator::shared().cancel();
    if (Reviser::shared().phase().isRunning())
        Reviser::shared().cancel();
    if (Developer::shared().isRunning())
        Developer::shared().cancel();
    FileWork::stopAll();
}
