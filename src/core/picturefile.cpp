#include "core/picturefile.h"

#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/regularfile.h"

#include <QFileInfo>
#include <QIODevice>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace PictureFile {

namespace {

// Far beyond any screen, as the design service's pictures are held to.
constexpr quint32 maxSide = 1 << 15;
// Where a JPEG's size may stand at the latest: after its metadata segments,
// each at most 64 KB.
constexpr qsizetype headBytes = 512 << 10;

quint32 bigEndian(const QByteArray &bytes, qsizetype at, int count)
{
    quint32 value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | quint8(bytes.at(at + i));
    return value;
}

quint32 littleEndian(const QByteArray &bytes, qsizetype at, int count)
{
    quint32 value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = value << 8 | quint8(bytes.at(at + i));
    return value;
}

struct Sides {
    quint32 width = 0;
    quint32 height = 0;
};

std::optional<Sides> pngSides(const QByteArray &head)
{
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return std::nullopt;
    return Sides{bigEndian(head, 16, 4), bigEndian(head, 20, 4)};
}

std::optional<Sides> gifSides(const QByteArray &head)
{
    if (head.size() < 10 || !(head.startsWith("GIF87a") || head.startsWith("GIF89a")))
        return std::nullopt;
    return Sides{littleEndian(head, 6, 2), littleEndian(head, 8, 2)};
}

std::optional<Sides> webpSides(const QByteArray &head)
{
    if (head.size() < 30 || !head.startsWith("RIFF") || head.mid(8, 4) != "WEBP")
        return std::nullopt;
    const QByteArray chunk = head.mid(12, 4);
    if (chunk == "VP8 " && head.mid(23, 3) == "\x9d\x01\x2a")
        return Sides{littleEndian(head, 26, 2) & 0x3fff, littleEndian(head, 28, 2) & 0x3fff};
    if (chunk == "VP8L" && quint8(head.at(20)) == 0x2f) {
        const quint32 bits = littleEndian(head, 21, 4);
        return Sides{(bits & 0x3fff) + 1, ((bits >> 14) & 0x3fff) + 1};
    }
    if (chunk == "VP8X")
        return Sides{littleEndian(head, 24, 3) + 1, littleEndian(head, 27, 3) + 1};
    return std::nullopt;
}

// A start-of-frame marker: every one from C0 to CF but the table and
// arithmetic-coding markers among them.
bool startsFrame(quint8 marker)
{
    return marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
}

std::optional<Sides> jpegSides(const QByteArray &head)
{
    if (!head.startsWith("\xff\xd8"))
        return std::nullopt;
    qsizetype at = 2;
    while (at + 9 <= head.size()) {
        if (quint8(head.at(at)) != 0xff)
            return std::nullopt;
        const quint8 marker = quint8(head.at(at + 1));
        if (marker == 0xff) {
            ++at;
            continue;
        }
        if (startsFrame(marker))
            return Sides{bigEndian(head, at + 7, 2), bigEndian(head, at + 5, 2)};
        at += 2 + bigEndian(head, at + 2, 2);
    }
    return std::nullopt;
}

std::optional<QString> suffixFor(const std::optional<Sides> &sides, const char *suffix)
{
    if (!sides || sides->width == 0 || sides->height == 0 || sides->width > maxSide || sides->height > maxSide)
        return std::nullopt;
    return QString::fromLatin1(suffix);
}

QByteArray readHead(int fd)
{
    QByteArray head(headBytes, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < head.size()) {
        const ssize_t n = ::pread(fd, head.data() + got, size_t(head.size() - got), got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += n;
    }
    head.resize(got);
    return head;
}

QString notAPicture()
{
    return QStringLiteral("그림 파일(PNG, JPEG, GIF, WebP)이 아니에요");
}

} // namespace

std::optional<QString> suffixOf(const QByteArray &head)
{
    if (head.startsWith("\x89PNG"))
        return suffixFor(pngSides(head), "png");
    if (head.startsWith("GIF8"))
        return suffixFor(gifSides(head), "gif");
    if (head.startsWith("RIFF"))
        return suffixFor(webpSides(head), "webp");
    return suffixFor(jpegSides(head), "jpg");
}

QString refusal(const QString &shown, const QString &reason)
{
    return QStringLiteral("이미지를 읽지 못했어요: ") + shown + QStringLiteral(" (") + reason + QLatin1Char(')');
}

Opened::Opened(int fd, QString suffix)
    : m_fd(fd)
    , m_suffix(std::move(suffix))
{
}

Opened::Opened(Opened &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_suffix(std::move(other.m_suffix))
{
}

Opened::~Opened()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Opened::copyTo(QIODevice &out) const
{
    QByteArray piece(1 << 20, Qt::Uninitialized);
    qint64 at = 0;
    for (;;) {
        const ssize_t n = ::pread(m_fd, piece.data(), size_t(piece.size()), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || at + n > FileSizes::picture)
            return false;
        if (n == 0)
            return true;
        if (out.write(piece.constData(), n) != n)
            return false;
        at += n;
    }
}

std::optional<Opened> open(const QString &path, QString *error)
{
    const int fd = RegularFile::open(path, 0, error);
    if (fd < 0)
        return std::nullopt;
    Opened opened(fd, QString());
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        *error = FileError::describe(errno);
        return std::nullopt;
    }
    if (status.st_size > FileSizes::picture) {
        *error = FileSizes::tooLarge(QFileInfo(path).fileName(), status.st_size, FileSizes::picture);
        return std::nullopt;
    }
    const std::optional<QString> suffix = suffixOf(readHead(fd));
    if (!suffix) {
        *error = notAPicture();
        return std::nullopt;
    }
    opened.m_suffix = *suffix;
    return opened;
}

} // namespace PictureFile
