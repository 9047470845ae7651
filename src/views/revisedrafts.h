#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// What the user is writing for each plan folder: the request and the
// attached images, kept while the application runs, so that text and
// decisions meant for one plan never revise another.
class ReviseDrafts
{
public:
    struct Draft {
        QString request;
        QStringList images;
    };

    // The draft of a plan folder (any spelling of its path), made empty on
    // first use.
    static Draft &of(const QString &dir);
    static void clear(const QString &dir);
    // The draft of a folder now at `to`, kept with it; one already kept for
    // `to` gives way.
    static void move(const QString &from, const QString &to);

private:
    static QHash<QString, Draft> &all();
};
