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
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <pthread.h>
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

// The children that lead a process group of their own, where a signal
// handler can reach their groups.
std::array<std::atomic<pid_t>, 64> runningGroups{};

// A Ctrl+C at the terminal reaches the terminal's foreground group, and a
// kill reaches this process alone; a child in a group of its own would get
// neither and outlive us. So a signal that would end this process goes to
// those groups first, and then ends it as it would have.
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

// The thread that starts every child leading a group of its own. Such a
// child gets its death signal when the thread that started it ends, so
// that thread must be one that lives as long as the application: not the
// caller's, which may be a task's or a pool's.
class Spawner
{
public:
    static Spawner &shared()
    {
        // Never destroyed: the thread runs until the process ends.
        static Spawner *const spawner = new Spawner();
        return *spawner;
    }

    // Runs `work` on the spawner thread and returns once it has run.
    void call(const std::function<void()> &work)
    {
        std::packaged_task<void()> task(work);
        std::future<void> done = task.get_future();
        {
            const std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_added.notify_one();
        done.get();
    }

private:
    Spawner()
    {
        std::thread([this] { serve(); }).detach();
    }

    void serve()
    {
        // Signals for the process are handled by the other threads.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_added.wait(lock, [this] { return !m_tasks.empty(); });
            std::packaged_task<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_added;
    std::deque<std::packaged_task<void()>> m_tasks;
};

// The children that lead a process group of their own (Claude's runs, the
// commands with a time-out, the setup jobs), each known from its start
// until it has been reaped and nothing is left in its group.
class OwnGroups
{
public:
    static OwnGroups &shared()
    {
        // Never destroyed: waiters on detached threads may still leave it
        // while the process ends.
        static OwnGroups *const groups = new OwnGroups();
        return *groups;
    }

    bool closed()
    {
        const std::lock_guard lock(m_mutex);
        return m_closed;
    }

    void add(const ChildProcess &child)
    {
        static std::once_flag signalsPassedOn;
        std::call_once(signalsPassedOn, passOnEndingSignals);
        const std::lock_guard lock(m_mutex);
        forgetGone();
        // One that started while the application ends is ended at once.
        if (m_closed)
            child.terminate(m_grace);
        m_groups.emplace(child.pid(), Group{child, m_closed, false, slotFor(child.pid())});
    }

    void reaped(pid_t pid)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_groups.find(pid);
        if (found == m_groups.end())
            return;
        found->second.reaped = true;
        forgetGone();
        m_changed.notify_all();
    }

    // Whether the application's end has ended this child.
    bool wasEnded(pid_t pid)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_groups.find(pid);
        return found != m_groups.end() && found->second.ended;
    }

    void endAll(std::chrono::milliseconds grace)
    {
        std::unique_lock lock(m_mutex);
        m_closed = true;
        m_grace = grace;
        for (auto &[pid, group] : m_groups) {
            group.ended = true;
            group.child.terminate(grace);
        }
        // A waiter reaps its child once it has ended and the pipes a
        // grandchild held are closed, or its pump stopped waiting for them;
        // what the child left in its group is gone by the SIGKILL at the
        // latest, which tells nobody: it is looked for.
        const auto until = std::chrono::steady_clock::now() + grace + PipePump::drainAfterEnd + std::chrono::seconds(1);
        while (!m_groups.empty() && std::chrono::steady_clock::now() < until) {
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
            forgetGone();
        }
    }

private:
    struct Group {
        ChildProcess child;
        bool ended;
        bool reaped;
        // Where a signal handler finds the group; none when all are taken.
        std::atomic<pid_t> *slot;
    };

    // Drops the groups whose leader was reaped and which have no process
    // left: their number may be handed out again.
    void forgetGone()
    {
        for (auto it = m_groups.begin(); it != m_groups.end();) {
            if (it->second.reaped && !groupRuns(it->first)) {
                if (it->second.slot)
                    it->second.slot->store(0);
                it = m_groups.erase(it);
            } else {
                ++it;
            }
        }
    }

    static bool groupRuns(pid_t group) { return ::kill(-group, 0) == 0 || errno != ESRCH; }

    static std::atomic<pid_t> *slotFor(pid_t group)
    {
        for (std::atomic<pid_t> &slot : runningGroups) {
            pid_t free = 0;
            if (slot.compare_exchange_strong(free, group))
                return &slot;
        }
        return nullptr;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<pid_t, Group> m_groups;
    bool m_closed = false;
    std::chrono::milliseconds m_grace{0};
};

int reap(pid_t pid)
{
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, 0);
    } while (done == -1 && errno == EINTR);
    if (done == pid)
        OwnGroups::shared().reaped(pid);
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

    const PosixSpawn::Descriptors descriptors = [stdinFd, stdoutFd, stderrFd] {
        for (const auto &[from, to] : {std::pair{stdinFd, 0}, std::pair{stdoutFd, 1}, std::pair{stderrFd, 2}}) {
            // dup2 onto itself would keep the close-on-exec flag.
            const int done = from == to ? ::fcntl(from, F_SETFD, 0) : ::dup2(from, to);
            if (done < 0)
                return errno;
        }
        return 0;
    };
    if (!ownGroup) {
        pid_t pid = -1;
        if (const int error = PosixSpawn::start(pid, path, args, env, cwd, descriptors))
            throw startFailure(error);
        return pid;
    }
    // Known, with a descriptor of its own, before anyone can reap it.
    pid_t pid = -1;
    int error = 0;
    Spawner::shared().call([&] {
        error = PosixSpawn::start(pid, path, args, env, cwd, descriptors, {.ownGroup = true, .tied = true});
        if (!error)
            OwnGroups::shared().add(ChildProcess(pid, true));
    });
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
    if (stop.isCancelled() || (timeout && OwnGroups::shared().closed()))
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
    // Asked before the reap, which forgets a group that has gone.
    const bool endedWithUs = ownGroup && OwnGroups::shared().wasEnded(pid);
    reap(pid);
    if (!finished || stop.isCancelled() || endedWithUs)
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

void endChildren(std::chrono::milliseconds grace)
{
    OwnGroups::shared().endAll(grace);
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
