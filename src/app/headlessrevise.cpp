#include "app/headlessrevise.h"

#include "app/headless.h"
#include "app/headlessrun.h"
#include "core/filedescriptor.h"
#include "model/reviser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace HeadlessRevise {

namespace {

const QString requestMissing = QStringLiteral("--request \"고칠 내용\" 이 필요해요");

// The stop signals reach the event loop through a pipe: a handler may only
// write to it, and the loop then stops the revision like the stop button.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t caught = 0;

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void stopOnSignals()
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            caught = byte;
        Reviser &reviser = Reviser::shared();
        // Before the revision starts or after it ended nothing needs putting
        // back; otherwise the printer ends the process once it has.
        if (!reviser.phase().isRunning())
            std::exit(128 + caught);
        reviser.cancel();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

[[noreturn]] void end(int code)
{
    std::exit(caught ? 128 + caught : code);
}

// The revision printer: each new progress text once, then the answer on
// standard output or the message on standard error.
std::function<void()> printer()
{
    auto last = std::make_shared<QString>();
    return [last] {
        const Reviser::Phase phase = Reviser::shared().phase();
        switch (phase.kind) {
        case Reviser::Phase::Kind::running:
            if (phase.text != *last) {
                HeadlessRun::print({QStringLiteral("… ") + phase.text});
                *last = phase.text;
            }
            return;
        case Reviser::Phase::Kind::done:
            HeadlessRun::print({phase.text});
            end(0);
        case Reviser::Phase::Kind::failed:
            std::fflush(stdout);
            FileDescriptor::writeAll(STDERR_FILENO, (phase.text + QLatin1Char('\n')).toUtf8());
            end(1);
        case Reviser::Phase::Kind::idle:
            return;
        }
    };
}

} // namespace

void revise(const QStringList &arguments, const AppSettings &settings)
{
    const QString dir = QFileInfo(*Headless::value(arguments, QStringLiteral("--revise"))).absoluteFilePath();
    Reviser &reviser = Reviser::shared();
    // The revision and the undo take the folder's lock again themselves.
    bool rolledBack = false;
    Headless::claim(dir, settings, &rolledBack).release();

    // An undo right after an interrupted revision wants that revision gone,
    // which the rollback has just done: it goes back no further.
    if (arguments.contains(QStringLiteral("--undo")) && rolledBack)
        std::exit(0);
    if (arguments.contains(QStringLiteral("--undo")))
        HeadlessRun::keepAlive(
            [dir, settings, &reviser] {
                if (!reviser.undo(dir, settings))
                    Headless::fail(QStringLiteral("되돌릴 백업이 없어요"));
            },
            printer());

    const std::optional<QString> request = Headless::value(arguments, QStringLiteral("--request"));
    if (!request)
        Headless::fail(requestMissing);
    QStringList images;
    for (const QString &image :
         Headless::value(arguments, QStringLiteral("--image")).value_or(QString()).split(u',', Qt::SkipEmptyParts))
        images.append(QFileInfo(image).absoluteFilePath());

    stopOnSignals();
    HeadlessRun::keepAlive(
        [request = *request, images, dir, settings, &reviser] {
            if (!reviser.revise(request, images, dir, settings))
                Headless::fail(requestMissing);
        },
        printer());
}

} // namespace HeadlessRevise
