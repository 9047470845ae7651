#pragma once

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>
#include <QThreadPool>
#include <exception>
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>

// Heavy CPU work (parsing a large answer, for instance) moved off the event
// loop's thread onto a thread of the shared pool, which such short work
// cannot run dry (blocking work gets a thread of its own: OwnThread). A
// task that co_awaits the future resumes on its own thread with the
// function's result, or with what the function threw.
//
// Inside a coroutine, keep the future in a named variable before awaiting
// it: GCC 12 destroys the captures of a lambda made within a co_await
// expression twice.
namespace PoolThread {

template<typename Function, typename... Args>
auto run(Function function, Args... args) -> QFuture<std::invoke_result_t<Function &, Args &...>>
{
    using Result = std::invoke_result_t<Function &, Args &...>;
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    // The arguments are moved in, so they also die on the worker thread.
    QThreadPool::globalInstance()->start(
        [promise, function = std::move(function), args = std::make_tuple(std::move(args)...)]() mutable {
            try {
                if constexpr (std::is_void_v<Result>)
                    std::apply(function, args);
                else
                    promise->addResult(std::apply(function, args));
            } catch (...) {
                promise->setException(std::current_exception());
            }
            promise->finish();
            // Free what the work held before the pool lets go of the job.
            args = {};
        });
    return future;
}

} // namespace PoolThread
