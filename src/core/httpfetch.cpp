#include "core/httpfetch.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <memory>

namespace HttpFetch {

namespace {

// A reply signals its end from inside its own code, and the task resumes
// right there: the manager (and the reply it owns) may only go once that
// code has returned.
struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// A connection closed before the announced length arrived. A compressed
// answer announces its compressed length, so only a plain one is measured.
bool cutShort(QNetworkReply &reply, const QByteArray &body)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid() || reply.hasRawHeader(QByteArrayLiteral("Content-Encoding")))
        return false;
    return body.size() < length.toLongLong();
}

// Room for the announced length, so that a large body is not copied again
// each time it outgrows its buffer; an announcement beyond any real answer
// is not trusted with memory.
constexpr qint64 maxReserve = qint64(1) << 30;
constexpr qint64 readBufferBytes = qint64(1) << 20;

// Takes what has arrived of a reply's body.
void take(QNetworkReply &reply, QByteArray &body)
{
    if (body.isEmpty()) {
        const qint64 length = reply.header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (length > 0 && length <= maxReserve)
            body.reserve(length);
    }
    body.append(reply.readAll());
}

} // namespace

bool fetchable(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1StringView("http") || scheme == QLatin1StringView("https"))
        && !url.host().isEmpty();
}

QCoro::Task<Answer> get(QNetworkRequest request, CancelToken cancel)
{
    cancel.throwIfCancelled();
    const std::unique_ptr<QNetworkAccessManager, DeleteLater> manager(new QNetworkAccessManager);
    QNetworkReply *reply = manager->get(request);
    // A small buffer makes the network layer hand the body over in pieces
    // as it arrives, never in one large piece that holds the event loop.
    reply->setReadBufferSize(readBufferBytes);
    QByteArray body;
    const QMetaObject::Connection reading =
        QObject::connect(reply, &QIODevice::readyRead, reply, [reply, &body] { take(*reply, body); });
    {
        // The abort runs on the reply's thread; a reply gone by then drops it.
        const CancelToken::Registration stop = cancel.onCancel(
            [reply] { QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::AutoConnection); });
        co_await reply;
    }
    QObject::disconnect(reading);
    cancel.throwIfCancelled();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    if (reply->isOpen())
        take(*reply, body);
    answer.body = std::move(body);
    // Only the transfer time-out aborts a reply here; the network layer
    // would call it a cancellation.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        answer.error = QStringLiteral("시간 안에 응답이 오지 않았어요.");
    else if (reply->error() != QNetworkReply::NoError)
        answer.error = reply->errorString();
    else if (cutShort(*reply, answer.body))
        answer.error = QStringLiteral("응답이 중간에 끊겼어요.");
    co_return answer;
}

} // namespace HttpFetch
