#include "core/atomicfile.h"

#include <QSaveFile>

namespace AtomicFile {

bool write(const QString &path, const QByteArray &bytes, QString *error)
{
    return write(path, [&bytes](QIODevice &out) { return out.write(bytes) == bytes.size(); }, error);
}

bool write(const QString &path, const std::function<bool(QIODevice &)> &produce, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (!produce(file)) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace AtomicFile
