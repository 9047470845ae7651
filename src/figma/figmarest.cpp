#include "figma/figmarest.h"

#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "core/offthread.h"
#include "core/text.h"
#include "figma/figmaerror.h"
#include "figma/figmasectionparser.h"

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

QJsonObject topLevelObject(const QByteArray &body, const QString &path)
{
    const QJsonDocument document = parseDocument(body);
    if (!document.isObject())
        throw FigmaError::badResponse(path);
    return document.object();
}

QCoro::Task<QJsonObject> get(QString token, QString path, CancelToken cancel = CancelToken())
{
    const QUrl url = QUrl::fromEncoded((FigmaREST::baseURL() + path).toUtf8(), QUrl::StrictMode);
    if (!HttpFetch::fetchable(url))
        throw NetworkError{QStringLiteral("Figma 주소를 만들지 못했어요: ") + FigmaREST::baseURL() + path};
    QNetworkRequest request(url);
    request.setRawHeader(QByteArrayLiteral("X-Figma-Token"), token.toUtf8());
    request.setTransferTimeout(apiTimeoutMs);

    HttpFetch::Answer answer = co_await HttpFetch::get(request, cancel);
    if (!answer.status && !answer.error.isEmpty())
        throw NetworkError{answer.error};
    const int status = answer.status.value_or(0);
    if (status != 200)
        throw FigmaError::http(status, errorBodyText(answer.body));
    // An answer cut off after its status line is a failed transfer, not a
    // text that fails to decode.
    if (!answer.error.isEmpty())
        throw NetworkError{answer.error};
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
