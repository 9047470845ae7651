#include "figma/figmarest.h"

#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/text.h"
#include "figma/figmaerror.h"
#include "figma/figmasectionparser.h"
#include "settings/keychain.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QUrl>
#include <algorithm>

namespace {

constexpr qsizetype imageChunkSize = 20;
// The longest wait a busy service's answer is shown with: a wait of days
// is no advice a person can follow.
constexpr qint64 longestWait = 24 * 60 * 60;
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
            return FigmaREST::shown(errorBodyText(object.value(key).toString().toUtf8()));
    const bool page = answer.header("Content-Type").toLower().contains("html")
        || answer.body.trimmed().startsWith('<');
    return page ? QString() : FigmaREST::shown(errorBodyText(answer.body));
}

// The moment an HTTP date names ("Wed, 21 Oct 2099 07:28:00 GMT"), always
// in UTC; the older forms with a numeric zone are read as well.
QDateTime httpDate(const QByteArray &value)
{
    const QString text = QString::fromLatin1(value);
    const QDateTime fixed = QLocale::c().toDateTime(text, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (fixed.isValid())
        return QDateTime(fixed.date(), fixed.time(), Qt::UTC);
    return QDateTime::fromString(text, Qt::RFC2822Date);
}

// Seconds to wait from a Retry-After value, a number of seconds or an HTTP
// date, at most a day; a date gone by asks for no wait.
std::optional<int> retryAfter(const QByteArray &raw)
{
    const QByteArray value = raw.trimmed();
    if (value.isEmpty())
        return std::nullopt;
    if (std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; })) {
        bool fits = false;
        const qint64 seconds = value.toLongLong(&fits);
        return int(fits ? std::min(seconds, longestWait) : longestWait);
    }
    const QDateTime at = httpDate(value);
    if (!at.isValid())
        return std::nullopt;
    return int(std::clamp<qint64>(QDateTime::currentDateTimeUtc().secsTo(at), 0, longestWait));
}

bool webScheme(const QUrl &url)
{
    return url.scheme() == QLatin1StringView("http") || url.scheme() == QLatin1StringView("https");
}

// A redirect that was not followed: too many, to another server, or to
// something other than a web address.
bool redirectRefused(const HttpFetch::Answer &answer)
{
    const int status = answer.status.value_or(0);
    return status >= 300 && status <= 399
        && (answer.failure != QNetworkReply::NoError || !answer.header("Location").isEmpty());
}

} // namespace

NetworkError FigmaREST::transferFailure(const HttpFetch::Answer &answer, const QString &call,
                                        const HttpFetch::Limits &limits)
{
    const QString answerOf = QStringLiteral("Figma API 의 ") + (call.isEmpty() ? QString() : call + QLatin1Char(' '));
    const qint64 seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.whole).count();
    if (answer.overrun == HttpFetch::Overrun::time)
        return {QStringLiteral("%1답이 %2초 안에 다 오지 않아서 멈췄어요. 잠시 뒤에 다시 해 주세요.").arg(answerOf).arg(seconds)};
    if (answer.unreadable)
        return {QStringLiteral("%1답을 풀지 못했어요: %2.").arg(answerOf, answer.error)};
    if (answer.overrun == HttpFetch::Overrun::size)
        return {QStringLiteral("%1답이 %2 를 넘어서 받다가 멈췄어요.").arg(answerOf, HttpFetch::megabytes(limits.bytes))};
    if (answer.failure == QNetworkReply::OperationCanceledError)
        return {QStringLiteral("Figma API 가 %1초 안에 답하지 않았어요. 잠시 뒤에 다시 해 주세요.").arg(seconds)};
    const QUrl target(QString::fromUtf8(answer.header("Location")));
    if (redirectRefused(answer) && !target.scheme().isEmpty() && !webScheme(target))
        return {QStringLiteral("Figma API 가 웹 주소가 아닌 곳(%1:)으로 보내려 해서 따라가지 않았어요.")
                    .arg(shown(target.scheme()))};
    if (answer.failure == QNetworkReply::InsecureRedirectError) {
        const QString host = target.adjusted(QUrl::RemoveUserInfo).authority();
        return {QStringLiteral("Figma API 가 다른 서버(%1)로 보내려 해서, 토큰을 지키려고 따라가지 않았어요.").arg(shown(host))};
    }
    if (answer.status && answer.failure == QNetworkReply::NoError)
        return {QStringLiteral("Figma API 의 답이 중간에 끊겼어요. 다시 해 주세요.")};
    return {QStringLiteral("Figma API 에 연결하지 못했어요(%1). 인터넷 연결을 확인하고 다시 해 주세요.")
                .arg(shown(HttpFetch::describe(answer)))};
}

