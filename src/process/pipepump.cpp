#include "process/pipepump.h"

#include "process/spawn.h"

#include <QPromise>
#include <algorithm>
#include <iterator>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Without process descriptors the child's end is looked for this often.
constexpr int endCheckMs = 50;
constexpr qsizetype chunk = 64 * 1024;

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool retryable(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

// Reads what is there; closes the descriptor at end of file or on an error.
void readChunk(int &fd, const PipePump::Sink &sink)
{
    char buffer[chunk];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0)
        sink(QByteArray(buffer, n));
    else if (n == 0 || !retryable(errno))
        closeFd(fd);
}

// A child that stopped reading (or exited) ends the writing; the run then
// reports what the child said, not the broken pipe.
void writeChunk(int &fd, const QByteArray &input, qsizetype &written)
{
    const qsizetype size = std::min(chunk, input.size() - written);
    const ssize_t n = ::write(fd, input.constData() + written, static_cast<size_t>(size));
    if (n > 0)
        written += n;
    else if (n < 0 && !retryable(errno))
        closeFd(fd);
    if (written >= input.size())
        closeFd(fd);
}

int millisecondsUntil(PipePump::Clock::time_point when, PipePump::Clock::time_point now)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

int earlier(int timeoutMs, int candidateMs)
{
    return timeoutMs < 0 ? candidateMs : std::min(timeoutMs, candidateMs);
}

} // namespace

PipePump::PipePump()
{
    Pipe *pipes[] = {&m_input, &m_output, &m_error};
    for (Pipe *pipe : pipes) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            const int error = errno;
            closeChildEnds();
            closeParentEnds();
            throw Spawn::startFailure(error);
        }
        const bool parentWrites = pipe == &m_input;
        pipe->parent = parentWrites ? ends[1] : ends[0];
        pipe->child = parentWrites ? ends[0] : ends[1];
        // Only our ends: the child's stay blocking as programs expect.
        ::fcntl(pipe->parent, F_SETFL, ::fcntl(pipe->parent, F_GETFL) | O_NONBLOCK);
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) {
        const int error = errno;
        closeChildEnds();
        closeParentEnds();
        throw Spawn::startFailure(error);
    }
}

PipePump::~PipePump()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    closeChildEnds();
    closeParentEnds();
    ::close(m_wake);
}

int PipePump::childInput() const
{
    return m_input.child;
}

int PipePump::childOutput() const
{
    return m_output.child;
}

int PipePump::childError() const
{
    return m_error.child;
}

void PipePump::closeChildEnds()
{
    closeFd(m_input.child);
    closeFd(m_output.child);
    closeFd(m_error.child);
}

void PipePump::closeParentEnds()
{
    closeFd(m_input.parent);
    closeFd(m_output.parent);
    closeFd(m_error.parent);
}

QFuture<void> PipePump::start(ChildProcess child, QByteArray input, Sink output, Sink error)
{
    QPromise<void> promise;
    QFuture<void> future = promise.future();
    promise.start();
    m_thread = std::thread([this, child = std::move(child), input = std::move(input), output = std::move(output),
                            error = std::move(error), promise = std::move(promise)]() mutable {
        pump(child, input, output, error, std::nullopt);
        promise.finish();
    });
    return future;
}

bool PipePump::pump(const ChildProcess &child, const QByteArray &input, const Sink &output, const Sink &error,
                    std::optional<Clock::time_point> deadline)
{
    qsizetype written = 0;
    if (input.isEmpty())
        closeFd(m_input.parent);
    bool ended = false;
    Clock::time_point drainUntil;
    bool finished = true;

    for (;;) {
        if (m_output.parent < 0 && m_error.parent < 0 && (m_input.parent < 0 || ended))
            break;
        const auto now = Clock::now();
        if (ended && now >= drainUntil)
            break;
        if (deadline && now >= *deadline) {
            finished = false;
            break;
        }

        // Unwatched descriptors get the slot past the end, never ready.
        pollfd fds[5];
        nfds_t count = 0;
        auto watch = [&](int fd, short events) {
            if (fd < 0)
                return nfds_t(std::size(fds));
            fds[count] = pollfd{fd, events, 0};
            return count++;
        };
        const nfds_t wakeAt = watch(m_wake, POLLIN);
        const nfds_t endAt = watch(ended ? -1 : child.endDescriptor(), POLLIN);
        const nfds_t inputAt = watch(m_input.parent, POLLOUT);
        const nfds_t outputAt = watch(m_output.parent, POLLIN);
        const nfds_t errorAt = watch(m_error.parent, POLLIN);

        int timeoutMs = -1;
        if (ended)
            timeoutMs = earlier(timeoutMs, millisecondsUntil(drainUntil, now));
        if (deadline)
            timeoutMs = earlier(timeoutMs, millisecondsUntil(*deadline, now));
        if (!ended && child.endDescriptor() < 0)
            timeoutMs = earlier(timeoutMs, endCheckMs);

        if (::poll(fds, count, timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        auto ready = [&](nfds_t at) { return at < count && fds[at].revents != 0; };
        if (ready(wakeAt))
            break;
        if (!ended && (ready(endAt) || (child.endDescriptor() < 0 && child.childHasEnded()))) {
            ended = true;
            drainUntil = Clock::now() + drainAfterEnd;
            // Nobody we wait for reads the rest of the input any more.
            closeFd(m_input.parent);
        }
        if (ready(inputAt) && m_input.parent >= 0)
            writeChunk(m_input.parent, input, written);
        if (ready(outputAt))
            readChunk(m_output.parent, output);
        if (ready(errorAt))
            readChunk(m_error.parent, error);
    }
    closeParentEnds();
    return finished;
}
