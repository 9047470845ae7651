#include "model/planguard.h"

#include "core/atomicfile.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "model/folderclaim.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::chrono::minutes operationWait(2);
const QString history = QStringLiteral("history");

QString notPutBack(const QString &reason)
{
    return QStringLiteral("개발 중에 계획서 파일이 바뀌었는데 원래대로 돌려 놓지 못했어요: ") + reason;
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

PlanGuard::Entry entryAt(const QString &path)
{
    using Kind = PlanGuard::Entry::Kind;
    struct stat info {};
    if (::lstat(native(path).constData(), &info) != 0)
        return {};
    if (S_ISDIR(info.st_mode))
        return {Kind::folder, {}};
    if (S_ISLNK(info.st_mode)) {
        QByteArray target(4096, '\0');
        const ssize_t size = ::readlink(native(path).constData(), target.data(), size_t(target.size()));
        return {Kind::link, target.left(std::max<ssize_t>(size, 0))};
    }
    if (S_ISREG(info.st_mode))
        if (const std::optional<QByteArray> bytes = RegularFile::read(path, FileSizes::page))
            return {Kind::file, *bytes};
    return {};
}

// Every entry below `dir`, links not followed.
PlanGuard::Entries scan(const QString &dir)
{
    PlanGuard::Entries entries;
    const QDir root(dir);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(root.relativeFilePath(path), entryAt(path));
    }
    return entries;
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

Difference compare(const PlanGuard::Entries &before, const PlanGuard::Entries &now, const QStringList &kept)
{
    Difference difference;
    for (auto it = now.begin(); it != now.end(); ++it) {
        if (underAny(it.key(), kept) || underAny(it.key(), difference.aside))
            continue;
        const auto was = before.find(it.key());
        if (was == before.end() || *was != *it)
            difference.aside.append(it.key());
    }
    for (auto it = before.begin(); it != before.end(); ++it)
        if (!now.contains(it.key()) || underAny(it.key(), difference.aside))
            difference.back.append(it.key());
    return difference;
}

// A new folder of history/ for what the run left, made by an exclusive
// create; empty when none can be made.
QString keptFolder(const QString &dir)
{
    const QString base = dir + QLatin1Char('/') + history + QStringLiteral("/kept-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmmss"));
    for (int number = 1; number < 1000; ++number) {
        const QString path = number == 1 ? base : base + QLatin1Char('-') + QString::number(number);
        if (::mkdir(native(path).constData(), 0700) == 0)
            return path;
        if (errno != EEXIST)
            return QString();
    }
    return QString();
}

QString moveInto(const QString &from, const QString &to)
{
    QDir().mkpath(QFileInfo(to).absolutePath());
    if (::rename(native(from).constData(), native(to).constData()) != 0)
        return to + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    return QString();
}

QString putBack(const QString &path, const PlanGuard::Entry &entry)
{
    using Kind = PlanGuard::Entry::Kind;
    QString error;
    bool done = true;
    if (entry.kind == Kind::folder)
        done = ::mkdir(native(path).constData(), 0700) == 0 || errno == EEXIST;
    else if (entry.kind == Kind::link)
        done = ::symlink(entry.bytes.constData(), native(path).constData()) == 0;
    else if (entry.kind == Kind::file)
        return AtomicFile::write(path, entry.bytes, &error) ? QString() : path + QStringLiteral(": ") + error;
    return done ? QString() : path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

std::shared_ptr<PlanGuard> PlanGuard::take(const QString &dir)
{
    auto guard = std::make_shared<PlanGuard>();
    guard->m_dir = dir;
    guard->m_entries = scan(dir);
    return guard;
}

void PlanGuard::wrote(const QString &relativePath, const QByteArray &bytes)
{
    const std::lock_guard locked(m_lock);
    m_entries.insert(relativePath, Entry{Entry::Kind::file, bytes});
    // A folder made for it is the program's too: history/ when the run's
    // record is its first file there.
    for (qsizetype slash = relativePath.indexOf(u'/'); slash > 0; slash = relativePath.indexOf(u'/', slash + 1))
        if (!m_entries.contains(relativePath.left(slash)))
            m_entries.insert(relativePath.left(slash), Entry{Entry::Kind::folder, {}});
}

QString PlanGuard::putBackChanges(const AppSettings &settings)
{
    // Compared first without the claim: the runs of both platforms check
    // the same folder, and only one that finds a change needs to hold it.
    {
        const std::lock_guard locked(m_lock);
        const Difference seen = compare(m_entries, scan(m_dir), m_keptFolders);
        if (seen.aside.isEmpty() && seen.back.isEmpty())
            return QString();
    }
    // A plan operation that holds the folder (a revision from the command
    // line, say) is waited for; what it left is judged like any change.
    FolderClaim claim;
    try {
        claim = FolderClaim::take(m_dir, settings, operationWait, false);
    } catch (const FolderClaim::Failure &failure) {
        return notPutBack(failure.message);
    }
    const std::lock_guard locked(m_lock);
    const Difference difference = compare(m_entries, scan(m_dir), m_keptFolders);
    if (difference.aside.isEmpty() && difference.back.isEmpty())
        return QString();

    const QString root = m_dir + QLatin1Char('/');
    QString kept;
    if (!difference.aside.isEmpty()) {
        // history/ itself may be what changed: it goes aside first, under a
        // name of the folder's own, so the kept folder can be made in a
        // real history/.
        const bool historyAside = difference.aside.contains(history);
        const QString parked = root + QStringLiteral(".quarrystone-guard-history");
        if (historyAside)
            if (const QString error = moveInto(root + history, parked); !error.isEmpty())
                return notPutBack(error);
        QDir().mkpath(root + history);
        // Made here, it is no change of the run's: the other platform's run
        // must not take it for one.
        if (!m_entries.contains(history))
            m_entries.insert(history, Entry{Entry::Kind::folder, {}});
        kept = keptFolder(m_dir);
        if (kept.isEmpty())
            return notPutBack(root + history + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
        for (const QString &path : difference.aside) {
            const QString from = path == history ? parked : root + path;
            if (const QString error = moveInto(from, kept + QLatin1Char('/') + path); !error.isEmpty())
                return notPutBack(error);
        }
        m_keptFolders.append(QDir(m_dir).relativeFilePath(kept));
    }
    for (const QString &path : difference.back)
        if (const QString error = putBack(root + path, m_entries.value(path)); !error.isEmpty())
            return notPutBack(error);

    QStringList named = difference.aside;
    for (const QString &path : difference.back)
        if (!underAny(path, difference.aside))
            named.append(path);
    named.sort();
    const QString line =
        QStringLiteral("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: ") + named.join(QStringLiteral(", "));
    return kept.isEmpty() ? line : line + QStringLiteral(" (바뀐 내용: ") + kept + QLatin1Char(')');
}
