#include "figma/downloader.h"

#include "core/atomicfile.h"
#include "core/poolthread.h"
#include "figma/pngcheck.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace Downloader {

namespace {

// Only a picture is kept, and only the picture: a page, an answer or a
// script served in its place counts as a failed download, and bytes after
// its end are dropped. The decoding and the write's sync to disk must not
// hold the event loop; a stop ends the decoding.
bool keep(const QString &path, const QByteArray &body, const CancelToken &stop)
{
    const std::optional<qsizetype> picture = PngCheck::length(body, stop);
    return picture && QDir().mkpath(QFileInfo(path).absolutePath())
        && AtomicFile::write(path, [&body, size = *picture](QIODevice &out) {
               return out.write(body.constData(), size) == size;
           });
}

} // namespace

QCoro::Task<bool> save(QString address, QString path, CancelToken cancel, HttpFetch::Limits limits)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!HttpFetch::fetchable(url))
        co_return false;
    QNetworkRequest request(url);
    // A stalled image server must not hold a generation either.
    request.setTransferTimeout(int(limits.whole.count()));
    // An image gains nothing from compression, and only a body as sent can
    // be measured against its announced length to catch a cut transfer.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel, limits);
    // A body cut off by a dropped or stalled connection, or by a limit, is
    // no image, like one that is no picture at all.
    if (answer.status != 200 || !answer.error.isEmpty() || answer.body.isEmpty())
        co_return false;
    const QFuture<bool> kept = PoolThread::run(keep, path, std::move(answer.body), cancel);
    const bool saved = co_await kept;
    cancel.throwIfCancelled();
    co_return saved;
}

} // namespace Downloader
