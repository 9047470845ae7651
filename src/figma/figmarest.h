#pragma once

#include "core/canceltoken.h"

#include <QCoroTask>
#include <QMap>
#include <QString>
#include <QStringList>

#include "figma/figmalink.h"
#include "figma/figmasection.h"

// The design service's REST API, authenticated by a personal access token.
// A plain value; nothing is kept between calls, nothing is cached or retried.
// Every call awaits the network on the calling thread's event loop and
// parses answers off it. Failures: FigmaError, NetworkError (no HTTP
// answer, including the 120 s time-out), JSONDecodeError (a 200 that is not
// JSON), and Cancelled when `cancel` stops a call.
struct FigmaREST {
    QString token;

    // "https://api.figma.com", or QUARRYSTONE_FIGMA_API when set (tests
    // point it at a local server).
    static QString baseURL();

    // The account's e-mail, else its handle, else "확인됨".
    QCoro::Task<QString> me() const;
    // The section the link names, with the link's file key.
    QCoro::Task<FigmaSection> section(const FigmaLink &link, CancelToken cancel = CancelToken()) const;
    // Rendered-image addresses by node id, asked for 20 ids at a time, one
    // request after another. Ids the service could not render are absent.
    QCoro::Task<QMap<QString, QString>> imageURLs(const QString &fileKey, const QStringList &ids,
                                                  double scale, CancelToken cancel = CancelToken()) const;
};
