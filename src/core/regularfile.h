#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Reading a file that a plan, a page or a person names. Only a regular file
// is read: a pipe or a device under such a name would hold the reader for
// ever, so it is opened without waiting and refused.
namespace RegularFile {

// A descriptor of the file, opened with `flags` added to a read-only,
// non-blocking, close-on-exec open; -1 when it is missing or no regular
// file. For a reader that must hold the file (to lock it) while it reads.
int open(const QString &path, int flags = 0);

// The whole file; nothing when it is missing, not a regular file, or cannot
// be read to its end.
std::optional<QByteArray> read(const QString &path);

} // namespace RegularFile
