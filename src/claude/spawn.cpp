#include "claude/spawn.h"

#include "claude/childprocess.h"
#include "claude/pipepump.h"
#include "core/text.h"
#include "platform/posixspawn.h"

#include <QCoroFuture>
#include <QDir>
#include <QPromise>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <thread>

extern char **environ;

namespace {

int exitStatus(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int reap(pid_t pid)
{
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, 0);
    } while (done == -1 && errno == EINTR);
    // A child we cannot wait for must never read as a success.
    return done == -1 ? -1 : exitStatus(status);
}

} // namespace

namespace Spawn {

void ignoreSigpipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

Environment processEnvironment()
{
    Environment env;
    for (char **entry = environ; entry && *entry; ++entry) {
        const QByteArray pair(*entry);
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            env.insert(QString::fromUtf8(pair.left(equals)), QString::fromUtf8(pair.mid(equals + 1)));
    }
    return env;
}

SpawnFailure startFailure(int error)
{
    char buffer[256];
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return SpawnFailure{QStringLiteral("claude 를 띄우지 못했어요: ") + QString::fromLocal8Bit(text)};
}

pid_t run(const QString &path, const QStringList &args, const Environment &env, const QString &cwd, int stdinFd,
          int stdoutFd, int stderrFd, bool ownGroup)
{
    // A relative name would be found in the child's new working folder: a
    // file called "git" in a plan folder must never run.
    if (!path.startsWith(QLatin1Char('/')))
        throw startFailure(ENOENT);

    pid_t pid = -1;
    const int error = PosixSpawn::start(pid, path, args, env, cwd, [&](posix_spawn_file_actions_t *actions) {
        int failed = posix_spawn_file_actions_adddup2(actions, stdinFd, 0);
        if (!failed)
            failed = posix_spawn_file_actions_adddup2(actions, stdoutFd, 1);
        if (!failed)
            failed = posix_spawn_file_actions_adddup2(actions, stderrFd, 2);
        return failed;
    }, ownGroup ? POSIX_SPAWN_SETPGROUP : 0);
    if (error)
        throw startFailure(error);
    return pid;
}

QCoro::Task<int> wait(pid_t pid)
{
    QPromise<int> promise;
    QFuture<int> future = promise.future();
    promise.start();
    // One thread per child: a shared pool would run dry while long runs wait.
    std::thread([pid, promise = std::move(promise)]() mutable {
        promise.addResult(reap(pid));
        promise.finish();
    }).detach();
    co_return co_await future;
}

std::optional<QString> output(const QString &path, const QStringList &args, const Environment &env,
                              std::optional<std::chrono::milliseconds> timeout)
{
    std::optional<PipePump> pipes;
    pid_t pid = -1;
    try {
        pipes.emplace();
        pid = run(path, args, env, QDir::tempPath(), pipes->childInput(), pipes->childOutput(), pipes->childError());
    } catch (const SpawnFailure &) {
        return std::nullopt;
    }
    const ChildProcess child(pid);
    pipes->closeChildEnds();

    std::optional<PipePump::Clock::time_point> deadline;
    if (timeout)
        deadline = PipePump::Clock::now() + *timeout;
    QByteArray out;
    bool finished = pipes->pump(
        child, QByteArray(), [&out](const QByteArray &bytes) { out += bytes; }, [](const QByteArray &) {}, deadline);
    if (finished && deadline)
        finished = child.waitForEnd(std::chrono::ceil<std::chrono::milliseconds>(*deadline - PipePump::Clock::now()));
    if (!finished)
        child.kill();
    reap(pid);
    if (!finished)
        return std::nullopt;
    return Text::decodeUtf8Strict(out);
}

QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env)
{
    QPromise<std::optional<QString>> promise;
    QFuture<std::optional<QString>> future = promise.future();
    promise.start();
    // Its own thread, like wait(): a command such as a large `git worktree
    // add` must neither block the event loop nor hold a pool thread.
    std::thread([path = std::move(path), args = std::move(args), env = std::move(env),
                 promise = std::move(promise)]() mutable {
        promise.addResult(output(path, args, env));
        promise.finish();
    }).detach();
    co_return co_await future;
}

} // namespace Spawn
