#include "core/httpfetch.h"

#include "core/fileerror.h"
#include "core/poolthread.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QTimer>
#include <memory>
#include <zlib.h>

namespace HttpFetch {

namespace {

// A reply signals its end from inside its own code, and the task resumes
// right there: the manager (and the reply it owns) may only go once that
// code has returned.
struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// Room for the announced length, so that a large body is not copied again
// each time it outgrows its buffer; an announcement beyond any real answer
// is not trusted with memory.
constexpr qint64 maxReserve = qint64(1) << 30;
constexpr qint64 readBufferBytes = qint64(1) << 20;
constexpr int unpackStep = 1 << 16;

// The codings asked for when the caller asks for none. The network layer
// would otherwise ask for more and unpack the answer itself before any
// limit of ours could see it, stopping large but honest answers with words
// of its own, and stalling on some packed bombs.
const QByteArray packedCodings = QByteArrayLiteral("gzip, deflate");

// Unpacks a gzip or zlib body, stopping as soon as what it unpacked passes
// the size limit: a small packed answer may stand for any size.
class Unpacker
{
public:
    enum class Step { more, tooLarge, broken };

    Unpacker() { m_ready = ::inflateInit2(&m_stream, MAX_WBITS + 32) == Z_OK; }
    ~Unpacker()
    {
        if (m_ready)
            ::inflateEnd(&m_stream);
    }
    Unpacker(const Unpacker &) = delete;
    Unpacker &operator=(const Unpacker &) = delete;

    Step feed(QByteArrayView packed, QByteArray &body, const Limits &limits)
    {
        if (!m_ready)
            return Step::broken;
        m_stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
        m_stream.avail_in = uInt(packed.size());
        char room[unpackStep];
        for (;;) {
            // Members of a gzip body may follow one another.
            if (m_ended) {
                if (m_stream.avail_in == 0)
                    return Step::more;
                if (::inflateReset(&m_stream) != Z_OK)
                    return Step::broken;
                m_ended = false;
            }
            m_stream.next_out = reinterpret_cast<Bytef *>(room);
            m_stream.avail_out = sizeof room;
            const int result = ::inflate(&m_stream, Z_NO_FLUSH);
            const qsizetype made = qsizetype(sizeof room - m_stream.avail_out);
            if (limits.bytes > 0 && body.size() + made > limits.bytes)
                return Step::tooLarge;
            body.append(room, made);
            if (result == Z_STREAM_END) {
                m_ended = true;
                continue;
            }
            if (result == Z_BUF_ERROR && made == 0)
                return Step::more;
            if (result != Z_OK)
                return Step::broken;
            if (m_stream.avail_in == 0 && m_stream.avail_out > 0)
                return Step::more;
        }
    }

    // Whether the body ended where its last member does.
    bool whole() const { return m_ended; }

private:
    z_stream m_stream{};
    bool m_ready = false;
    bool m_ended = false;
};

// What a packed body unpacks to, off the event loop's thread.
struct Unpacked {
    QByteArray body;
    Unpacker::Step step = Unpacker::Step::more;
    bool whole = false;
};

Unpacked unpack(const QByteArray &packed, const Limits &limits)
{
    Unpacker unpacker;
    Unpacked unpacked;
    unpacked.step = unpacker.feed(packed, unpacked.body, limits);
    unpacked.whole = packed.isEmpty() || unpacker.whole();
    if (unpacked.step != Unpacker::Step::more)
        unpacked.body.clear();
    return unpacked;
}

// A packed body is never much larger than what it unpacks to (a stored
// block adds five bytes to 64 KB): one well past the limit is too large
// before it is unpacked.
qint64 packedBound(const Limits &limits)
{
    return limits.bytes > 0 ? limits.bytes + limits.bytes / 1024 + 1024 : 0;
}

// One transfer's body as it arrives, up to the size limit; a packed one is
// kept as sent and unpacked once the transfer ends.
struct Receipt {
    QByteArray body;
    // The bytes as sent, for the announced length.
    qint64 sent = 0;
    Overrun overrun = Overrun::none;
    // Set at the first piece of the body: whether this transfer unpacks
    // what comes.
    bool started = false;
    bool packed = false;
    // Why a packed body cannot be unpacked, or the sink could not keep a
    // piece; the transfer then ends.
    QString unreadable;
    QString unkept;
    // Takes the body instead of `body`.
    Sink sink;

