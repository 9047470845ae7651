#include "app/headlessrevise.h"

#include "app/headless.h"
#include "app/headlessrun.h"
#include "core/filedescriptor.h"
#include "model/generator.h"
#include "model/reviser.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace HeadlessRevise {

namespace {

const QString requestMissing = QStringLiteral("--request \"고칠 내용\" 이 필요해요");

// The stop signal that came, if any.
volatile std::sig_atomic_t caught = 0;

// Ends the command once the revision is over. A revision that completed
// exits with 0 and its answer even when a stop came too late to undo it; a
// failed one has put plan.json back, and a stop is then told by its status.
void endIfOver(const Reviser::Phase &phase)
{
    switch (phase.kind) {
    case Reviser::Phase::Kind::done:
        HeadlessRun::print({phase.text});
        std::exit(0);
    case Reviser::Phase::Kind::failed:
        std::fflush(stdout);
        FileDescriptor::writeAll(STDERR_FILENO, (phase.text + QLatin1Char('\n')).toUtf8());
        std::exit(caught ? 128 + caught : 1);
    case Reviser::Phase::Kind::running:
    case Reviser::Phase::Kind::idle:
        return;
    }
}

void stopOnSignals()
{
    HeadlessRun::onStopSignals([](int signal) {
        caught = signal;
        Reviser &reviser = Reviser::shared();
        // Before the revision starts nothing needs putting back; once it
        // ended, it ends the command as it ended. Otherwise the printer ends
        // the process once the revision has stopped or completed.
        const Reviser::Phase phase = reviser.phase();
        if (phase.kind == Reviser::Phase::Kind::idle)
            std::exit(128 + caught);
        endIfOver(phase);
        reviser.cancel();
    });
}

// The revision printer: each new progress text once, then the end.
std::function<void()> printer()
{
    auto last = std::make_shared<QString>();
    return [last] {
        const Reviser::Phase phase = Reviser::shared().phase();
        if (phase.isRunning() && phase.text != *last) {
            HeadlessRun::print({QStringLiteral("… ") + phase.text});
            *last = phase.text;
        }
        endIfOver(phase);
    };
}

// The attachments are copied by the revision itself, which takes regular
// files only; what names anything else is refused here, before anything
// changes, so that the person learns which argument was wrong.
QStringList images(const QStringList &arguments)
{
    QStringList paths;
    for (const QString &image :
         Headless::value(arguments, QStringLiteral("--image")).value_or(QString()).split(u',', Qt::SkipEmptyParts)) {
        const QString path = QFileInfo(image).absoluteFilePath();
        if (const std::optional<QString> reason = Generator::notAFile(path))
            Headless::fail(QStringLiteral("이미지를 읽지 못했어요: ") + image + QStringLiteral(" (") + *reason
                           + QLatin1Char(')'));
        paths.append(path);
    }
    return paths;
}

} // namespace

void revise(const QStringList &arguments, const AppSettings &settings)
{
    const QString dir = QFileInfo(*Headless::value(arguments, QStringLiteral("--revise"))).absoluteFilePath();
    Reviser &reviser = Reviser::shared();
    // Claimed once, here, and held by the revision or the undo to its end.
    const auto claim = std::make_shared<FolderClaim>(Headless::claim(dir, settings));

    // An undo right after an interrupted revision wants that revision gone,
    // which the rollback has just done: it goes back no further.
    if (arguments.contains(QStringLiteral("--undo")) && claim->rolledBack())
        std::exit(0);
    if (arguments.contains(QStringLiteral("--undo")))
        HeadlessRun::keepAlive(
            [dir, settings, claim, &reviser] {
                if (!reviser.undo(dir, settings, {}, claim))
                    Headless::fail(QStringLiteral("되돌릴 백업이 없어요"));
            },
            printer());

    const std::optional<QString> request = Headless::value(arguments, QStringLiteral("--request"));
    if (!request)
        Headless::fail(requestMissing);
    const QStringList attachments = images(arguments);

    stopOnSignals();
    HeadlessRun::keepAlive(
        [request = *request, images = attachments, dir, settings, claim, &reviser] {
            if (!reviser.revise(request, images, dir, settings, {}, claim))
                Headless::fail(requestMissing);
        },
        printer());
}

} // namespace HeadlessRevise
