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
namespace Spawn {

using Failure = SpawnFailure;
// The child's whole environment: nothing is inherited beyond it.
using Environment = QMap<QString, QString>;

// A child that stops reading must be reported, not kill the application.
// Called once at start-up; children still get the default disposition.
void ignoreSigpipe();

// This process's environment as a map to pass on or modify.
Environment processEnvironment();

// The failure for the start error `error` (an errno value).
SpawnFailure startFailure(int error);

// Starts `path` (absolute; PATH is never searched) with `args` after the
// program name, `env` as its whole environment, `cwd` as its working folder
// (kept when empty) and the three descriptors as its standard input, output
// and error. The caller closes its copies of the child's ends afterwards.
// With `ownGroup` the child leads a process group of its own, so that
// whatever it starts (a shell's pipeline, Claude's servers and commands)
// can be signalled with it, and is tied to the application's life: it gets
// SIGKILL should the application die (started from one thread that lives
// as long as the application), and endChildren ends its group.
// Throws SpawnFailure.
pid_t run(const QString &path, const QStringList &args, const Environment &env, const QString &cwd, int stdinFd,
          int stdoutFd, int stderrFd, bool ownGroup = false);

// Resumes the awaiting task on its own thread once the child has ended:
// its exit code, 128 + the signal number when a signal ended it, or -1 when
// the child cannot be waited for (it was never ours or is already reaped).
QCoro::Task<int> wait(pid_t pid);

// How long a short command that was stopped has to end before whatever is
// left of its process group gets SIGKILL.
constexpr std::chrono::milliseconds stopGrace = std::chrono::seconds(2);

// Runs a short command in the temporary folder with standard input at end
// of file and gives its standard output: "" when it printed nothing,
// nothing when it could not start, printed bytes that are not UTF-8, or
// outlived `timeout` (it is then killed). A command with a time-out leads
// a process group of its own, which its end takes along, and cancelling
// `stop` ends it (SIGTERM, SIGKILL after the stop grace) with nothing.
std::optional<QString> output(const QString &path, const QStringList &args, const Environment &env,
                              std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                              const CancelToken &stop = CancelToken());
// `output` as the bytes printed, for output that need not be UTF-8, such as
// file names.
std::optional<QByteArray> outputBytes(const QString &path, const QStringList &args, const Environment &env,
                                      std::optional<std::chrono::milliseconds> timeout = std::nullopt,
                                      const CancelToken &stop = CancelToken());

// Ends every child that leads a group of its own, whoever started it (the
// commands with a time-out, Claude's runs, the setup jobs), with whatever
// is left in its group: SIGTERM to the group, SIGKILL after `grace`.
// Returns once their waiters have reaped them and their groups are gone.
// For the application's end, which no child may outlive: from then on such
// a child is ended as it starts, and a command with a time-out gives
// nothing.
void endChildren(std::chrono::milliseconds grace = stopGrace);

// `output` for a task: the command runs and is waited for on a thread of
// its own, and the awaiting task resumes on its own thread. Nothing stops
// the command early; it runs to its end.
QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env);
// `outputBytes` for a task, run like `outputAsync`.
QCoro::Task<std::optional<QByteArray>> outputBytesAsync(QString path, QStringList args, Environment env);

} // namespace Spawn
