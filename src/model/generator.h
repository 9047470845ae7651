#pragma once

#include "claude/clauderunner.h"
#include "core/canceltoken.h"
#include "figma/figmasection.h"
#include "model/generateinput.h"
#include "model/plan.h"
#include "settings/appsettings.h"

#include <QCoroTask>
#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

class FolderClaim;

// A step of a generation that failed with a message of its own (a folder or
// file that cannot be written or read).
struct GeneratorFailure {
    QString message;
};

// The generation engine: turns a generation request into a plan folder in
// seven stages, and publishes the run's progress for the views and the
// command line. One instance, used on the main thread only.
class Generator : public QObject
{
    Q_OBJECT

public:
    enum class Stage { figma = 0, images, spec, api, draft, check, save };
    static constexpr std::array<Stage, 7> allStages{Stage::figma, Stage::images, Stage::spec, Stage::api,
                                                     Stage::draft, Stage::check, Stage::save};
    // The stage's Korean title, as the phase, the log and the views show it.
    static QString title(Stage stage);
    // Nothing for a value outside 0 to 6.
    static std::optional<Stage> stageFromRaw(int raw);

    struct StageState {
        enum class Status { waiting, running, done, skipped, failed };
        Status status = Status::waiting;
        std::optional<QDateTime> started;
        std::optional<QDateTime> ended;
        QString detail;
        int done = 0;
        int total = 0;
        // Dollars spent by the stage's Claude runs.
        double cost = 0;
        std::optional<QDateTime> lastEvent;
        bool operator==(const StageState &) const = default;
    };
    using Stages = QMap<Stage, StageState>;

    struct Phase {
        enum class Kind { running, done, failed, idle };
        Kind kind = Kind::idle;
        // running: the stage title; failed: the message shown to the user.
        QString text;
        // done: the plan folder's absolute path.
        QString dir;
        static Phase running(const QString &stageTitle);
        static Phase done(const QString &dir);
        static Phase failed(const QString &message);
        static Phase idle();
        bool isRunning() const { return kind == Kind::running; }
        bool operator==(const Phase &) const = default;
    };

    // Called with the plan folder once the plan is saved.
    using OnDone = std::function<void(const QString &dir)>;

    static constexpr qsizetype logLimit = 400;
    // The message of a stopped run.
    static QString stoppedMessage();

    explicit Generator(QObject *parent = nullptr);

    // The application's one instance, made on first use.
    static Generator &shared();

    Phase phase() const { return m_phase; }
    // Also the application state's reset to idle after a stop.
    void setPhase(const Phase &phase);
    QStringList log() const { return m_log; }
    std::optional<QDateTime> startedAt() const { return m_startedAt; }
    Stages stages() const { return m_stages; }
    // The stage's entry, or the default state when it has none.
    StageState stageState(Stage stage) const { return m_stages.value(stage); }
    QString summary() const { return m_summary; }
    // The plan folder of the current run (absolute path).
    std::optional<QString> runningDir() const { return m_runningDir; }
    QString runningTitle() const { return m_runningTitle; }

    // Stage reports of the current state.
    void begin(Stage stage, const QString &detail, int total = 0);
    void finish(Stage stage, const QString &detail, bool skipped = false);
    void add(const QString &line);
    // A Claude progress line turned into the stage's progress.
    void observe(const QString &line, Stage stage);
    // A callback for ClaudeRunner::run's progress, callable from any thread:
    // each line is logged, and observed for `stage`, on the main thread.
    ClaudeRunner::Progress progressSink(std::optional<Stage> stage);

    // Stops the running generation; its child process gets SIGTERM.
    void cancel();
    // Calls `then` on the main thread once no run, a stopped one included,
    // holds a plan folder: at once when none does. A folder may be claimed,
    // moved or removed from then on without a writer bringing it back.
    void afterWrites(std::function<void()> then);
    // Fills the state with a fixed run when QUARRYSTONE_DEMO_PROGRESS is set.
    void demoIfRequested();

