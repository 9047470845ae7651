#include "claude/spawn.h"

#include "claude/childprocess.h"
#include "claude/pipepump.h"
#include "core/text.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QPromise>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

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

// NUL-terminated copies that outlive the spawn call, plus the pointer
// vector that execve wants.
class CStrings
{
public:
    void add(QByteArray bytes) { m_store.push_back(std::move(bytes)); }
    char **vector()
    {
        m_pointers.clear();
        for (QByteArray &bytes : m_store)
            m_pointers.push_back(bytes.data());
        m_pointers.push_back(nullptr);
        return m_pointers.data();
    }

private:
    std::vector<QByteArray> m_store;
    std::vector<char *> m_pointers;
};

struct SpawnSetup {
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;

    // The first error of the set-up steps, 0 when all succeeded.
    int configure(const QByteArray &cwd, int stdinFd, int stdoutFd, int stderrFd)
    {
        int error = posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
        if (!error)
            error = posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
        if (!error)
            error = posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
        if (!error && !cwd.isEmpty())
            error = posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
        if (!error)
            error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        // Our ignored SIGPIPE and any blocked signals must not reach the child.
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        if (!error)
            error = posix_spawnattr_setsigmask(&attributes, &none);
        if (!error)
            error = posix_spawnattr_setsigdefault(&attributes, &all);
        if (!error)
            error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        return error;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

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
          int stdoutFd, int stderrFd)
{
    // A relative name would be found in the child's new working folder: a
    // file called "git" in a plan folder must never run.
    if (!path.startsWith(QLatin1Char('/')))
        throw startFailure(ENOENT);

    const QByteArray program = QFile::encodeName(path);
    CStrings argv;
    argv.add(program);
    for (const QString &arg : args)
        argv.add(arg.toUtf8());
    CStrings envp;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        envp.add(it.key().toUtf8() + '=' + it.value().toUtf8());

    SpawnSetup setup;
    int error = setup.configure(QFile::encodeName(cwd), stdinFd, stdoutFd, stderrFd);
    pid_t pid = -1;
    if (!error)
        error = posix_spawn(&pid, program.constData(), &setup.actions, &setup.attributes, argv.vector(),
                            envp.vector());
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

} // namespace Spawn
