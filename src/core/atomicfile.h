#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class QIODevice;

// Whole-file writes that readers never see half done: the bytes go to a
// temporary file beside the target, which is then renamed over it.
namespace AtomicFile {

// True on success; on failure `error` (when given) holds the reason and the
// target is untouched.
bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// The same for a file made piece by piece: `produce` writes to the device it
// is given and returns false to give up, which leaves the target untouched
// like a failed write.
bool write(const QString &path, const std::function<bool(QIODevice &)> &produce, QString *error = nullptr);

} // namespace AtomicFile
