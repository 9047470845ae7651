#pragma once

#include "core/canceltoken.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QPromise>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

// Blocking work (a child process, a login shell, git, a folder's files) on
// a thread of its own, never the shared pool: a command such as a large
// `git worktree add` must neither block the event loop nor hold a pool
// thread.
namespace OwnThread {

// The one way such a thread is made: it runs `work` and posts its result
// (nothing for work that gives none) through `post`, on that thread. `post`
// may reach only what outlives the thread.
template<typename Work, typename Post>
void detach(Work work, Post post)
{
    std::thread([work = std::move(work), post = std::move(post)]() mutable {
        if constexpr (std::is_void_v<std::invoke_result_t<Work &>>) {
            work();
            post();
        } else {
            post(work());
        }
    }).detach();
}

// The work's result for a task to await; it resumes on the thread.
template<typename Work>
QFuture<std::invoke_result_t<Work &>> future(Work work)
{
    using Result = std::invoke_result_t<Work &>;
    auto promise = std::make_shared<QPromise<Result>>();
    promise->start();
    QFuture<Result> done = promise->future();
    detach(std::move(work), [promise](Result result) {
        promise->addResult(std::move(result));
        promise->finish();
    });
    return done;
}

// The result handed to `done` on the main thread. `done` runs only while
// `receiver` still exists, so a window closed in the meantime receives
// nothing.
template<typename Work, typename Done>
void run(QObject *receiver, Work work, Done done)
{
    detach(std::move(work), [receiver = QPointer<QObject>(receiver), done = std::move(done)](auto result) mutable {
        // The application object lives until the end, unlike the receiver;
        // the receiver is looked at only on the main thread.
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app,
                [receiver, result = std::move(result), done = std::move(done)]() mutable {
                    if (receiver)
                        done(std::move(result));
                },
                Qt::QueuedConnection);
    });
}

// The same for a task: it goes on, on its own thread, with the work's
// result, or with nothing as soon as `cancel` is cancelled. Work that cannot
// be interrupted (a call into the secret store) then ends unheeded.
template<typename Work>
auto result(Work work, CancelToken cancel) -> QCoro::Task<std::optional<std::invoke_result_t<Work &>>>
{
    using Result = std::optional<std::invoke_result_t<Work &>>;
    struct Pending {
        std::mutex mutex;
        bool settled = false;
        QPromise<Result> promise;

        void settle(Result value)
        {
            const std::lock_guard locked(mutex);
            if (settled)
                return;
            settled = true;
            promise.addResult(std::move(value));
            promise.finish();
        }

        // What the work threw goes on to the task, as if thrown there.
        void fail(std::exception_ptr thrown)
        {
            const std::lock_guard locked(mutex);
            if (settled)
                return;
            settled = true;
            promise.setException(thrown);
            promise.finish();
        }
    };
    const auto pending = std::make_shared<Pending>();
    pending->promise.start();
    const QFuture<Result> future = pending->promise.future();
    detach(
        [pending, work = std::move(work)]() mutable {
            try {
                pending->settle(work());
            } catch (...) {
                pending->fail(std::current_exception());
            }
        },
        [] {});
    const CancelToken::Registration stop = cancel.onCancel([pending] { pending->settle(std::nullopt); });
    co_return co_await future;
}

} // namespace OwnThread
