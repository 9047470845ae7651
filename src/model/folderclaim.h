#pragma once

#include "core/folderlock.h"
#include "model/planfolder.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>

struct AppSettings;

// The one way an operation claims a plan folder for writing: it takes the
// folder's lock, rolls back a revision that was interrupted there (ending
// first what that run left running), puts back what the development run of
// an application that died changed there, makes plan.md and index.html again
// when they were not made from plan.json, and removes the temporary files
// cut writes left. The claim holds the folder until it is released or
// destroyed, which may happen on any thread; taking it blocks, so the
// window takes it off the main thread.
class FolderClaim
{
public:
    // One Korean message; `busy` when another operation holds the folder.
    struct Failure {
        QString message;
        bool busy = false;
    };

    FolderClaim() = default;
    FolderClaim(FolderClaim &&) noexcept = default;
    FolderClaim &operator=(FolderClaim &&) noexcept = default;

    // Claims the existing folder `dir`, waiting up to `wait` for another
    // holder to let go. `repair` false leaves the derived files to the
    // operation, which writes them anyway. A folder that does not exist is
    // not claimed (the claim holds nothing). Throws Failure.
    static FolderClaim take(const QString &dir, const AppSettings &settings,
                            std::chrono::milliseconds wait = std::chrono::milliseconds(0), bool repair = true);

    // A new folder and its claim, held from the moment its name was chosen.
    struct New {
        // The folder made; when none was, the last name tried.
        QString dir;
        // Null when no folder was made.
        std::shared_ptr<FolderClaim> claim;
        // Why no folder could be made, in the person's words; empty when
        // the names ran out.
        QString failure;
    };

    // Makes a new folder in `parent` (made first when missing) under the
    // first of `name`(1), `name`(2), … that is free, by an exclusive create,
    // and claims it at once, so that no other run, of this process or
    // another, can choose it too. What a generation killed at its first
    // write left (isHusk) counts as free once its claim is free. `name`
    // gives an empty text when it has no more names.
    static New makeNew(const QString &parent, const std::function<QString(int)> &name, const AppSettings &settings);

    // Whether `dir` is what a generation killed at its first write leaves:
    // nothing but temporary files and an empty img/ folder.
    static bool isHusk(const QString &dir);

    bool isHeld() const { return m_lock.isHeld(); }
    // The folder claimed, held open from the moment it was locked (a new
    // folder from the moment it was made); not open when the claim holds
    // nothing.
    const PlanFolder &folder() const { return m_folder; }
    // What the claim put in order, one line each, for the person.
    const QStringList &notices() const { return m_notices; }
    // Whether an interrupted revision was rolled back.
    bool rolledBack() const { return m_rolledBack; }
    void release() { m_lock.release(); }

private:
    // Claims the folder `folder` holds, through the folder itself.
    static std::shared_ptr<FolderClaim> heldClaim(PlanFolder folder, const AppSettings &settings);

    FolderLock m_lock;
    PlanFolder m_folder;
    QStringList m_notices;
    bool m_rolledBack = false;
};
