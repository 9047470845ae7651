#include "core/picturefile.h"
#include "support/testimages.h"

#include <QByteArray>
#include <gtest/gtest.h>

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (const int value : values)
        out.append(char(value));
    return out;
}

// A JPEG's start, a metadata segment of `metadata` bytes and a frame header
// of `width` × `height`.
QByteArray jpeg(int metadata, int width, int height)
{
    QByteArray out = bytes({0xff, 0xd8, 0xff, 0xe1, (metadata + 2) >> 8, (metadata + 2) & 0xff});
    out.append(QByteArray(metadata, 'x'));
    out.append(bytes({0xff, 0xc0, 0x00, 0x11, 0x08, height >> 8, height & 0xff, width >> 8, width & 0xff}));
    return out;
}

// A WebP of the extended kind, whose canvas sides are stored less one.
QByteArray webp(int width, int height)
{
    return QByteArray("RIFF\x20\0\0\0WEBPVP8X", 16) + QByteArray(8, '\0')
        + bytes({(width - 1) & 0xff, (width - 1) >> 8, 0, (height - 1) & 0xff, (height - 1) >> 8, 0});
}

} // namespace

// The format is known from the first bytes, never from the name; sides
// beyond any screen, a header cut short or a text are no picture.
TEST(PictureFile, KnowsAPictureByItsHeaderAndSides)
{
    const QByteArray png = TestImages::png(3, 2, 10);
    const QList<std::pair<QByteArray, std::optional<QString>>> rows{
        {png, "png"},
        {png.left(20), std::nullopt},
        {jpeg(300, 640, 480), "jpg"},
        {jpeg(300, 40000, 480), std::nullopt},
        {jpeg(300, 640, 480).left(310), std::nullopt},
        {QByteArray("GIF89a", 6) + bytes({0x80, 0x02, 0xe0, 0x01}), "gif"},
        {QByteArray("GIF89a", 6) + bytes({0x00, 0x00, 0xe0, 0x01}), std::nullopt},
        {webp(1024, 768), "webp"},
        {webp(1024, 768).left(26), std::nullopt},
        {"<html>not a picture</html>", std::nullopt},
        {QByteArray(64, '\0'), std::nullopt},
    };
    for (qsizetype i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(PictureFile::suffixOf(rows[i].first), rows[i].second);
    }
}
