#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <chrono>
#include <functional>
#include <memory>
#include <sys/types.h>

// A started child seen from its starter, for signalling and for noticing
// its end. Signals go through a process descriptor where the kernel has
// them, so a signal sent after the child was reaped can never reach an
// unrelated process that inherited the number. Copies share one state.
//
// A child that starts a run (every child but the update's swap script and
// the opening of an address, see Spawn::run) is handled as the run: signals
// reach what the run started, and it has ended only once nothing of it is
// left. "The run" is its namespace, or where it has none its process group,
// led by a holder that adopts the run's orphans and is never signalled but
// ends the rest itself, and in either case every process that carries its
// token: a process that left the group (a daemon) or made a namespace of
// its own still carries it, unless it emptied its environment.
class ChildProcess
{
public:
    // How the spawner keeps a run together.
    struct Run {
        // The first process of the run's PID namespace as we number it, and
        // the namespace; both 0 where the run has none and is instead the
        // process group the child leads.
        pid_t init = 0;
        quint64 ns = 0;
        // The token every process of the run carries (see RunMarks).
        QByteArray token;
    };

    // Registers the child `pid` as starting a run, before anyone can reap
    // it; `describe` is asked once, on first need or by describe(), and may
    // block briefly (until the run's namespace exists).
    static void startsRun(pid_t pid, std::function<Run()> describe);
    // Forgets the run of `pid` once it is reaped and gone: the number may be
    // handed out again.
    static void forgetRun(pid_t pid);

    // Open this before anyone can reap the child.
    explicit ChildProcess(pid_t pid);

    // Asks the run's description now. Called while its first process is
    // known to exist (it waits on the gate for our word), so that the
    // description names that process and not one that took its number.
    void describe() const;

    pid_t pid() const;
    // The run's token; empty for a child that starts none.
    QByteArray token() const;
    // Becomes readable once the child has ended; -1 when the kernel offers
    // no process descriptors (callers then poll childHasEnded()).
    int endDescriptor() const;
    // The child itself has ended, whatever is left of its run.
    bool childHasEnded() const;
    // True when the child ended within `timeout`.
    bool waitForChildEnd(std::chrono::milliseconds timeout) const;
    // The child has ended and, for a run, every process of the run too.
    bool runIsGone() const;
    // Waits until runIsGone(); true when that came within `timeout`.
    bool waitUntilRunIsGone(std::chrono::milliseconds timeout) const;

    // SIGTERM once, however often it is called, to every process of the
    // run we can find (its namespace or group and the token's carriers) but
    // the namespace's own first one (its end would end the rest at once);
    // SIGKILL to all of it when anything of it is still running `grace`
    // later, so a process that ignores SIGTERM cannot keep a stopped run
    // alive.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(10)) const;
    void kill() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
