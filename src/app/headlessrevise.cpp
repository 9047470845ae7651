#include "app/headlessrevise.h"

#include "app/headless.h"
#include "app/headlessrun.h"
#include "core/picturefile.h"
#include "model/reviser.h"
#include "model/planfolder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <functional>
#include <memory>

namespace HeadlessRevise {

namespace {

const QString requestMissing = QStringLiteral("--request \"고칠 내용\" 이 필요해요");

// The shared Reviser as the command line follows it: each new progress
// text once, then its answer, or its failure (which has put plan.json back).
[[noreturn]] void follow(std::function<void()> start)
{
    Reviser &reviser = Reviser::shared();
    const auto last = std::make_shared<QString>();
    HeadlessRun::follow({
        std::move(start),
        [&reviser] {
            using Kind = HeadlessRun::Look::Kind;
            const Reviser::Phase phase = reviser.phase();
            switch (phase.kind) {
            case Reviser::Phase::Kind::done:
                return HeadlessRun::Look{Kind::done, {phase.text}, {}};
            case Reviser::Phase::Kind::failed:
                return HeadlessRun::Look{Kind::failed, {}, phase.text};
            case Reviser::Phase::Kind::running:
                return HeadlessRun::Look{Kind::running, {}, {}};
            case Reviser::Phase::Kind::idle:
                break;
            }
            return HeadlessRun::Look{};
        },
        [&reviser, last] {
            const Reviser::Phase phase = reviser.phase();
            if (!phase.isRunning() || phase.text == *last)
                return QStringList();
            *last = phase.text;
            return QStringList{QStringLiteral("… ") + phase.text};
        },
        [&reviser] { reviser.cancel(); },
        [&reviser](std::function<void()> changed) {
            QObject::connect(&reviser, &Reviser::phaseChanged, QCoreApplication::instance(), std::move(changed));
        },
    });
}

// The attachments are copied by the revision itself, which takes pictures
// of a sane size only; what names anything else is refused here, before
// anything changes, so that the person learns which argument was wrong.
QStringList images(const QStringList &arguments)
{
    QStringList paths;
    for (const QString &image :
         Headless::value(arguments, QStringLiteral("--image")).value_or(QString()).split(u',', Qt::SkipEmptyParts)) {
        const QString path = QFileInfo(image).absoluteFilePath();
        QString reason;
        if (!PictureFile::open(path, &reason))
            Headless::fail(PictureFile::refusal(image, reason));
        paths.append(path);
    }
    return paths;
}

} // namespace

void revise(const QStringList &arguments, const AppSettings &settings)
{
    const QString folder = *Headless::value(arguments, QStringLiteral("--revise"));
    Headless::requireFolder(folder, PlanFolder::planJson);
    const QString dir = QFileInfo(folder).absoluteFilePath();
    Reviser &reviser = Reviser::shared();
    // Claimed once, here, and held by the revision or the undo to its end.
    const auto claim = std::make_shared<FolderClaim>(Headless::claim(dir, settings));

    // An undo right after an interrupted revision wants that revision gone,
    // which the rollback has just done: it goes back no further.
    if (arguments.contains(QStringLiteral("--undo")) && claim->rolledBack())
        Headless::end(0);
    if (arguments.contains(QStringLiteral("--undo")))
        follow([dir, settings, claim, &reviser] {
            if (!reviser.undo(dir, settings, {}, claim))
                Headless::fail(QStringLiteral("되돌릴 백업이 없어요"));
        });

    const std::optional<QString> request = Headless::value(arguments, QStringLiteral("--request"));
    if (!request)
        Headless::fail(requestMissing);
    const QStringList attachments = images(arguments);

    follow([request = *request, images = attachments, dir, settings, claim, &reviser] {
        if (!reviser.revise(request, images, dir, settings, {}, claim))
            Headless::fail(requestMissing);
    });
}

} // namespace HeadlessRevise