    // A new plan folder under the settings' output folder, from the feature.
    void start(const GenerateInput &input, const AppSettings &settings, OnDone onDone);
    // Runs the generation into `dir`; `reuseSection` takes the folder's saved
    // figma-section.json instead of reading the design again.
    // The run claims the folder (or takes over `claim`, already taken); a
    // folder held by a run that was stopped is waited for, one held by
    // anything else refused.
    void run(const GenerateInput &input, const QString &dir, const AppSettings &settings, bool reuseSection,
             OnDone onDone, std::shared_ptr<FolderClaim> claim = {});

    // A new plan folder and its claim, held from the moment it was chosen.
    struct NewPlanDir {
        QString dir;
        std::shared_ptr<FolderClaim> claim;
        // Why no folder was made, when none was.
        QString failure;
    };
    // "<feature or Plan>-plan" under `base`; when taken, with "-" and the
    // local time, then "-2", "-3", … until free. The folder is made by an
    // exclusive create as its name is chosen and claimed at once, so that
    // no other run, of this process or another, can choose it too; what a
    // generation killed at its first write left is taken over only when its
    // claim is free. When no folder can be made, the first name comes
    // without a claim, and the run that would make it says why.
    static NewPlanDir newPlanDir(const QString &base, const QString &feature, const AppSettings &settings);
    // The one folder-name component a feature gives: no "/", "\\" or NUL.
    static QString featureComponent(const QString &feature);

    // The Claude runner every Claude run of the application uses: the
    // settings' tool path and model, and in API-key mode the stored key,
    // read on a thread of its own (the store may wait for an unlock prompt)
    // until `cancel` ends the wait. Throws ClaudeFailure when API-key mode
    // has no stored key or the store could not be read, Cancelled on a stop.
    static QCoro::Task<ClaudeRunner> makeRunner(AppSettings settings, CancelToken cancel);

