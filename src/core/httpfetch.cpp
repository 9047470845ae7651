#include "core/httpfetch.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <memory>

namespace HttpFetch {

bool fetchable(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1StringView("http") || scheme == QLatin1StringView("https"))
        && !url.host().isEmpty();
}

QCoro::Task<Answer> get(QNetworkRequest request)
{
    QNetworkAccessManager manager;
    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    co_await reply.get();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid())
        answer.status = status.toInt();
    answer.body = reply->readAll();
    if (reply->error() != QNetworkReply::NoError)
        answer.error = reply->errorString();
    co_return answer;
}

} // namespace HttpFetch
