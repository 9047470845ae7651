#include "core/parallel.h"

#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <time.h>

namespace Parallel {

namespace {

// How much of its own time the calling thread spends working alone before
// it asks the pool for help: work done by then was not worth threads, whose
// start costs about as much (a small plan is read and written without one).
// Its own time, not the clock's: on a busy machine a thread that waits for
// a core has done no work.
constexpr std::chrono::nanoseconds alone = std::chrono::milliseconds(1);

std::chrono::nanoseconds threadTime()
{
    timespec now {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

constexpr std::chrono::nanoseconds never = std::chrono::nanoseconds::max();

// Shared with the helpers, which may be handed a thread only after the call
// has ended: a helper that comes late finds the work closed and leaves at
// once, and the caller waits only for helpers that have begun.
struct Share {
    const std::function<void(qsizetype)> *work = nullptr;
    qsizetype count = 0;
    qsizetype chunk = 1;
    std::atomic<qsizetype> next{0};
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
    bool closed = false;
    std::exception_ptr thrown;

    // Claims chunks until none is left, or until this thread's time has
    // reached `until`; a call that throws leaves the rest to the others and is reported once.
    void drain(std::chrono::nanoseconds until = never)
    {
        try {
            for (qsizetype from = next.fetch_add(chunk); from < count; from = next.fetch_add(chunk)) {
                const qsizetype to = std::min(count, from + chunk);
                for (qsizetype at = from; at < to; ++at)
                    (*work)(at);
                if (until != never && threadTime() >= until)
                    return;
            }
        } catch (...) {
            const std::lock_guard locked(mutex);
            if (!thrown)
                thrown = std::current_exception();
        }
    }

    bool enter()
    {
        const std::lock_guard locked(mutex);
        if (closed)
            return false;
        ++running;
        return true;
    }

    void leave()
    {
        const std::lock_guard locked(mutex);
        --running;
        ended.notify_all();
    }

    void closeAndWait()
    {
        std::unique_lock locked(mutex);
        closed = true;
        ended.wait(locked, [this] { return running == 0; });
    }
};

void help(const std::shared_ptr<Share> &share)
{
    if (!share->enter())
        return;
    share->drain();
    share->leave();
}

} // namespace

void forEach(qsizetype count, const std::function<void(qsizetype)> &work)
{
    if (count <= 0)
        return;
    const int cores = std::max(1, QThread::idealThreadCount());
    auto share = std::make_shared<Share>();
    share->work = &work;
    share->count = count;
    // A few chunks per core keep the threads evenly busy without a claim
    // for every item.
    share->chunk = std::max<qsizetype>(1, count / (qsizetype(cores) * 8));
    const qsizetype chunks = (count + share->chunk - 1) / share->chunk;
    share->drain(threadTime() + alone);
    const qsizetype left = chunks - std::min(chunks, share->next.load() / share->chunk);
    QThreadPool *const pool = QThreadPool::globalInstance();
    for (qsizetype helpers = 1; helpers < std::min<qsizetype>(left, cores); ++helpers) {
        if (!pool->tryStart([share] { help(share); }))
            break;
    }
    share->drain();
    share->closeAndWait();
    if (share->thrown)
        std::rethrow_exception(share->thrown);
}

} // namespace Parallel
