#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// How the command line's long modes live: the operation starts on the event
// loop, a printer looks at it each time it says something changed, and the
// printer or a stop signal ends the process, with one rule for every mode.
namespace HeadlessRun {

// What the command line sees of an operation at one look.
struct Look {
    enum class Kind { idle, running, done, failed };
    Kind kind = Kind::idle;
    // done: the lines for standard output; failed: the message for
    // standard error.
    QStringList out;
    QString err;
};

struct Operation {
    std::function<void()> start;
    // The operation now. It is running for as long as anything it started
    // may still change the plan folder, putting it back after a stop
    // included.
    std::function<Look()> look;
    // The progress lines that came since the last call.
    std::function<QStringList()> progress;
    // Stops it; it then fails (and puts the folder back), or completes when
    // the stop came too late to undo it.
    std::function<void()> cancel;
    // Hands over what to call whenever `look` or `progress` may give
    // something new; the operation is looked at then, and at no other time,
    // so the process ends as soon as the operation does.
    std::function<void(std::function<void()> changed)> watch;
};

// Runs the operation and ends the process once it is over, with a status
// that says which plan the folder holds: 0 and its lines once it completed,
// even when a stop came too late to undo it; after a failure, 1, or 128 +
// the signal when a stop (SIGINT, SIGTERM, SIGHUP) ended it. A stop before
// it started ends the process at once with 128 + the signal.
[[noreturn]] void follow(Operation operation);

// Writes lines to standard output, each ending in a line feed, and flushes.
void print(const QStringList &lines);

} // namespace HeadlessRun
