#include "settings/appswap.h"

#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/fileerror.h"
#include "core/regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace AppSwap {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool exists(const QString &path)
{
    struct stat info {};
    return ::lstat(native(path).constData(), &info) == 0;
}

// What names one folder for as long as it exists, whatever it is renamed
// to. The folders compared all lie in one folder, so the inode is enough;
// a device number may change across a restart of the machine.
QByteArray identity(const QString &path)
{
    struct stat info {};
    if (::lstat(native(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return QByteArray();
    return QByteArray::number(quint64(info.st_ino));
}

// Copies one regular file, its mode included; gives 0 or the errno value.
int copyFile(const QByteArray &from, const QByteArray &to, mode_t mode)
{
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0)
        return errno;
    const int out = ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 || (got > 0 && !FileDescriptor::writeAll(out, QByteArrayView(buffer, got))))
            error = errno;
        if (got <= 0 || error)
            break;
    }
    ::close(in);
    if (::close(out) != 0 && !error)
        error = errno;
    return error;
}

// Copies a folder with what it holds (links as links); gives 0 or the errno
// value of the first failure.
int copyTree(const QByteArray &from, const QByteArray &to)
{
    struct stat info {};
    if (::lstat(from.constData(), &info) != 0)
        return errno;
    if (S_ISLNK(info.st_mode)) {
        QByteArray target(PATH_MAX, '\0');
        const ssize_t size = ::readlink(from.constData(), target.data(), target.size());
        if (size < 0)
            return errno;
        target.truncate(size);
        return ::symlink(target.constData(), to.constData()) == 0 ? 0 : errno;
    }
    if (!S_ISDIR(info.st_mode))
        return S_ISREG(info.st_mode) ? copyFile(from, to, info.st_mode) : 0;
    if (::mkdir(to.constData(), 0700) != 0)
        return errno;
    std::error_code listing;
    for (const auto &entry : std::filesystem::directory_iterator(from.toStdString(), listing)) {
        const QByteArray name = QByteArray::fromStdString(entry.path().filename().string());
        if (const int error = copyTree(from + '/' + name, to + '/' + name))
            return error;
    }
    if (listing)
        return listing.value();
    return ::chmod(to.constData(), info.st_mode & 07777) == 0 ? 0 : errno;
}

// Makes everything written to the file system of `path` durable, so that
// a copy called complete is complete after a power cut too.
int sync(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int error = ::syncfs(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

bool rename(const QString &from, const QString &to)
{
    return ::rename(native(from).constData(), native(to).constData()) == 0;
}

// Gives the path of every file and link below `root`, relative to it.
void listFiles(const QByteArray &root, const QByteArray &relative, QSet<QByteArray> &files)
{
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator((root + relative).toStdString(), error)) {
        const QByteArray name = relative + '/' + QByteArray::fromStdString(entry.path().filename().string());
        if (entry.is_directory(error) && !entry.is_symlink(error))
            listFiles(root, name, files);
        else
            files.insert(name);
    }
}

// Makes `to` hold what `from` holds: each file and link is renamed into
// place over what was there, so every path below `to` names a whole file
// at every moment. Gives 0 or the errno value of the first failure.
int moveTree(const QByteArray &from, const QByteArray &to)
{
    struct stat target {};
    if (::lstat(to.constData(), &target) == 0 && !S_ISDIR(target.st_mode) && ::unlink(to.constData()) != 0)
        return errno;
    if (::mkdir(to.constData(), 0755) != 0 && errno != EEXIST)
        return errno;
    std::error_code listing;
    for (const auto &entry : std::filesystem::directory_iterator(from.toStdString(), listing)) {
        const QByteArray name = QByteArray::fromStdString(entry.path().filename().string());
        const QByteArray source = from + '/' + name;
        const QByteArray destination = to + '/' + name;
        struct stat info {};
        if (::lstat(source.constData(), &info) != 0)
            return errno;
        if (S_ISDIR(info.st_mode)) {
            if (const int error = moveTree(source, destination))
                return error;
            ::chmod(destination.constData(), info.st_mode & 07777);
            continue;
        }
        struct stat there {};
        if (::lstat(destination.constData(), &there) == 0 && S_ISDIR(there.st_mode)) {
            std::error_code removing;
            std::filesystem::remove_all(destination.toStdString(), removing);
        }
        if (::rename(source.constData(), destination.constData()) != 0)
            return errno;
    }
    return listing ? listing.value() : 0;
}

// Keeps the installed folder's files in `to` as second links to the same
// files (a copy where the file system has no such links), so that nothing
// is copied and an unfinished move can be put back.
int keepTree(const QByteArray &from, const QByteArray &to)
{
    struct stat info {};
    if (::lstat(from.constData(), &info) != 0)
        return errno;
    if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.constData(), 0700) != 0)
            return errno;
        std::error_code listing;
        for (const auto &entry : std::filesystem::directory_iterator(from.toStdString(), listing)) {
            const QByteArray name = QByteArray::fromStdString(entry.path().filename().string());
            if (const int error = keepTree(from + '/' + name, to + '/' + name))
                return error;
        }
        if (listing)
            return listing.value();
        // A failed swap moves the kept folders back with their modes.
        return ::chmod(to.constData(), info.st_mode & 07777) == 0 ? 0 : errno;
    }
    if (::link(from.constData(), to.constData()) == 0)
        return 0;
    return copyTree(from, to);
}

