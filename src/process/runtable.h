#pragma once

#include "process/childprocess.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sys/types.h>

// Every run from its start until it has been reaped and nothing of it is
// left, so that the application's end can end them all.
class RunTable
{
public:
    static RunTable &shared();

    bool closed();
    void add(const ChildProcess &child);
    void gone(pid_t pid);
    // Whether the application's end has ended this run.
    bool wasEnded(pid_t pid);
    void endAll(std::chrono::milliseconds grace);

private:
    struct Entry {
        ChildProcess child;
        bool ended;
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<pid_t, Entry> m_runs;
    bool m_closed = false;
    std::chrono::milliseconds m_grace{0};
};
