#pragma once

#include <QByteArray>

// The tokens of this process's runs that have not yet ended, in a file of
// its own in the private temporary folder that it holds (a lock the system
// drops when the process dies, however it dies). A process of a run that
// outlived a killed application (a bwrap killed with it in the first
// milliseconds, before its tie to us held) still carries its token: the
// next start finds the lists nobody holds and ends what carries their
// tokens.
namespace RunList {

// Adds `token` before its run starts, and takes it out once nothing of the
// run is left.
void add(const QByteArray &token);
void remove(const QByteArray &token);

// Ends (SIGKILL) every process that carries a token of a list nobody holds
// any more, and removes those lists. Gives how many processes it ended.
int endLeftovers();

} // namespace RunList
