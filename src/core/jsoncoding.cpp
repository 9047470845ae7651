#include "core/jsoncoding.h"

#include "core/text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <cmath>

namespace JSONCoding {

namespace {

class Writer
{
public:
    explicit Writer(bool indent) : m_indent(indent) {}

    QByteArray take() { return std::move(m_out); }

    void value(const QJsonValue &v, int depth)
    {
        switch (v.type()) {
        case QJsonValue::Null:
            m_out += "null";
            break;
        case QJsonValue::Bool:
            m_out += v.toBool() ? "true" : "false";
            break;
        case QJsonValue::Double:
            number(v);
            break;
        case QJsonValue::String:
            m_out += quoted(v.toString());
            break;
        case QJsonValue::Array:
            array(v.toArray(), depth);
            break;
        case QJsonValue::Object:
            object(v.toObject(), depth);
            break;
        case QJsonValue::Undefined:
            throw EncodeError{QStringLiteral("undefined JSON value")};
        }
    }

private:
    void number(const QJsonValue &v)
    {
        const double d = v.toDouble();
        if (!std::isfinite(d))
            throw EncodeError{QStringLiteral("Unable to encode %1 directly in JSON.").arg(Text::shortest(d))};
        if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0) {
            m_out += QByteArray::number(static_cast<qint64>(d));
            return;
        }
        m_out += Text::shortest(d).toLatin1();
    }

    void newline(int depth)
    {
        if (!m_indent)
            return;
        m_out += '\n';
        m_out += QByteArray(depth * 2, ' ');
    }

    void array(const QJsonArray &a, int depth)
    {
        if (a.isEmpty()) {
            m_out += "[]";
            return;
        }
        m_out += '[';
        bool first = true;
        for (const QJsonValue &element : a) {
            if (!first)
                m_out += ',';
            first = false;
            newline(depth + 1);
            value(element, depth + 1);
        }
        newline(depth);
        m_out += ']';
    }

    void object(const QJsonObject &o, int depth)
    {
        if (o.isEmpty()) {
            m_out += "{}";
            return;
        }
        QStringList keys = o.keys();
        Text::sortByCodePoint(keys);
        m_out += '{';
        bool first = true;
        for (const QString &key : keys) {
            if (!first)
                m_out += ',';
            first = false;
            newline(depth + 1);
            m_out += quoted(key);
            m_out += m_indent ? " : " : ":";
            value(o.value(key), depth + 1);
        }
        newline(depth);
        m_out += '}';
    }

    bool m_indent;
    QByteArray m_out;
};

QByteArray write(const QJsonValue &value, bool indent)
{
    Writer writer(indent);
    writer.value(value, 0);
    return writer.take();
}

} // namespace

QByteArray quoted(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (u) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (u < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

QByteArray pretty(const QJsonValue &value)
{
    return write(value, true);
}

QByteArray compact(const QJsonValue &value)
{
    return write(value, false);
}

} // namespace JSONCoding
