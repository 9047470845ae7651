#include "figma/downloader.h"

#include "core/atomicfile.h"
#include "core/offthread.h"
#include "figma/pngcheck.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace Downloader {

namespace {

// Only a picture is kept: a page, an answer or a script served in its place
// counts as a failed download. The decoding and the write's sync to disk
// must not hold the event loop.
bool keep(const QString &path, const QByteArray &body)
{
    return PngCheck::decodes(body) && QDir().mkpath(QFileInfo(path).absolutePath()) && AtomicFile::write(path, body);
}

NetworkError overrun(const HttpFetch::Answer &answer, const QString &path, const HttpFetch::Limits &limits)
{
    const QString name = QFileInfo(path).fileName();
    if (answer.overrun == HttpFetch::Overrun::time)
        return {QStringLiteral("Figma 그림(%1)을 %2초 안에 다 받지 못해서 멈췄어요. 잠시 뒤에 다시 해 주세요.")
                    .arg(name)
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(limits.whole).count())};
    return {QStringLiteral("Figma 그림(%1)이 %2 를 넘어서 받다가 멈췄어요.").arg(name, HttpFetch::megabytes(limits.bytes))};
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
    const HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel, limits);
    if (answer.overrun != HttpFetch::Overrun::none)
        throw overrun(answer, path, limits);
    // A body cut off by a dropped or stalled connection is no image.
    if (answer.status != 200 || !answer.error.isEmpty() || answer.body.isEmpty())
        co_return false;
    const QFuture<bool> kept = OffThread::run(keep, path, answer.body);
    co_return co_await kept;
}

} // namespace Downloader
