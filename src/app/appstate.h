#pragma once

#include "app/filework.h"
#include "model/conventions.h"
#include "model/importer.h"
#include "model/plan.h"
#include "settings/appsettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class Desktop;

// One entry of the plan library.
struct PlanRef {
    // The plan folder's path in standard folder form (AppState::standardFolder).
    QString url;
    // meta.title, or the folder's name when the title is empty.
    QString title;
    QString feature;
    int openDecisions = 0;
    // When plan.json last changed; the distant past when that is unknown.
    QDateTime modified;

    bool operator==(const PlanRef &) const = default;
};

// What the main window's detail area shows.
struct Selection {
    enum class Kind { newPlan, plan, generating };

    Kind kind = Kind::newPlan;
    // The plan folder's path (plan only).
    QString url;

    static Selection newPlan() { return {Kind::newPlan, {}}; }
    static Selection plan(const QString &url) { return {Kind::plan, url}; }
    static Selection generating() { return {Kind::generating, {}}; }

    bool isPlan() const { return kind == Kind::plan; }
    bool operator==(const Selection &other) const
    {
        return kind == other.kind && (kind != Kind::plan || url == other.url);
    }
};

size_t qHash(const Selection &selection, size_t seed = 0);

// The windowed application's one central state: the settings while the
// application runs, the plan library, the unfinished generations, what the
// main window shows and the decoded selected plan, with the operations on
// plan folders. Main thread only. Every published field has a change signal
// that fires only when the value changed.
//
// Every read and write of a plan folder's files, and the library scan, runs
// on a thread of FileWork's and resumes here; a result that a later run of
// the same kind has overtaken is dropped. The open plan follows its plan.json
// when another program changes it.
class AppState : public QObject
{
    Q_OBJECT

public:
    // Builds the state: settings, the setup flag, the first scan, the demo
    // progress and what the environment asks for at start.
    explicit AppState(QObject *parent = nullptr);
    ~AppState() override;

    // A folder path as the library compares it: absolute, "." and ".."
    // resolved, ending in exactly one "/".
    static QString standardFolder(const QString &path);

    const AppSettings &settings() const { return m_settings; }
    // Saves settings.json when the value differs from the current one, or
    // when the last save failed; the value is used either way, and a failed
    // save is told through `message` and `settingsProblem`.
    void setSettings(const AppSettings &settings);
    // Why the settings in use are not what settings.json holds: it could
    // not be read at the start (and was moved aside), or the last change
    // could not be written. Nothing once a change is saved.
    const std::optional<QString> &settingsProblem() const { return m_settingsProblem; }
    const QList<PlanRef> &plans() const { return m_plans; }
    const QStringList &unfinished() const { return m_unfinished; }
    // An unfinished folder's title as the last scan read it: the request's
    // title, else its feature, else the folder's name.
    QString unfinishedTitle(const QString &dir) const;
    bool cancelGenerating() const { return m_cancelGenerating; }
    void setCancelGenerating(bool ask);
    int newPlanToken() const { return m_newPlanToken; }
    const std::optional<Selection> &selection() const { return m_selection; }
    // Runs the selection rule: brings a plan folder into standard folder
    // form and loads what a changed selection names.
    void setSelection(const std::optional<Selection> &selection);
    const Plan &plan() const { return m_plan; }
    const std::optional<QString> &planDir() const { return m_planDir; }
    const std::optional<QString> &message() const { return m_message; }
    void setMessage(const std::optional<QString> &message);
    bool showSetup() const { return m_showSetup; }
    void setShowSetup(bool show);

    // The remembered plan folders outside the output folder, as stored in
    // the settings; setting them saves the settings.
    QStringList extraDirs() const;
    void setExtraDirs(const QStringList &dirs);
    // The conventions of the configured repositories, read afresh.
    std::pair<Conventions, Conventions::Origin> conventions() const;

    // Where panels, reveals and browser openings go; the desktop's own when
    // nothing was set. Panels are window-modal on `window()`.
    Desktop &desktop() const;
    void setDesktop(std::shared_ptr<Desktop> desktop);
    QWidget *window() const { return m_window; }
    void setWindow(QWidget *window);

    // Whether a file operation of the window (a scan, a load, a rename, an
    // export, an import) is under way.
    bool working() const;
    // Whether the selected plan is being loaded; the plan shown until then
    // is the one before.
    bool loading() const { return m_loading; }

    // Rescans the library off the main thread: sets `unfinished`, then
    // `plans`, once the scan is done.
    void refresh();
    // Opens a plan folder; with `remember` a folder outside the output
    // folder is added to the remembered folders.
    void open(const QString &dir, bool remember);
    // A fresh new-plan form.
    void openNewPlan();
    // Loads the plan the selection names off the main thread (or clears
    // planDir at once).
    void loadSelection();

    // File operations; each reports its outcome through `message`.
    void openPanel();
    void importPanel();
    void exportHTML(const std::optional<QString> &dir = std::nullopt);
    // Writes the plan's page again from its plan.json (a folder that lost
    // its index.html), then shows it.
    void renderPage(const QString &dir);
    // `done` learns whether the plan was renamed, once it is over.
    void rename(const QString &dir, const QString &title, const QString &folder,
                std::function<void(bool renamed)> done = {});
    void trash(const QString &dir);
    // Moves an unfinished folder to the Trash; the next scan shows what
    // happened, and a failure says nothing.
    void trashUnfinished(const QString &dir);
    void importHTML(const QString &page);
    void applyImport(ImportedPlan imported, const std::optional<QString> &into = std::nullopt);
    void openInBrowser();
    // Through the desktop; a toast says so when nothing could open it.
    void openAddress(const QUrl &url);
    // Through the desktop's file manager; a toast says so when nothing
    // could show it.
    void reveal(const QString &path);
    void cancelGeneration(bool keep);
    void resume(const QString &dir);

