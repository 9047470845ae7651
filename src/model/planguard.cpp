#include "model/planguard.h"

#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/regularfile.h"
#include "model/folderclaim.h"
#include "model/planfolder.h"
#include "settings/appsettings.h"
#include "settings/recordseal.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPromise>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using Entry = PlanGuard::Entry;
using Entries = PlanGuard::Entries;

constexpr std::chrono::minutes operationWait(2);
// A start waits only for a short write to end (a save); an operation that
// holds the folder longer refuses the start, which a stop must not wait for.
constexpr std::chrono::seconds startWait(10);
const QString history = QStringLiteral("history");
// A store's name begins so; it is never a file of the plan.
const QString storePrefix = QStringLiteral(".quarrystone-guard-");
const QString manifestName = QStringLiteral("manifest");
// Files up to this size are copied into the store; larger ones (pictures)
// get a second link there, which costs neither time nor room.
constexpr qint64 copiedBytes = qint64(1) << 20;
// A list of this size would describe millions of files.
constexpr qint64 manifestBytes = qint64(64) << 20;
constexpr qint64 readPiece = qint64(1) << 20;

QString notPutBack(const QString &reason)
{
    return QStringLiteral("개발 중에 계획서 파일이 바뀌었는데 원래대로 돌려 놓지 못했어요: ") + reason;
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString randomHex()
{
    return QStringLiteral("%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

qint64 nanoseconds(const struct timespec &time)
{
    return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

// The plan's own documents are copied whatever their size: they are what a
// run must never take away.
bool copied(const QString &path, qint64 size)
{
    return size <= copiedBytes || path.endsWith(QLatin1String(".json")) || path.endsWith(QLatin1String(".md"))
        || path.endsWith(QLatin1String(".html"));
}

// The entry at `path` as its metadata tells it, links not followed; a
// file's hash is left to the caller.
Entry statOf(const QString &path)
{
    using Kind = Entry::Kind;
    Entry entry;
    struct stat info {};
    if (::lstat(native(path).constData(), &info) != 0)
        return entry;
    if (S_ISDIR(info.st_mode)) {
        entry.kind = Kind::folder;
    } else if (S_ISLNK(info.st_mode)) {
        QByteArray target(4096, '\0');
        const ssize_t size = ::readlink(native(path).constData(), target.data(), size_t(target.size()));
        entry.kind = Kind::link;
        entry.target = target.left(std::max<ssize_t>(size, 0));
    } else if (S_ISREG(info.st_mode)) {
        entry.kind = Kind::file;
        entry.size = info.st_size;
        entry.inode = info.st_ino;
        entry.modified = nanoseconds(info.st_mtim);
        entry.changed = nanoseconds(info.st_ctim);
    }
    return entry;
}

bool sameMetadata(const Entry &was, const Entry &now)
{
    return was.kind == now.kind && was.size == now.size && was.inode == now.inode && was.modified == now.modified
        && was.changed == now.changed;
}

bool same(const Entry &was, const Entry &now)
{
    using Kind = Entry::Kind;
    if (was.kind != now.kind)
        return false;
    if (was.kind == Kind::link)
        return was.target == now.target;
    if (was.kind == Kind::file)
        // A file that could not be read at the start is judged by its
        // metadata alone.
        return was.size == now.size && (was.hash.isEmpty() ? sameMetadata(was, now) : was.hash == now.hash);
    return true;
}

QByteArray hashOf(QByteArrayView bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Blake2b_256);
}

// The hash of what the open file `fd` holds from where it stands, read a
// piece at a time; empty when it cannot be read to its end.
QByteArray hashOpen(int fd)
{
    QCryptographicHash hash(QCryptographicHash::Blake2b_256);
    QByteArray piece(readPiece, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(fd, piece.data(), size_t(piece.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0)
            return hash.result();
        if (got < 0)
            return QByteArray();
        hash.addData(QByteArrayView(piece.constData(), got));
    }
}

// The hash of the regular file at `path` (not through a link); empty when it
// cannot be read.
QByteArray hashFile(const QString &path)
{
    const int fd = RegularFile::open(path, O_NOFOLLOW);
    if (fd < 0)
        return QByteArray();
    const QByteArray hash = hashOpen(fd);
    ::close(fd);
    return hash;
}

// The stores in `dir`, whoever made them.
QStringList storesIn(const QString &dir)
{
    return QDir(dir).entryList({storePrefix + QLatin1Char('*')},
                               QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot);
}

// Whether a run under way holds the store: its own lock is then refused.
bool held(const QString &store)
{
    try {
        FolderLock::take(store);
        return false;
    } catch (const FolderLock::Failure &failure) {
        return failure.busy;
    }
}

// Every entry below `dir` by its metadata, links not followed, the
// top-level names `skipped` left out.
void walk(const QString &dir, const QString &relative, const QStringList &skipped, Entries &entries)
{
    const QString folder = relative.isEmpty() ? dir : dir + QLatin1Char('/') + relative;
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = relative.isEmpty() ? name : relative + QLatin1Char('/') + name;
        if (relative.isEmpty() && skipped.contains(name))
            continue;
        const Entry entry = statOf(dir + QLatin1Char('/') + path);
        entries.insert(path, entry);
        if (entry.kind == Entry::Kind::folder)
            walk(dir, path, skipped, entries);
    }
}

// The folder now; a file whose metadata did not change since `before` keeps
// its hash there, any other is read again.
Entries scan(const QString &dir, const QStringList &skipped, const Entries &before)
{
    Entries now;
    walk(dir, QString(), skipped, now);
    QList<std::pair<QString, Entry *>> reading;
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (it->kind != Entry::Kind::file)
            continue;
        const auto was = before.find(it.key());
        if (was != before.end() && sameMetadata(*was, *it))
            it->hash = was->hash;
        else
            reading.append({dir + QLatin1Char('/') + it.key(), &*it});
    }
    Parallel::forEach(reading.size(), [&reading](qsizetype at) { reading[at].second->hash = hashFile(reading[at].first); });
    return now;
}

bool writeNew(const QString &path, QByteArrayView bytes)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written = FileDescriptor::writeAll(fd, bytes);
    return ::close(fd) == 0 && written;
}

// Hashes the file at `path` and keeps its bytes in the store as `entry.stored`.
void keep(const QString &path, const QString &store, Entry &entry)
{
    using Kept = Entry::Kept;
    const QString storedPath = store + QLatin1Char('/') + entry.stored;
    if (copied(path, entry.size)) {
        const std::optional<QByteArray> bytes = RegularFile::read(path, entry.size);
        if (!bytes)
            return;
        entry.hash = hashOf(*bytes);
        if (!store.isEmpty() && writeNew(storedPath, *bytes))
            entry.kept = Kept::copy;
        return;
    }
    entry.hash = hashFile(path);
    if (store.isEmpty() || ::link(native(path).constData(), native(storedPath).constData()) != 0)
        return;
    struct stat info {};
    if (::lstat(native(storedPath).constData(), &info) != 0 || info.st_ino != entry.inode)
        return;
    entry.kept = Kept::link;
    // The second link is a change of the file's metadata, not of the file.
    entry.changed = nanoseconds(info.st_ctim);
}

// The folder as it is, its files hashed and kept in `store` (when there is
// one) under their number.
Entries snapshot(const QString &dir, const QString &store, const QStringList &skipped, int &stored)
{
    Entries entries;
    walk(dir, QString(), skipped, entries);
    QList<std::pair<QString, Entry *>> files;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->kind != Entry::Kind::file)
            continue;
        it->stored = QString::number(stored++);
        files.append({dir + QLatin1Char('/') + it.key(), &*it});
    }
    Parallel::forEach(files.size(), [&files, &store](qsizetype at) { keep(files[at].first, store, *files[at].second); });
    return entries;
}

