#pragma once

#include <QByteArray>
#include <QString>

// Whole-file writes that readers never see half done: the bytes go to a
// temporary file beside the target, which is then renamed over it.
namespace AtomicFile {

// True on success; on failure `error` (when given) holds the reason and the
// target is untouched.
bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr);

} // namespace AtomicFile
