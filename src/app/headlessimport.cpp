#include "app/headlessimport.h"

#include "app/headless.h"
#include "core/atomicfile.h"
#include "core/filesizes.h"
#include "core/freedmemory.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "core/jsonread.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/folderclaim.h"
#include "model/folderrestore.h"
#include "model/generator.h"
#include "model/importer.h"
#include "model/pagefile.h"
#include "model/planfiles.h"
#include "model/planfolder.h"
#include "model/planhistory.h"
#include "model/reviser.h"
#include "settings/appsettings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

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
// other content as a kept copy. Gives the copy's path; ends the run when no
// copy could be made.
QString saveExisting(const QString &dir, const QByteArray &bytes, bool isPlan)
{
    try {
        return isPlan ? Reviser::backup(dir) : PlanHistory::keep(dir, bytes);
    } catch (const PlanHistory::Failure &failure) {
        Headless::fail(notCopied + failure.message);
    }
}

struct Written {
    int count = 0;
    QStringList failures;
    QStringList skipped;
};


// An image file the import may replace, as it was: unset when it was not
// there.
struct ImageBefore {
    QString path;
    std::optional<QByteArray> bytes;
};

// What an import that failed part-way must undo to leave the folder as it
// found it: the three files and the images as they were, the copy it made
// of plan.json, history/ and the folder itself when the import made them.
struct Undo {
    QString dir;
    bool madeFolder = false;
    // The folders inside it the import would make (history/, img/).
    QStringList madeInside;
    PlanFiles::Snapshot before;
    QList<ImageBefore> images;
    QString copy;
};

// The images under img/ the keys would write, as they are now. Links are
// left out: the import never writes through them; so is a file larger than
// a picture may be, which no page carries.
QList<ImageBefore> imagesBefore(const QStringList &keys, const QString &dir)
{
    QList<ImageBefore> images;
    const QString folder = QDir::cleanPath(dir) + QStringLiteral("/img/");
    const PlanFolder plan(dir);
    for (const QString &key : keys) {
        const QString path = QDir::cleanPath(dir + QLatin1Char('/') + key);
        const QFileInfo info(path);
        if (!path.startsWith(folder) || info.isSymLink() || (info.exists() && !info.isFile())
            || info.size() > FileSizes::picture)
            continue;
        // Read beneath the folder: an img/ swapped for a link holds no
        // picture of this plan's.
        images.append({path, plan.read(QDir(dir).relativeFilePath(path), FileSizes::picture)});
    }
    return images;
}

// Keeps the pictures the import replaces beside the undo point `backup`
// (history/plan-….json), in the folder FolderRestore::undo puts them back
// from; a picture already holding the page's bytes is no loss, but which
// those are is known only once they are written, so every one is kept.
// Ends the run when one cannot be kept.
void keepReplacedImages(const QString &dir, const QString &backup, const QList<ImageBefore> &images)
{
    QHash<QString, QByteArray> pictures;
    for (const ImageBefore &image : images)
        if (image.bytes)
            pictures.insert(QDir(dir).relativeFilePath(image.path).mid(PlanFolder::images.size() + 1), *image.bytes);
    if (const QString notKept = FolderRestore::keepPictures(dir, backup, pictures); !notKept.isEmpty())
        Headless::fail(QStringLiteral("바뀌는 그림을 백업하지 못해 가져오지 않았어요: ") + notKept);
}

