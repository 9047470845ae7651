#include "core/parallel.h"

#include <QScopeGuard>
#include <QSemaphore>
#include <QThreadPool>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <stdexcept>

// Work spread from inside the pool, and nested once more inside that work,
// ends on a pool of one thread as on a larger one: every item runs once and
// the results come in order. What an item throws reaches the caller.
TEST(Parallel, EndsInsideAFullPoolOfAnySize)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    const auto restore = qScopeGuard([&] { pool->setMaxThreadCount(threads); });
    for (const int size : {1, 2, 4}) {
        SCOPED_TRACE(size);
        pool->setMaxThreadCount(size);
        QList<qsizetype> sums;
        QSemaphore ended;
        for (int task = 0; task < size; ++task) {
            pool->start([&sums, &ended, task] {
                const QList<qsizetype> inner = Parallel::map<qsizetype>(300, [](qsizetype at) {
                    std::atomic<qsizetype> sum{0};
                    Parallel::forEach(at, [&sum](qsizetype i) { sum += i; });
                    return sum.load();
                });
                if (task == 0)
                    sums = inner;
                ended.release();
            });
        }
        if (!ended.tryAcquire(size, 60000)) {
            // Work stuck on the pool can never be joined, and the pool
            // would wait for it at exit.
            std::fprintf(stderr, "spread work on a pool of %d threads never ended\n", size);
            std::_Exit(EXIT_FAILURE);
        }
        ASSERT_EQ(sums.size(), 300);
        for (qsizetype at = 0; at < sums.size(); ++at)
            EXPECT_EQ(sums[at], at * (at - 1) / 2);
    }
    EXPECT_THROW(Parallel::forEach(100, [](qsizetype at) {
                     if (at == 57)
                         throw std::runtime_error("item 57");
                 }),
                 std::runtime_error);
}
