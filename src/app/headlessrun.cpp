#include "app/headlessrun.h"

#include "app/headless.h"
#include "core/filedescriptor.h"
#include "core/text.h"
#include "core/stopsignals.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <utility>
#include <unistd.h>

namespace HeadlessRun {

namespace {

// Ends the process when the operation is over; `caught` is the stop signal
// that came, 0 for none.
void endIfOver(const Look &look, int caught)
{
    switch (look.kind) {
    case Look::Kind::done:
        print(look.out);
        Headless::end(0);
    case Look::Kind::failed:
        std::fflush(stdout);
        FileDescriptor::writeAll(STDERR_FILENO, (Text::printable(look.err, true) + QLatin1Char('\n')).toUtf8());
        Headless::end(caught ? 128 + caught : 1);
    case Look::Kind::idle:
    case Look::Kind::running:
        return;
    }
}

} // namespace

void follow(Operation operation)
{
    const auto op = std::make_shared<Operation>(std::move(operation));
    const auto caught = std::make_shared<int>(0);
    StopSignals::route([op, caught](int signal) {
        *caught = signal;
        const Look now = op->look();
        // Before the operation starts nothing needs putting back; once it
        // is over, it ends the command as it ended.
        if (now.kind == Look::Kind::idle)
            Headless::end(128 + signal);
        endIfOver(now, *caught);
        op->cancel();
    });
    // One look for any number of changes reported together, taken from the
    // event loop: the code that reports a change may not end the process.
    const auto queued = std::make_shared<bool>(false);
    const auto changed = [op, caught, queued] {
        if (std::exchange(*queued, true))
            return;
        QTimer::singleShot(0, QCoreApplication::instance(), [op, caught, queued] {
            *queued = false;
            print(op->progress());
            endIfOver(op->look(), *caught);
        });
    };
    op->watch(changed);
    QTimer::singleShot(0, QCoreApplication::instance(), [op, changed] {
        op->start();
        changed();
    });
    Headless::end(QCoreApplication::exec());
}

void print(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += Text::printable(line, true).toUtf8();
        bytes += '\n';
    }
    std::fflush(stdout);
    FileDescriptor::writeAll(STDOUT_FILENO, bytes);
}

} // namespace HeadlessRun