// Keeps a copy of plan.md and index.html of a folder that holds no plan: no
// plan.json can make them again. Gives the copies' paths; ends the run when
// one cannot be made.
QStringList keepOwnPages(const QString &dir)
{
    QStringList copies;
    const PlanFolder folder(dir);
    for (const QString &name : {PlanFolder::planMarkdown, PlanFolder::page}) {
        const PlanFolder::Descriptor file(folder.open(name, O_RDONLY | O_NONBLOCK));
        if (!file.isOpen() && errno == ENOENT)
            continue;
        QString error;
        const std::optional<QByteArray> bytes = folder.read(name, name == PlanFolder::page ? FileSizes::page : FileSizes::plan, &error);
        if (!bytes)
            Headless::fail(QStringLiteral("가져오기 전 ") + name + QStringLiteral(" 을 백업하지 못해 가져오지 않았어요: ") + error);
        const QFileInfo info(name);
        try {
            const QString history = QDir(dir).filePath(PlanFolder::history);
            if (!folder.makeFolder(PlanFolder::history))
                throw PlanHistory::Failure{PlanHistory::elsewhere(dir)};
            copies.append(PlanHistory::addFile(dir, history,
                                               QStringLiteral("kept-") + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss"))
                                                   + QLatin1Char('-') + info.completeBaseName(),
                                               QLatin1Char('.') + info.suffix(), *bytes));
        } catch (const PlanHistory::Failure &failure) {
            Headless::fail(QStringLiteral("가져오기 전 ") + name + QStringLiteral(" 을 백업하지 못해 가져오지 않았어요: ") + failure.message);
        }
    }
    return copies;
}

void putBackImages(const QString &dir, const QList<ImageBefore> &images)
{
    const PlanFolder folder(dir);
    for (const ImageBefore &image : images) {
        const QString relative = QDir(dir).relativeFilePath(image.path);
        if (image.bytes)
            folder.write(relative, *image.bytes);
        else
            folder.remove(relative);
    }
}

[[noreturn]] void failAndPutBack(const Undo &undo, const QString &message)
{
    if (undo.madeFolder) {
        QDir(undo.dir).removeRecursively();
        Headless::fail(message);
    }
    putBackImages(undo.dir, undo.images);
    const QString notBack = PlanFiles::putBack(undo.dir, undo.before);
    if (!notBack.isEmpty())
        Headless::fail(message + QStringLiteral("\n가져오기 전 파일을 다시 놓지 못했어요(") + notBack
                       + QStringLiteral("). 가져오기 전 plan.json 은 여기 있어요: ") + undo.copy);
    if (!undo.copy.isEmpty()) {
        QFile::remove(undo.copy);
        QDir(FolderRestore::picturesOf(undo.copy)).removeRecursively();
    }
    for (const QString &inside : undo.madeInside)
        QDir(undo.dir).rmdir(inside);
    Headless::fail(message);
}

} // namespace