// Removes what the installed folder still holds of the old application
// and the new one does not: files that are still the very files kept.
void dropOldFiles(const QByteArray &app, const QByteArray &kept)
{
    QSet<QByteArray> files;
    listFiles(app, QByteArray(), files);
    for (const QByteArray &file : std::as_const(files)) {
        struct stat now {};
        struct stat before {};
        if (::lstat((app + file).constData(), &now) == 0 && ::lstat((kept + file).constData(), &before) == 0
            && now.st_ino == before.st_ino && now.st_dev == before.st_dev)
            ::unlink((app + file).constData());
    }
}

// The swap where the file system cannot exchange two folders: the new
// copy's files are moved into the installed folder one by one, each by a
// rename over the old file, so that a start at any moment finds an
// application at the installed path, and completes the swap itself. The
// old files are kept aside first, whole, for a failure to put back; a
// stamp in that copy says it is whole, so a swap cut short goes on.
QByteArray keptStamp(const QString &app, const QByteArray &wanted)
{
    return native(retired(app)) + "/.quarrystone-kept-" + wanted;
}

std::optional<QString> moveFilesInto(const QString &app, const QByteArray &wanted)
{
    const QByteArray kept = native(retired(app));
    const QByteArray stamp = keptStamp(app, wanted);
    if (!exists(QFile::decodeName(stamp))) {
        clear(retired(app));
        int error = keepTree(native(app), kept);
        if (!error) {
            const int fd = ::open(stamp.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            error = fd < 0 ? errno : (::close(fd), sync(kept));
        }
        if (error) {
            clear(retired(app));
            return FileError::describe(error);
        }
    }
    if (const int error = moveTree(native(staged(app)), native(app))) {
        // Back to the old application: its files over whatever came, and
        // nothing of the new one beside them.
        QSet<QByteArray> old;
        listFiles(kept, QByteArray(), old);
        ::unlink(stamp.constData());
        moveTree(kept, native(app));
        QSet<QByteArray> now;
        listFiles(native(app), QByteArray(), now);
        for (const QByteArray &file : std::as_const(now))
            if (!old.contains(file))
                ::unlink((native(app) + file).constData());
        return FileError::describe(error);
    }
    dropOldFiles(native(app), kept);
    return std::nullopt;
}

// Puts the staged copy named `wanted` at `app`. A kill between any two
// steps leaves a state this same function completes when run again.
std::optional<QString> putInPlace(const QString &app, const QByteArray &wanted)
{
    if (!wanted.isEmpty() && identity(app) == wanted)
        return std::nullopt;
    if (wanted.isEmpty() || identity(staged(app)) != wanted) {
        // The new copy is gone: the old one stays, or comes back.
        if (!exists(app) && exists(retired(app)))
            rename(retired(app), app);
        return FileError::describe(ENOENT);
    }
    if (!exists(app)) {
        // Cut off between the two renames below.
        if (rename(staged(app), app))
            return std::nullopt;
        const int error = errno;
        rename(retired(app), app);
        return FileError::describe(error);
    }
    // A move one by one that a kill cut short goes on the same way: part of
    // the new files are already in the installed folder, so exchanging the
    // folders now would put a copy without them in place.
    if (exists(QFile::decodeName(keptStamp(app, wanted))))
        return moveFilesInto(app, wanted);
    const QByteArray from = native(staged(app));
    const QByteArray to = native(app);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0)
        return std::nullopt;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return FileError::describe(errno);
    return moveFilesInto(app, wanted);
}

