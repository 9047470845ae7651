#pragma once

#include "core/canceltoken.h"
#include "process/pipepump.h"
#include "process/spawn.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <sys/types.h>

// The git work of a worktree in one run, so in one namespace, started
// ahead while earlier work goes on: making the namespace then costs the
// work nothing. A shell of fixed text waits on its standard input; let go
// once, it names the worktree's git folders (a new worktree is made first)
// and waits again; let go a second time, after Claude's run, it becomes
// `git status` of the worktree with the folders it named before. Dropped
// unlet, it ends without running git. It is a run like any other and ends
// with the application.
class WorktreeGit
{
public:
    // A worktree's git folders, as git names them before Claude's run: its own
    // (HEAD, index) and the repository's shared one (objects, refs, config).
    struct Folders {
        QString own;
        QString common;
    };

    // The exit status of a new worktree's run when its branch exists already.
    static constexpr int branchTaken = 3;
    // What a new worktree's run prints once `git worktree add` starts.
    static inline const QByteArray adding = QByteArrayLiteral("+\n");
    // What the shell prints last, after the folders' lines, once it waits
    // to be let go again.
    static inline const QByteArray waiting = QByteArrayLiteral("\n=\n");

    // The git this program runs.
    static inline const QString program = QStringLiteral("/usr/bin/git");

    // git's arguments to work in `dir` (a leading "~" is the home folder).
    static QStringList arguments(const QString &dir, const QStringList &args);
    // What this program's git takes from the environment: who and where the
    // person is and their git settings (~/.gitconfig, XDG_CONFIG_HOME), the
    // PATH their hooks and filters need. No GIT_* variable: a GIT_DIR or
    // GIT_WORK_TREE inherited from a hook or an editor that started us would
    // send every command to another repository.
    static Spawn::Environment environment();

    // An existing worktree's git work. Git's own messages go nowhere; standard
    // error carries the status.
    static std::unique_ptr<WorktreeGit> existing(const QString &worktree);
    // A new worktree's git work: first the branch's look-up and `git worktree
    // add` of it, printing `adding` once that starts.
    static std::unique_ptr<WorktreeGit> created(const QString &repo, const QString &branch, const QString &worktree,
                                                const QString &base);
    // The folders a worktree's shell named, from what it printed after
    // `adding`; nothing unless it waits for the status.
    static std::optional<Folders> folders(const QByteArray &printed);
    // Removes a worktree and the branch made with it.
    static QCoro::Task<> remove(QString repo, QString worktree, QString branch);

    // `script` runs with git as "$0" and `args` as its own.
    WorktreeGit(const QString &script, const QStringList &args, const Spawn::Environment &env);
    WorktreeGit(const WorktreeGit &) = delete;
    WorktreeGit &operator=(const WorktreeGit &) = delete;
    ~WorktreeGit();

    // Lets the shell name the folders (and make the worktree) and gives what
    // it printed: `adding` first when `git worktree add` started, the two
    // folders on lines of their own, and `waiting` once it waits to be let
    // go again; "" when it could not start. Once only. Cancelling `stop`
    // ends the run as any other run is stopped: a hook of the repository
    // may wait for ever.
    QCoro::Task<QByteArray> before(CancelToken stop = CancelToken());

    // Lets the waiting shell run `git status` and gives what it printed; ""
    // when it is not waiting. Once only.
    QCoro::Task<QByteArray> status();

    // The exit status of a shell that ended before it waited.
    int exitStatus() const { return m_status; }

private:
    std::optional<PipePump> m_pipes;
    pid_t m_pid = -1;
    int m_status = -1;
    int m_gate = -1;
    int m_out = -1;
    bool m_reaped = false;
};
