#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Blocking reads and writes on a raw descriptor (standard output and error,
// a job's terminal, a child's pipe), where a short write or an interrupting
// signal is normal.
namespace FileDescriptor {

// Writes all of `bytes`, going on after short writes and EINTR; false when
// the descriptor refuses them.
bool writeAll(int fd, QByteArrayView bytes);

// Reads up to the end of file or an error, going on after EINTR; given
// `until`, stops as soon as what was read ends with it.
QByteArray readAll(int fd, QByteArrayView until = {});

} // namespace FileDescriptor