void importPage(const QStringList &arguments, const AppSettings &settings)
{
    const QString page = *Headless::value(arguments, QStringLiteral("--import"));
    const std::optional<QString> into = Headless::value(arguments, QStringLiteral("--into"));
    // Without its folder, --into must not quietly become a new folder.
    if (arguments.contains(QStringLiteral("--into")) && !into)
        Headless::fail(QStringLiteral("--into 뒤에 계획서 폴더를 주세요"));
    // The pictures stay in the page until they are written, straight from it.
    const QString pagePath = QFileInfo(page).absoluteFilePath();
    const PageFile pageFile(pagePath);
    ImportedPlan imported;
    try {
        imported = Importer::read(pageFile, pagePath, CancelToken(), Importer::Pictures::leftInPage);
    } catch (const Importer::Failure &failure) {
        Headless::fail(failure.message);
    }

    // "dir/" and "dir/." name the folder itself, not a folder without a name.
    const QString target = into ? QDir::cleanPath(QFileInfo(*into).absoluteFilePath())
                                : QDir(settings.outputFolder())
                                      .absoluteFilePath(Generator::featureComponent(imported.plan.meta.feature)
                                                        + QStringLiteral("-plan-imported"));
    // Made here by an exclusive create: of two imports started together,
    // only the one that made the folder may take it away again. A folder
    // already there is imported into.
    FolderClaim::New made = FolderClaim::makeNew(
        QFileInfo(target).absolutePath(), [&target](int n) { return n == 1 ? QFileInfo(target).fileName() : QString(); },
        settings);
    const QString dir = made.dir;
    if (!made.claim && (!made.failure.isEmpty() || !QFileInfo(dir).isDir()))
        Headless::fail(QStringLiteral("폴더를 만들지 못했어요: ") + dir
                       + (made.failure.isEmpty() ? QString() : QStringLiteral(" (") + made.failure + QLatin1Char(')')));

    Undo undo;
    undo.dir = dir;
    undo.madeFolder = made.claim != nullptr;
    const std::shared_ptr<FolderClaim> held =
        made.claim ? std::move(made.claim) : std::make_shared<FolderClaim>(Headless::claim(dir, settings));

    const QString planPath = QDir(dir).filePath(PlanFolder::planJson);
    for (const QString &inside : {PlanFolder::history, PlanFolder::images})
        if (!QFileInfo::exists(QDir(dir).filePath(inside)))
            undo.madeInside.append(inside);
    bool undoPoint = false;
    QStringList pagesKept;
    if (QFileInfo::exists(planPath) || QFileInfo(planPath).isSymLink()) {
        QString error;
        const std::optional<QByteArray> read = RegularFile::read(planPath, FileSizes::plan, &error);
        if (!read)
            Headless::fail(notCopied + error);
        const QByteArray bytes = *read;
        const std::optional<Plan> current = currentPlan(bytes);
        if (into && current)
            for (const QString &line : Importer::changes(*current, imported.plan))
                Headless::say(QStringLiteral("· ") + Text::printable(line));
        undo.copy = saveExisting(dir, bytes, current.has_value());
        undoPoint = current.has_value();
    }
    // What stands at plan.md and index.html of a folder with no plan (a
    // website's own page, a repository's notes) was made by no plan.json.
    if (!undo.madeFolder && !undoPoint)
        pagesKept = keepOwnPages(dir);
    undo.before = PlanFiles::take(dir);

    Written images;
    if (imported.picturesAt >= 0)
        images.count = Importer::writePictures(pageFile, imported.picturesAt, dir, &images.failures, &images.skipped,
                                               [&](const QStringList &keys) {
                                                   undo.images = imagesBefore(keys, dir);
                                                   if (undoPoint)
                                                       keepReplacedImages(dir, undo.copy, undo.images);
                                               },
                                               Importer::shownPictures(imported.plan));
    // The pictures' texts went through in thousands of blocks the allocator
    // would otherwise keep for itself, on top of what the render takes.
    FreedMemory::giveBack();
    if (!images.failures.isEmpty())
        failAndPutBack(undo, Importer::picturesNotWritten(images.failures));
    const Conventions conventions = Conventions::load({settings.androidRepo, settings.iosRepo}).first;
    try {
        Exporter::writeAll(imported.plan, dir, conventions);
    } catch (const ExportFailure &failure) {
        failAndPutBack(undo, failure.message);
    }
    // A plan folder now, held by this run: what killed imports left in it
    // before it had a plan.json goes too.
    Headless::removeLeftovers(dir);
    // The log lives in history/, which a new folder does not have yet.
    QDir().mkpath(QDir(dir).filePath(PlanFolder::history));
    Reviser::appendLog(dir, QStringLiteral("(가져오기) ") + QFileInfo(page).fileName(),
                       QStringLiteral("- 공유받은 HTML 로 계획서를 바꿈"), settings.userName);
    Headless::say(QStringLiteral("가져왔어요: ") + dir + QStringLiteral(" (그림 ") + QString::number(images.count)
        + QStringLiteral("개)"));
    for (const QString &copy : pagesKept)
        Headless::say(QStringLiteral("· 가져오기 전 파일은 여기 남겨 뒀어요: ") + copy);
    const QStringList skipped = imported.skipped + images.skipped;
    for (const QString &line : skipped)
        Headless::say(QStringLiteral("· ") + Text::printable(line));
    // A page cut inside its image map still imports; what it did not carry
    // (not what was skipped above, with its reason) is named.
    QStringList missing = Exporter::missingPictures(imported.plan, dir);
    missing.removeIf([&skipped](const QString &path) {
        return std::any_of(skipped.begin(), skipped.end(),
                           [&path](const QString &line) { return line.startsWith(path + QLatin1Char(':')); });
    });
    if (!missing.isEmpty())
        Headless::say(QStringLiteral("페이지에 담겨 있지 않은 그림 ") + QString::number(missing.size())
                      + QStringLiteral("개: ") + Text::printable(missing.join(QStringLiteral(", "))));
    Headless::end(0);
}

} // namespace HeadlessImport
