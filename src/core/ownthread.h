#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
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

} // namespace OwnThread
