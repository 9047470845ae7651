#include "figma/downloader.h"

#include "core/atomicfile.h"
#include "core/httpfetch.h"
#include "core/offthread.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace Downloader {

namespace {

// A stalled image server must not hold a generation forever: a minute
// without data is a failed download.
constexpr int transferTimeoutMs = 60'000;

} // namespace

QCoro::Task<bool> save(QString address, QString path, CancelToken cancel)
{
    const QUrl url(address, QUrl::StrictMode);
    if (!HttpFetch::fetchable(url))
        co_return false;
    QNetworkRequest request(url);
    request.setTransferTimeout(transferTimeoutMs);
    // An image gains nothing from compression, and only a body as sent can
    // be measured against its announced length to catch a cut transfer.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    const HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel);
    // A body cut off by a dropped or stalled connection is no image.
    if (answer.status != 200 || !answer.error.isEmpty() || answer.body.isEmpty())
        co_return false;
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        co_return false;
    // The write ends in a sync to disk, which must not hold the event loop.
    const QFuture<bool> written =
        OffThread::run([](QString path, QByteArray body) { return AtomicFile::write(path, body); }, path, answer.body);
    co_return co_await written;
}

} // namespace Downloader
