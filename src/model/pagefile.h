#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>
#include <optional>

// A page read for import through one descriptor, a piece at a time: a page
// of hundreds of megabytes is never held whole, only the parts an import
// keeps. Opened without waiting, and only when it is a regular file.
class PageFile
{
public:
    // What a read that cannot be completed throws: the file went away,
    // shrank, or the system refused it.
    struct Unreadable {
    };

    explicit PageFile(const QString &path);
    PageFile(const PageFile &) = delete;
    PageFile &operator=(const PageFile &) = delete;
    ~PageFile();

    bool isOpen() const { return m_fd >= 0; }
    qint64 size() const { return m_size; }

    // The bytes [from, from + length), cut at the size the file had when it
    // was opened.
    QByteArray read(qint64 from, qint64 length) const;

    // The bytes from `from` up to the first `end` at or after it; nothing
    // when no `end` follows.
    std::optional<QByteArray> textUntil(qint64 from, QByteArrayView end) const;

    struct Survey {
        bool utf8 = true;
        // Where each text searched for first begins; -1 when nowhere.
        QList<qint64> first;
    };
    // Whether the whole file is strict UTF-8, and where each of `texts`
    // (at most 64 bytes each) first occurs. Pieces are looked at in
    // parallel.
    Survey survey(const QList<QByteArrayView> &texts) const;

private:
    int m_fd = -1;
    qint64 m_size = 0;
};
