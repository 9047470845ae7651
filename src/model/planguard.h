#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>

struct AppSettings;

// What a development run may not change: the system keeps its build to its
// worktree where it can, and this is the second line. The whole plan folder
// (every file, folder and link, history/ and request.json included) is taken
// when the run starts and compared when it ends, however it ends; the
// comparison trusts only what was taken, never a mark in the folder.
// Shared by the runs of one start, so that one run's change never becomes
// what another run puts back.
class PlanGuard
{
public:
    // Takes the folder `dir` as it is now. Blocking: reads every file.
    static std::shared_ptr<PlanGuard> take(const QString &dir);

    // Claims the folder (waiting for an operation that holds it), then puts
    // back every file, folder and link that changed, appeared or went since
    // `take`; what stood in their place is moved to one new folder of
    // history/, so nothing written is lost. Blocking: call it on a thread of
    // its own. Gives one Korean line naming every path put back and where
    // the changes are kept; empty when nothing changed.
    QString putBackChanges(const AppSettings &settings);

    // The program itself wrote `bytes` to the file `relativePath` of the
    // folder (a run's record) while holding the folder: part of what the
    // folder holds from now on.
    void wrote(const QString &relativePath, const QByteArray &bytes);

    struct Entry {
        enum class Kind { file, folder, link, other };
        Kind kind = Kind::other;
        // A file's bytes, a link's target.
        QByteArray bytes;
        bool operator==(const Entry &) const = default;
    };
    // Relative path → entry; a folder sorts before what it holds.
    using Entries = QMap<QString, Entry>;

private:
    QString m_dir;
    std::mutex m_lock;
    Entries m_entries;
    // Folders of history/ that hold what a run put aside: not compared.
    QStringList m_keptFolders;
};
