#include "figma/figmarest.h"

#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "core/offthread.h"
#include "core/text.h"
#include "figma/figmaerror.h"
#include "figma/figmasectionparser.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QUrl>
#include <algorithm>

namespace {

constexpr int apiTimeoutMs = 120'000;
constexpr qsizetype imageChunkSize = 20;
constexpr qsizetype errorBodyBytes = 300;

// Ids go into a query with every character escaped but letters, digits and
// "-._~" (":" becomes %3A, "," %2C). Escaping those four as well would change
// nothing: a URL always carries them unescaped, as equivalent forms.
QByteArray encodedIds(const QString &ids)
{
    return QUrl::toPercentEncoding(ids);
}

// The shortest text that reads back as the same number, with ".0" after a
// whole number, as the service expects a scale.
QString scaleText(double scale)
{
    QString text = Text::shortest(scale);
    const bool whole = std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.isDigit() || c == u'-'; });
    if (whole)
        text += QStringLiteral(".0");
    return text;
}

// The start of an error body for a message. A cut inside a multi-byte
// character moves back to the character's start, so the text before it
// survives.
QString errorBodyText(const QByteArray &body)
{
    qsizetype cut = std::min(body.size(), errorBodyBytes);
    for (int back = 0; back < 3 && cut > 0 && cut < body.size() && (uchar(body.at(cut)) & 0xC0) == 0x80; ++back)
        --cut;
    return Text::decodeUtf8Strict(body.left(cut)).value_or(QString());
}

// A body that does not even begin like JSON (a proxy's or a portal's page)
// is no answer of the service; one that does but cannot be read (cut
// short, too large for the memory there is) keeps the reader's words.
QJsonObject topLevelObject(const QByteArray &body, const QString &path)
{
    QJsonDocument document;
    try {
        document = parseDocument(body);
    } catch (const JSONDecodeError &error) {
        const QByteArray start = body.trimmed().left(1);
        if (start != "{" && start != "[")
            throw FigmaError::notJson(path);
        throw FigmaError::badResponse(path + QStringLiteral(": ") + error.message);
    }
    if (!document.isObject())
        throw FigmaError::badResponse(path);
    return document.object();
}

// The service's own short message: the "err" or "message" of a JSON error
// body, the start of a plain-text one, nothing from an HTML page.
QString serviceMessage(const HttpFetch::Answer &answer)
{
    const QJsonObject object = QJsonDocument::fromJson(answer.body).object();
    for (const QLatin1StringView key : {QLatin1StringView("err"), QLatin1StringView("message")})
        if (object.value(key).isString())
            return errorBodyText(object.value(key).toString().toUtf8());
    const bool page = answer.header("Content-Type").toLower().contains("html")
        || answer.body.trimmed().startsWith('<');
    return page ? QString() : errorBodyText(answer.body);
}

// Seconds to wait from a Retry-After value: a number of seconds or a date.
std::optional<int> retryAfter(const QByteArray &value)
{
    bool number = false;
    const int seconds = value.trimmed().toInt(&number);
    if (number && seconds >= 0)
        return seconds;
    const QDateTime at = QDateTime::fromString(QString::fromLatin1(value.trimmed()), Qt::RFC2822Date);
    if (!at.isValid())
        return std::nullopt;
    return int(std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(at)));
}

} // namespace

NetworkError FigmaREST::transferFailure(const HttpFetch::Answer &answer)
{
    if (answer.failure == QNetworkReply::OperationCanceledError)
        return {QStringLiteral("Figma API 가 %1초 안에 답하지 않았어요. 잠시 뒤에 다시 해 주세요.").arg(apiTimeoutMs / 1000)};
    if (answer.failure == QNetworkReply::InsecureRedirectError) {
        const QUrl target(QString::fromUtf8(answer.header("Location")));
        const QString host = target.adjusted(QUrl::RemoveUserInfo).authority();
        return {QStringLiteral("Figma API 가 다른 서버(%1)로 보내려 해서, 토큰을 지키려고 따라가지 않았어요.").arg(host)};
    }
    if (answer.status && answer.failure == QNetworkReply::NoError)
        return {QStringLiteral("Figma API 의 답이 중간에 끊겼어요. 다시 해 주세요.")};
    return {QStringLiteral("Figma API 에 연결하지 못했어요(%1). 인터넷 연결을 확인하고 다시 해 주세요.")
                .arg(HttpFetch::describe(answer))};
}

