#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <sys/types.h>

// Starting a child by absolute path, the way Spawn makes every child (the
// watcher it forks where runs get no namespaces runs no program, a run's
// holder is made here too, and Qt starts none for us): an explicit environment, its descriptors 0 to 2 as the
// caller lays them out, then its working folder, every other descriptor
// closed, and default signal handling with nothing blocked (our ignored
// SIGPIPE must not reach it). posix_spawn would do all of that but cannot
// set a death signal, so the child is made the way posix_spawn makes it: a
// clone that shares our memory, with us stopped, until it runs the program.
namespace PosixSpawn {

// Lays out the child's descriptors 0, 1 and 2. Runs in the child, which
// shares our memory while it runs: only system calls, no allocation, no
// lock. Returns 0, or the error number of the call that failed.
using Descriptors = std::function<int()>;

struct Options {
    // The child leads a process group of its own.
    bool ownGroup = false;
    // The child leads a session of its own (and so a group); a terminal it
    // then opens becomes its controlling terminal.
    bool newSession = false;
    // The child gets SIGKILL as soon as the thread that started it ends,
    // however it ends: a kill of the application included. So the starting
    // thread must live as long as the application.
    bool tied = false;
    // Descriptors below this number are the child's, laid out by the
    // caller; every other one is closed.
    int kept = 3;
    // The child holds the run rather than being its program: forked, not
    // cloned on our memory, as it outlives the start. It takes the group or
    // session and the descriptors, adopts every orphan of the run (as a
    // subreaper, whatever group or environment the orphan chose) and
    // starts the program as its own child. Once the program has ended, or
    // the thread that started the holder (with `tied`), it kills what is
    // left of the run, reaps it and ends with the program's status (128 +
    // the signal when a signal ended it). It ignores every signal but
    // SIGKILL: a stop reaches the program through the group.
    bool holdsOrphans = false;
};

// Returns 0 and sets `pid`, or the error number of the failed step.
int start(pid_t &pid, const QString &path, const QStringList &args, const QMap<QString, QString> &env,
          const QString &cwd, const Descriptors &descriptors, const Options &options = {});

} // namespace PosixSpawn
