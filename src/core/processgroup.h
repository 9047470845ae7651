#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <chrono>
#include <optional>
#include <sys/types.h>

// A run: one child of this program with everything it starts, at any
// depth. Each run carries a token of its own in the environment of the
// process we start (QUARRYSTONE_RUN), which no other process has unless it
// descends from the run, and, where the system offers them, a PID namespace
// of its own, which the kernel empties whole once its first process dies.
// A mark names a run in a record another process reads later: numbers
// alone (a pid, a group) can be handed out again or written by anyone.
namespace ProcessGroup {

// The environment variable that holds a run's token.
QString tokenVariable();

// A fresh token: 32 random hexadecimal digits.
QByteArray newToken();

struct Mark {
    QByteArray token;
    // The folder the run worked in. Only a run started in this folder is
    // ended through the mark: a record copied with its folder names the
    // original's run, which is not the copy's to end. Not written in the
    // record: it is the folder the record is read from.
    QString folder;

    bool operator==(const Mark &) const = default;
};

// The mark of the run whose first process is `leader`; nothing when the
// process is gone or carries no token.
std::optional<Mark> markOf(pid_t leader);

// True while any process of the marked run lives in the marked folder.
bool alive(const Mark &mark);

// Ends the marked run, if one of its processes works in the marked folder:
// SIGKILL to every process that carries its token (its namespace goes with
// its first process), and waits up to `grace` for all of them to be gone.
// True when nothing of it runs any more.
bool end(const Mark &mark, std::chrono::milliseconds grace = std::chrono::seconds(2));

// The PID namespace of the process, as /proc numbers it; 0 when unknown.
quint64 namespaceOf(pid_t pid);

// The processes in the PID namespace `inode`, as /proc names it
// ("pid:[<inode>]"), but `except`.
QList<pid_t> inNamespace(quint64 inode, pid_t except = 0);

// A descriptor of the process `pid` (-1 when it is gone), and a signal sent
// through one: it reaches the process the descriptor was opened for, never
// another that was handed the number later. 0 when sent.
int openDescriptor(pid_t pid);
int signalThrough(int descriptor, int number);

// The mark as one line of text ("run <token>"), and back.
QString toText(const Mark &mark);
std::optional<Mark> fromText(const QString &text);

} // namespace ProcessGroup
