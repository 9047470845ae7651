#pragma once

#include "settings/appsettings.h"

#include <QCoroTask>
#include <QDateTime>
#include <QFuture>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class PlanGuard;

struct Plan;

// The development engine: for each chosen platform it makes a branch in a
// git worktree beside that platform's app repository (or reuses the
// worktree folder when it exists) and has Claude write the planned feature
// there. The user's own checkout is never touched; nothing is committed or
// pushed. Published state changes on the main thread only.
class Developer : public QObject
{
    Q_OBJECT

public:
    enum class PlatformKind { android, ios };
    static constexpr std::array<PlatformKind, 2> platformKinds{PlatformKind::android, PlatformKind::ios};

    // "android" / "ios": names the record file.
    static QString rawValue(PlatformKind platform);
    // "Android" / "iOS": in prompts and record files.
    static QString displayName(PlatformKind platform);
    static std::optional<PlatformKind> platformKind(const QString &rawValue);

    // One platform's development run.
    struct Run {
        enum class Phase { preparing, writing, done, failed };

        Phase phase = Phase::preparing;
        // The worktree folder, once it is known to exist.
        std::optional<QString> worktree;
        // The work branch.
        QString branch;
        // One Korean line on the current step, or the failure.
        QString detail;
        // File-writing tool uses seen.
        int edits = 0;
        // US dollars, as Claude last reported them.
        double cost = 0;
        QDateTime started;
        std::optional<QDateTime> ended;
        // Claude's final answer, trimmed; empty until done.
        QString summary;
        // Changed paths in the worktree at the end: git's, in git's order,
        // then those git leaves out (ignored, in a git folder of their
        // own, removed), a new folder of these as "<folder>/".
        QStringList changed;

        bool operator==(const Run &) const = default;
    };
    using Runs = QMap<PlatformKind, Run>;

    // A repository's branches for the develop sheet.
    struct Branches {
        QString current;
        // `current` first, then the other local and remote branches.
        QStringList all;

        bool operator==(const Branches &) const = default;
    };

    explicit Developer(QObject *parent = nullptr);
    ~Developer() override;

    // The application's one instance, made on first use.
    static Developer &shared();

    Runs runs() const { return m_runs; }
    // The develop sheet clears the finished runs for a new start. A run
    // still preparing or writing whose record goes is stopped.
    void setRuns(const Runs &runs);
    // Whether any run is preparing or writing.
    bool isRunning() const;
    // The plan folder of the latest start; empty before the first.
    QString planDir() const { return m_planDir; }

    // Starts one run per platform, in order, unless a run is going on; the
    // earlier runs are cleared first. A platform missing from `base` gets
    // the empty base. Returns at once.
    void start(const QList<PlatformKind> &platforms, const QMap<PlatformKind, QString> &base, const QString &branch,
               const QString &planDir, const AppSettings &settings);
    // Asks every platform's run to stop. Claude is stopped at once; a git
    // command in progress is left to finish, so the stop takes effect when
    // it has.
    void cancel();

    // Updates a writing run from one of its Claude progress lines.
    void observe(PlatformKind platform, const QString &line);

    // Where the worktree of `branch` lies for the repository `repo`: beside
    // the repository, in "<repository name>-worktrees", named after the
    // branch with every "/" made "-". A trailing "/" or a leading "~" of the
    // repository path changes nothing.
    static QString worktreePath(const QString &repo, const QString &branch);
    // Whether `name` may name a new branch, as `git check-ref-format
    // --branch` decides outside any repository (where nothing such as
    // "@{-1}" is expanded); a name that starts with "-" is refused too.
    static bool isBranchName(const QString &name);
    // The development prompt and the tools Claude may use.
    static QString prompt(PlatformKind platform, const QString &base, const QString &branch, const QString &planDir,
                          const Plan &plan);
    static QStringList allowedTools(PlatformKind platform);
    // What Claude may not do although `allowedTools` would let it.
    static QStringList disallowedTools();

    // Runs git in `dir` and gives its output trimmed; "" when git cannot
    // run. The exit status is not looked at. Blocks the calling thread.
    static QString git(const QString &dir, const QStringList &args);
    // Whether the local branch `name` exists. Blocks the calling thread.
    static bool branchExists(const QString &repo, const QString &name);
    // The current branch and all branches, without "origin" and the remote
    // HEADs. Blocks the calling thread.
    static Branches branches(const QString &repo);

Q_SIGNALS:
    void runsChanged();

private:
    Q_PROPERTY(Runs runs READ runs WRITE setRuns NOTIFY runsChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY runsChanged)
    Q_PROPERTY(QString planDir READ planDir NOTIFY runsChanged)

    struct Job;

    QCoro::Task<> develop(std::shared_ptr<Job> job);
    QCoro::Task<bool> prepare(std::shared_ptr<Job> job);
    QCoro::Task<> writeCode(std::shared_ptr<Job> job);
    // Writes the run's record, history/develop-<platform>.md, off the
    // main thread, through `guard`, which holds the plan folder.
    static QCoro::Task<QString> record(PlatformKind platform, QString branch, QString text,
                                       std::shared_ptr<PlanGuard> guard);

    // Whether `job` is still the platform's current run.
    bool isCurrent(const Job &job) const;
    // Changes the run of `job` in place and publishes it; nothing when the
    // run is gone or belongs to an earlier start.
    template<typename Change>
    void update(const Job &job, Change change);
    void fail(const Job &job, const QString &message);

    Runs m_runs;
    QString m_planDir;
    // Each platform's latest run, while its task lives.
    QMap<PlatformKind, std::weak_ptr<Job>> m_jobs;
    // Identifies the latest start; late steps and lines of earlier starts
    // are dropped.
    std::uint64_t m_start = 0;
};
