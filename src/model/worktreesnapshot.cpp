#include "model/worktreesnapshot.h"

#include <QFile>
#include <QSet>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

qint64 nanoseconds(const timespec &time)
{
    return static_cast<qint64>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

bool isGit(const QByteArray &path)
{
    return path == ".git" || path.endsWith("/.git");
}

} // namespace

WorktreeSnapshot WorktreeSnapshot::take(const QString &root)
{
    WorktreeSnapshot snapshot;
    snapshot.m_root = root;
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        snapshot.walk(fd, QByteArray());
    return snapshot;
}

// Takes over `folder`, which it closes.
void WorktreeSnapshot::walk(int folder, const QByteArray &prefix)
{
    DIR *const listing = ::fdopendir(folder);
    if (!listing) {
        ::close(folder);
        return;
    }
    while (const dirent *item = ::readdir(listing)) {
        const QByteArray name(item->d_name);
        if (name == "." || name == "..")
            continue;
        struct stat status {};
        if (::fstatat(folder, item->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const QByteArray path = prefix + name;
        m_entries.insert(path, Entry{status.st_mode, status.st_ino, S_ISDIR(status.st_mode) ? 0 : status.st_size,
                                     nanoseconds(status.st_mtim), nanoseconds(status.st_ctim)});
        if (S_ISDIR(status.st_mode) && !isGit(path)) {
            const int inner = ::openat(folder, item->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (inner >= 0)
                walk(inner, path + '/');
        }
    }
    ::closedir(listing);
}

QStringList WorktreeSnapshot::gitEntries() const
{
    QStringList entries;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it)
        if (it.key() != ".git" && isGit(it.key()))
            entries.append(m_root + QLatin1Char('/') + QFile::decodeName(it.key()));
    return entries;
}

QStringList WorktreeSnapshot::changedSince(const WorktreeSnapshot &before, const QStringList &named) const
{
    // Folders that hold a named path: listed by what is in them.
    QSet<QByteArray> holding;
    QSet<QByteArray> known;
    for (const QString &path : named) {
        const QByteArray bytes = QFile::encodeName(path);
        known.insert(bytes);
        for (qsizetype slash = bytes.indexOf('/'); slash >= 0; slash = bytes.indexOf('/', slash + 1))
            holding.insert(bytes.left(slash));
    }
    QStringList paths;
    // Folders made or removed, with their "/": each stands for all in it.
    QSet<QByteArray> whole;
    auto within = [&whole](const QByteArray &path) {
        for (qsizetype slash = path.indexOf('/'); slash >= 0; slash = path.indexOf('/', slash + 1))
            if (whole.contains(path.left(slash + 1)))
                return true;
        return false;
    };
    // A parent comes before what is in it: it is a prefix of their paths.
    auto list = [&](const QByteArray &path, bool folder) {
        // A .git is named wherever it is: what a later git follows.
        if (known.contains(path) || holding.contains(path) || (within(path) && !isGit(path)))
            return;
        if (folder)
            whole.insert(path + '/');
        paths.append(QFile::decodeName(folder ? path + '/' : path));
    };
    auto now = m_entries.cbegin();
    auto was = before.m_entries.cbegin();
    while (now != m_entries.cend() || was != before.m_entries.cend()) {
        if (was == before.m_entries.cend() || (now != m_entries.cend() && now.key() < was.key())) {
            list(now.key(), S_ISDIR(now->mode));
            ++now;
        } else if (now == m_entries.cend() || was.key() < now.key()) {
            list(was.key(), S_ISDIR(was->mode));
            ++was;
        } else {
            // A folder's own times change with what is made in it, which is
            // listed itself.
            const bool folders = S_ISDIR(now->mode) && S_ISDIR(was->mode);
            if (folders ? now->mode != was->mode || now->inode != was->inode : !(*now == *was))
                list(now.key(), false);
            ++now;
            ++was;
        }
    }
    return paths;
}
