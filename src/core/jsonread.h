#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <type_traits>

#include "core/parallel.h"

// A JSON text that could not be read: not JSON, the wrong top-level type, or
// (for strictly read documents) a missing or mistyped key.
struct JSONDecodeError {
    QString message;
};

// Parses a JSON text of any top-level type. A text the parser would run
// out of memory on (nested arrays cost many times their size) fails like
// any other text that cannot be read.
QJsonDocument parseDocument(const QByteArray &json);

// Parses a JSON text whose top level must be an object.
QJsonObject parseObject(const QByteArray &json);

// Readers for the tolerant rule (a wrong JSON type gives the field's
// default, never a conversion) and for the strict rule (a wrong type fails).
// Element readers return std::nullopt when the element cannot be read at all.
namespace JsonRead {

// Tolerant field readers: the value when the key holds the right type.
QString string(const QJsonObject &o, const QString &key, const QString &fallback = QString());
bool boolean(const QJsonObject &o, const QString &key, bool fallback = false);
// Whole numbers only: 2.0 is 2, 2.5 is not an integer.
qint64 integer(const QJsonObject &o, const QString &key, qint64 fallback);
std::optional<QString> optString(const QJsonObject &o, const QString &key);
// A list of texts read whole: one non-text element gives the empty list.
QStringList stringList(const QJsonObject &o, const QString &key);
// A map of texts: a value of another type is left out, the texts beside it kept.
QMap<QString, QString> stringMap(const QJsonObject &o, const QString &key);

bool isWholeNumber(const QJsonValue &v);

// Lists at least this long (the screens of a large plan) are read on every
// core; their elements read alone, so the list is the one a single pass makes.
constexpr qsizetype listSpreadFrom = 64;

// A list read whole: every element must read, or the list is empty.
template<typename Read>
auto list(const QJsonObject &o, const QString &key, Read read)
    -> QList<typename std::invoke_result_t<Read, const QJsonValue &>::value_type>
{
    using T = typename std::invoke_result_t<Read, const QJsonValue &>::value_type;
    QList<T> out;
    const QJsonValue v = o.value(key);
    if (!v.isArray())
        return out;
    const QJsonArray array = v.toArray();
    out.reserve(array.size());
    if (array.size() >= listSpreadFrom) {
        QList<std::optional<T>> items =
            Parallel::map<std::optional<T>>(array.size(), [&array, &read](qsizetype at) { return read(array.at(at)); });
        for (std::optional<T> &item : items) {
            if (!item)
                return {};
            out.append(std::move(*item));
        }
        return out;
    }
    for (const QJsonValue &element : array) {
        auto item = read(element);
        if (!item)
            return {};
        out.append(std::move(*item));
    }
    return out;
}

// A map read whole: every value must read, or the map is empty.
template<typename Read>
auto map(const QJsonObject &o, const QString &key, Read read)
    -> QMap<QString, typename std::invoke_result_t<Read, const QJsonValue &>::value_type>
{
    using T = typename std::invoke_result_t<Read, const QJsonValue &>::value_type;
    QMap<QString, T> out;
    const QJsonValue v = o.value(key);
    if (!v.isObject())
        return out;
    const QJsonObject object = v.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        auto item = read(it.value());
        if (!item)
            return {};
        out.insert(it.key(), std::move(*item));
    }
    return out;
}

// A nested record: its reader when the value reads, else the default.
template<typename T, typename Read>
T record(const QJsonObject &o, const QString &key, Read read, T fallback = T())
{
    auto item = read(o.value(key));
    return item ? std::move(*item) : std::move(fallback);
}

} // namespace JsonRead

// Strict readers: a missing key, a null or a wrong type is an error.
namespace JsonStrict {

using Error = JSONDecodeError;

QString string(const QJsonObject &o, const QString &key);
double number(const QJsonObject &o, const QString &key);
QStringList stringList(const QJsonObject &o, const QString &key);
QJsonArray array(const QJsonObject &o, const QString &key);
QJsonObject object(const QJsonObject &o, const QString &key);
QJsonObject object(const QJsonValue &v, const QString &what);
// Optional keys: missing or null is absent; any other wrong type is an error.
std::optional<QString> optString(const QJsonObject &o, const QString &key);
std::optional<QJsonArray> optArray(const QJsonObject &o, const QString &key);
std::optional<QStringList> optStringList(const QJsonObject &o, const QString &key);

} // namespace JsonStrict