    bool ended() const { return overrun != Overrun::none || !unreadable.isEmpty() || !unkept.isEmpty(); }
};

// The reply's own end, out of the handler that notices a limit: the task
// resumes where the reply signals its end.
void end(QNetworkReply *reply, Overrun why, Receipt &receipt)
{
    if (receipt.ended())
        return;
    receipt.overrun = why;
    receipt.body.clear();
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void refuse(QNetworkReply *reply, const QString &why, Receipt &receipt)
{
    if (receipt.ended())
        return;
    receipt.unreadable = why;
    receipt.body.clear();
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

void unkept(QNetworkReply *reply, const QString &why, Receipt &receipt)
{
    if (receipt.ended())
        return;
    receipt.unkept = why;
    QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
}

bool tooLarge(qint64 bytes, const Limits &limits)
{
    return limits.bytes > 0 && bytes > limits.bytes;
}

// The coding the answer names, when the transfer asked for packed codings
// itself; empty for a body to keep as sent.
QByteArray codingOf(const QNetworkReply &reply, bool unpacks)
{
    const QByteArray coding = reply.rawHeader(QByteArrayLiteral("Content-Encoding")).trimmed().toLower();
    return unpacks && coding != "identity" ? coding : QByteArray();
}

// Decides at the body's first piece how it is taken: the headers are then
// those of the answer itself, not of a redirect on the way.
void start(QNetworkReply &reply, bool unpacks, Receipt &receipt)
{
    receipt.started = true;
    const QByteArray coding = codingOf(reply, unpacks);
    if (coding.isEmpty())
        return;
    if (coding == "gzip" || coding == "x-gzip" || coding == "deflate") {
        receipt.packed = true;
        return;
    }
    // The server's word goes into a message: letters, digits and "-" only.
    QString name;
    for (const char c : coding.left(40))
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')
            name += QLatin1Char(c);
    refuse(&reply, QStringLiteral("모르는 방식(%1)으로 압축돼 있어요").arg(name), receipt);
}

// Takes what has arrived of a reply's body, up to the size limit.
void take(QNetworkReply &reply, bool unpacks, const Limits &limits, Receipt &receipt)
{
    if (!receipt.started)
        start(reply, unpacks, receipt);
    const QByteArray piece = reply.readAll();
    receipt.sent += piece.size();
    if (receipt.ended())
        return;
    const qint64 length = reply.header(QNetworkRequest::ContentLengthHeader).toLongLong();
    const bool over = receipt.packed ? limits.bytes > 0 && receipt.sent > packedBound(limits)
                                     : tooLarge(length, limits) || tooLarge(receipt.sent, limits);
    if (over) {
        end(&reply, Overrun::size, receipt);
        return;
    }
    if (receipt.sink) {
        if (const QString why = receipt.sink(piece); !why.isEmpty())
            unkept(&reply, why, receipt);
        return;
    }
    if (receipt.body.isEmpty() && length > 0 && length <= maxReserve)
        receipt.body.reserve(length);
    receipt.body.append(piece);
}

// A connection closed before the announced length (of the body as sent)
// arrived.
bool cutShort(QNetworkReply &reply, const Receipt &receipt)
{
    const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
    return length.isValid() && receipt.sent < length.toLongLong();
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

QCoro::Task<Answer> get(QNetworkRequest request, CancelToken cancel, Limits limits, Sink sink)
{
    cancel.throwIfCancelled();
    if (sink && !request.hasRawHeader(QByteArrayLiteral("Accept-Encoding")))
        request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    const bool unpacks = !request.hasRawHeader(QByteArrayLiteral("Accept-Encoding"));
    if (unpacks)
        request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), packedCodings);
    const std::unique_ptr<QNetworkAccessManager, DeleteLater> manager(new QNetworkAccessManager);
    QNetworkReply *reply = manager->get(request);
    // A small buffer makes the network layer hand the body over in pieces
    // as it arrives, never in one large piece that holds the event loop.
    reply->setReadBufferSize(readBufferBytes);
    Receipt receipt;
    receipt.sink = std::move(sink);
    const QMetaObject::Connection reading = QObject::connect(
        reply, &QIODevice::readyRead, reply, [reply, unpacks, &limits, &receipt] { take(*reply, unpacks, limits, receipt); });
    // An announced length past the limit ends the transfer before its body;
    // a packed body's length says nothing of its size once unpacked.
    const QMetaObject::Connection announced =
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, unpacks, &limits, &receipt] {
            if (codingOf(*reply, unpacks).isEmpty()
                && tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), limits))
                end(reply, Overrun::size, receipt);
        });
    QTimer whole;
    whole.setSingleShot(true);
    QObject::connect(&whole, &QTimer::timeout, reply, [reply, &receipt] { end(reply, Overrun::time, receipt); });
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
        take(*reply, unpacks, limits, receipt);
    // Unpacked beside the event loop: a bomb stops at the size limit, and an
    // honest answer of many megabytes holds no frame.
    bool stopsInside = false;
    if (receipt.packed && !receipt.ended()) {
        const QFuture<Unpacked> unpacking = PoolThread::run(unpack, std::move(receipt.body), limits);
        Unpacked unpacked = co_await unpacking;
        cancel.throwIfCancelled();
        receipt.body = std::move(unpacked.body);
        stopsInside = !unpacked.whole;
        if (unpacked.step == Unpacker::Step::tooLarge)
            receipt.overrun = Overrun::size;
        else if (unpacked.step == Unpacker::Step::broken)
            receipt.unreadable = QStringLiteral("압축된 데이터가 깨져 있어요");
    }
    answer.failure = reply->error();
    answer.overrun = receipt.overrun;
    if (receipt.overrun != Overrun::none) {
        answer.error = receipt.overrun == Overrun::time ? QStringLiteral("정해진 시간 안에 다 받지 못했어요.")
                                                        : QStringLiteral("답이 너무 커서 받다가 멈췄어요.");
        co_return answer;
    }
    if (!receipt.unkept.isEmpty()) {
        answer.error = receipt.unkept;
        co_return answer;
    }
    if (!receipt.unreadable.isEmpty()) {
        answer.unreadable = true;
        answer.error = receipt.unreadable;
        co_return answer;
    }
    const bool cut = stopsInside || cutShort(*reply, receipt);
    answer.body = std::move(receipt.body);
    // Only the transfer time-out aborts a reply here; the network layer
    // would call it a cancellation.
    if (reply->error() == QNetworkReply::OperationCanceledError)
        answer.error = QStringLiteral("시간 안에 응답이 오지 않았어요.");
    else if (reply->error() != QNetworkReply::NoError)
        answer.error = reply->errorString();
    else if (cut)
        answer.error = QStringLiteral("응답이 중간에 끊겼어요.");
    co_return answer;
}

QString megabytes(qint64 bytes)
{
    constexpr qint64 megabyte = qint64(1) << 20;
    return QString::number((bytes + megabyte - 1) / megabyte) + QStringLiteral("MB");
}

} // namespace HttpFetch
