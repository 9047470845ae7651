#pragma once

#include "core/canceltoken.h"
#include "core/httpfetch.h"

#include <QCoroTask>
#include <QMap>
#include <QString>
#include <QStringList>

#include "figma/figmalink.h"
#include "figma/figmasection.h"

// The design service's REST API, authenticated by a personal access token.
// A plain value; nothing is kept between calls, nothing is cached or retried.
// Every call awaits the network on the calling thread's event loop and
// parses answers off it. The token is sent to the API's own origin only: a
// redirect to another one is refused. Failures: FigmaError (also for a 200
// that is not JSON), NetworkError (no whole HTTP answer, including the 120 s
// limit of an answer, its size limit and a refused redirect), and Cancelled
// when `cancel` stops a call.
struct FigmaREST {
    // Two minutes for a whole answer; an answer larger than a section's
    // largest real one is refused before it fills the memory.
    static constexpr HttpFetch::Limits apiLimits{std::chrono::seconds(120), qint64(32) << 20};

    QString token;
    HttpFetch::Limits limits = apiLimits;

    // "https://api.figma.com", or QUARRYSTONE_FIGMA_API when set (tests
    // point it at a local server).
    static QString baseURL();
    // A transfer that ended without a whole answer, in words that name the
    // service, the call (when given) and say what to do.
    static NetworkError transferFailure(const HttpFetch::Answer &answer, const QString &call = QString(),
                                        const HttpFetch::Limits &limits = apiLimits);
    // Text of the service shown to a person: its control characters (line
    // breaks, escape sequences) would reach the terminal as they are.
    static QString shown(const QString &text);

    // The account's e-mail, else its handle, else "확인됨".
    QCoro::Task<QString> me() const;
    // The section the link names, with the link's file key.
    QCoro::Task<FigmaSection> section(const FigmaLink &link, CancelToken cancel = CancelToken()) const;
    // Rendered-image addresses by node id, asked for 20 ids at a time, one
    // request after another. Ids the service could not render are absent.
    QCoro::Task<QMap<QString, QString>> imageURLs(const QString &fileKey, const QStringList &ids,
                                                  double scale, CancelToken cancel = CancelToken()) const;
};
