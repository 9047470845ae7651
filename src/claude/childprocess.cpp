#include "claude/childprocess.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Called through syscall(): glibc 2.36's own declarations lack C linkage.
int openProcessDescriptor(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int sendThroughDescriptor(int pidfd, int number)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, number, nullptr, 0));
}

} // namespace

struct ChildProcess::State {
    State(pid_t child, bool group)
        : pid(child)
        , pidfd(openProcessDescriptor(child))
        , wholeGroup(group)
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
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            return ::poll(&entry, 1, 0) > 0;
        }
        // WNOWAIT leaves the zombie to the waiter that reaps it.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return errno == ECHILD;
        return info.si_pid == pid;
    }

    bool waitForEnd(std::chrono::milliseconds timeout) const
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (ended())
                return true;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            if (pidfd >= 0) {
                pollfd entry{pidfd, POLLIN, 0};
                ::poll(&entry, 1, static_cast<int>(left.count()));
            } else {
                std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
            }
        }
    }

    // A group's number stays taken while any process of the group lives,
    // whether or not its first process has been reaped; once the group is
    // empty the number comes back only after the kernel has handed out every
    // other free one. So a signal to the group reaches what is left of it,
    // or nothing.
    void signal(int number) const
    {
        if (wholeGroup)
            ::kill(-pid, number);
        else if (pidfd >= 0)
            sendThroughDescriptor(pidfd, number);
        else
            ::kill(pid, number);
    }

    // Nothing left to signal: the child, or with a group every process of
    // it, has ended.
    bool gone() const
    {
        if (!wholeGroup)
            return ended();
        return ::kill(-pid, 0) != 0 && errno == ESRCH;
    }

    // True when nothing was left to signal within `timeout`.
    bool waitUntilGone(std::chrono::milliseconds timeout) const
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        if (!waitForEnd(timeout))
            return false;
        while (!gone()) {
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    const pid_t pid;
    const int pidfd;
    const bool wholeGroup;
    std::atomic<bool> terminated{false};
};

ChildProcess::ChildProcess(pid_t pid, bool wholeGroup)
    : m_state(std::make_shared<State>(pid, wholeGroup))
{
}

pid_t ChildProcess::pid() const
{
    return m_state->pid;
}

int ChildProcess::endDescriptor() const
{
    return m_state->pidfd;
}

bool ChildProcess::hasEnded() const
{
    return m_state->ended();
}

bool ChildProcess::waitForEnd(std::chrono::milliseconds timeout) const
{
    return m_state->waitForEnd(timeout);
}

void ChildProcess::terminate(std::chrono::milliseconds grace) const
{
    if (m_state->terminated.exchange(true) || m_state->gone())
        return;
    m_state->signal(SIGTERM);
    // The watcher keeps the state (and its descriptor) alive on its own.
    std::thread([state = m_state, grace] {
        if (!state->waitUntilGone(grace))
            state->signal(SIGKILL);
    }).detach();
}

void ChildProcess::kill() const
{
    m_state->signal(SIGKILL);
}
