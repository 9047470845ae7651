#include "support/testimages.h"

#include <png.h>
#include <vector>

namespace TestImages {

namespace {

void append(png_structp png, png_bytep data, size_t size)
{
    static_cast<QByteArray *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), qsizetype(size));
}

void flush(png_structp) {}

} // namespace

QByteArray png(int width, int height, unsigned char shade)
{
    QByteArray out;
    png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(writer);
    if (setjmp(png_jmpbuf(writer))) {
        png_destroy_write_struct(&writer, &info);
        return {};
    }
    png_set_write_fn(writer, &out, append, flush);
    png_set_IHDR(writer, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(writer, info);
    std::vector<png_byte> row(size_t(width), shade);
    for (int y = 0; y < height; ++y)
        png_write_row(writer, row.data());
    png_write_end(writer, nullptr);
    png_destroy_write_struct(&writer, &info);
    return out;
}

} // namespace TestImages
