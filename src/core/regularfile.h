#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Reading a file that a plan, a page or a person names. Only a regular file
// is read: a pipe or a device under such a name would hold the reader for
// ever, so it is opened without waiting and refused.
namespace RegularFile {

// The whole file; nothing when it is missing, not a regular file, or cannot
// be read to its end.
std::optional<QByteArray> read(const QString &path);

} // namespace RegularFile
