#include "views/pastedimages.h"

#include "core/privatetemp.h"

#include <QBuffer>
#include <QFile>
#include <QMimeData>
#include <QMimeDatabase>
#include <QUrl>
#include <QUuid>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace PastedImages {
namespace {

bool writeAll(int descriptor, const QByteArray &bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t step = ::write(descriptor, bytes.constData() + written, size_t(bytes.size() - written));
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            return false;
        written += step;
    }
    return true;
}

} // namespace

bool isImageFile(const QString &path)
{
    static const QMimeDatabase database;
    return database.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name().startsWith(u"image/"_s);
}

QStringList imageFiles(const QMimeData *data)
{
    QStringList files;
    if (!data || !data->hasUrls())
        return files;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile() && isImageFile(url.toLocalFile()))
            files.append(url.toLocalFile());
    }
    return files;
}

bool clipboardHasImage(const QMimeData *data)
{
    if (!data || (!data->hasImage() && imageFiles(data).isEmpty()))
        return false;
    const QString text = data->hasText() ? data->text().trimmed() : QString();
    return text.isEmpty() || text.startsWith(u"http"_s) || text.startsWith(u"file:"_s) || text.startsWith(u'/');
}

std::optional<QString> capture(const QImage &image)
{
    if (image.isNull())
        return std::nullopt;
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return std::nullopt;
    const std::optional<QString> folder = PrivateTemp::folder();
    if (!folder)
        return std::nullopt;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const QString name = QUuid::createUuid().toString(QUuid::WithoutBraces).left(8).toUpper();
        const QString path = *folder + u"/quarrystone-capture-"_s + name + u".png"_s;
        const QByteArray native = QFile::encodeName(path);
        const int descriptor = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (descriptor < 0) {
            if (errno == EEXIST)
                continue;
            return std::nullopt;
        }
        const bool written = writeAll(descriptor, png);
        const bool closed = ::close(descriptor) == 0;
        if (written && closed)
            return path;
        ::unlink(native.constData());
        return std::nullopt;
    }
    return std::nullopt;
}

} // namespace PastedImages
