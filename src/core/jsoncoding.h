#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <concepts>
#include <optional>

// The one JSON writer of the system: indented, keys sorted by code point at
// every depth, "/" left unescaped, UTF-8 out. A number that is not finite
// is an error, never a silent null.
namespace JSONCoding {

struct EncodeError {
    QString message;
};

// A record of the system's documents: it writes itself with toJson().
template<typename T>
concept Encodable = requires(const T &t) {
    { t.toJson() } -> std::convertible_to<QJsonValue>;
};

QByteArray pretty(const QJsonValue &value);
// Same rules on one line, for texts embedded in other documents.
QByteArray compact(const QJsonValue &value);

template<Encodable T>
QByteArray pretty(const T &value)
{
    return pretty(QJsonValue(value.toJson()));
}

template<Encodable T>
QByteArray compact(const T &value)
{
    return compact(QJsonValue(value.toJson()));
}

// Compact, with every "/" written as "\/": the form for JSON placed inside
// a page's script element.
QByteArray compactEscapingSlashes(const QJsonValue &value);

template<Encodable T>
QByteArray compactEscapingSlashes(const T &value)
{
    return compactEscapingSlashes(QJsonValue(value.toJson()));
}

// Appends UTF-8 text escaped as inside a string literal of
// compactEscapingSlashes, without the quotes: a long literal can be written
// in pieces that need no joining first.
void appendEscapingSlashes(QByteArray &out, QByteArrayView utf8);

// Appends one object of texts given as UTF-8 bytes in the form of
// compactEscapingSlashes. Large texts (embedded images) go straight into
// `out`, never through a UTF-16 copy.
void appendCompactEscapingSlashes(QByteArray &out, const QMap<QString, QByteArray> &texts);

// The array of records, each written by its own toJson().
template<Encodable T>
QJsonArray arrayOf(const QList<T> &records)
{
    QJsonArray out;
    for (const T &record : records)
        out.append(record.toJson());
    return out;
}

// An optional text is written only when present: never as null.
void insertIfPresent(QJsonObject &object, const QString &key, const std::optional<QString> &value);

// The compact form, slashes escaped, of JSON this writer wrote indented:
// the very bytes compactEscapingSlashes gives for the same value. Outside
// strings the indented form differs only by spaces and line breaks.
QByteArray compactedEscapingSlashes(QByteArrayView indented);

// A JSON string literal (quotes included) as this writer spells it.
QByteArray quoted(const QString &text);

// The writer's form made token by token, for a record that writes itself
// straight from its fields instead of through a whole QJsonObject: the
// caller gives every object's keys in code-point order. The text is the one
// pretty() or compact() would make of the same values.
class Stream
{
public:
    Stream(bool indent, bool escapeSlashes);

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // A key the caller spells as it stands: ASCII that needs no escape.
    void key(QByteArrayView plain);
    void key(QStringView text);
    void string(QStringView text);
    // Throws EncodeError for a number that is not finite.
    void number(double value);
    void boolean(bool value);

    QByteArray take() { return std::move(m_out); }

private:
    void open(char bracket);
    void close(char bracket);
    void beforeValue();
    void newline(int depth);

    bool m_indent;
    bool m_escapeSlashes;
    bool m_afterKey = false;
    // Per open container: whether anything is in it yet.
    QList<bool> m_filled;
    QByteArray m_out;
};

} // namespace JSONCoding
