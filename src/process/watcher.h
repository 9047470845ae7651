#pragma once

#include <QByteArray>
#include <QMap>
#include <atomic>
#include <mutex>
#include <sys/types.h>

// The fallback where no PID namespace can be made: a process forked from
// this one, before the first run starts, that holds the reading end of a
// pipe whose writing end only this process has. It learns each run's
// process group and token as the run starts and forgets them once the run
// is gone; when this process ends, however it ends, the pipe closes and the
// watcher kills every process of the groups it still knows but their
// holders (which end the rest, orphans included) and every process that
// carries one of the tokens, also those that left their group. It has a
// name of its own, so that `pkill quarrystone` leaves it to do its work;
// should it end anyway, the next run notices and starts another.
class Watcher
{
public:
    static Watcher &shared();

    // Forgets the run of `group` if a watcher was ever started for one.
    static void forget(pid_t group);

    void add(pid_t group, const QByteArray &token);
    void remove(pid_t group);

private:
    Watcher();

    static inline std::atomic<bool> started{false};

    void start();
    // The watcher is gone (the write found no reader): it is reaped, and
    // another learns every run still going.
    void restart();
    bool tell(pid_t group, const QByteArray &token);

    std::mutex m_mutex;
    QMap<pid_t, QByteArray> m_runs;
    pid_t m_pid = -1;
    int m_pipe = -1;
};
