#pragma once

#include <QString>
#include <QStringList>
#include <ostream>

// Lets GoogleTest show Qt texts as readable UTF-8 when a check fails.
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
