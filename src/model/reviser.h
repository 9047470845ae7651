#pragma once

#include "core/canceltoken.h"

#include <QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct AppSettings;
class FolderClaim;

// Revises a plan folder by a request of the user: Claude edits plan.json in
// place, one fix round mends what the edit broke, the derived files are
// rewritten and the change is logged. Every change is preceded by a backup
// in the folder's history/, which undo returns to (FolderRestore puts the
// folder back). Used on the main thread only; published state changes
// there.
class Reviser : public QObject
{
    Q_OBJECT

public:
    struct Phase {
        enum class Kind { running, done, failed, idle };

        Kind kind = Kind::idle;
        // What a revision is doing (running), its answer (done) or why it
        // failed (failed); empty when idle.
        QString text;

        static Phase running(const QString &text);
        static Phase done(const QString &text);
        static Phase failed(const QString &text);
        static Phase idle();

        bool isRunning() const { return kind == Kind::running; }
        bool operator==(const Phase &) const = default;
    };

    explicit Reviser(QObject *parent = nullptr);
    ~Reviser() override;

    // The application's one instance, made on first use.
    static Reviser &shared();

    Phase phase() const { return m_phase; }
    // When the latest revision started; an undo does not set it.
    std::optional<QDateTime> startedAt() const { return m_startedAt; }
    // The plan folder of the latest revision or undo; empty before any.
    QString dir() const { return m_dir; }

    // Starts a revision of the plan folder `dir` and returns at once. The
    // request is trimmed; with only `images` it asks Claude to follow them.
    // Gives false and changes nothing when the request is empty without
    // images or a revision runs. The revision claims the folder off the main
    // thread (or takes over `claim`, already taken) and holds it to its end;
    // a folder another operation holds fails the phase. What a claim taken
    // here put in order comes first in the phase's text (the taker of
    // `claim` tells its own). `onDone` is called only after a
    // revision that succeeded.
    bool revise(const QString &request, const QStringList &images, const QString &dir, const AppSettings &settings,
                std::function<void()> onDone = {}, std::shared_ptr<FolderClaim> claim = {});
    // Stops the running revision; plan.json is put back as it was.
    void cancel();

    // Returns the plan to its newest backup off the main thread, with the
    // folder claimed there (or `claim`, already taken) and the backup chosen
    // once it is: the phase runs until the files are done. Gives false and
    // changes nothing when the folder has no backup or a revision runs (its
    // backup is what a failure of that revision restores). When the claim
    // rolled back an interrupted revision, that is the undo. A failure
    // leaves the folder and the backup as they were; a backup that holds no
    // JSON is moved aside as a kept copy.
    bool undo(const QString &dir, const AppSettings &settings, std::function<void()> onDone = {},
              std::shared_ptr<FolderClaim> claim = {});

    // Copies plan.json to history/plan-<yyMMdd-HHmmss>.json; see
    // PlanHistory::backup.
    static QString backup(const QString &dir);
    // The newest undo point: the last "plan-*.json" file of history/ by name.
    static std::optional<QString> lastBackup(const QString &dir);
    // Puts a log entry at the top of history/revisions.md. Writes nothing
    // when history/ is missing or the log cannot be read; never fails.
    // The log's file, history/revisions.md.
    static QString logFile(const QString &dir);
    static void appendLog(const QString &dir, const QString &request, const QString &answer, const QString &by);
    // The request the next undo takes back as one line: that of the newest
    // log entry that is neither a rollback's nor an undo's nor one an undo
    // took back; "" when there is none.
    static QString lastRequest(const QString &dir);
    // The request a rollback of an interrupted revision logs.
    static QString rollbackRequest();
    // The request an undo logs.
    static QString undoRequest();
    // Copies the images, piece by piece, to
    // history/attachments/<yyMMdd-HHmmss>-<n>.<ext>, <ext> the one of the
    // picture's format (<…>-<n>_0002.<ext>, … when taken: a copy never
    // replaces a file) and gives the copies made, in order; an image that
    // cannot be copied, or that is no picture of a sane size (PictureFile),
    // is skipped, its number left unused. Nothing is copied when history/
    // is not a folder of the plan's own (the backup says why); an
    // attachments/ that is not throws PlanHistory::Failure.
    static QStringList saveAttachments(const QStringList &images, const QString &dir);

Q_SIGNALS:
    void phaseChanged();
    void startedAtChanged();
    void dirChanged();

private:
    Q_PROPERTY(Phase phase READ phase NOTIFY phaseChanged)
    Q_PROPERTY(std::optional<QDateTime> startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(QString dir READ dir NOTIFY dirChanged)

    struct Run;

    // A revision's steps, in order; each ends with the run's phase or
    // leaves it to the next.
    QCoro::Task<> run(Run run);
    QCoro::Task<bool> claimFolder(Run &run);
    QCoro::Task<QString> prepare(Run &run);
    QCoro::Task<Phase> reviseFolder(Run &run);
    QCoro::Task<Phase> keep(Run &run, QString answer, QStringList left);
    QCoro::Task<Phase> giveBack(Run &run, QString text, bool unchanged);
    QCoro::Task<> putBack(Run &run, QString cause);
    void end(Run &run, const Phase &phase);
    void observe(quint64 runId, const QString &line);
    void undoFailed(const QString &message);

    void setPhase(const Phase &phase);
    void setStartedAt(const QDateTime &when);
    void setDir(const QString &dir);

    Phase m_phase;
    std::optional<QDateTime> m_startedAt;
    QString m_dir;
    quint64 m_runId = 0;
    CancelToken m_cancel;
    // Tasks are kept until they end; a suspended frame is never destroyed.
    std::vector<QCoro::Task<>> m_tasks;
};
