#pragma once

#include <chrono>
#include <memory>
#include <sys/types.h>

// A started child seen from its starter, for signalling and for noticing
// its end. Signals go through a process descriptor where the kernel has
// them, so a signal sent after the child was reaped can never reach an
// unrelated process that inherited the number. Copies share one state.
class ChildProcess
{
public:
    // Open this before anyone can reap the child. With `wholeGroup` (a child
    // that leads its own process group) every signal goes to the group, so
    // that what the child started ends with it, even once the child itself
    // has ended and been reaped.
    explicit ChildProcess(pid_t pid, bool wholeGroup = false);

    pid_t pid() const;
    // Becomes readable once the child has ended; -1 when the kernel offers
    // no process descriptors (callers then poll hasEnded()).
    int endDescriptor() const;
    bool hasEnded() const;
    // True when the child ended within `timeout`.
    bool waitForEnd(std::chrono::milliseconds timeout) const;

    // SIGTERM once, however often it is called; SIGKILL when the child (or
    // anything left in its group) is still running `grace` later, so a
    // process that ignores SIGTERM cannot keep a stopped run alive.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(10)) const;
    void kill() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
