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
    {
        // The abort runs on the reply's thread; a reply gone by then drops it.
        const CancelToken::Registration stop = cancel.onCancel(
            [reply] { QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::AutoConnection); });
        co_await reply;
    }
    cancel.throwIfCancelled();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    if (reply->isOpen())
        answer.body = reply->readAll();
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
