#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <spawn.h>
#include <sys/types.h>

// Starting a child by absolute path with posix_spawn, the one way every
// child of this program is made: an explicit environment, its descriptors
// 0 to 2 as the caller lays them out, then its working folder, every other
// descriptor closed, and default signal handling with nothing blocked (our
// ignored SIGPIPE must not reach it).
namespace PosixSpawn {

// Adds the file actions that give the child its descriptors 0, 1 and 2;
// returns the first error, 0 when all were added.
using Descriptors = std::function<int(posix_spawn_file_actions_t *actions)>;

// Returns 0 and sets `pid`, or the error number of the failed step.
int start(pid_t &pid, const QString &path, const QStringList &args, const QMap<QString, QString> &env,
          const QString &cwd, const Descriptors &descriptors, short extraFlags = 0);

} // namespace PosixSpawn
