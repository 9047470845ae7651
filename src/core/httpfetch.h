#pragma once

#include "core/canceltoken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
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

struct Answer {
    // Nothing when no HTTP answer arrived.
    std::optional<int> status;
    QByteArray body;
    // Why the transfer failed, also after a status line (a body cut short
    // of its announced length, a stall); empty when it did not.
    QString error;
};

// An absolute http or https address with a host: the only kind fetched.
// Anything else (file:, data:, a relative path) could read local data.
bool fetchable(const QUrl &url);

// Cancelling `cancel` aborts the transfer and ends the task in Cancelled.
QCoro::Task<Answer> get(QNetworkRequest request, CancelToken cancel = CancelToken());

} // namespace HttpFetch