// A fresh store, made by an exclusive create; empty when none can be made
// (a folder that cannot be written to, which no run changes either).
QString makeStore(const QString &dir)
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString path = dir + QLatin1Char('/') + storePrefix + randomHex();
        if (::mkdir(native(path).constData(), 0700) == 0)
            return path;
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

// Takes away what the store `name` holds of its own (the list and the kept
// bytes), then the store itself when nothing else is left in it: history/
// parked there by a put-back cut short stays. The store is opened beneath
// the folder: one a run replaced by a link empties nothing elsewhere.
void removeStore(const PlanFolder &folder, const QString &name)
{
    const PlanFolder::Descriptor store = folder.openFolder(name);
    if (!store.isOpen())
        return;
    ::unlinkat(store.get(), native(manifestName).constData(), 0);
    if (DIR *const listing = ::fdopendir(::fcntl(store.get(), F_DUPFD_CLOEXEC, 0))) {
        QList<QByteArray> kept;
        while (const struct dirent *entry = ::readdir(listing)) {
            const QByteArray file(entry->d_name);
            if (!file.isEmpty() && std::all_of(file.begin(), file.end(), [](char c) { return c >= '0' && c <= '9'; }))
                kept.append(file);
        }
        ::closedir(listing);
        for (const QByteArray &file : kept)
            ::unlinkat(store.get(), file.constData(), 0);
    }
    ::unlinkat(folder.fd(), native(name).constData(), AT_REMOVEDIR);
}

