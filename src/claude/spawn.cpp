#include "claude/spawn.h"

#include "claude/childprocess.h"
#include "claude/pipepump.h"
#include "core/text.h"
#include "platform/posixspawn.h"

#include <QCoroFuture>
#include <QDir>
#include <QPromise>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <type_traits>

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

// Runs `work` on a thread of its own, like wait(): a command such as a large
// `git worktree add` must neither block the event loop nor hold a pool
// thread.
template<typename Work>
QFuture<std::invoke_result_t<Work &>> onOwnThread(Work work)
{
    using Result = std::invoke_result_t<Work &>;
    QPromise<Result> promise;
    QFuture<Result> future = promise.future();
    promise.start();
    std::thread([work = std::move(work), promise = std::move(promise)]() mutable {
        promise.addResult(work());
        promise.finish();
    }).detach();
    return future;
}

// The process groups of the commands with a time-out that run now, where a
// signal handler can reach them.
std::array<std::atomic<pid_t>, 64> runningGroups{};

// A Ctrl+C at the terminal reaches the terminal's foreground group, and a
// kill reaches this process alone; a command in a group of its own would
// get neither and outlive us. So a signal that would end this process goes
// to those groups first, and then ends it as it would have.
void passOn(int number)
{
    for (const std::atomic<pid_t> &group : runningGroups)
        if (const pid_t id = group.load(); id > 0)
            ::kill(-id, number);
    ::signal(number, SIG_DFL);
    ::raise(number);
}

// Only signals nobody handles or ignores: whoever set them up ends the
// process their own way.
void passOnEndingSignals()
{
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current {};
        if (::sigaction(number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL)
            continue;
        struct sigaction action {};
        action.sa_handler = passOn;
        sigemptyset(&action.sa_mask);
        ::sigaction(number, &action, nullptr);
    }
}

// The commands with a time-out that run now, each known from its start
// until its waiter has reaped it.
class TimedCommands
{
public:
    class Entry
    {
    public:
        Entry(TimedCommands &commands, const ChildProcess &child)
            : m_commands(commands)
            , m_id(commands.add(child))
        {
        }
        ~Entry() { m_commands.remove(m_id); }
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

        // Whether the application's end has ended this command.
        bool ended() const { return m_commands.wasEnded(m_id); }

    private:
        TimedCommands &m_commands;
        const quint64 m_id;
    };

    static TimedCommands &shared()
    {
        // Never destroyed: waiters on detached threads may still leave it
        // while the process ends.
        static TimedCommands *const commands = new TimedCommands();
        return *commands;
    }

    bool closed()
    {
        const std::lock_guard lock(m_mutex);
        return m_closed;
    }

    void endAll(std::chrono::milliseconds grace)
    {
        std::unique_lock lock(m_mutex);
        m_closed = true;
        m_grace = grace;
        for (auto &[id, command] : m_children) {
            command.ended = true;
            command.child.terminate(grace);
        }
        // A waiter reaps its child once the group has ended and the pipes a
        // grandchild held are closed, or the pump stopped waiting for them.
        m_changed.wait_for(lock, grace + PipePump::drainAfterEnd + std::chrono::seconds(1),
                           [this] { return m_children.empty(); });
    }

private:
    quint64 add(const ChildProcess &child)
    {
        static std::once_flag signalsPassedOn;
        std::call_once(signalsPassedOn, passOnEndingSignals);
        const std::lock_guard lock(m_mutex);
        // One that started while the application ends is ended at once.
        if (m_closed)
            child.terminate(m_grace);
        m_children.emplace(++m_lastId, Command{child, m_closed, slotFor(child.pid())});
        return m_lastId;
    }

    bool wasEnded(quint64 id)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_children.find(id);
        return found != m_children.end() && found->second.ended;
    }

    void remove(quint64 id)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_children.find(id);
        if (found != m_children.end() && found->second.slot)
            found->second.slot->store(0);
        m_children.erase(id);
        m_changed.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    struct Command {
        ChildProcess child;
        bool ended;
        // Where a signal handler finds its group; none when all are taken.
        std::atomic<pid_t> *slot;
    };

    static std::atomic<pid_t> *slotFor(pid_t group)
    {
        for (std::atomic<pid_t> &slot : runningGroups) {
            pid_t free = 0;
            if (slot.compare_exchange_strong(free, group))
                return &slot;
        }
        return nullptr;
    }

    std::map<quint64, Command> m_children;
    quint64 m_lastId = 0;
    bool m_closed = false;
    std::chrono::milliseconds m_grace{0};
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

std::optional<QByteArray> outputBytes(const QString &path, const QStringList &args, const Environment &env,
                                      std::optional<std::chrono::milliseconds> timeout, const CancelToken &stop)
{
    if (stop.isCancelled() || (timeout && TimedCommands::shared().closed()))
        return std::nullopt;
    // Whatever a command with a time-out starts (the tool's own helpers, a
    // login shell's profile) is ended with it.
    const bool ownGroup = timeout.has_value();
    std::optional<PipePump> pipes;
    pid_t pid = -1;
    try {
        pipes.emplace();
        pid = run(path, args, env, QDir::tempPath(), pipes->childInput(), pipes->childOutput(), pipes->childError(),
                  ownGroup);
    } catch (const SpawnFailure &) {
        return std::nullopt;
    }
    const ChildProcess child(pid, ownGroup);
    pipes->closeChildEnds();
    std::optional<TimedCommands::Entry> known;
    if (timeout)
        known.emplace(TimedCommands::shared(), child);
    const CancelToken::Registration stopping = stop.onCancel([child] { child.terminate(stopGrace); });

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
    if (!finished || stop.isCancelled() || (known && known->ended()))
        return std::nullopt;
    return out;
}

std::optional<QString> output(const QString &path, const QStringList &args, const Environment &env,
                              std::optional<std::chrono::milliseconds> timeout, const CancelToken &stop)
{
    const std::optional<QByteArray> bytes = outputBytes(path, args, env, timeout, stop);
    if (!bytes)
        return std::nullopt;
    return Text::decodeUtf8Strict(*bytes);
}

void endTimedCommands(std::chrono::milliseconds grace)
{
    TimedCommands::shared().endAll(grace);
}

QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QString>> done =
        onOwnThread([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return output(path, args, env);
        });
    co_return co_await done;
}

QCoro::Task<std::optional<QByteArray>> outputBytesAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QByteArray>> done =
        onOwnThread([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return outputBytes(path, args, env);
        });
    co_return co_await done;
}

} // namespace Spawn
