#include "figma/figmalink.h"

#include "core/jsonread.h"

#include <QStringList>
#include <algorithm>
#include <QUrl>
#include <QUrlQuery>

namespace {

const QString serviceDomain = QStringLiteral("figma.com");

bool isServiceHost(const QString &host)
{
    return host == serviceDomain || host.endsWith(QLatin1Char('.') + serviceDomain);
}

// The service's file and branch keys are letters and digits. Anything else
// (an encoded "/", "..", a line break) would change the request the token
// goes with, or the lines it is shown in.
bool isKey(const QString &key)
{
    return !key.isEmpty() && std::all_of(key.cbegin(), key.cend(), [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
    });
}

std::optional<QString> keyFromPath(const QStringList &parts)
{
    static const QStringList kinds{QStringLiteral("design"), QStringLiteral("file"), QStringLiteral("proto")};
    const auto kind = std::find_if(parts.begin(), parts.end(), [](const QString &part) { return kinds.contains(part); });
    if (kind == parts.end() || kind + 1 == parts.end())
        return std::nullopt;
    QString key = *(kind + 1);
    // A branch has its own key, which is the one the service reads.
    const qsizetype branch = parts.indexOf(QStringLiteral("branch"));
    if (branch >= 0 && branch + 1 < parts.size())
        key = parts.at(branch + 1);
    return key;
}

// Split before decoding, so that an encoded "/" stays inside its part.
QStringList pathParts(const QUrl &url)
{
    QStringList parts;
    const QList<QByteArray> encoded = url.path(QUrl::FullyEncoded).toUtf8().split('/');
    for (const QByteArray &part : encoded) {
        if (!part.isEmpty())
            parts.append(QUrl::fromPercentEncoding(part));
    }
    return parts;
}

QString nodeFromQuery(const QUrl &url)
{
    const QUrlQuery query(url);
    for (const auto &[name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name == QLatin1String("node-id"))
            return QString(value).replace(QLatin1Char('-'), QLatin1Char(':'));
    }
    return {};
}

} // namespace

std::optional<FigmaLink> FigmaLink::parse(const QString &text)
{
    QString link = text.trimmed();
    if (!link.contains(QLatin1String("://")))
        link.prepend(QLatin1String("https://"));

    const QUrl url(link);
    if (!url.isValid())
        return std::nullopt;
    if (!isServiceHost(url.host().toLower()))
        return std::nullopt;

    const auto key = keyFromPath(pathParts(url));
    if (!key || !isKey(*key))
        return std::nullopt;
    const QString node = nodeFromQuery(url);
    if (node.isEmpty())
        return std::nullopt;
    return FigmaLink{*key, node, link};
}

FigmaLink FigmaLink::read(const QJsonValue &value)
{
    const QJsonObject o = JsonStrict::object(value, QStringLiteral("link"));
    const QString fileKey = JsonStrict::string(o, QStringLiteral("fileKey"));
    if (!isKey(fileKey))
        throw JSONDecodeError{QStringLiteral("\"fileKey\": 영문자와 숫자로 된 피그마 파일 키가 아니에요")};
    return FigmaLink{
        fileKey,
        JsonStrict::string(o, QStringLiteral("nodeId")),
        JsonStrict::string(o, QStringLiteral("url")),
    };
}

QJsonObject FigmaLink::toJson() const
{
    return QJsonObject{
        {QStringLiteral("fileKey"), fileKey},
        {QStringLiteral("nodeId"), nodeId},
        {QStringLiteral("url"), url},
    };
}
