#pragma once

#include <QByteArrayView>

// Blocking writes to a raw descriptor (standard output and error, a job's
// terminal), where a short write or an interrupting signal is normal.
namespace FileDescriptor {

// Writes all of `bytes`, going on after short writes and EINTR; false when
// the descriptor refuses them.
bool writeAll(int fd, QByteArrayView bytes);

} // namespace FileDescriptor