    // Completes a drafted plan's header from the request and the section.
    static void finish(Plan &plan, const GenerateInput &input, const FigmaSection &section);
    // The plan in a Claude answer and its problems.
    static std::pair<Plan, QStringList> decode(const QString &answer);
    // The lines that tell of the problems a plan is left with after its
    // fix round: a heading and each problem; none for no problem.
    static QStringList leftProblems(const QStringList &problems);
    // The cache file name of a document entry.
    static QString docFileName(const QString &entry);
    // Why a path where a file is expected names none that can be read
    // without waiting: a folder, nothing, or a pipe, device or socket that
    // could block; nothing for a regular file.
    static std::optional<QString> notAFile(const QString &path);
    // A frame id as one file-name component of img/node-<id>.png, a
    // different one for every id, short enough for any file system.
    static QString imageIdPart(const QString &frameId);
    // The Claude prompt that reads a design section over MCP.
    static QString figmaPrompt(const FigmaLink &link);
    // The Claude prompt that copies one wiki page.
    static QString wikiPrompt(const QString &entry);
    // The read tools, by name, of the person's wiki servers: a run that
    // reads pages is allowed those and no tool that could change a page.
    static QStringList wikiReadTools();

Q_SIGNALS:
    void phaseChanged();
    // Coalesced: at most one notification per 50 ms however fast lines come.
    void logChanged();
    void startedAtChanged();
    void stagesChanged();
    void summaryChanged();
    void runningDirChanged();
    void runningTitleChanged();
    // Every line added to the log, once, in order, even after the log has
    // dropped it.
    void lineAdded(const QString &line);

private:
    Q_PROPERTY(Phase phase READ phase WRITE setPhase NOTIFY phaseChanged)
    Q_PROPERTY(QStringList log READ log NOTIFY logChanged)
    Q_PROPERTY(std::optional<QDateTime> startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(Stages stages READ stages NOTIFY stagesChanged)
    Q_PROPERTY(QString summary READ summary NOTIFY summaryChanged)
    Q_PROPERTY(std::optional<QString> runningDir READ runningDir NOTIFY runningDirChanged)
    Q_PROPERTY(QString runningTitle READ runningTitle NOTIFY runningTitleChanged)

    // One run's identity: what its task may still change.
    struct Run {
        quint64 id = 0;
        CancelToken cancel;
        QString dir;
        // Where the run's own writes go: the folder its claim holds, which a
        // link put at its name meanwhile does not move elsewhere.
        QString at;
        GenerateInput input;
        AppSettings settings;
        ClaudeRunner runner;
        // The plan folder's claim, held by the run to its end.
        std::shared_ptr<FolderClaim> claim;
        // Why the new folder the run was to make could not be made: the run
        // then fails instead of taking whatever stands at its name.
        QString notMade;
        // The pictures of img/ the run's downloads replaced, by their paths
        // under img/: a redraft keeps them beside its undo point.
        std::shared_ptr<QHash<QString, QByteArray>> replacedPictures = std::make_shared<QHash<QString, QByteArray>>();
    };

    bool isCurrent(const Run &run) const { return run.id == m_runId; }
    // Stage reports of one run; dropped once the run is no longer current.
    void begin(const Run &run, Stage stage, const QString &detail, int total = 0);
    void finish(const Run &run, Stage stage, const QString &detail, bool skipped = false);
    // Ends a stage that got none of what it was for, while the run goes on
    // without it: marked failed, not ticked.
    void finishEmpty(const Run &run, Stage stage, const QString &detail);
    void add(const Run &run, const QString &line);
    void update(const Run &run, Stage stage, const std::function<void(StageState &)> &change);
    ClaudeRunner::Progress progressSink(const Run &run, std::optional<Stage> stage);
    ClaudeRunner::Progress sinkFor(quint64 runId, std::optional<Stage> stage);

    void launch(const GenerateInput &input, const QString &dir, const AppSettings &settings, bool reuseSection,
                OnDone onDone, std::shared_ptr<FolderClaim> claim, const QString &notMade);
    QCoro::Task<> generate(Run run, bool reuseSection, OnDone onDone);
    QCoro::Task<> claimFolder(Run &run);
    void failRun(const Run &run, const QString &message);
    QCoro::Task<FigmaSection> figmaSection(Run run, bool reuse);
    QCoro::Task<FigmaSection> restSection(Run run);
    QCoro::Task<FigmaSection> mcpSection(Run run);
    QCoro::Task<> downloadImages(Run run, FigmaSection &section);
    // `chosen`: whether the local files the entries name are the person's
    // own choice, to be read; otherwise only the folder's saved copies are.
    QCoro::Task<QString> readDocs(Run run, std::optional<QStringList> entries, bool chosen, Stage stage,
                                  QString folder, QString what, QString skipNote);
    QCoro::Task<QString> readWiki(Run run, Stage stage, QString entry, QString what, int position, int count);
    QCoro::Task<Plan> draft(Run run, FigmaSection section, QString specDoc, QString apiDoc);
    QCoro::Task<> save(Run run, Plan plan, FigmaSection section);
    void writesEnded();

    void setLog(const QStringList &log);
    void setStartedAt(const std::optional<QDateTime> &at);
    void setStages(const Stages &stages);
    void setSummary(const QString &summary);
    void setRunningDir(const std::optional<QString> &dir);
    void setRunningTitle(const QString &title);

    Phase m_phase;
    QStringList m_log;
    std::optional<QDateTime> m_startedAt;
    Stages m_stages;
    QString m_summary;
    std::optional<QString> m_runningDir;
    QString m_runningTitle;

    // The current run; 0 when none has started or it was stopped.
    quint64 m_runId = 0;
    quint64 m_lastRunId = 0;
    std::optional<CancelToken> m_cancel;
    // Runs that hold a plan folder (stopped ones until they end), and who waits for
    // them all to end.
    int m_writing = 0;
    QList<std::function<void()>> m_afterWrites;
    QTimer m_logNotify;
};
