#pragma once

#include <QString>

class QFileDevice;

// The Korean words for the file-system failures a person meets (a missing
// file, no permission, a full disk, …), kept in one place so every message
// that reaches the person names the cause the same way. Causes without a
// Korean description keep the system's own text.
namespace FileError {

// The description of an errno value.
QString describe(int error);
// The description of a failure the system already put into words (Qt's
// errorString() of a file is the system's text for its errno); other texts
// come back as they are.
QString describe(const QString &systemText);
// The description of a file's last failure.
QString describe(const QFileDevice &file);

} // namespace FileError
