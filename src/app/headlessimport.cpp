#include "app/headlessimport.h"

#include "app/headless.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/offthread.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/generator.h"
#include "model/importer.h"
#include "model/planhistory.h"
#include "model/reviser.h"
#include "settings/appsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <algorithm>
#include <cstdlib>

namespace HeadlessImport {

namespace {

const QString notCopied = QStringLiteral("plan.json 을 백업하지 못해 가져오지 않았어요: ");

// The folder's own plan, when it has a plan.json that reads as one.
std::optional<Plan> currentPlan(const QByteArray &bytes)
{
    try {
        return Plan::decode(bytes);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
}

// Copies the plan.json the import replaces: a plan as an undo point, any
// other content as a kept copy. Ends the run when no copy could be made.
void saveExisting(const QString &dir, const QByteArray &bytes, bool isPlan)
{
    try {
        if (isPlan)
            Reviser::backup(dir);
        else
            PlanHistory::keep(dir, bytes);
    } catch (const PlanHistory::Failure &failure) {
        Headless::fail(notCopied + failure.message);
    }
}

// The images are independent files, and writing them is most of what an
// import adds to a render: they are written a few at a time.
int writeImages(const Importer::Assets &assets, const QString &dir)
{
    const int parts = std::clamp(QThread::idealThreadCount(), 1, 4);
    QList<Importer::Assets> shares(parts);
    int next = 0;
    for (auto it = assets.begin(); it != assets.end(); ++it)
        shares[next++ % parts].insert(it.key(), it.value());
    QList<QFuture<int>> writes;
    for (const Importer::Assets &share : shares)
        writes.append(OffThread::run(Importer::writeAssets, share, dir));
    int written = 0;
    for (QFuture<int> &write : writes)
        written += write.result();
    return written;
}

} // namespace

void importPage(const QStringList &arguments, const AppSettings &settings)
{
    const QString page = *Headless::value(arguments, QStringLiteral("--import"));
    const std::optional<QString> into = Headless::value(arguments, QStringLiteral("--into"));
    // Without its folder, --into must not quietly become a new folder.
    if (arguments.contains(QStringLiteral("--into")) && !into)
        Headless::fail(QStringLiteral("--into 뒤에 계획서 폴더를 주세요"));
    ImportedPlan imported;
    try {
        imported = Importer::read(QFileInfo(page).absoluteFilePath());
    } catch (const Importer::Failure &failure) {
        Headless::fail(failure.message);
    }

    const QString dir = into ? QFileInfo(*into).absoluteFilePath()
                             : QDir(settings.outputFolder())
                                   .absoluteFilePath(Generator::featureComponent(imported.plan.meta.feature)
                                                     + QStringLiteral("-plan-imported"));

    Headless::removeLeftovers(dir);
    const QString planPath = QDir(dir).filePath(QStringLiteral("plan.json"));
    if (QFileInfo::exists(planPath) || QFileInfo(planPath).isSymLink()) {
        QFile file(planPath);
        if (!file.open(QIODevice::ReadOnly))
            Headless::fail(notCopied + FileError::describe(file));
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError)
            Headless::fail(notCopied + FileError::describe(file));
        const std::optional<Plan> current = currentPlan(bytes);
        if (into && current)
            for (const QString &line : Importer::changes(*current, imported.plan))
                Headless::say(QStringLiteral("· ") + line);
        saveExisting(dir, bytes, current.has_value());
    }

    if (!QDir().mkpath(dir))
        Headless::fail(QStringLiteral("폴더를 만들지 못했어요: ") + dir);
    const int images = writeImages(imported.assets, dir);
    const Conventions conventions = Conventions::load({settings.androidRepo, settings.iosRepo}).first;
    try {
        Exporter::writeAll(imported.plan, dir, conventions);
    } catch (const ExportFailure &failure) {
        Headless::fail(failure.message);
    }
    Reviser::appendLog(dir, QStringLiteral("(가져오기) ") + QFileInfo(page).fileName(),
                       QStringLiteral("- 공유받은 HTML 로 계획서를 바꿈"), settings.userName);
    Headless::say(QStringLiteral("가져왔어요: ") + dir + QStringLiteral(" (그림 ") + QString::number(images)
        + QStringLiteral("개)"));
    std::exit(0);
}

} // namespace HeadlessImport
