#include "figma/pngcheck.h"

#include <csetjmp>
#include <cstring>
#include <png.h>
#include <vector>

namespace PngCheck {

namespace {

// The most pixels a frame's picture may have: far beyond any screen, and
// short of what a forged header could make the decoder work through.
constexpr png_uint_32 maxSide = 1 << 15;

// The chunks a picture may carry beside its pixels that libpng would unpack
// or keep.
const png_byte ignoredChunks[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf\0";

struct Source {
    const unsigned char *data;
    size_t size;
    size_t at;
};

void readBytes(png_structp png, png_bytep out, size_t count)
{
    auto *source = static_cast<Source *>(png_get_io_ptr(png));
    if (source->size - source->at < count)
        png_error(png, "cut short");
    std::memcpy(out, source->data + source->at, count);
    source->at += count;
}

// Warnings (an unknown chunk, a colour profile it does not like) leave the
// picture a picture.
void ignore(png_structp, png_const_charp) {}

void fail(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// Decodes every row of every pass into one row's room, looking for a stop
// between rows: a picture of the largest size takes seconds. Holds nothing
// that needs a destructor across the jumps libpng makes on an error.
bool decodeRows(png_structp png, png_infop info, png_bytep row, const CancelToken &stop)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    for (int pass = 0; pass < passes; ++pass)
        for (png_uint_32 y = 0; y < height; ++y) {
            if (stop.isCancelled())
                return false;
            png_read_row(png, row, nullptr);
        }
    png_read_end(png, nullptr);
    return true;
}

// The header's size, or nothing past the sides allowed.
size_t rowBytes(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png)))
        return 0;
    png_read_info(png, info);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    if (width == 0 || height == 0 || width > maxSide || height > maxSide)
        return 0;
    // Room for the widest form a row may take once expanded.
    return size_t(width) * 8 + 16;
}

} // namespace

std::optional<qsizetype> length(const QByteArray &bytes, const CancelToken &stop)
{
    if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.constData()), 0, 8) != 0)
        return std::nullopt;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, fail, ignore);
    if (!png)
        return std::nullopt;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return std::nullopt;
    }
    Source source{reinterpret_cast<const unsigned char *>(bytes.constData()), size_t(bytes.size()), 0};
    png_set_read_fn(png, &source, readBytes);
    // Only the pixels matter: texts and profiles are skipped unread, since
    // a few bytes of one may unpack to megabytes, and thousands may follow.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, ignoredChunks, int(sizeof ignoredChunks / 5));
    bool whole = false;
    if (const size_t room = rowBytes(png, info)) {
        std::vector<png_byte> row(room);
        whole = decodeRows(png, info, row.data(), stop);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    // libpng reads the last chunk to its end and no further.
    return whole ? std::optional<qsizetype>(qsizetype(source.at)) : std::nullopt;
}

} // namespace PngCheck
