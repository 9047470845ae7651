#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Reading a file that a plan, a page or a person names, and every file of a
// plan folder. Only a regular file is read: a pipe or a device under such a
// name would hold the reader for ever, so it is opened without waiting and
// refused.
namespace RegularFile {

// A descriptor of the file, opened with `flags` added to a read-only,
// non-blocking, close-on-exec open; -1 when it is missing or no regular
// file, with `error` (when given) then holding the cause in the person's
// words. For a reader that must hold the file (to lock it, or to read it
// piece by piece) while it reads.
int open(const QString &path, int flags = 0, QString *error = nullptr);

// The whole file; nothing when it is missing, not a regular file, or cannot
// be read to its end. `error`, when given, then holds the cause in the
// person's words.
std::optional<QByteArray> read(const QString &path, QString *error = nullptr);

// The whole file open at `fd` (which stays open) when it is a regular file,
// as read() gives it.
std::optional<QByteArray> readOpen(int fd, QString *error = nullptr);

// The cause given for a name that holds no regular file.
QString notRegular();

// Whether a pipe, a socket or a device stands at `path` (not followed
// through a link): nothing a plan folder keeps, and nothing to read.
bool holdsNothing(const QString &path);

} // namespace RegularFile
