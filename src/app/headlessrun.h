#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// How the command line's long modes live: the operation starts on the event
// loop, a printer looks at its published progress every half second, and
// the printer alone ends the process.
namespace HeadlessRun {

// Runs the event loop for good: `start` runs once it turns, and `tick`
// every 0.5 s from then on (the first look 0.5 s after the start). `tick`
// ends the process with std::exit when the operation is over.
[[noreturn]] void keepAlive(std::function<void()> start, std::function<void()> tick);

// Keeps the process alive while the shared Generator runs what `start`
// starts, printing every log line once, in order, however many come
// between two looks; then "완료: <folder>" (exit 0) or "실패: <message>" on
// standard error (exit 1).
[[noreturn]] void followGeneration(std::function<void()> start);

// SIGINT and SIGTERM no longer end the process at once: `stop` runs on the
// event loop with the signal's number, and the operation ends as stopped.
void onStopSignals(std::function<void(int)> stop);

// Writes lines to standard output, each ending in a line feed, and flushes.
void print(const QStringList &lines);

} // namespace HeadlessRun
