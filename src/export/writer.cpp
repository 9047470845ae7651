#include "export/exporter.h"

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QPromise>
#include <QScopeGuard>
#include <QtConcurrent/QtConcurrentRun>
#include <memory>
#include <utility>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <exception>
#include <future>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/madefrom.h"
#include "core/parallel.h"
#include "core/filesizes.h"
#include "core/freedmemory.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "export/htmlpage.h"
#include "export/planindex.h"
#include "figma/figmasection.h"
#include "model/importer.h"
#include "model/planjson.h"
#include "model/textboxplacement.h"

namespace Exporter {

namespace {

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
// it has one that reads (`section`, read from `path`); the boxes it found
// are saved to the section's file when `resave` is set.
void placeFromSection(Plan &plan, const QDir &folder, const QString &path, std::optional<FigmaSection> section,
                      bool resave = true)
{
    if (!section)
        return;
    if (TextBoxPlacement::attachTextBoxes(*section, folder.path()) && resave)
        resaveSection(path, *section);
    TextBoxPlacement::placeStrings(plan, *section);
}

[[noreturn]] void fail(const QString &path, const QString &reason)
{
    // Each file is written as a new one beside its name: a folder that
    // takes no new file is the cause, whichever file came first.
    const QString folder = QFileInfo(path).absolutePath();
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        const QString cause = FileError::describe(errno);
        throw ExportFailure{
            QStringLiteral("%1 폴더에 새 파일을 만들 수 없어요: %2").arg(QDir::toNativeSeparators(folder), cause)};
    }
    throw ExportFailure{QStringLiteral("%1 을 쓰지 못했어요: %2").arg(QDir::toNativeSeparators(path), reason)};
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QString reason;
    if (!AtomicFile::write(path, bytes, &reason))
        fail(path, reason);
}

// plan.json's text, or why it cannot be written.
struct Encoded {
    QByteArray bytes;
    QString error;
};

Encoded encodePlan(const Plan &plan)
{
    try {
        return {PlanJson::pretty(plan), {}};
    } catch (const JSONCoding::EncodeError &error) {
        return {{}, error.message};
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

// The plan folder's pictures, each opened by one call relative to the
// folder's own descriptor that cannot leave the folder: no walk of the
// path's links per picture. Where the system has no such call, or refuses
// a link it cannot follow beneath the folder (one given as an absolute
// path), the path is resolved the long way.
class PictureFolder
{
public:
    explicit PictureFolder(const QString &dir)
        : m_fd(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
          m_canonical(QFileInfo(dir).canonicalFilePath())
    {
    }
    PictureFolder(const PictureFolder &) = delete;
    PictureFolder &operator=(const PictureFolder &) = delete;
    ~PictureFolder()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // The size of the file a path names, when it names one: a picture
    // outside the folder is refused when it is read.
    std::optional<qint64> size(const QString &path) const
    {
        if (!usable(path))
            return std::nullopt;
        struct stat status {};
        if (m_fd < 0 || ::fstatat(m_fd, QFile::encodeName(path).constData(), &status, 0) != 0
            || !S_ISREG(status.st_mode))
            return std::nullopt;
        return status.st_size;
    }

    // Whether a path names a regular file beneath the folder that a page
    // can carry.
    bool carried(const QString &path) const
    {
        if (!usable(path))
            return false;
        const long fd = openBeneath(path, O_PATH);
        if (fd >= 0) {
            struct stat status {};
            const bool file = ::fstat(int(fd), &status) == 0 && S_ISREG(status.st_mode)
                && status.st_size <= FileSizes::picture;
            ::close(int(fd));
            return file;
        }
        if (!resolvedTheLongWay())
            return false;
        const std::optional<QString> file = insideFolder(path, m_canonical);
        const QFileInfo info(file.value_or(QString()));
        return file && info.isFile() && info.size() <= FileSizes::picture;
    }

    std::optional<QByteArray> read(const QString &path) const
    {
        if (!usable(path))
            return std::nullopt;
        const long fd = openBeneath(path, O_RDONLY | O_NONBLOCK);
        if (fd >= 0) {
            std::optional<QByteArray> bytes = RegularFile::readOpen(int(fd), path, FileSizes::picture);
            ::close(int(fd));
            return bytes;
        }
        if (!resolvedTheLongWay())
            return std::nullopt;
        const std::optional<QString> file = insideFolder(path, m_canonical);
        return file ? RegularFile::read(*file, FileSizes::picture) : std::nullopt;
    }

private:
    long openBeneath(const QString &path, int flags) const
    {
        open_how how{};
        how.flags = flags | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        if (m_fd < 0) {
            errno = ENOSYS;
            return -1;
        }
        return ::syscall(SYS_openat2, m_fd, QFile::encodeName(path).constData(), &how, sizeof how);
    }

    // After a refused open: whether the path is for the long way, by the
    // cause of the refusal.
    static bool resolvedTheLongWay()
    {
        return errno == ENOSYS || errno == EPERM || errno == EXDEV || errno == EAGAIN;
    }

    // A path from plan data is only ever relative and never climbs.
    static bool usable(const QString &path)
    {
        return !path.isEmpty() && !path.startsWith(QLatin1String("http")) && QDir::isRelativePath(path)
            && !path.split(u'/').contains(QStringLiteral(".."));
    }

    int m_fd;
    QString m_canonical;
};

// The images a page embeds, by the path the plan gives, in the page's
// order; only their files are left to read.
struct PageImage {
    QString path;
    qint64 size = 0;
    const PictureFolder *folder = nullptr;
};

QList<PageImage> pageImages(const Plan &plan, const PictureFolder &folder)
{
    QStringList paths = Importer::shownPictures(plan).values();
    Text::sortByCodePoint(paths);
    QList<PageImage> images;
    for (const QString &path : std::as_const(paths)) {
        if (const std::optional<qint64> size = folder.size(path))
            images.append(PageImage{path, *size, &folder});
    }
    return images;
}

// A picture larger than this is encoded a piece at a time as it is
// written, so that its text is never held whole beside its bytes; the
// pieces are a multiple of three bytes long, so that their texts join into
// the whole's.
constexpr qsizetype largePicture = 4 << 20;
constexpr qsizetype largePiece = 3 << 20;

// One image's entry of the page's image block: its whole text, or for a
// large picture the head of its text and the picture's bytes. Empty when
// its file cannot be read.
struct Entry {
    QByteArray text;
    QByteArray picture;
};

Entry imageEntry(const PageImage &image)
{
    std::optional<QByteArray> bytes = image.folder->read(image.path);
    if (!bytes)
        return {};
    if (bytes->size() > largePicture)
        return {HTMLPage::imageEntryHead(image.path, mimeType(image.path)), std::move(*bytes)};
    return {HTMLPage::imageEntry(image.path, mimeType(image.path), *bytes), {}};
}

// The rest of a large picture's entry after its head.
bool writeLargePicture(QIODevice &out, const QByteArray &picture)
{
    QByteArray text;
    for (qsizetype at = 0; at < picture.size(); at += largePiece) {
        text.resize(0);
        HTMLPage::appendImageText(text, QByteArrayView(picture).sliced(at, std::min(largePiece, picture.size() - at)));
        if (out.write(text) != text.size())
            return false;
    }
    return out.write("\"", 1) == 1;
}

// Reads and encodes images on the calling thread, helped by every pool
// thread that is free now.
QList<Entry> encodeHere(const QList<PageImage> &images)
{
    return Parallel::map<Entry>(images.size(), [&images](qsizetype at) { return imageEntry(images[at]); });
}

// A batch made while the previous one is written. Waiting for it runs it on
// the waiting thread when no pool thread has taken it yet.
QFuture<QList<Entry>> encodeBatch(const QList<PageImage> &images)
{
    return QtConcurrent::run([images] { return encodeHere(images); });
}

// Lets the cached pages of a file about to be replaced go. The rename that
// replaces a page of many megabytes would otherwise free them itself, at the
// end of the render; the file and its bytes stay as they are.
void releaseCachedPages(const QByteArray &path)
{
    struct stat status {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// The end of the batch of images encoded at once from `from` on: enough to
// keep every core busy while the previous batch is written, and more of
// them when they are small, so that a plan of many small images is not
// read a few files at a time. A batch holds two megabytes, or a few
// images when they are larger: two batches are held at once, and on a
// plan of small pictures more would be most of the render's memory.
qsizetype batchEnd(const QList<PageImage> &images, qsizetype from)
{
    constexpr qint64 batchBytes = 2 * 1024 * 1024;
    const qsizetype least = std::max(2, QThread::idealThreadCount() * 2);
    qsizetype to = from;
    qint64 bytes = 0;
    while (to < images.size() && (to - from < least || bytes < batchBytes)) {
        bytes += images[to].size;
        ++to;
    }
    return to;
}

QFuture<QList<Entry>> encodeBatchFrom(const QList<PageImage> &images, qsizetype from)
{
    return encodeBatch(images.mid(from, batchEnd(images, from) - from));
}

// Sends what has been written so far on its way to the disk without waiting
// for it, so that the flush before the rename has little left to wait for.
void startWriteBack(QIODevice &out, qint64 &sent)
{
    auto *file = qobject_cast<QFileDevice *>(&out);
    if (!file || !file->flush())
        return;
    const qint64 written = file->pos();
    if (written > sent)
        ::sync_file_range(file->handle(), sent, written - sent, SYNC_FILE_RANGE_WRITE);
    sent = written;
}

// The page goes to the file in pieces: the images are read and encoded on
// every core a batch at a time, the next batch while this one is written,
// and each entry is written once and dropped, so the images are never all
// in memory at once, nor copied into a page.
bool writePage(QIODevice &out, const HTMLPage::Parts &parts, const QList<PageImage> &images,
               QFuture<QList<Entry>> next)
{
    for (const QByteArray &piece : parts.before) {
        if (out.write(piece) != piece.size()) {
            next.waitForFinished();
            return false;
        }
    }
    bool opened = false;
    qint64 sent = 0;
    for (qsizetype from = 0; from < images.size();) {
        from = batchEnd(images, from);
        const QList<Entry> entries = next.result();
        if (from < images.size())
            next = encodeBatchFrom(images, from);
        for (const Entry &entry : entries) {
            if (entry.text.isEmpty())
                continue;
            const QByteArray lead = opened ? QByteArrayLiteral(",") : HTMLPage::imageBlockOpening();
            opened = true;
            if (out.write(lead) != lead.size() || out.write(entry.text) != entry.text.size()
                || (!entry.picture.isEmpty() && !writeLargePicture(out, entry.picture))) {
                next.waitForFinished();
                return false;
            }
        }
        startWriteBack(out, sent);
    }
    const QByteArray closing = opened ? HTMLPage::imageBlockClosing() : QByteArray();
    return out.write(closing) == closing.size() && out.write(parts.after) == parts.after.size();
}

// plan.md's writer: a piece at a time.
std::function<bool(QIODevice &)> piecesOf(const QList<QByteArray> &pieces)
{
    return [&pieces](QIODevice &out) {
        return std::all_of(pieces.cbegin(), pieces.cend(),
                           [&out](const QByteArray &piece) { return out.write(piece) == piece.size(); });
    };
}

// Writes the file at `path` as `produce` makes it while the files that go
// before it (`before`) may still be on their way, and replaces it only once
// they are in place. Of two failures, the earlier file's is the one thrown.
// Gives what `before` gave.
QByteArray writeAfter(const QString &path, const std::function<bool(QIODevice &)> &produce,
                      std::future<QByteArray> &before)
{
    QByteArray given;
    std::exception_ptr failed;
    const auto beforeWritten = [&] {
        try {
            given = before.get();
            return true;
        } catch (...) {
            failed = std::current_exception();
            return false;
        }
    };
    QString reason;
    const bool written = AtomicFile::write(path, [&](QIODevice &out) { return produce(out) && beforeWritten(); }, &reason);
    if (before.valid())
        beforeWritten();
    if (failed)
        std::rethrow_exception(failed);
    if (!written)
        fail(path, reason);
    return given;
}

} // namespace

HTMLPage::Assets assets(const Plan &plan, const QString &dir)
{
    const PictureFolder folder(dir);
    HTMLPage::Assets map;
    for (const PageImage &image : pageImages(plan, folder)) {
        if (const std::optional<QByteArray> bytes = folder.read(image.path))
            map.insert(image.path, dataUrl(mimeType(image.path), *bytes));
    }
    return map;
}

QStringList missingPictures(const Plan &plan, const QString &dir)
{
    const PictureFolder folder(dir);
    QStringList missing;
    for (const QString &path : Importer::shownPictures(plan)) {
        if (path.isEmpty() || path.startsWith(QLatin1String("http")))
            continue;
        if (!folder.carried(path))
            missing.append(path);
    }
    Text::sortByCodePoint(missing);
    return missing;
}

void derive(Plan &plan, const QString &dir, const Conventions &conventions)
{
    const QDir folder(dir);
    const QString sectionPath = folder.filePath(QStringLiteral("figma-section.json"));
    plan.naming.platformMap = conventions.platformMap(plan);
    placeFromSection(plan, folder, sectionPath, FigmaSection::saved(sectionPath), false);
}

void writeAll(Plan &plan, const QString &dir, const Conventions &conventions)
{
    const QDir folder(dir);
    // The design section is read on a thread of its own while the platform
    // map is made.
    const QString sectionPath = folder.filePath(QStringLiteral("figma-section.json"));
    std::future<std::optional<FigmaSection>> section =
        std::async(std::launch::async, [&sectionPath] { return FigmaSection::saved(sectionPath); });
    plan.naming.platformMap = conventions.platformMap(plan);
    placeFromSection(plan, folder, sectionPath, section.get());

    if (!QDir().mkpath(dir))
        throw ExportFailure{QStringLiteral("%1 폴더를 만들지 못했어요").arg(QDir::toNativeSeparators(dir))};

    const QString pagePath = folder.filePath(QStringLiteral("index.html"));
    QFuture<void> oldPage = QtConcurrent::run([file = QFile::encodeName(pagePath)] { releaseCachedPages(file); });
    const auto oldPageDone = qScopeGuard([&oldPage] { oldPage.waitForFinished(); });

    // One index of the plan serves all three files, whose texts are made
    // side by side (the page's body here, the rest on the pool) and then
    // written in order.
    const PlanIndex::Scope index(plan);
    const Plan &done = plan;
    QFuture<QList<QByteArray>> markdownText = QtConcurrent::run([&done, &index] {
        const PlanIndex::Scope shared(done, index);
        return markdownUtf8(done);
    });
    // plan.json's text and from it the page's plan block are made on a
    // thread of their own: the page's body waits for the block, and when
    // this save holds the pool's last thread, nothing queued on the pool
    // would ever make it.
    auto block = std::make_shared<QPromise<QByteArray>>();
    block->start();
    std::future<Encoded> planText = std::async(std::launch::async, [&done, block] {
        Encoded encoded = encodePlan(done);
        block->addResult(HTMLPage::planBlockOf(encoded.bytes));
        block->finish();
        return encoded;
    });
    // plan.json is checked and written on a thread of its own as soon as its
    // text is made, and plan.md on another as soon as its own is, replacing
    // its file after plan.json; all that while the page's body is still
    // being made. The page follows them. Markdown's task is waited for
    // before anything can fail, so every task that reads the plan or the
    // index has ended before a failure leaves this function. The texts are
    // let go once written. Each gives the mark of the plan.json written.
    const auto writePlanWhenMade = [&]() {
        Encoded planJson = planText.get();
        const QString planPath = folder.filePath(QStringLiteral("plan.json"));
        if (!planJson.error.isEmpty())
            fail(planPath, planJson.error);
        MadeFrom::begin(dir);
        writeFile(planPath, planJson.bytes);
        return MadeFrom::of(planJson.bytes);
    };
    const auto writeTextsWhenMade = [&]() {
        std::future<QByteArray> planWritten = std::async(std::launch::async, writePlanWhenMade);
        const QList<QByteArray> planMarkdown = markdownText.takeResult();
        return writeAfter(folder.filePath(QStringLiteral("plan.md")), piecesOf(planMarkdown), planWritten);
    };
    std::future<QByteArray> texts = std::async(std::launch::async, writeTextsWhenMade);
    // The first images are read and encoded while the page's body is made.
    const PictureFolder pictures(dir);
    const QList<PageImage> images = pageImages(plan, pictures);
    QFuture<QList<Entry>> firstImages = encodeBatchFrom(images, 0);
    const auto imagesDone = qScopeGuard([&firstImages] { firstImages.waitForFinished(); });
    const HTMLPage::Parts parts = HTMLPage::parts(plan, conventions, block->future());
    // The plan block the page holds is its only copy now.
    block.reset();
    // What the cores let go of while they made the page's body stays in
    // heaps of their own, which the pictures' texts would not reuse.
    FreedMemory::giveBack();

    // The page is written beside its file while plan.json and plan.md may
    // still be on their way.
    const QByteArray mark = writeAfter(
        pagePath, [&](QIODevice &out) { return writePage(out, parts, images, firstImages); }, texts);
    MadeFrom::record(dir, mark);
}

} // namespace Exporter