QString FigmaREST::shown(const QString &text)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() != QChar::Other_Control)
            clean.append(c);
        else if (c.isSpace())
            clean.append(QLatin1Char(' '));
    }
    return clean;
}

namespace {

// One call of the API; `call` names it in a failure.
QCoro::Task<QJsonObject> get(FigmaREST rest, QString path, QString call, CancelToken cancel = CancelToken())
{
    const QUrl url = QUrl::fromEncoded((FigmaREST::baseURL() + path).toUtf8(), QUrl::StrictMode);
    if (!HttpFetch::fetchable(url))
        throw NetworkError{QStringLiteral("Figma 주소를 만들지 못했어요: ") + FigmaREST::baseURL() + path};
    QNetworkRequest request(url);
    // A token read from the keychain is printable ASCII; one handed in
    // otherwise is still never let into the request's head.
    if (!Keychain::usable(rest.token))
        throw FigmaError::tokenUnreadable(
            QStringLiteral("Figma 토큰에 제어 문자나 ASCII 밖의 글자가 들어 있어서 보내지 않았어요. 설정에서 다시 넣어 주세요."));
    request.setRawHeader(QByteArrayLiteral("X-Figma-Token"), rest.token.toLatin1());
    // The token goes to the API's own origin only: a redirect elsewhere
    // fails instead of carrying the header along.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setTransferTimeout(int(rest.limits.whole.count()));

    HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel, rest.limits);
    if (answer.overrun != HttpFetch::Overrun::none || answer.unreadable
        || (!answer.status && !answer.error.isEmpty()) || redirectRefused(answer))
        throw FigmaREST::transferFailure(answer, call, rest.limits);
    const int status = answer.status.value_or(0);
    if (status != 200)
        throw FigmaError::http(status, serviceMessage(answer),
                               status == 429 ? retryAfter(answer.header("Retry-After")) : std::nullopt);
    // An answer cut off after its status line is a failed transfer, not a
    // text that fails to decode.
    if (!answer.error.isEmpty())
        throw FigmaREST::transferFailure(answer, call, rest.limits);
    const QFuture<QJsonObject> parsed = PoolThread::run(topLevelObject, std::move(answer.body), path);
    co_return co_await parsed;
}

QCoro::Task<QString> accountName(FigmaREST rest)
{
    const QJsonObject account = co_await get(rest, QStringLiteral("/v1/me"), QStringLiteral("계정 확인"));
    for (const QLatin1StringView key : {QLatin1StringView("email"), QLatin1StringView("handle")}) {
        const QJsonValue value = account.value(key);
        if (value.isString())
            co_return FigmaREST::shown(value.toString());
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

QCoro::Task<FigmaSection> readSection(FigmaREST rest, FigmaLink link, CancelToken cancel)
{
    const QString path = QStringLiteral("/v1/files/") + link.fileKey + QStringLiteral("/nodes?ids=")
        + QString::fromLatin1(encodedIds(link.nodeId));
    QJsonObject answer = co_await get(rest, path, QStringLiteral("섹션 읽기"), cancel);
    const QFuture<FigmaSection> section = PoolThread::run(sectionOf, std::move(answer), link.nodeId, link.fileKey);
    co_return co_await section;
}

QCoro::Task<QMap<QString, QString>> readImageURLs(FigmaREST rest, QString fileKey, QStringList ids, double scale,
                                                  CancelToken cancel)
{
    QMap<QString, QString> addresses;
    for (qsizetype start = 0; start < ids.size(); start += imageChunkSize) {
        const QStringList chunk = ids.mid(start, imageChunkSize);
        const QString path = QStringLiteral("/v1/images/") + fileKey + QStringLiteral("?ids=")
            + QString::fromLatin1(encodedIds(chunk.join(QLatin1Char(',')))) + QStringLiteral("&format=png&scale=")
            + scaleText(scale);
        const QJsonObject answer = co_await get(rest, path, QStringLiteral("그림 주소 받기"), cancel);
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
    return accountName(*this);
}

QCoro::Task<FigmaSection> FigmaREST::section(const FigmaLink &link, CancelToken cancel) const
{
    return readSection(*this, link, cancel);
}

QCoro::Task<QMap<QString, QString>> FigmaREST::imageURLs(const QString &fileKey, const QStringList &ids,
                                                          double scale, CancelToken cancel) const
{
    return readImageURLs(*this, fileKey, ids, scale, cancel);
}