const char *kindName(Entry::Kind kind)
{
    static const char *const names[] = {"file", "folder", "link", "other"};
    return names[int(kind)];
}

const char *keptName(Entry::Kept kept)
{
    static const char *const names[] = {"none", "copy", "link"};
    return names[int(kept)];
}

QJsonObject toJson(const QString &path, const Entry &entry)
{
    return {{QStringLiteral("path"), path},
            {QStringLiteral("kind"), QLatin1String(kindName(entry.kind))},
            {QStringLiteral("size"), entry.size},
            {QStringLiteral("inode"), QString::number(entry.inode)},
            {QStringLiteral("modified"), QString::number(entry.modified)},
            {QStringLiteral("changed"), QString::number(entry.changed)},
            {QStringLiteral("hash"), QString::fromLatin1(entry.hash.toBase64())},
            {QStringLiteral("target"), QString::fromLatin1(entry.target.toBase64())},
            {QStringLiteral("kept"), QLatin1String(keptName(entry.kept))},
            {QStringLiteral("stored"), entry.stored}};
}

// An entry of a store's list, read as data from the folder; nothing when it
// is not one the guard writes.
std::optional<std::pair<QString, Entry>> entryFrom(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    const QString path = object.value(QStringLiteral("path")).toString();
    const QString kind = object.value(QStringLiteral("kind")).toString();
    const QString kept = object.value(QStringLiteral("kept")).toString();
    const QString stored = object.value(QStringLiteral("stored")).toString();
    if (!PlanFolder::isInside(path) || !std::all_of(stored.begin(), stored.end(), [](QChar c) { return c.isDigit(); }))
        return std::nullopt;
    Entry entry;
    for (int at = 0; at < 4; ++at)
        if (kind == QLatin1String(kindName(Entry::Kind(at))))
            entry.kind = Entry::Kind(at);
    for (int at = 0; at < 3; ++at)
        if (kept == QLatin1String(keptName(Entry::Kept(at))))
            entry.kept = Entry::Kept(at);
    entry.size = qint64(object.value(QStringLiteral("size")).toDouble());
    entry.inode = object.value(QStringLiteral("inode")).toString().toULongLong();
    entry.modified = object.value(QStringLiteral("modified")).toString().toLongLong();
    entry.changed = object.value(QStringLiteral("changed")).toString().toLongLong();
    entry.hash = QByteArray::fromBase64(object.value(QStringLiteral("hash")).toString().toLatin1());
    entry.target = QByteArray::fromBase64(object.value(QStringLiteral("target")).toString().toLatin1());
    entry.stored = stored;
    if (entry.kept != Entry::Kept::none && stored.isEmpty())
        entry.kept = Entry::Kept::none;
    return std::make_pair(path, entry);
}