// Copies that `clear` could not remove and moved aside ("….app.new-<hex>",
// "….app.old-<hex>") are tried again, so that none stays for good once it
// can go.
void clearMovedAside(const QString &app)
{
    const QFileInfo installed(app);
    const QRegularExpression aside(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(installed.fileName()) + QStringLiteral("\\.(new|old)-[0-9a-f]{8}")));
    const QFileInfoList entries =
        QDir(installed.path()).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!aside.match(entry.fileName()).hasMatch())
            continue;
        std::error_code error;
        std::filesystem::remove_all(native(entry.filePath()).toStdString(), error);
    }
}

} // namespace

QString staged(const QString &app)
{
    return app + QStringLiteral(".new");
}

QString retired(const QString &app)
{
    return app + QStringLiteral(".old");
}

QString marker(const QString &app)
{
    return app + QStringLiteral(".swap");
}

QString installedFor(const QString &bundle)
{
    if (bundle.endsWith(QLatin1String(".app")))
        return bundle;
    if (bundle.endsWith(QLatin1String(".app.new")) || bundle.endsWith(QLatin1String(".app.old")))
        return bundle.chopped(4);
    return QString();
}

void stage(const QString &unpacked, const QString &app)
{
    abandon(app);
    int error = copyTree(native(unpacked), native(staged(app)));
    if (!error)
        error = sync(native(staged(app)));
    if (error) {
        clear(staged(app));
        throw Failure{FileError::describe(error)};
    }
}

void commit(const QString &app)
{
    const QByteArray copy = identity(staged(app));
    if (copy.isEmpty())
        throw Failure{FileError::describe(ENOENT)};
    QString error;
    if (!AtomicFile::write(marker(app), copy, &error))
        throw Failure{FileError::describe(error)};
}

void abandon(const QString &app)
{
    QFile::remove(marker(app));
    clear(staged(app));
    clearMovedAside(app);
}

namespace {

// What the marker says once the new folder is in place, so that a finisher
// cut short while clearing up does not take the copy it cleared away for a
// lost one.
const QByteArray swapDone = QByteArrayLiteral("done");

// Writes it over the `size` bytes the marker holds, in one write that a
// kill cannot cut: blanks pad it, and no file is left half made beside it.
void markDone(int fd, qsizetype size)
{
    const QByteArray text = swapDone + QByteArray(std::max<qsizetype>(0, size - swapDone.size()), ' ');
    if (::pwrite(fd, text.constData(), size_t(text.size()), 0) == text.size())
        ::fsync(fd);
}

// What `commit` or `markDone` wrote: a folder's number or "done", and no
// more bytes than those and their padding. Anything else at the marker's
// name (garbage, a sparse file of zeros) records no decision of ours.
bool isDecision(const QByteArray &wanted, off_t size)
{
    constexpr off_t longest = 32;
    if (size > longest || wanted.isEmpty())
        return false;
    return wanted == swapDone || std::all_of(wanted.begin(), wanted.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::optional<QString> finish(const QString &app)
{
    const QByteArray markerPath = native(marker(app));
    // Anything but a regular file under the marker's name is no marker, and
    // must not hold a start that opens it.
    int fd = RegularFile::open(marker(app), O_NOFOLLOW | O_RDWR);
    if (fd < 0)
        fd = RegularFile::open(marker(app), O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    // One finisher at a time; a second one finds the marker gone.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) != 0 || ::lstat(markerPath.constData(), &named) != 0 || held.st_ino != named.st_ino
        || held.st_dev != named.st_dev) {
        ::close(fd);
        return std::nullopt;
    }
    char text[64] = {};
    const ssize_t size = ::read(fd, text, sizeof text - 1);
    const QByteArray wanted = QByteArray(text, size > 0 ? size : 0).trimmed();
    if (!isDecision(wanted, held.st_size)) {
        // No update was decided: nothing failed, and nothing is to be told.
        ::unlink(markerPath.constData());
        ::close(fd);
        return std::nullopt;
    }
    const std::optional<QString> failure = wanted == swapDone ? std::nullopt : putInPlace(app, wanted);
    if (!failure && wanted != swapDone)
        markDone(fd, size);
    // Whichever folder is not the installed one now is the one to drop.
    clear(staged(app));
    clear(retired(app));
    clearMovedAside(app);
    ::unlink(markerPath.constData());
    ::close(fd);
    return failure;
}

void clear(const QString &path)
{
    if (!exists(path))
        return;
    std::error_code error;
    std::filesystem::remove_all(native(path).toStdString(), error);
    for (int attempt = 0; exists(path) && attempt < 8; ++attempt)
        rename(path, path + QStringLiteral("-%1").arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')));
}

} // namespace AppSwap
