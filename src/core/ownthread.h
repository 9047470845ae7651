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
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

// Blocking work (a child process, a login shell, git) on a thread of its
// own, never the shared pool, whose result is handed to `done` on the main
// thread. `done` runs only while `receiver` still exists, so a window closed
// in the meantime receives nothing.
namespace OwnThread {

template<typename Work, typename Done>
void run(QObject *receiver, Work work, Done done)
{
    std::thread([receiver = QPointer<QObject>(receiver), work = std::move(work), done = std::move(done)]() mutable {
        auto result = work();
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
    }).detach();
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
    };
    const auto pending = std::make_shared<Pending>();
    pending->promise.start();
    const QFuture<Result> future = pending->promise.future();
    std::thread([pending, work = std::move(work)]() mutable { pending->settle(work()); }).detach();
    const CancelToken::Registration stop = cancel.onCancel([pending] { pending->settle(std::nullopt); });
    co_return co_await future;
}

} // namespace OwnThread
