#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
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
namespace RunMarks {

// The environment variable that holds a run's token.
QString tokenVariable();

// A fresh token: 32 random hexadecimal digits.
QByteArray newToken();

struct Mark {
    QByteArray token;
    // The folder the run was started for, as the file system knows it
    // (device and inode, see placeOf), written before the run starts: a
    // record copied with its folder names the original's run, which is not
    // the copy's to end. Empty in an older record.
    QString place;
    // The folder the record is read from. Not written in the record.
    QString folder;

    bool operator==(const Mark &) const = default;
};

// The identity of the folder `dir` ("<device>:<inode>"); empty when it
// cannot be read. A copy has another, a rename keeps it.
QString placeOf(const QString &dir);

// The living processes that carry `token`: never a zombie, nor a process we
// may not look into.
QList<pid_t> carriers(const QByteArray &token);

// Whether the marked run was started for the folder its record is read
// from (or the record is older than places): false for a record copied
// with its folder, whose run is the original's.
bool startedHere(const Mark &mark);

// True while any process of the marked run lives, wherever it works.
bool alive(const Mark &mark);

// Ends the marked run when it was started for the folder the record is
// read from: SIGKILL to every process that carries its token (its
// namespace goes with its first process), and waits up to `grace` for all
// of them to be gone. True when nothing of it runs any more; false while
// any of it lives, also when it is another folder's run (a copied record),
// which is not ours to end: nothing may be rolled back under it.
bool end(const Mark &mark, std::chrono::milliseconds grace = std::chrono::seconds(2));

// Sends `number` to every living process that carries `token`, each
// through a descriptor opened before its token is checked once more, and
// gives how many it reached; those in `except` are left out.
int signalCarriers(const QByteArray &token, int number, const QList<pid_t> &except = {});

// The same for every token of `tokens`, in one look at every process.
int signalCarriers(const QSet<QByteArray> &tokens, int number);

// The living (not zombie) processes of the process group `group` that we
// may signal.
QList<pid_t> inGroup(pid_t group);

// Sends `number` to every living process of the group `group` but its
// leader (a run's holder, which ends the rest itself), each through a
// descriptor opened before its group is checked once more.
void signalMembers(pid_t group, int number);

// Our children that have ended and wait to be reaped.
QList<pid_t> zombieChildren();

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

// The mark as one line of text ("run <token> <place>"), and back.
QString toText(const Mark &mark);
std::optional<Mark> fromText(const QString &text);

} // namespace RunMarks
