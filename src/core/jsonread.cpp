#include "core/jsonread.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

QJsonObject parseObject(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw JSONDecodeError{QStringLiteral("%1 (offset %2)").arg(error.errorString()).arg(error.offset)};
    if (!doc.isObject())
        throw JSONDecodeError{QStringLiteral("the top level is not a JSON object")};
    return doc.object();
}

namespace JsonRead {

QString string(const QJsonObject &o, const QString &key, const QString &fallback)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : fallback;
}

bool boolean(const QJsonObject &o, const QString &key, bool fallback)
{
    const QJsonValue v = o.value(key);
    return v.isBool() ? v.toBool() : fallback;
}

bool isWholeNumber(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::isfinite(d) && std::floor(d) == d && std::fabs(d) <= 9007199254740992.0;
}

qint64 integer(const QJsonObject &o, const QString &key, qint64 fallback)
{
    const QJsonValue v = o.value(key);
    return isWholeNumber(v) ? static_cast<qint64>(v.toDouble()) : fallback;
}

std::optional<QString> optString(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isString())
        return v.toString();
    return std::nullopt;
}

QStringList stringList(const QJsonObject &o, const QString &key)
{
    return list(o, key, [](const QJsonValue &v) -> std::optional<QString> {
        if (v.isString())
            return v.toString();
        return std::nullopt;
    });
}

QMap<QString, QString> stringMap(const QJsonObject &o, const QString &key)
{
    return map(o, key, [](const QJsonValue &v) -> std::optional<QString> {
        if (v.isString())
            return v.toString();
        return std::nullopt;
    });
}

} // namespace JsonRead

namespace JsonStrict {

namespace {

[[noreturn]] void fail(const QString &key, const char *expected)
{
    throw Error{QStringLiteral("\"%1\": %2").arg(key, QLatin1String(expected))};
}

QJsonValue required(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        fail(key, "required key missing");
    return v;
}

} // namespace

QString string(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isString())
        fail(key, "expected a string");
    return v.toString();
}

double number(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isDouble())
        fail(key, "expected a number");
    return v.toDouble();
}

QJsonArray array(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isArray())
        fail(key, "expected an array");
    return v.toArray();
}

QStringList stringList(const QJsonObject &o, const QString &key)
{
    QStringList out;
    for (const QJsonValue &v : array(o, key)) {
        if (!v.isString())
            fail(key, "expected an array of strings");
        out.append(v.toString());
    }
    return out;
}

QJsonObject object(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isObject())
        fail(key, "expected an object");
    return v.toObject();
}

QJsonObject object(const QJsonValue &v, const QString &what)
{
    if (!v.isObject())
        fail(what, "expected an object");
    return v.toObject();
}

std::optional<QString> optString(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isString())
        fail(key, "expected a string");
    return v.toString();
}

std::optional<QJsonArray> optArray(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isArray())
        fail(key, "expected an array");
    return v.toArray();
}

std::optional<QStringList> optStringList(const QJsonObject &o, const QString &key)
{
    if (!optArray(o, key))
        return std::nullopt;
    return stringList(o, key);
}

} // namespace JsonStrict
