#pragma once

#include "core/canceltoken.h"

#include <QCoroTask>
#include <QMap>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <sys/types.h>

// A child process that could not be started.
struct SpawnFailure {
    QString message;
};

// Child processes started by absolute path with an explicit environment and
// no descriptor of ours but the three standard ones.
//
// Every child but the update's swap script starts a run, which ends as a
// whole on a stop, on quit and when the application itself is killed and
// runs no code of its own. Every process of a run carries a token of its
// own in its environment (see RunMarks), which names it in records and
// finds what left the run's group or namespace.
//
// Where the system lets us make PID namespaces, the child runs under
// bubblewrap (/usr/bin/bwrap) in a namespace of its own whose first process gets SIGKILL when bwrap dies, which gets it
// when the application dies; the kernel then kills everything in the
// namespace. The program starts only once that tie holds and the
// application is still there. The run sees a /proc of its own, so that its
// numbers ($$, /proc/self, a walk of its process tree) are its own. Where
// it cannot, the child is a holder of the run (named qs-run-holder) that
// leads a process group of its own, tied to the application by a death
// signal, and starts the program: it adopts every orphan of the run, so
// that what left the group and cleared its environment (a daemon) is still
// found, and ends all of it once the program has ended or the application
// has. A watcher process (named qs-run-watcher) also ends every process in
// those groups but their holders and every process that carries one of
// their tokens once the application's end of a pipe closes; that is said
// once on standard error.
//
// Claude's runs, checks and git run in a namespace wherever one can be
// made. A run the person watches as in their own terminal (a setup job, a
// login) needs their own privileges (sudo, setuid helpers, other users'
// files as they are): it never gets a user namespace, so as anyone but root
// it is kept together the fallback's way.
namespace Spawn {

using Failure = SpawnFailure;
// The child's whole environment: nothing is inherited beyond it.
using Environment = QMap<QString, QString>;

// What a confined run may change: nothing but these folders and files
// (which must exist, given by their real paths: no link on the way), each
// writable at its own place, while it still reads whatever the person can.
// It keeps no capability, also when started by root, so it cannot remount
// anything writable.
//
// It reaches nothing of the person's by connecting: it has a network of its
// own (see OwnNetwork), in which neither the host's loopback services nor
// any abstract unix socket (X's "@/tmp/.X11-unix/X0", a bus at
// "unix:abstract=…") is found, with the outside reached through a network
// stack that refuses the host's loopback; and it makes no unix socket at
// all (see SocketFilter), so that no socket under the home, /run or /tmp
// (an ssh master connection, gpg-agent, a container engine) answers it,
// whatever the mounts show. It does not start where no network of its own
// can be made. Besides, the display, Wayland and bus variables are unset,
// the runtime folder ($XDG_RUNTIME_DIR, /run/user/<uid>) is an empty one of
// its own and the system bus's and systemd's folders are hidden.
struct Confinement {
    QStringList writable;
    // Places that stay read-only: within the writable ones, files or
    // folders something outside the run later follows, such as a
    // worktree's .git; within /tmp or the runtime folder, what the run
    // reads there (its program, its settings, the person's home).
    QStringList readOnly;
    // A private temporary folder: the run's own /tmp and TMPDIR, in which
    // nothing of the shared /tmp shows but the read-only places. Empty: no
    // private /tmp, nothing writable there.
    QString temporary;
    // Set for the run over its environment.
    Environment environment;
    // Files the run finds empty and cannot write (a credential kept for its
    // program, which is handed it otherwise).
    QStringList hidden{};
};

struct Options {
    // Run confined; only where runs get namespaces (confinementWorks()).
    std::optional<Confinement> confinement{};
    // The terminal device (a pseudo-terminal's other side) the run gets as
    // its standard input, output and error and as its controlling terminal,
    // in a session of its own; the three descriptors are then unused.
    QByteArray terminal{};
    // The child is no run and outlives the application on purpose: only
    // the update's swap script, which replaces the application after it
    // has quit, and the program that opens an address in the person's
    // browser. The caller waits for it.
    bool outlivesApplication = false;
    // The run's token, known before it starts so that a record can name it
    // first; a fresh one when empty.
    QByteArray token{};
    // The person watches the run as in their own terminal (see above).
    bool likeTheirTerminal = false;
};

// A child that stops reading must be reported, not kill the application.
// Called once at start-up; children still get the default disposition.
void ignoreSigpipe();

// This process's environment as a map to pass on or modify.
Environment processEnvironment();

// Of this process's environment, the variables named in `names` and those
// whose names start with one of `prefixes`: what a child is allowed to
// take along, everything else left out.
Environment allowedEnvironment(const QStringList &names, const QStringList &prefixes);

// The failure for the start error `error` (an errno value).
SpawnFailure startFailure(int error);

// Whether a run can be confined here (bubblewrap can make the namespaces
// and mounts it needs). Asked once, then remembered.
bool confinementWorks();

// Starts `path` (absolute; PATH is never searched) with `args` after the
// program name, `env` as its whole environment (plus the run's token),
// `cwd` as its working folder (kept when empty) and the three descriptors
// as its standard input, output and error. The caller closes its copies of
// the child's ends afterwards. The exit status is the program's, as
// without a run: its code, or 128 + the signal that ended it. Throws
// SpawnFailure.
pid_t run(const QString &path, const QStringList &args, const Environment &env, const QString &cwd, int stdinFd,
          int stdoutFd, int stderrFd, const Options &options = {});

// Resumes the awaiting task on its own thread once the child has ended
// and, for a run, once everything the run started has ended too (what is
// left when its program ends is killed): its exit code, 128 + the signal
// number when a signal ended it, or -1 when the child cannot be waited for
// (it was never ours or is already reaped).
QCoro::Task<int> wait(pid_t pid);

// How long a short command that was stopped has to end before whatever is
// left of its run gets SIGKILL.
constexpr std::chrono::milliseconds stopGrace = std::chrono::seconds(2);

// Runs a short command in the temporary folder with standard input at end
// of file and gives its standard output: "" when it printed nothing,
// nothing when it could not start, printed bytes that are not UTF-8, or
// outlived `timeout` (it is then killed with its whole run). Cancelling
// `stop` ends the run (SIGTERM, SIGKILL after the stop grace) with nothing.
std::optional<QString> output(const QString &path, const QStringList &args, const Environment &env,
                              std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                              const CancelToken &stop = CancelToken());
// `output` as the bytes printed, for output that need not be UTF-8, such as
// file names.
std::optional<QByteArray> outputBytes(const QString &path, const QStringList &args, const Environment &env,
                                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                                      const CancelToken &stop = CancelToken());

// Ends every run, whoever started it (commands, Claude's runs, the setup
// jobs, git): SIGTERM to all of each run, SIGKILL after `grace`. Returns
// once their waiters have reaped them and nothing of them is left, or, at
// the latest, a moment after the grace, whatever is left (a process we may
// not signal). For the application's end, which no child may outlive: from
// then on a run is ended as it starts, and a short command gives nothing.
void endChildren(std::chrono::milliseconds grace = stopGrace);

// `output` for a task: the command runs and is waited for on a thread of
// its own, and the awaiting task resumes on its own thread. Nothing stops
// the command early; it runs to its end.
QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env);
// `outputBytes` for a task, run like `outputAsync`.
QCoro::Task<std::optional<QByteArray>> outputBytesAsync(QString path, QStringList args, Environment env);

} // namespace Spawn
