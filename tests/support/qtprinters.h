#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariant>
#include <ostream>

// Lets GoogleTest show Qt values as readable UTF-8 when a check fails.
// GoogleTest finds a printer by argument-dependent lookup, so each one is
// declared beside its type (Qt's types live in the global namespace) and
// must be seen by every test file: the test targets include this header
// into each of their sources. A Qt type without one here is printed as
// the raw bytes of the object, or, when it can be iterated like a JSON
// array, as the raw bytes of each of its elements.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList &list, std::ostream *out)
{
    *out << '{';
    for (qsizetype i = 0; i < list.size(); ++i) {
        *out << (i ? ",\n  " : "\n  ");
        PrintTo(list.at(i), out);
    }
    *out << (list.isEmpty() ? "}" : "\n}");
}

// Bytes as they are when they are text, each other byte as \xNN.
inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << "b\"";
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\')
            *out << '\\' << c;
        else if (byte >= 0x20 && byte != 0x7f)
            *out << c;
        else
            *out << "\\x" << "0123456789ABCDEF"[byte >> 4] << "0123456789ABCDEF"[byte & 0xF];
    }
    *out << '"';
}

inline void PrintTo(const QJsonValue &value, std::ostream *out)
{
    // Wrapped in an array, every kind of value has a compact JSON text.
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    *out << array.mid(1, array.size() - 2).toStdString();
}

inline void PrintTo(const QJsonArray &array, std::ostream *out)
{
    *out << QJsonDocument(array).toJson(QJsonDocument::Compact).toStdString();
}

inline void PrintTo(const QJsonObject &object, std::ostream *out)
{
    *out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

inline void PrintTo(const QUrl &url, std::ostream *out)
{
    *out << "QUrl(\"" << url.toString().toStdString() << "\")";
}

inline void PrintTo(const QVariant &value, std::ostream *out)
{
    *out << "QVariant(" << (value.isValid() ? value.typeName() : "invalid") << ", ";
    PrintTo(value.toString(), out);
    *out << ')';
}

inline void PrintTo(const QSize &size, std::ostream *out)
{
    *out << size.width() << 'x' << size.height();
}

inline void PrintTo(const QPoint &point, std::ostream *out)
{
    *out << '(' << point.x() << ", " << point.y() << ')';
}

inline void PrintTo(const QRect &rect, std::ostream *out)
{
    *out << rect.width() << 'x' << rect.height() << '+' << rect.x() << '+' << rect.y();
}
