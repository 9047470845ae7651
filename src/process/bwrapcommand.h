#pragma once

#include "process/spawn.h"

#include <QString>
#include <QStringList>

// bubblewrap's argument lists for a run in a namespace of its own: what
// every run gets, and what a confined run sees and may change. Built from
// what is asked and what this machine has, they start nothing.
namespace BwrapCommand {

// bwrap itself: /usr/bin/bwrap unless QUARRYSTONE_BWRAP names another.
QString program();

// A PID namespace whose first process dies with the starter (bwrap itself).
// The option lists are never destroyed: detached threads may still start
// runs while the process ends.
const QStringList &namespaceOptions();

// What every run gets: that namespace, its number and first process told on
// descriptor 3, and the gate in front of the program (see gated).
const QStringList &runOptions();

// A confined run sees the whole tree read-only, a /dev and a /proc of its
// own, its private /tmp and runtime folder, and then what it may write and
// what it reads where those cover it; a later mount hides whatever an
// earlier one put at or below its place, so a folder comes before anything
// inside it. A session of its own keeps it from typing into a terminal of
// ours.
QStringList confinedMounts(const Spawn::Confinement &confinement);

// The program of a run in a namespace starts only once the namespace's first
// process is tied to bwrap, which is tied to us, and we are known to be
// alive: the gate, run by that first process after it has tied itself,
// says so on descriptor 5 and waits on descriptor 4 for our word, which a
// dead application never gives (the end of file instead). bwrap sets PWD
// to the working folder; the gate puts it back as the caller gave it
// ("=" and the value) or takes it away ("-"), and then becomes the
// program, by its path, searching nothing.
QStringList gated(const Spawn::Environment &env, const QString &path);

} // namespace BwrapCommand
