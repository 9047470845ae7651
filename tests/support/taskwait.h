#pragma once

#include <QCoroTask>
#include <QEventLoop>
#include <exception>
#include <optional>

// Runs the event loop until a task has finished and gives its value, or
// throws what it threw (QCoro::waitFor would wait forever on a throw).
namespace TaskWait {

namespace detail {

template<typename T>
QCoro::Task<> capture(QCoro::Task<T> task, std::optional<T> &value, std::exception_ptr &error, bool &done,
                      QEventLoop &loop)
{
    try {
        value = co_await task;
    } catch (...) {
        error = std::current_exception();
    }
    done = true;
    loop.quit();
}

} // namespace detail

template<typename T>
T result(QCoro::Task<T> task)
{
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    detail::capture(std::move(task), value, error, done, loop);
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
    return std::move(*value);
}

} // namespace TaskWait
