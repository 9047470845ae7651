#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

class QIODevice;

// A picture the person gives a revision (a screenshot, a pasted capture),
// checked before it is copied: a file of a sane size whose first bytes are
// a PNG, JPEG, GIF or WebP header with sane sides. Claude looks at it, and a
// file that is not one, or one of gigabytes, would only fill the plan's
// history.
namespace PictureFile {

// The file name ending its format takes ("png", "jpg", "gif", "webp"), or
// nothing when `head` (a file's first bytes) begins no picture of those
// formats whose sides are both between 1 and 32,768.
std::optional<QString> suffixOf(const QByteArray &head);

// A checked picture, opened for reading.
class Opened
{
public:
    Opened(Opened &&other) noexcept;
    Opened &operator=(Opened &&) = delete;
    ~Opened();

    // The file name ending of its format.
    const QString &suffix() const { return m_suffix; }
    // Writes the whole file to `out`, from its start, piece by piece; false
    // when it could not be read or written, or grew past its limit.
    bool copyTo(QIODevice &out) const;

private:
    friend std::optional<Opened> open(const QString &path, QString *error);
    Opened(int fd, QString suffix);
    int m_fd;
    QString m_suffix;
};

// Why a picture named `shown` (as the person gave it) is not attached,
// `reason` being open()'s cause.
QString refusal(const QString &shown, const QString &reason);

// The picture at `path` (a link the person keeps there is followed); nothing
// when it is no regular file, is larger than FileSizes::picture, or does not
// begin as a picture, with `error` then saying which, in the person's words.
std::optional<Opened> open(const QString &path, QString *error);

} // namespace PictureFile
