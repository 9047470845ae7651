#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Reading a file that a plan, a page or a person names, and every file of a
// plan folder. Only a regular file is read: a pipe or a device under such a
// name would hold the reader for ever, so it is opened without waiting and
// refused. Every read says how large the file may be (FileSizes): a larger
// one is refused before it is read.
namespace RegularFile {

// A descriptor of the file, opened with `flags` added to a read-only,
// non-blocking, close-on-exec open; -1 when it is missing or no regular
// file, with `error` (when given) then holding the cause in the person's
// words. For a reader that must hold the file (to lock it, or to read it
// piece by piece) while it reads.
int open(const QString &path, int flags = 0, QString *error = nullptr);

// The whole file, at most `most` bytes; nothing when it is missing, a link,
// not a regular file, larger, or cannot be read to its end. `error`, when
// given, then holds the cause in the person's words. A link at the name is
// never followed: what a plan folder holds is data, never a way elsewhere.
std::optional<QByteArray> read(const QString &path, qint64 most, QString *error = nullptr);

// As read(), for a file the person chose themselves (a picture to attach):
// a link they keep at its name is theirs, and is followed.
std::optional<QByteArray> readChosen(const QString &path, qint64 most, QString *error = nullptr);

// The whole file open at `fd` (which stays open) when it is a regular file
// of at most `most` bytes, as read() gives it; `name` names it in a refusal.
std::optional<QByteArray> readOpen(int fd, const QString &name, qint64 most, QString *error = nullptr);

// The cause given for a name that holds no regular file.
QString notRegular();

// The cause given for a name that holds a link.
QString linked();

// Whether a pipe, a socket or a device stands at `path` (not followed
// through a link): nothing a plan folder keeps, and nothing to read.
bool holdsNothing(const QString &path);

// Whether `path` is a folder of its own: not a link to one, nor anything
// else. A plan folder's history/, img/, attachments/ and spec-docs/ are used
// only when they are; what is not there at all is made by its writer.
bool isOwnFolder(const QString &path);

// Whether `path`, a folder inside a plan folder (history/, its
// attachments/, img/, spec-docs/), is a folder of its own, made when
// nothing is there; `error` says why not. A link there, even to a folder,
// is never written through.
bool ownFolder(const QString &path, QString *error);

// The cause given for a name that holds no folder of its own.
QString notOwnFolder(const QString &path);

// Whether nothing at all stands at `path`, not even a dangling link.
bool isFree(const QString &path);

} // namespace RegularFile
