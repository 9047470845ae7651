#include "core/httpfetch.h"

#include "core/fileerror.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QTimer>
#include <memory>

namespace HttpFetch {

namespace {

// A reply signals its end from inside its own code, and the task resumes
// right there: the manager (and the reply it owns) may only go once that
// code has returned.
struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// A connection closed before the announced length arrived. The network
// layer unpacks a compressed answer only when it asked for compression
// itself, and then the announced length is the packed one, which cannot be
// compared: a caller that must detect every cut asks for the body as sent.
bool cutShort(const QNetworkRequest &request, QNetworkReply &reply, const QByteArray &body)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    const bool unpacked = reply.hasRawHeader(QByteArrayLiteral("Content-Encoding"))
        && !request.hasRawHeader(QByteArrayLiteral("Accept-Encoding"));
    if (!length.isValid() || unpacked)
        return false;
    return body.size() < length.toLongLong();
}

// Room for the announced length, so that a large body is not copied again
// each time it outgrows its buffer; an announcement beyond any real answer
// is not trusted with memory.
constexpr qint64 maxReserve = qint64(1) << 30;
constexpr qint64 readBufferBytes = qint64(1) << 20;

// The reply's own end, out of the handler that notices a limit: the task
// resumes where the reply signals its end.
void end(QNetworkReply *reply, Overrun why, Overrun &overrun)
{
    if (overrun != Overrun::none)
        return;
    overrun = why;
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

bool tooLarge(qint64 bytes, const Limits &limits)
{
    return limits.bytes > 0 && bytes > limits.bytes;
}

// Takes what has arrived of a reply's body, up to the size limit.
void take(QNetworkReply &reply, QByteArray &body, const Limits &limits, Overrun &overrun)
{
    if (overrun != Overrun::none) {
        reply.readAll();
        return;
    }
    const qint64 length = reply.header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (tooLarge(length, limits) || tooLarge(body.size() + reply.bytesAvailable(), limits)) {
        reply.readAll();
        body.clear();
        end(&reply, Overrun::size, overrun);
        return;
    }
    if (body.isEmpty() && length > 0 && length <= maxReserve)
        body.reserve(length);
    body.append(reply.readAll());
}

struct Known {
    QNetworkReply::NetworkError failure;
    const char16_t *korean;
};

constexpr Known known[] = {
    {QNetworkReply::ConnectionRefusedError, u"연결을 거부당했어요"},
    {QNetworkReply::HostNotFoundError, u"서버 주소를 찾지 못했어요"},
    {QNetworkReply::RemoteHostClosedError, u"서버가 연결을 끊었어요"},
    {QNetworkReply::TimeoutError, u"연결이 시간 안에 맺어지지 않았어요"},
    {QNetworkReply::SslHandshakeFailedError, u"보안 연결(TLS)을 맺지 못했어요"},
    {QNetworkReply::TemporaryNetworkFailureError, u"네트워크가 잠시 끊겼어요"},
    {QNetworkReply::NetworkSessionFailedError, u"네트워크에 연결돼 있지 않아요"},
    {QNetworkReply::ProxyConnectionRefusedError, u"프록시가 연결을 거부했어요"},
    {QNetworkReply::ProxyNotFoundError, u"프록시 주소를 찾지 못했어요"},
    {QNetworkReply::ProxyTimeoutError, u"프록시가 시간 안에 답하지 않았어요"},
    {QNetworkReply::TooManyRedirectsError, u"다른 주소로 너무 많이 보내졌어요"},
    {QNetworkReply::InsecureRedirectError, u"다른 서버로 보내려 해서 따라가지 않았어요"},
};

} // namespace

QByteArray Answer::header(QByteArrayView name) const
{
    for (const QNetworkReply::RawHeaderPair &pair : headers)
        if (QByteArrayView(pair.first).compare(name, Qt::CaseInsensitive) == 0)
            return pair.second;
    return {};
}

bool fetchable(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1StringView("http") || scheme == QLatin1StringView("https"))
        && !url.host().isEmpty();
}

QString describe(const Answer &answer)
{
    for (const Known &entry : known)
        if (entry.failure == answer.failure)
            return QString::fromUtf16(entry.korean);
    return FileError::describe(answer.error);
}

QCoro::Task<Answer> get(QNetworkRequest request, CancelToken cancel, Limits limits)
{
    cancel.throwIfCancelled();
    const std::unique_ptr<QNetworkAccessManager, DeleteLater> manager(new QNetworkAccessManager);
    QNetworkReply *reply = manager->get(request);
    // A small buffer makes the network layer hand the body over in pieces
    // as it arrives, never in one large piece that holds the event loop.
    reply->setReadBufferSize(readBufferBytes);
    QByteArray body;
    Overrun overrun = Overrun::none;
    const QMetaObject::Connection reading = QObject::connect(
        reply, &QIODevice::readyRead, reply, [reply, &body, &limits, &overrun] { take(*reply, body, limits, overrun); });
    // An announced length past the limit ends the transfer before its body.
    const QMetaObject::Connection announced =
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, &limits, &overrun] {
            if (tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), limits))
                end(reply, Overrun::size, overrun);
        });
    QTimer whole;
    whole.setSingleShot(true);
    QObject::connect(&whole, &QTimer::timeout, reply, [reply, &overrun] { end(reply, Overrun::time, overrun); });
    if (limits.whole.count() > 0)
        whole.start(limits.whole);
    {
        // The abort runs on the reply's thread; a reply gone by then drops it.
        const CancelToken::Registration stop = cancel.onCancel(
            [reply] { QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::AutoConnection); });
        co_await reply;
    }
    whole.stop();
    QObject::disconnect(reading);
    QObject::disconnect(announced);
    cancel.throwIfCancelled();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    answer.headers = reply->rawHeaderPairs();
    if (reply->isOpen())
        take(*reply, body, limits, overrun);
    answer.failure = reply->error();
    answer.overrun = overrun;
    if (overrun != Overrun::none) {
        answer.error = overrun == Overrun::time ? QStringLiteral("정해진 시간 안에 다 받지 못했어요.")
                                                : QStringLiteral("답이 너무 커서 받다가 멈췄어요.");
        co_return answer;
    }
    answer.body = std::move(body);
    // Only the transfer time-out aborts a reply here; the network layer
    // would call it a cancellation.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        answer.error = QStringLiteral("시간 안에 응답이 오지 않았어요.");
    else if (reply->error() != QNetworkReply::NoError)
        answer.error = reply->errorString();
    else if (cutShort(request, *reply, answer.body))
        answer.error = QStringLiteral("응답이 중간에 끊겼어요.");
    co_return answer;
}

QString megabytes(qint64 bytes)
{
    constexpr qint64 megabyte = qint64(1) << 20;
    return QString::number((bytes + megabyte - 1) / megabyte) + QStringLiteral("MB");
}

} // namespace HttpFetch
