#include "model/worktreegit.h"

#include "core/filedescriptor.h"
#include "core/ownthread.h"
#include "core/text.h"
#include "process/childprocess.h"
#include "settings/apppaths.h"

#include <QDir>
#include <QFuture>
#include <QCoroFuture>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The shell of a worktree's git work, from the folders on: "$3" is the
// worktree. Its git folders as git names them before Claude's run, then,
// let go again, `git status` with only those folders (the .git file in the
// worktree, which the run could rewrite, is not followed), with nothing
// the run could have planted running (no file system monitor, no hook, no
// git inside a submodule's folder) and without taking the index lock.
// Filters named in the worktree's .gitattributes still run, but only those
// the person's own git configuration defines, which the run cannot change.
// Every untracked file on its own: a new folder would otherwise be one
// "?? dir/" entry however many files it holds.
const QString foldersThenStatus = QStringLiteral(
    "dirs=$(\"$0\" -C \"$3\" rev-parse --path-format=absolute --git-dir --git-common-dir) || exit; "
    "printf '%s\\n=\\n' \"$dirs\"; "
    "read -r go || exit; "
    "nl='\n'; "
    "export GIT_DIR=\"${dirs%%\"$nl\"*}\" GIT_COMMON_DIR=\"${dirs#*\"$nl\"}\" GIT_WORK_TREE=\"$3\"; "
    "exec \"$0\" -c core.fsmonitor=false -c core.hooksPath=/dev/null --no-optional-locks status --porcelain -z "
    "--untracked-files=all --ignore-submodules=dirty >&3 3>&-");

} // namespace

QStringList WorktreeGit::arguments(const QString &dir, const QStringList &args)
{
    return QStringList{QStringLiteral("-C"), AppPaths::expandHome(dir)} + args;
}

Spawn::Environment WorktreeGit::environment()
{
    static const QStringList kept{QStringLiteral("HOME"),   QStringLiteral("USER"),     QStringLiteral("LOGNAME"),
                                  QStringLiteral("PATH"),   QStringLiteral("SHELL"),    QStringLiteral("TMPDIR"),
                                  QStringLiteral("TZ"),     QStringLiteral("LANG"),     QStringLiteral("LANGUAGE"),
                                  QStringLiteral("XDG_CONFIG_HOME")};
    return Spawn::allowedEnvironment(kept, {QStringLiteral("LC_")});
}

std::unique_ptr<WorktreeGit> WorktreeGit::existing(const QString &worktree)
{
    static const QString script = QStringLiteral("exec 3>&2 2>/dev/null; read -r go || exit; ") + foldersThenStatus;
    return std::make_unique<WorktreeGit>(script, QStringList{QString(), QString(), AppPaths::expandHome(worktree)},
                                         environment());
}

std::unique_ptr<WorktreeGit> WorktreeGit::created(const QString &repo, const QString &branch, const QString &worktree,
                                                  const QString &base)
{
    static const QString script = QStringLiteral(
                                      "exec 3>&2 2>/dev/null; read -r go || exit; "
                                      "\"$0\" -C \"$1\" rev-parse --verify --quiet \"refs/heads/$2\" >/dev/null && exit %1; "
                                      "echo +; "
                                      "\"$0\" -C \"$1\" worktree add -b \"$2\" \"$3\" \"$4\" >/dev/null || exit; ")
                                      .arg(branchTaken)
        + foldersThenStatus;
    return std::make_unique<WorktreeGit>(
        script, QStringList{AppPaths::expandHome(repo), branch, AppPaths::expandHome(worktree), base}, environment());
}

std::optional<WorktreeGit::Folders> WorktreeGit::folders(const QByteArray &printed)
{
    if (!printed.endsWith(waiting))
        return std::nullopt;
    const QStringList dirs = Text::decodeUtf8Strict(printed.chopped(waiting.size()))
                                 .value_or(QString())
                                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (dirs.size() != 2)
        return std::nullopt;
    return Folders{dirs.at(0), dirs.at(1)};
}

QCoro::Task<> WorktreeGit::remove(QString repo, QString worktree, QString branch)
{
    // No hook of the repository runs: what stopped the run is likely one.
    const QStringList quiet{QStringLiteral("-c"), QStringLiteral("core.hooksPath=/dev/null")};
    const QStringList removing{QStringLiteral("worktree"), QStringLiteral("remove"), QStringLiteral("--force"), worktree};
    const QStringList deleting{QStringLiteral("branch"), QStringLiteral("-D"), branch};
    co_await Spawn::outputAsync(program, arguments(repo, quiet + removing), environment());
    co_await Spawn::outputAsync(program, arguments(repo, quiet + deleting), environment());
}

WorktreeGit::WorktreeGit(const QString &script, const QStringList &args, const Spawn::Environment &env)
{
    int gate[2];
    int out[2];
    if (::pipe2(gate, O_CLOEXEC) != 0)
        return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(gate[0]);
        ::close(gate[1]);
        return;
    }
    try {
        m_pipes.emplace();
        m_pid = Spawn::run(QStringLiteral("/bin/sh"), QStringList{QStringLiteral("-c"), script, program} + args, env,
                           QDir::tempPath(), gate[0], out[1], m_pipes->childError());
        m_pipes->closeChildEnds();
        m_gate = gate[1];
        m_out = out[0];
    } catch (const SpawnFailure &) {
        ::close(gate[1]);
        ::close(out[0]);
    }
    ::close(gate[0]);
    ::close(out[1]);
}

WorktreeGit::~WorktreeGit()
{
    for (const int fd : {m_gate, m_out})
        if (fd >= 0)
            ::close(fd);
    // Reaped on a thread of its own once the shell has ended unlet.
    if (m_pid > 0 && !m_reaped)
        Spawn::wait(m_pid);
}

QCoro::Task<QByteArray> WorktreeGit::before(CancelToken stop)
{
    if (m_gate < 0 || m_out < 0)
        co_return QByteArray();
    [[maybe_unused]] const ssize_t written = ::write(m_gate, "\n", 1);
    const ChildProcess child(m_pid);
    QByteArray printed;
    {
        const CancelToken::Registration stopping = stop.onCancel([child] { child.terminate(Spawn::stopGrace); });
        // Read up to the line that says it waits, or to the end, which
        // comes only with bwrap's: it holds the output as well.
        QFuture<QByteArray> reading = OwnThread::future([fd = std::exchange(m_out, -1)] {
            const QByteArray bytes = FileDescriptor::readAll(fd, waiting);
            ::close(fd);
            return bytes;
        });
        printed = co_await reading;
    }
    if (!printed.endsWith(waiting)) {
        ::close(std::exchange(m_gate, -1));
        m_reaped = true;
        m_status = co_await Spawn::wait(m_pid);
    }
    co_return printed;
}

QCoro::Task<QByteArray> WorktreeGit::status()
{
    if (m_gate < 0 || m_reaped)
        co_return QByteArray();
    [[maybe_unused]] const ssize_t written = ::write(m_gate, "\n", 1);
    ::close(std::exchange(m_gate, -1));
    auto out = std::make_shared<QByteArray>();
    const ChildProcess child(m_pid);
    // git status writes on the shell's standard error, its own errors
    // going nowhere.
    const QFuture<void> pumped = m_pipes->start(
        child, QByteArray(), [](const QByteArray &) {}, [out](const QByteArray &bytes) { out->append(bytes); });
    m_reaped = true;
    m_status = co_await Spawn::wait(m_pid);
    co_await pumped;
    co_return *out;
}