    // The texts of the file work under way that the person waits on and may
    // stop (a rename, an export, an import), oldest first.
    QStringList tasks() const;
    // Stops that work. Each ends as if it had not begun, or whole when it
    // was past the point where it could be taken back.
    void stopTasks();

    // Whether a generation, revision or development run, or file work of
    // the window, is under way.
    static bool busy();
    // Asks every running generation, revision and development run, and the
    // window's file work that can stop, to stop.
    static void stopWork();

Q_SIGNALS:
    void settingsChanged();
    void plansChanged();
    void unfinishedChanged();
    void cancelGeneratingChanged();
    void newPlanTokenChanged();
    void selectionChanged();
    void planChanged();
    void planDirChanged();
    void messageChanged();
    void showSetupChanged();
    void workingChanged();
    void loadingChanged();
    void tasksChanged();
    // Another program changed the open plan's files; the new plan is loaded.
    void planReplaced();

private:
    Q_PROPERTY(AppSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(QList<PlanRef> plans READ plans NOTIFY plansChanged)
    Q_PROPERTY(QStringList unfinished READ unfinished NOTIFY unfinishedChanged)
    Q_PROPERTY(bool cancelGenerating READ cancelGenerating WRITE setCancelGenerating NOTIFY cancelGeneratingChanged)
    Q_PROPERTY(int newPlanToken READ newPlanToken NOTIFY newPlanTokenChanged)
    Q_PROPERTY(std::optional<Selection> selection READ selection WRITE setSelection NOTIFY selectionChanged)
    Q_PROPERTY(Plan plan READ plan NOTIFY planChanged)
    Q_PROPERTY(std::optional<QString> planDir READ planDir NOTIFY planDirChanged)
    Q_PROPERTY(std::optional<QString> message READ message WRITE setMessage NOTIFY messageChanged)
    Q_PROPERTY(bool showSetup READ showSetup WRITE setShowSetup NOTIFY showSetupChanged)
    Q_PROPERTY(bool working READ working NOTIFY workingChanged)
    Q_PROPERTY(bool loading READ loading NOTIFY loadingChanged)

    struct Loaded;
    struct Resumable;

    void load(bool fromDisk);
    void applyLoaded(const QString &url, Loaded loaded, bool fromDisk);
    void setLoading(bool loading);
    void watch(const std::optional<QString> &dir);
    void noticeChange();
    void followDisk();
    void chooseExportTarget(const QString &folder, QString title);

    void setPlans(const QList<PlanRef> &plans);
    void setUnfinished(const QStringList &unfinished, const QHash<QString, QString> &titles);
    void setPlan(const Plan &plan);
    // Frees a plan that is no longer wanted beside the event loop.
    void letGo(Plan plan);
    void setPlanDir(const std::optional<QString> &dir);
    void startRedraftIfAsked(const QString &dir);
    static Resumable resumable(const QString &dir);
    // After a cancelled generation's last write: moves its folder to the
    // Trash unless it is kept, reused by a newer run or holds an earlier
    // plan, then says so.
    void endCancelledRun(const std::optional<QString> &running, bool keep, bool reused);
    void finishRename(const QString &dir, const FileWork::Renamed &renamed);
    void saveExport(const QString &source, const QString &target);
    void finishImport(const FileWork::Imported &imported);
    // Whether a running job of the window writes into `dir`.
    static bool jobWrites(const QString &dir);
    // The refusal shown when a running job writes into `dir`.
    bool refuseBusy(const QString &dir);

    // Filled while the settings load, so before them.
    std::optional<QString> m_settingsProblem;
    AppSettings m_settings;
    QList<PlanRef> m_plans;
    QStringList m_unfinished;
    QHash<QString, QString> m_unfinishedTitles;
    bool m_cancelGenerating = false;
    int m_newPlanToken = 0;
    std::optional<Selection> m_selection = Selection::newPlan();
    Plan m_plan;
    std::optional<QString> m_planDir;
    std::optional<QString> m_message;
    bool m_showSetup = false;
    std::shared_ptr<Desktop> m_desktop;
    QPointer<QWidget> m_window;
    quint64 m_scanRun = 0;
    quint64 m_loadRun = 0;
    quint64 m_resumeRun = 0;
    bool m_loading = false;
    // The entry a load put into the library, with the scan it came after.
    std::optional<std::pair<PlanRef, quint64>> m_opened;
    // What the open plan's plan.json held when it was loaded, to tell another
    // program's change from a notice of the window's own writes.
    QByteArray m_loadedDigest;
    QFileSystemWatcher m_watcher;
    bool m_followPending = false;
    // Declared last, so that its threads have all ended before anything
    // else of the state goes.
    std::unique_ptr<FileWork> m_files;
};

// The weak global handle on the state for rows outside the view tree; set
// by the main window when it is first shown, empty once the state is gone.
namespace AppStateHolder {
AppState *state();
void setState(AppState *state);
} // namespace AppStateHolder
