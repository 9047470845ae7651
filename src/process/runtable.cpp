#include "process/runtable.h"

#include "process/pipepump.h"

RunTable &RunTable::shared()
{
    // Never destroyed: waiters on detached threads may still leave it
    // while the process ends.
    static RunTable *const runs = new RunTable();
    return *runs;
}

bool RunTable::closed()
{
    const std::lock_guard lock(m_mutex);
    return m_closed;
}

void RunTable::add(const ChildProcess &child)
{
    const std::lock_guard lock(m_mutex);
    // One that started while the application ends is ended at once.
    if (m_closed)
        child.terminate(m_grace);
    m_runs.emplace(child.pid(), Entry{child, m_closed});
}

void RunTable::gone(pid_t pid)
{
    const std::lock_guard lock(m_mutex);
    if (m_runs.erase(pid) > 0)
        m_changed.notify_all();
}

bool RunTable::wasEnded(pid_t pid)
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_runs.find(pid);
    return found != m_runs.end() && found->second.ended;
}

void RunTable::endAll(std::chrono::milliseconds grace)
{
    std::unique_lock lock(m_mutex);
    m_closed = true;
    m_grace = grace;
    for (auto &[pid, entry] : m_runs) {
        entry.ended = true;
        entry.child.terminate(grace);
    }
    // A waiter lets go of its run once the run is gone, which the
    // SIGKILL after the grace brings about at the latest.
    const auto until = std::chrono::steady_clock::now() + grace + PipePump::drainAfterEnd + std::chrono::seconds(1);
    while (!m_runs.empty() && std::chrono::steady_clock::now() < until)
        m_changed.wait_for(lock, std::chrono::milliseconds(20));
}

