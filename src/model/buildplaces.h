#pragma once

#include "process/spawn.h"

#include <QString>
#include <optional>

// Where a development run builds: the worktree's own Gradle and Android
// homes with copies of the person's settings, and what the run may write
// and read.
namespace BuildPlaces {

// A place by its real path, as a bind needs it: a linked home folder or
// repository would otherwise keep the run from starting.
QString realPath(const QString &path);

// A worktree's own Gradle and Android homes, kept from run to run in the
// support folder, which nothing but the next confined run of the worktree
// uses, and removed once the worktree is gone. Gives the folder, or nothing
// when it cannot be made.
std::optional<QString> homes(const QString &worktree);

// What a development run may write: its worktree, but not the worktree's
// .git, which the person's git and ours follow; its private temporary
// folder; and Gradle and Android homes of the worktree's own. What it
// reads where its private /tmp would cover it: the home folder, the plan
// folder and the repository's git folder. Nothing that something outside
// the run later runs, loads or follows: not the git folders (the run
// commits nothing; the branch and worktree are made before it; git status
// and diff inside work without writing the index),
// not the person's ~/.claude (the tool, 2.1.337, runs with it read-only and
// keeps its session files in its /tmp), ~/.gradle (init scripts, the
// dependency cache their own builds run) or ~/.android. The person's
// dependency cache is the build's read-only one (GRADLE_RO_DEP_CACHE, from
// Gradle 6.2); what it lacks is fetched into the worktree's own home.
// `homes` are the worktree's (see homes), set up here for the run;
// `commonGitFolder` is the git folder the worktree shares with its
// repository, read-only; empty for none.
Spawn::Confinement confinement(const QString &worktree, const QString &temporary, const QString &homes,
                               const QString &planDir, const QString &commonGitFolder);

} // namespace BuildPlaces
