#include "app/headlessrun.h"

#include "core/filedescriptor.h"
#include "model/generator.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace HeadlessRun {

namespace {

constexpr int tickMs = 500;

// A signal handler may only write to a pipe; the event loop reads it.
int signalPipe[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void onStopSignals(std::function<void(int)> stop)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [stop = std::move(stop)] {
        char byte = 0;
        int caught = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            caught = byte;
        if (caught)
            stop(caught);
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void keepAlive(std::function<void()> start, std::function<void()> tick)
{
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(tickMs);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(tick));
    QTimer::singleShot(0, QCoreApplication::instance(), [timer, start = std::move(start)] {
        timer->start();
        start();
    });
    std::exit(QCoreApplication::exec());
}

void print(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += line.toUtf8();
        bytes += '\n';
    }
    std::fflush(stdout);
    FileDescriptor::writeAll(STDOUT_FILENO, bytes);
}

void followGeneration(std::function<void()> start)
{
    Generator &generator = Generator::shared();
    // Every line as it is added: the published log keeps only the last
    // lines, and more than that may come between two looks.
    const auto pending = std::make_shared<QStringList>();
    QObject::connect(&generator, &Generator::lineAdded, QCoreApplication::instance(),
                     [pending](const QString &line) { pending->append(line); });
    // A stop ends Claude's run (and its child) like the stop button, and the
    // command then ends with the signal's status.
    const auto caught = std::make_shared<int>(0);
    onStopSignals([caught, &generator](int signal) {
        *caught = signal;
        if (!generator.phase().isRunning())
            std::exit(128 + signal);
        generator.cancel();
    });
    keepAlive(std::move(start), [pending, caught, &generator] {
        print(std::exchange(*pending, QStringList()));
        const Generator::Phase phase = generator.phase();
        if (phase.kind == Generator::Phase::Kind::done) {
            print({QStringLiteral("완료: ") + phase.dir});
            std::exit(0);
        }
        if (phase.kind == Generator::Phase::Kind::failed) {
            std::fflush(stdout);
            FileDescriptor::writeAll(STDERR_FILENO, (QStringLiteral("실패: ") + phase.text + QLatin1Char('\n')).toUtf8());
            std::exit(*caught ? 128 + *caught : 1);
        }
    });
}

} // namespace HeadlessRun
