#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <sys/types.h>

// Every path under a worktree with what tells one state of it from
// another, taken before and after a development run: what the run made,
// changed or removed there shows whatever git would leave out (ignored
// files, a .gitignore the run wrote for itself, a .git it planted). Links
// are not followed, and what lies in a git folder is git's, not the run's:
// a .git is one entry.
class WorktreeSnapshot
{
public:
    // The worktree at `root` as it is now; empty when it cannot be read.
    static WorktreeSnapshot take(const QString &root);

    // Every ".git" below the root (not the worktree's own), file or folder,
    // by its full path: what a submodule's or a nested repository's git
    // follows.
    QStringList gitEntries() const;

    // The paths, relative to the root, made, changed or removed since
    // `before`, in byte order, but for those `named` already (git's list);
    // a folder made or removed that holds none of those stands for
    // everything in it, as "<folder>/", but a .git in it, which is named.
    QStringList changedSince(const WorktreeSnapshot &before, const QStringList &named) const;

    bool isEmpty() const { return m_entries.isEmpty(); }

private:
    struct Entry {
        mode_t mode = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modified = 0;
        qint64 changed = 0;

        bool operator==(const Entry &) const = default;
    };

    void walk(int folder, const QByteArray &prefix);

    QString m_root;
    // By path relative to the root, as bytes.
    QMap<QByteArray, Entry> m_entries;
};
