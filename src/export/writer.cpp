#include "export/exporter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include "core/atomicfile.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "export/htmlpage.h"
#include "figma/figmasection.h"
#include "model/textboxplacement.h"

namespace Exporter {

namespace {

// Only regular files are read: a pipe or device under a plan's name would
// block the write forever.
std::optional<QByteArray> readRegularFile(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::optional<FigmaSection> readSection(const QString &path)
{
    const std::optional<QByteArray> bytes = readRegularFile(path);
    if (!bytes)
        return std::nullopt;
    try {
        return FigmaSection::decode(*bytes);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
}

// The section file only caches what the metadata gave; a failed re-save
// costs a re-read next time and must not stop the plan from being written.
void resaveSection(const QString &path, const FigmaSection &section)
{
    try {
        AtomicFile::write(path, JSONCoding::pretty(section));
    } catch (const JSONCoding::EncodeError &) {
    }
}

// Fills the string frames and boxes from the folder's design section, when
// it has one that reads.
void placeFromSection(Plan &plan, const QDir &folder)
{
    const QString path = folder.filePath(QStringLiteral("figma-section.json"));
    std::optional<FigmaSection> section = readSection(path);
    if (!section)
        return;
    if (TextBoxPlacement::attachTextBoxes(*section, folder.path()))
        resaveSection(path, *section);
    TextBoxPlacement::placeStrings(plan, *section);
}

[[noreturn]] void fail(const QString &path, const QString &reason)
{
    throw ExportFailure{QStringLiteral("%1 을 쓰지 못했어요: %2").arg(QDir::toNativeSeparators(path), reason)};
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QString reason;
    if (!AtomicFile::write(path, bytes, &reason))
        fail(path, reason);
}

QByteArray encodePlan(const Plan &plan, const QString &path)
{
    try {
        return JSONCoding::pretty(plan);
    } catch (const JSONCoding::EncodeError &error) {
        fail(path, error.message);
    }
}

QByteArray mimeType(const QString &path)
{
    const QString name = path.section(u'/', -1);
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString extension = dot < 0 ? QString() : name.mid(dot + 1).toLower();
    if (extension == u"jpg" || extension == u"jpeg")
        return "image/jpeg";
    if (extension == u"webp")
        return "image/webp";
    return "image/png";
}

// A screen image path comes from plan data, which may be imported from a
// shared page: it is followed only when it stays inside the plan folder, so
// that no other file of the user's can end up embedded in a page.
std::optional<QString> insideFolder(const QString &path, const QString &folderCanonical)
{
    if (folderCanonical.isEmpty() || !QDir::isRelativePath(path) || path.split(u'/').contains(QStringLiteral("..")))
        return std::nullopt;
    const QString resolved = QFileInfo(QDir(folderCanonical).filePath(path)).canonicalFilePath();
    if (!resolved.startsWith(folderCanonical + u'/'))
        return std::nullopt;
    return resolved;
}

QByteArray dataUrl(const QByteArray &mime, const QByteArray &bytes)
{
    static const QByteArrayView marker = ";base64,";
    QByteArray url;
    url.reserve(5 + mime.size() + marker.size() + (bytes.size() + 2) / 3 * 4);
    url += "data:";
    url += mime;
    url += marker;
    url += bytes.toBase64();
    return url;
}

QSet<QString> imagePaths(const Plan &plan)
{
    QSet<QString> paths;
    for (const Screen &screen : plan.screens) {
        for (const std::optional<QString> &path : {screen.image.before, screen.image.android, screen.image.ios}) {
            if (path)
                paths.insert(*path);
        }
    }
    return paths;
}

} // namespace

HTMLPage::Assets assets(const Plan &plan, const QString &dir)
{
    const QString folder = QFileInfo(dir).canonicalFilePath();
    HTMLPage::Assets map;
    for (const QString &path : imagePaths(plan)) {
        if (path.isEmpty() || path.startsWith(QLatin1String("http")))
            continue;
        const std::optional<QString> file = insideFolder(path, folder);
        if (!file)
            continue;
        const std::optional<QByteArray> bytes = readRegularFile(*file);
        if (!bytes)
            continue;
        map.insert(path, dataUrl(mimeType(path), *bytes));
    }
    return map;
}

void writeAll(Plan &plan, const QString &dir, const Conventions &conventions)
{
    plan.naming.platformMap = conventions.platformMap(plan);
    const QDir folder(dir);
    placeFromSection(plan, folder);

    if (!QDir().mkpath(dir))
        throw ExportFailure{QStringLiteral("%1 폴더를 만들지 못했어요").arg(QDir::toNativeSeparators(dir))};

    const QString planPath = folder.filePath(QStringLiteral("plan.json"));
    writeFile(planPath, encodePlan(plan, planPath));
    writeFile(folder.filePath(QStringLiteral("plan.md")), markdown(plan).toUtf8());

    // The images are dropped before the page is written: the two together
    // are the largest memory the write needs.
    QByteArray page = HTMLPage::render(plan, conventions, assets(plan, dir));
    writeFile(folder.filePath(QStringLiteral("index.html")), page);
}

} // namespace Exporter