bool under(const QString &path, const QString &folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool underAny(const QString &path, const QStringList &folders)
{
    return std::any_of(folders.begin(), folders.end(), [&](const QString &folder) { return under(path, folder); });
}

// What differs between the two, as paths to move aside (present now,
// outermost only) and paths to put back (as they were, a folder before what
// it holds).
struct Difference {
    QStringList aside;
    QStringList back;
};

Difference compare(const Entries &before, const Entries &now, const QStringList &kept)
{
    Difference difference;
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (underAny(it.key(), kept) || underAny(it.key(), difference.aside))
            continue;
        const auto was = before.find(it.key());
        if (was == before.end() || !same(*was, *it))
            difference.aside.append(it.key());
    }
    for (auto it = before.begin(); it != before.end(); ++it)
        if (!now.contains(it.key()) || underAny(it.key(), difference.aside))
            difference.back.append(it.key());
    return difference;
}

// A new folder of history/ for what the run left, made by an exclusive
// create beneath the folder; its path in the folder, empty when none can be
// made.
QString keptFolder(const PlanFolder &folder)
{
    const QString base = history + QStringLiteral("/kept-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss"));
    for (int number = 1; number < 1000; ++number) {
        const QString path = number == 1 ? base : base + QLatin1Char('-') + QString::number(number);
        const PlanFolder::Place at = folder.place(path);
        if (!at.isOpen())
            return QString();
        if (::mkdirat(at.folder.get(), at.name.constData(), 0700) == 0)
            return path;
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

QString failedAt(const PlanFolder &folder, const QString &path, int error)
{
    return folder.pathOf(path) + QStringLiteral(": ") + systemError(error);
}

// Renames `from` to `to`, both in the folder, never over anything there;
// the folders on the way to `to` are made.
QString moveInto(const PlanFolder &folder, const QString &from, const QString &to)
{
    for (qsizetype slash = to.indexOf(u'/'); slash > 0; slash = to.indexOf(u'/', slash + 1))
        if (!folder.makeFolder(to.left(slash), 0700))
            return failedAt(folder, to.left(slash), errno);
    const PlanFolder::Place source = folder.place(from);
    const PlanFolder::Place target = folder.place(to);
    if (!source.isOpen() || !target.isOpen()
        || ::renameat2(source.folder.get(), source.name.constData(), target.folder.get(), target.name.constData(),
                       RENAME_NOREPLACE) != 0)
        return failedAt(folder, to, errno);
    return QString();
}

// Moves `from` to a fresh name in `store`, never over anything there; its
// path in the folder is `parked`.
QString park(const PlanFolder &folder, const QString &from, const QString &store, QString *parked)
{
    if (store.isEmpty())
        return failedAt(folder, from, ENOENT);
    for (int attempt = 0; attempt < 16; ++attempt) {
        *parked = store + QStringLiteral("/history-") + randomHex();
        const QString error = moveInto(folder, from, *parked);
        if (error.isEmpty() || errno != EEXIST)
            return error;
    }
    return failedAt(folder, from, EEXIST);
}

// The hash of the regular file `path` of the folder, read a piece at a time;
// empty when it cannot be read.
QByteArray hashIn(const PlanFolder &folder, const QString &path)
{
    const PlanFolder::Descriptor file(folder.open(path, O_RDONLY | O_NONBLOCK));
    struct stat status {};
    if (!file.isOpen() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return QByteArray();
    return hashOpen(file.get());
}

// Puts the file `entry` back at `path` from the store, once its bytes there
// prove to be the ones taken. Gives the error of a failed write; `lost` is
// set when the store holds them no more (a file changed where it lay).
QString putBackFile(const PlanFolder &folder, const QString &path, const QString &store, const Entry &entry, bool &lost)
{
    using Kept = Entry::Kept;
    const QString storedPath = store + QLatin1Char('/') + entry.stored;
    lost = true;
    if (entry.kept == Kept::copy) {
        const std::optional<QByteArray> bytes = folder.read(storedPath, entry.size);
        if (!bytes || hashOf(*bytes) != entry.hash)
            return QString();
        lost = false;
        QString error;
        return folder.write(path, *bytes, &error) ? QString() : folder.pathOf(path) + QStringLiteral(": ") + error;
    }
    if (entry.kept != Kept::link || hashIn(folder, storedPath) != entry.hash)
        return QString();
    lost = false;
    // The kept link itself goes back, by way of a name the next claim clears
    // away should this be cut short.
    const PlanFolder::Place source = folder.place(storedPath);
    const PlanFolder::Place target = folder.place(path);
    if (!source.isOpen() || !target.isOpen())
        return failedAt(folder, path, errno);
    const QByteArray temporary = QByteArrayLiteral(".quarrystone-tmp-guard-") + randomHex().toLatin1();
    if (::linkat(source.folder.get(), source.name.constData(), target.folder.get(), temporary.constData(), 0) != 0)
        return failedAt(folder, path, errno);
    if (::renameat(target.folder.get(), temporary.constData(), target.folder.get(), target.name.constData()) != 0) {
        const int error = errno;
        ::unlinkat(target.folder.get(), temporary.constData(), 0);
        return failedAt(folder, path, error);
    }
    return QString();
}

QString putBack(const PlanFolder &folder, const QString &path, const QString &store, const Entry &entry, bool &lost)
{
    using Kind = Entry::Kind;
    lost = false;
    if (entry.kind == Kind::file)
        return putBackFile(folder, path, store, entry, lost);
    if (entry.kind == Kind::folder)
        return folder.makeFolder(path, 0700) ? QString() : failedAt(folder, path, errno);
    if (entry.kind == Kind::link) {
        const PlanFolder::Place at = folder.place(path);
        if (!at.isOpen() || ::symlinkat(entry.target.constData(), at.folder.get(), at.name.constData()) != 0)
            return failedAt(folder, path, errno);
    }
    return QString();
}

} // namespace

PlanGuard::~PlanGuard()
{
    if (m_store.isEmpty())
        return;
    // Gone with the run, not later: a record left behind would have the
    // next claim take what the person changes afterwards for the run's
    // change. A store holds a name per file, and removing names is quick.
    removeStore(m_folder, storeName());
}

std::shared_ptr<PlanGuard> PlanGuard::take(const QString &dir, const AppSettings &settings)
{
    auto guard = std::make_shared<PlanGuard>();
    guard->m_dir = dir;
    guard->m_folder = PlanFolder(dir);
    FolderClaim claim;
    try {
        claim = FolderClaim::take(dir, settings, startWait);
    } catch (const FolderClaim::Failure &failure) {
        guard->m_failure = failure.message;
        return guard;
    }
    if (!claim.isHeld())
        return guard;
    guard->m_store = makeStore(dir);
    try {
        if (!guard->m_store.isEmpty())
            guard->m_storeLock = FolderLock::take(guard->m_store);
    } catch (const FolderLock::Failure &) {
        ::rmdir(native(guard->m_store).constData());
        guard->m_store.clear();
    }
    guard->m_entries = snapshot(dir, guard->m_store, guard->skipped(), guard->m_stored);
    guard->saveManifest();
    guard->m_claim = std::move(claim);
    return guard;
}

QFuture<std::shared_ptr<PlanGuard>> PlanGuard::takeAside(const QString &dir, const AppSettings &settings)
{
    auto promise = std::make_shared<QPromise<std::shared_ptr<PlanGuard>>>();
    promise->start();
    std::thread([promise, dir, settings] {
        promise->addResult(take(dir, settings));
        promise->finish();
    }).detach();
    return promise->future();
}

QStringList PlanGuard::skipped() const
{
    // Putting back after a run that died, every store stays: the others
    // are for their own claims.
    QStringList stores = storesIn(m_dir);
    if (m_recovering)
        return stores;
    // This run's store and those of runs under way in other applications
    // are not the plan's; one a run made, or a run that died left, is.
    const QString own = QFileInfo(m_store).fileName();
    stores.removeIf([&](const QString &name) { return name != own && !held(m_dir + QLatin1Char('/') + name); });
    return stores;
}

void PlanGuard::saveManifest()
{
    if (m_store.isEmpty())
        return;
    QJsonArray entries;
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
        entries.append(toJson(it.key(), *it));
    const QJsonObject manifest{{QStringLiteral("entries"), entries},
                               {QStringLiteral("kept"), QJsonArray::fromStringList(m_keptFolders)}};
    // Unsealed, the list would be no record the next claim may act on: none
    // is written, and only this run puts back what it changed.
    const QByteArray record = RecordSeal::sealed(QJsonDocument(manifest).toJson(QJsonDocument::Compact));
    if (!record.isEmpty())
        m_folder.write(storeName() + QLatin1Char('/') + manifestName, record);
}

void PlanGuard::wrote(const QString &relativePath, const QByteArray &bytes)
{
    const std::lock_guard locked(m_lock);
    noteWritten(relativePath, bytes);
}

void PlanGuard::noteWritten(const QString &relativePath, const QByteArray &bytes)
{
    Entry entry = statOf(m_dir + QLatin1Char('/') + relativePath);
    entry.hash = hashOf(bytes);
    entry.stored = QString::number(m_stored++);
    if (!m_store.isEmpty() && writeNew(m_store + QLatin1Char('/') + entry.stored, bytes))
        entry.kept = Entry::Kept::copy;
    m_entries.insert(relativePath, entry);
    // A folder made for it is the program's too: history/ when the run's
    // record is its first file there.
    for (qsizetype slash = relativePath.indexOf(u'/'); slash > 0; slash = relativePath.indexOf(u'/', slash + 1))
        if (!m_entries.contains(relativePath.left(slash)))
            m_entries.insert(relativePath.left(slash), statOf(m_dir + QLatin1Char('/') + relativePath.left(slash)));
    saveManifest();
}

QString PlanGuard::record(const QString &relativePath, const QByteArray &bytes)
{
    if (!m_folder.isOpen())
        return QString();
    const qsizetype slash = relativePath.lastIndexOf(u'/');
    struct stat status {};
    const PlanFolder::Descriptor folder = m_folder.openFolder(relativePath.left(slash));
    // A plan folder without history/ gets no record.
    if (!folder.isOpen() && errno == ENOENT)
        return QString();
    if (!folder.isOpen() || ::fstat(folder.get(), &status) != 0 || !S_ISDIR(status.st_mode))
        return RegularFile::notOwnFolder(m_folder.pathOf(relativePath.left(slash)));
    // Written and noted as one step: the other platform's run, putting back
    // meanwhile, must not find the record before it is part of the folder.
    const std::lock_guard locked(m_lock);
    QString error;
    if (!m_folder.write(relativePath, bytes, &error))
        return error;
    noteWritten(relativePath, bytes);
    return QString();
}

QString PlanGuard::putBackChanges(const AppSettings &settings)
{
    // Compared first without the claim: the runs of both platforms check
    // the same folder, and only one that finds a change needs to hold it.
    {
        const std::lock_guard locked(m_lock);
        const Difference seen = compare(m_entries, scan(m_dir, skipped(), m_entries), m_keptFolders);
        if (seen.aside.isEmpty() && seen.back.isEmpty())
            return QString();
    }
    // Held since the start, no other operation has written here. A folder
    // made while the run worked is claimed now, waiting for an operation
    // that holds it; what it left is judged like any change.
    FolderClaim claim;
    try {
        if (!m_claim.isHeld())
            claim = FolderClaim::take(m_dir, settings, operationWait, false);
    } catch (const FolderClaim::Failure &failure) {
        return notPutBack(failure.message);
    }
    const std::lock_guard locked(m_lock);
    const QString line = putBackHeld();
    saveManifest();
    return line;
}

QString PlanGuard::putBackHeld()
{
    const Difference difference = compare(m_entries, scan(m_dir, skipped(), m_entries), m_keptFolders);
    if (difference.aside.isEmpty() && difference.back.isEmpty())
        return QString();
    if (!m_folder.isOpen())
        return notPutBack(failedAt(m_folder, QString(), errno));

    const QString store = storeName();
    QString kept;
    if (!difference.aside.isEmpty()) {
        // history/ itself may be what changed: it goes aside first, under a
        // fresh name in the store, so the kept folder can be made in a real
        // history/.
        const bool historyAside = difference.aside.contains(history);
        QString parked;
        if (historyAside)
            if (const QString error = park(m_folder, history, store, &parked); !error.isEmpty())
                return notPutBack(error);
        m_folder.makeFolder(history);
        // Made here, it is no change of the run's: the other platform's run
        // must not take it for one.
        if (!m_entries.contains(history))
            m_entries.insert(history, statOf(m_folder.pathOf(history)));
        kept = keptFolder(m_folder);
        if (kept.isEmpty())
            return notPutBack(failedAt(m_folder, history, errno));
        for (const QString &path : difference.aside) {
            const QString from = path == history ? parked : path;
            if (const QString error = moveInto(m_folder, from, kept + QLatin1Char('/') + path); !error.isEmpty())
                return notPutBack(error);
        }
        m_keptFolders.append(kept);
    }
    QStringList lost;
    for (const QString &path : difference.back) {
        bool gone = false;
        Entry &entry = m_entries[path];
        if (const QString error = putBack(m_folder, path, store, entry, gone); !error.isEmpty())
            return notPutBack(error);
        if (gone) {
            lost.append(path);
            continue;
        }
        // What is there now is what was taken: the next comparison need not
        // read it again.
        const Entry now = statOf(m_folder.pathOf(path));
        if (entry.kind == Entry::Kind::file && now.kind == Entry::Kind::file) {
            entry.inode = now.inode;
            entry.modified = now.modified;
            entry.changed = now.changed;
        }
    }
    const QString where = kept.isEmpty() ? QString() : QStringLiteral(" (바뀐 내용: ") + m_folder.pathOf(kept) + QLatin1Char(')');
    if (!lost.isEmpty())
        return notPutBack(QStringLiteral("원본이 남아 있지 않아요: ") + lost.join(QStringLiteral(", ")) + where);

    QStringList named = difference.aside;
    for (const QString &path : difference.back)
        if (!underAny(path, difference.aside))
            named.append(path);
    named.sort();
    return QStringLiteral("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: ") + named.join(QStringLiteral(", ")) + where;
}

QString PlanGuard::storeName() const
{
    return QFileInfo(m_store).fileName();
}

std::optional<QString> PlanGuard::recover(const QString &dir)
{
    const QStringList stores = storesIn(dir);
    QStringList lines;
    QStringList foreign;
    for (const QString &name : stores) {
        PlanGuard guard;
        guard.m_dir = dir;
        guard.m_folder = PlanFolder(dir);
        guard.m_recovering = true;
        try {
            // Held: the run's application still lives.
            guard.m_storeLock = FolderLock::take(dir + QLatin1Char('/') + name);
        } catch (const FolderLock::Failure &) {
            continue;
        }
        const std::optional<QByteArray> record = guard.m_folder.read(name + QLatin1Char('/') + manifestName, manifestBytes);
        if (!record)
            continue;
        // A list this person's program did not seal came with the folder:
        // taken at its word it would make links and write through them.
        const std::optional<QByteArray> bytes = RecordSeal::opened(*record);
        if (!bytes) {
            foreign.append(name);
            continue;
        }
        QJsonObject manifest;
        try {
            manifest = parseObject(*bytes);
        } catch (const JSONDecodeError &) {
            continue;
        }
        for (const QJsonValue &value : manifest.value(QStringLiteral("entries")).toArray())
            if (const auto entry = entryFrom(value))
                guard.m_entries.insert(entry->first, entry->second);
        // A list that names nothing was never a plan folder's: taken at its
        // word it would move the whole folder aside.
        if (guard.m_entries.isEmpty())
            continue;
        for (const QJsonValue &value : manifest.value(QStringLiteral("kept")).toArray())
            if (PlanFolder::isInside(value.toString()))
                guard.m_keptFolders.append(value.toString());
        guard.m_store = dir + QLatin1Char('/') + name;
        if (const QString line = guard.putBackHeld(); !line.isEmpty())
            lines.append(line);
    }
    if (!foreign.isEmpty())
        lines.append(QStringLiteral("이 컴퓨터에서 남긴 것이 아닌 개발 기록은 따르지 않고 그대로 두었어요: ")
                     + foreign.join(QStringLiteral(", ")));
    if (lines.isEmpty())
        return std::nullopt;
    return lines.join(QLatin1Char('\n'));
}
