#pragma once

#include "process/spawn.h"

#include <QString>
#include <QStringList>
#include <sys/types.h>

// A child that runs on a pseudo-terminal of its own, for tools that only
// ask for a login code when they talk to a terminal. The child is a run
// (Spawn::run) in a new session with the terminal as its controlling
// terminal and as its standard input, output and error; nothing else of
// ours is open in it. The person watches it as in their own terminal
// (Spawn::Options::likeTheirTerminal). No shell string is built: the
// arguments reach the program as they are.
namespace Pty {

struct Child {
    pid_t pid = -1;
    // Our side of the terminal, close-on-exec and non-blocking: what the
    // child prints is read here, and what is written here the child reads as
    // typed input.
    int terminal = -1;
};

// Starts `path` (absolute; PATH is never searched) with `args` after the
// program name, `env` as its whole environment and `cwd` as its working
// folder (kept when empty). The caller closes `terminal` and waits for the
// child (Spawn::wait). Throws SpawnFailure.
Child start(const QString &path, const QStringList &args, const Spawn::Environment &env, const QString &cwd);

} // namespace Pty