namespace {

QCoro::Task<QJsonObject> get(QString token, QString path, CancelToken cancel = CancelToken())
{
    const QUrl url = QUrl::fromEncoded((FigmaREST::baseURL() + path).toUtf8(), QUrl::StrictMode);
    if (!HttpFetch::fetchable(url))
        throw NetworkError{QStringLiteral("Figma 주소를 만들지 못했어요: ") + FigmaREST::baseURL() + path};
    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("X-Figma-Token"), token.toUtf8());
    // The token goes to the API's own origin only: a redirect elsewhere
    // fails instead of carrying the header along.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(apiTimeoutMs);

    HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel);
    if ((!answer.status && !answer.error.isEmpty()) || answer.failure == QNetworkReply::InsecureRedirectError)
        throw FigmaREST::transferFailure(answer);
    const int status = answer.status.value_or(0);
    if (status != 200)
        throw FigmaError::http(status, serviceMessage(answer),
                               status == 429 ? retryAfter(answer.header("Retry-After")) : std::nullopt);
    // An answer cut off after its status line is a failed transfer, not a
    // text that fails to decode.
    if (!answer.error.isEmpty())
        throw FigmaREST::transferFailure(answer);
    const QFuture<QJsonObject> parsed = OffThread::run(topLevelObject, std::move(answer.body), path);
    co_return co_await parsed;
}

QCoro::Task<QString> accountName(QString token)
{
    const QJsonObject account = co_await get(token, QStringLiteral("/v1/me"));
    for (const QLatin1StringView key : {QLatin1StringView("email"), QLatin1StringView("handle")}) {
        const QJsonValue value = account.value(key);
        if (value.isString())
            co_return value.toString();
    }
    co_return QStringLiteral("확인됨");
}

FigmaSection sectionOf(const QJsonObject &answer, const QString &nodeId, const QString &fileKey)
{
    const QJsonValue nodes = answer.value(QLatin1StringView("nodes"));
    const QJsonValue entry = nodes.toObject().value(nodeId);
    const QJsonValue document = entry.toObject().value(QLatin1StringView("document"));
    if (!nodes.isObject() || !entry.isObject() || !document.isObject())
        throw FigmaError::badResponse(QStringLiteral("노드 ") + nodeId + QStringLiteral(" 를 찾지 못함"));
    return FigmaSectionParser::parse(document.toObject(), fileKey);
}

QCoro::Task<FigmaSection> readSection(QString token, FigmaLink link, CancelToken cancel)
{
    const QString path = QStringLiteral("/v1/files/") + link.fileKey + QStringLiteral("/nodes?ids=")
        + QString::fromLatin1(encodedIds(link.nodeId));
    QJsonObject answer = co_await get(token, path, cancel);
    const QFuture<FigmaSection> section = OffThread::run(sectionOf, std::move(answer), link.nodeId, link.fileKey);
    co_return co_await section;
}

QCoro::Task<QMap<QString, QString>> readImageURLs(QString token, QString fileKey, QStringList ids, double scale,
                                                  CancelToken cancel)
{
    QMap<QString, QString> addresses;
    for (qsizetype start = 0; start < ids.size(); start += imageChunkSize) {
        const QStringList chunk = ids.mid(start, imageChunkSize);
        const QString path = QStringLiteral("/v1/images/") + fileKey + QStringLiteral("?ids=")
            + QString::fromLatin1(encodedIds(chunk.join(QLatin1Char(',')))) + QStringLiteral("&format=png&scale=")
            + scaleText(scale);
        const QJsonObject answer = co_await get(token, path, cancel);
        const QJsonObject images = answer.value(QLatin1StringView("images")).toObject();
        for (auto it = images.begin(); it != images.end(); ++it)
            if (it.value().isString())
                addresses.insert(it.key(), it.value().toString());
    }
    co_return addresses;
}

} // namespace

QString FigmaREST::baseURL()
{
    if (qEnvironmentVariableIsEmpty("QUARRYSTONE_FIGMA_API"))
        return QStringLiteral("https://api.figma.com");
    QString base = qEnvironmentVariable("QUARRYSTONE_FIGMA_API");
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

QCoro::Task<QString> FigmaREST::me() const
{
    return accountName(token);
}

QCoro::Task<FigmaSection> FigmaREST::section(const FigmaLink &link, CancelToken cancel) const
{
    return readSection(token, link, cancel);
}

QCoro::Task<QMap<QString, QString>> FigmaREST::imageURLs(const QString &fileKey, const QStringList &ids,
                                                          double scale, CancelToken cancel) const
{
    return readImageURLs(token, fileKey, ids, scale, cancel);
}
