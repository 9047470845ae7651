#pragma once

#include "core/canceltoken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

// A transfer that ended without an HTTP answer (no connection, a dropped
// connection, a time-out); the message is the network layer's own, or a
// Korean sentence for a time-out.
struct NetworkError {
    QString message;
};

// Plain HTTP GETs awaited on the calling thread's event loop. Nothing is
// kept between calls: no cache, no cookies, no retry.
namespace HttpFetch {

// What one transfer may take in all: a transfer time-out alone restarts
// with every byte, so an answer that trickles would never end.
struct Limits {
    // The whole transfer, from the request to the last byte; zero: none.
    std::chrono::milliseconds whole{0};
    // The body; zero: none. A larger announced length ends the transfer
    // before its body is read.
    qint64 bytes = 0;
};

// Which limit ended a transfer.
enum class Overrun {
    none,
    time,
    size,
};

struct Answer {
    // Nothing when no HTTP answer arrived.
    std::optional<int> status;
    QByteArray body;
    // The answer's headers, as sent.
    QList<QNetworkReply::RawHeaderPair> headers;
    // Why the transfer failed, also after a status line (a body cut short
    // of its announced length, a stall); empty when it did not.
    QString error;
    // The network layer's kind of that failure: OperationCanceledError for
    // the time-out, NoError for a cut-off body.
    QNetworkReply::NetworkError failure = QNetworkReply::NoError;
    // The limit that ended the transfer; its body is then left empty.
    Overrun overrun = Overrun::none;
    // The answer came packed in a way that could not be unpacked (a coding
    // not asked for, broken data); `error` says which, and the body is left
    // empty.
    bool unreadable = false;

    // The value of the header `name` (any case); empty when absent.
    QByteArray header(QByteArrayView name) const;
};

// An absolute http or https address with a host: the only kind fetched.
// Anything else (file:, data:, a relative path) could read local data.
bool fetchable(const QUrl &url);

// The failure of a transfer in Korean words (a refused connection, an
// unknown host, a time-out, …); the system's text for other kinds.
QString describe(const Answer &answer);

// Where a body goes instead of memory: each piece as it arrives. A
// non-empty return says why the piece could not be kept; the transfer then
// ends, with that as its error.
using Sink = std::function<QString(QByteArrayView piece)>;

// Cancelling `cancel` aborts the transfer and ends the task in Cancelled.
// A request that sets "Accept-Encoding" itself gets the body as sent; any
// other asks for gzip or deflate and gets the body unpacked, the size limit
// counting the unpacked bytes. A body shorter than its announced length, or
// a packed one that stops inside its data, counts as cut off. With a `sink`
// the body goes there as sent, never packed, and the answer's body stays
// empty.
QCoro::Task<Answer> get(QNetworkRequest request, CancelToken cancel = CancelToken(), Limits limits = {},
                        Sink sink = {});

// A size in whole megabytes, rounded up, for a message ("32MB").
QString megabytes(qint64 bytes);

} // namespace HttpFetch
