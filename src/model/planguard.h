#pragma once

#include "core/folderlock.h"
#include "model/folderclaim.h"
#include "model/planfolder.h"

#include <QByteArray>
#include <QFuture>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <mutex>
#include <optional>

struct AppSettings;

// What a development run may not change: the system keeps its build to its
// worktree where it can, and this is the second line. The whole plan folder
// (every file, folder and link, history/ and request.json included) is taken
// when the run starts and compared when it ends, however it ends; the
// comparison trusts only what was taken, never a mark in the folder.
// Shared by the runs of one start, so that one run's change never becomes
// what another run puts back.
//
// Memory holds only each file's size, times and hash. What is put back
// comes from a store in the folder (".quarrystone-guard-…", a fresh name):
// a copy of every document and small file, a second link to every larger
// one. The guard holds the folder's claim from `take` to its end, so that
// no other writer (a revision, a render, another application) changes the
// plan while the run works, only to have it put back afterwards. The store
// with its list is also the record that a run is under way:
// while the run's application lives it holds the store's lock, and a claim
// of the folder that finds a store nobody holds puts back what the run of
// an application that died had changed.
class PlanGuard
{
public:
    struct Entry {
        enum class Kind { file, folder, link, other };
        // How a file's bytes are kept in the store.
        enum class Kept { none, copy, link };
        Kind kind = Kind::other;
        qint64 size = 0;
        // What tells a file untouched without reading it again.
        quint64 inode = 0;
        qint64 modified = 0;
        qint64 changed = 0;
        // A file's content hash; a link's target.
        QByteArray hash;
        QByteArray target;
        Kept kept = Kept::none;
        // The name of its bytes in the store.
        QString stored;
    };
    // Relative path → entry; a folder sorts before what it holds.
    using Entries = QMap<QString, Entry>;

    PlanGuard() = default;
    PlanGuard(const PlanGuard &) = delete;
    PlanGuard &operator=(const PlanGuard &) = delete;
    // Removes the store: the run is over.
    ~PlanGuard();

    // Takes the folder `dir` as it is now, under its claim (waiting a few
    // seconds for a write that holds it), and holds it. Blocking: reads
    // every file once. A folder that could not be claimed gives a guard
    // whose `failure` says why.
    static std::shared_ptr<PlanGuard> take(const QString &dir, const AppSettings &settings);
    // `take` on a thread of its own; the runs of one start share the result.
    static QFuture<std::shared_ptr<PlanGuard>> takeAside(const QString &dir, const AppSettings &settings);

    // Why the folder could not be taken; empty when it was.
    const QString &failure() const { return m_failure; }

    // Puts back every file, folder and link that changed, appeared or went since
    // `take`; what stood in their place is moved to one new folder of
    // history/, so nothing written is lost. Blocking: call it on a thread of
    // its own. Gives one Korean line naming every path put back and where
    // the changes are kept; empty when nothing changed.
    QString putBackChanges(const AppSettings &settings);

    // The program itself wrote `bytes` to the file `relativePath` of the
    // folder (a run's record) while holding the folder: part of what the
    // folder holds from now on.
    void wrote(const QString &relativePath, const QByteArray &bytes);

    // Writes the run's record `bytes` to `relativePath` of the folder's
    // history/, beneath the folder and never through a link, when history/
    // is there; part of the folder from then on. Gives why it could not be
    // written.
    QString record(const QString &relativePath, const QByteArray &bytes);

    // Puts back what the development run of an application that died had
    // changed in `dir`, from every store there that no living run holds, and
    // removes those stores. Only a store whose list this person's program
    // sealed is acted on: one that came with the folder is left as it is,
    // and named. Called by the folder's claim, with the folder held. Gives
    // the lines that tell the person, nothing when there is nothing to tell.
    static std::optional<QString> recover(const QString &dir);

private:
    QString putBackHeld();
    // wrote(), with m_lock held.
    void noteWritten(const QString &relativePath, const QByteArray &bytes);
    // The names at the folder's top that are no part of the plan: stores.
    QStringList skipped() const;
    void saveManifest();
    // The store's name in the folder.
    QString storeName() const;

    QString m_dir;
    PlanFolder m_folder;
    FolderClaim m_claim;
    QString m_store;
    FolderLock m_storeLock;
    QString m_failure;
    std::mutex m_lock;
    Entries m_entries;
    // Folders of history/ that hold what a run put aside: not compared.
    QStringList m_keptFolders;
    // Set while putting back after a run whose application died.
    bool m_recovering = false;
    int m_stored = 0;
};
