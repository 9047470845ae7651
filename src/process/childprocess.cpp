#include "process/childprocess.h"

#include "process/runmarks.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

bool readable(int fd, int timeoutMs = 0)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) > 0;
}

// A run as the spawner described it, with a descriptor of the namespace's
// first process: that process ends only after every other one in the
// namespace has gone, so its end is the run's.
class RunState
{
public:
    explicit RunState(std::function<ChildProcess::Run()> describe)
        : m_describe(std::move(describe))
    {
    }
    ~RunState()
    {
        if (m_initDescriptor >= 0)
            ::close(m_initDescriptor);
    }
    RunState(const RunState &) = delete;
    RunState &operator=(const RunState &) = delete;

    const ChildProcess::Run &run()
    {
        std::call_once(m_described, [this] {
            m_run = m_describe();
            if (m_run.init > 0) {
                m_initDescriptor = RunMarks::openDescriptor(m_run.init);
                // Gone already, and the number perhaps someone else's.
                if (m_initDescriptor >= 0 && RunMarks::namespaceOf(m_run.init) != m_run.ns) {
                    ::close(m_initDescriptor);
                    m_initDescriptor = -1;
                }
            }
        });
        return m_run;
    }

    int initDescriptor()
    {
        run();
        return m_initDescriptor;
    }

private:
    std::function<ChildProcess::Run()> m_describe;
    std::once_flag m_described;
    ChildProcess::Run m_run;
    int m_initDescriptor = -1;
};

std::mutex runsMutex;
std::map<pid_t, std::shared_ptr<RunState>> &runs()
{
    // Never destroyed: waiters on detached threads may still use it while
    // the process ends.
    static auto *const known = new std::map<pid_t, std::shared_ptr<RunState>>();
    return *known;
}

std::shared_ptr<RunState> runOf(pid_t pid)
{
    const std::lock_guard lock(runsMutex);
    const auto found = runs().find(pid);
    return found == runs().end() ? nullptr : found->second;
}

} // namespace

void ChildProcess::startsRun(pid_t pid, std::function<Run()> describe)
{
    const std::lock_guard lock(runsMutex);
    runs()[pid] = std::make_shared<RunState>(std::move(describe));
}

void ChildProcess::forgetRun(pid_t pid)
{
    const std::lock_guard lock(runsMutex);
    runs().erase(pid);
}

struct ChildProcess::State {
    explicit State(pid_t child)
        : pid(child)
        , pidfd(RunMarks::openDescriptor(child))
        , run(runOf(child))
    {
    }
    ~State()
    {
        if (pidfd >= 0)
            ::close(pidfd);
    }
    State(const State &) = delete;
    State &operator=(const State &) = delete;

    bool ended() const
    {
        if (pidfd >= 0)
            return readable(pidfd);
        // WNOWAIT leaves the zombie to the waiter that reaps it.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno == ECHILD;
        return info.si_pid == pid;
    }

    bool waitForChildEnd(std::chrono::milliseconds timeout) const
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (ended())
                return true;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (pidfd >= 0)
                readable(pidfd, static_cast<int>(left.count()));
            else
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
        }
    }

    void signal(int number) const
    {
        if (!run) {
            if (pidfd >= 0)
                RunMarks::signalThrough(pidfd, number);
            else
                ::kill(pid, number);
            return;
        }
        const Run &described = run->run();
        if (described.ns == 0 && number == SIGKILL) {
            // Not to the holder, which leads the group: it ends what is left
            // once its program has gone, the orphans it adopted included.
            RunMarks::signalMembers(pid, SIGKILL);
            RunMarks::signalCarriers(described.token, SIGKILL);
            return;
        }
        if (described.ns == 0) {
            // A group's number stays taken while any process of the group
            // lives, and the run is forgotten only once its group is gone:
            // a signal to the group reaches what is left of it, or nothing.
            // The holder takes no signal but SIGKILL.
            ::kill(-pid, number);
            // A member the group's signal reached gets no second one: a
            // tool may read a second SIGTERM as "end now".
            RunMarks::signalCarriers(described.token, number, RunMarks::inGroup(pid));
            return;
        }
        if (number == SIGKILL) {
            // The namespace's first process takes every other one along,
            // and a namespace made inside it; a carrier that escaped it
            // cannot have.
            if (run->initDescriptor() >= 0)
                RunMarks::signalThrough(run->initDescriptor(), SIGKILL);
            if (pidfd >= 0)
                RunMarks::signalThrough(pidfd, SIGKILL);
            RunMarks::signalCarriers(described.token, SIGKILL);
            return;
        }
        const QList<pid_t> members = RunMarks::inNamespace(described.ns, described.init);
        for (const pid_t member : members) {
            const int memberfd = RunMarks::openDescriptor(member);
            if (memberfd < 0)
                continue;
            if (RunMarks::namespaceOf(member) == described.ns)
                RunMarks::signalThrough(memberfd, number);
            ::close(memberfd);
        }
        // Those in a namespace made inside the run's are not among them;
        // bwrap outside it would take the namespace along at once.
        RunMarks::signalCarriers(described.token, number, members + QList<pid_t>{described.init, pid});
    }

    bool gone() const
    {
        if (!ended())
            return false;
        if (!run)
            return true;
        // What is left that we may not signal (a setuid program's process)
        // cannot be ended by waiting, and a zombie no longer runs (as the
        // first process of a PID namespace we are handed the run's orphans,
        // and reap them only now and then): neither counts.
        const Run &described = run->run();
        if (!RunMarks::carriers(described.token).isEmpty())
            return false;
        if (described.ns == 0)
            return RunMarks::inGroup(pid).isEmpty();
        return run->initDescriptor() < 0 || readable(run->initDescriptor());
    }

    bool waitUntilRunIsGone(std::chrono::milliseconds timeout) const
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        if (!waitForChildEnd(timeout))
            return false;
        while (!gone()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (run && run->run().ns != 0 && run->initDescriptor() >= 0)
                readable(run->initDescriptor(), static_cast<int>(left.count()));
            else
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
        }
        return true;
    }

    const pid_t pid;
    const int pidfd;
    const std::shared_ptr<RunState> run;
    std::atomic<bool> terminated{false};
};

ChildProcess::ChildProcess(pid_t pid)
    : m_state(std::make_shared<State>(pid))
{
}

void ChildProcess::describe() const
{
    if (m_state->run)
        m_state->run->run();
}

pid_t ChildProcess::pid() const
{
    return m_state->pid;
}

QByteArray ChildProcess::token() const
{
    return m_state->run ? m_state->run->run().token : QByteArray();
}

int ChildProcess::endDescriptor() const
{
    return m_state->pidfd;
}

bool ChildProcess::childHasEnded() const
{
    return m_state->ended();
}

bool ChildProcess::waitForChildEnd(std::chrono::milliseconds timeout) const
{
    return m_state->waitForChildEnd(timeout);
}

bool ChildProcess::runIsGone() const
{
    return m_state->gone();
}

bool ChildProcess::waitUntilRunIsGone(std::chrono::milliseconds timeout) const
{
    return m_state->waitUntilRunIsGone(timeout);
}

void ChildProcess::terminate(std::chrono::milliseconds grace) const
{
    if (m_state->terminated.exchange(true) || m_state->gone())
        return;
    m_state->signal(SIGTERM);
    // The watcher keeps the state (and its descriptors) alive on its own.
    std::thread([state = m_state, grace] {
        if (!state->waitUntilRunIsGone(grace))
            state->signal(SIGKILL);
    }).detach();
}

void ChildProcess::kill() const
{
    m_state->signal(SIGKILL);
}
