#pragma once

#include "process/childprocess.h"

#include <QByteArray>
#include <QFuture>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

// The three pipes of one child and the loop that feeds its standard input
// while reading its standard output and error at the same time, so a child
// that fills one pipe never blocks on the other. The loop ends when both
// outputs are closed, or at most two seconds after the child itself ended:
// a grandchild that inherited a pipe (a server the tool started, a shell
// left behind) must not keep the run alive.
class PipePump
{
public:
    using Sink = std::function<void(const QByteArray &)>;
    using Clock = std::chrono::steady_clock;
    // How long the loop still reads once the child itself has ended.
    static constexpr std::chrono::seconds drainAfterEnd{2};

    // Throws SpawnFailure when no pipe can be made.
    PipePump();
    ~PipePump();
    PipePump(const PipePump &) = delete;
    PipePump &operator=(const PipePump &) = delete;

    // The ends to hand to Spawn::run.
    int childInput() const;
    int childOutput() const;
    int childError() const;
    // Called once the child holds its own copies, so end of file can reach
    // both sides.
    void closeChildEnds();

    // Runs the loop on a thread of its own; the future finishes with it.
    // The sinks are called on that thread.
    QFuture<void> start(ChildProcess child, QByteArray input, Sink output, Sink error);
    // Runs the loop on the calling thread; false when `deadline` came first.
    bool pump(const ChildProcess &child, const QByteArray &input, const Sink &output, const Sink &error,
              std::optional<Clock::time_point> deadline);

private:
    struct Pipe {
        int parent = -1;
        int child = -1;
    };

    void closeParentEnds();

    Pipe m_input;
    Pipe m_output;
    Pipe m_error;
    int m_wake = -1;
    std::thread m_thread;
};
