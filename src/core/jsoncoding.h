#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <concepts>

// The one JSON writer of the system: indented, keys sorted by code point at
// every depth, "/" left unescaped, UTF-8 out. A number that is not finite
// is an error, never a silent null.
namespace JSONCoding {

struct EncodeError {
    QString message;
};

QByteArray pretty(const QJsonValue &value);
// Same rules on one line, for texts embedded in other documents.
QByteArray compact(const QJsonValue &value);

template<typename T>
    requires requires(const T &t) {
        { t.toJson() } -> std::convertible_to<QJsonValue>;
    }
QByteArray pretty(const T &value)
{
    return pretty(QJsonValue(value.toJson()));
}

template<typename T>
    requires requires(const T &t) {
        { t.toJson() } -> std::convertible_to<QJsonValue>;
    }
QByteArray compact(const T &value)
{
    return compact(QJsonValue(value.toJson()));
}

// Compact, with every "/" written as "\/": the form for JSON placed inside
// a page's script element.
QByteArray compactEscapingSlashes(const QJsonValue &value);

template<typename T>
    requires requires(const T &t) {
        { t.toJson() } -> std::convertible_to<QJsonValue>;
    }
QByteArray compactEscapingSlashes(const T &value)
{
    return compactEscapingSlashes(QJsonValue(value.toJson()));
}

// Appends one object of texts given as UTF-8 bytes in the form of
// compactEscapingSlashes. Large texts (embedded images) go straight into
// `out`, never through a UTF-16 copy.
void appendCompactEscapingSlashes(QByteArray &out, const QMap<QString, QByteArray> &texts);

// A JSON string literal (quotes included) as this writer spells it.
QByteArray quoted(const QString &text);

} // namespace JSONCoding
