#include "files/png.h"

#include <png.h>

#include <cstring>

#include "codec/bytes.h"
#include "files/png_io.h"

namespace {

const char read_past_end[] = "read beyond end of data";

// libpng's messages for the usual damage, in the words of this program.
Error png_reason(const char *message)
{
    if (!strcmp(message, read_past_end))
        return unreadable("truncated file");
    // A critical chunk's bad CRC reads "IDAT: CRC error".
    const char *crc = strstr(message, ": CRC error");
    if (crc && crc - message == 4)
        return unreadable("bad CRC in chunk " + std::string(message, 4));
    return unreadable(library_reason(message));
}

const size_t png_signature = 8;

// Whether every chunk of a PNG lies within the file, up to IEND. libpng
// allocates a text chunk's claimed length (up to 2 GiB) before it reads a
// byte of it, and the simplified API, which stops after the image data,
// would take a file cut short after it for whole: both are settled here,
// before libpng sees the file. Only the framing is read (length, name, data,
// CRC); the chunks themselves are libpng's business.
bool png_chunks_fit(const uint8_t *data, size_t size)
{
    const size_t frame = 12;  // length, name, CRC
    size_t at = png_signature;
    for (;;) {
        if (size - at < frame)
            return false;
        const uint8_t *p = data + at;
        uint32_t length = be32(p);
        if (length > size - at - frame)
            return false;
        at += frame + length;
        if (!memcmp(p + 4, "IEND", 4))
            return true;
    }
}

// A file that libpng will not take for a PNG is left to libpng to name.
bool is_png_cut_short(const uint8_t *data, size_t size)
{
    return size >= png_signature && !png_sig_cmp(data, 0, png_signature) && !png_chunks_fit(data, size);
}

Error read_png_with(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    if (size == 0)
        return unreadable("empty file");
    if (is_png_cut_short(data, size))
        return unreadable("truncated file");
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    // On failure libpng has already freed what it held.
    if (!png_image_begin_read_from_memory(&image, data, size))
        return png_reason(image.message);
    Error why = check_picture_size(image.width, image.height, limits);
    bool alpha = image.format & PNG_FORMAT_FLAG_ALPHA;
    size_t pixels = (size_t)image.width * image.height;
    if (!why)
        why = allocate_pixels(&out->rgb, pixels * (alpha ? 4 : 3));
    if (why) {
        png_image_free(&image);
        return why;
    }
    // Only settable now; begin_read sets the flags.
    image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    if (!png_image_finish_read(&image, NULL, out->rgb.data(), 0, NULL))
        return png_reason(image.message);
    if (alpha) {
        composite_over_black(out->rgb.data(), pixels);
        out->rgb.resize(pixels * 3);
    }
    out->w = (int)image.width;
    out->h = (int)image.height;
    return Error();
}

void read_from_memory(png_structp png, png_bytep to, size_t count)
{
    PngIo *io = (PngIo *)png_get_io_ptr(png);
    if (count > io->size - io->at)
        png_error(png, read_past_end);
    memcpy(to, io->data + io->at, count);
    io->at += count;
}

bool read_png_header(png_structp png, png_infop info)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_info(png, info);
    return true;
}

// Reads the rows into `pixels` (w bytes a row) as they are stored: no
// transformation is asked for, so palette indices and grey levels stay as
// they are. Interlaced files take one round of rows per pass.
bool read_png_rows(png_structp png, png_infop info, png_uint_32 w, png_uint_32 h, uint8_t *pixels)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    for (int pass = 0; pass < passes; pass++)
        for (png_uint_32 y = 0; y < h; y++)
            png_read_row(png, pixels + (size_t)y * w, NULL);
    png_read_end(png, NULL);
    return true;
}

Error read_carrier_with(png_structp png, png_infop info, PngIo *io, const PictureLimits &limits, int *w,
                              int *h, std::vector<uint8_t> *indices)
{
    if (!read_png_header(png, info))
        return png_reason(io->message);
    png_uint_32 width, height;
    int depth, colour_type;
    png_get_IHDR(png, info, &width, &height, &depth, &colour_type, NULL, NULL, NULL);
    if (depth != 8 || (colour_type != PNG_COLOR_TYPE_PALETTE && colour_type != PNG_COLOR_TYPE_GRAY)) {
        static const struct {
            int type;
            const char *name;
        } names[] = {{PNG_COLOR_TYPE_GRAY, "grey"},
                     {PNG_COLOR_TYPE_PALETTE, "palette"},
                     {PNG_COLOR_TYPE_RGB, "RGB"},
                     {PNG_COLOR_TYPE_GRAY_ALPHA, "grey+alpha"},
                     {PNG_COLOR_TYPE_RGB_ALPHA, "RGBA"}};
        const char *name = "unknown";
        for (const auto &n : names)
            if (n.type == colour_type)
                name = n.name;
        return Error(Error::not_a_carrier,
                     std::to_string(depth) + "-bit " + name + " PNG, not 8-bit palette or 8-bit grey");
    }
    Error why = check_carrier_size(width, height, limits);
    if (!why)
        why = allocate_pixels(indices, (size_t)width * height);
    if (why)
        return why;
    if (!read_png_rows(png, info, width, height, indices->data()))
        return png_reason(io->message);
    *w = (int)width;
    *h = (int)height;
    return Error();
}

}  // namespace

Error read_png(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    Error why = read_png_with(data, size, limits, out);
    if (why)
        *out = Picture();
    return why;
}

Error read_png_carrier(const uint8_t *data, size_t size, const PictureLimits &limits, int *w, int *h,
                             std::vector<uint8_t> *indices)
{
    *w = *h = 0;
    std::vector<uint8_t>().swap(*indices);
    if (size == 0)
        return unreadable("empty file");
    if (png_sig_cmp(data, 0, size < png_signature ? size : png_signature))
        return unreadable("not a PNG file");
    if (size < png_signature || is_png_cut_short(data, size))
        return unreadable("truncated file");
    PngIo io = {};
    io.data = data;
    io.size = size;
    io.at = png_signature;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &io, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    if (!info) {
        png_destroy_read_struct(&png, NULL, NULL);
        return unreadable("not enough memory");
    }
    png_set_read_fn(png, &io, read_from_memory);
    png_set_sig_bytes(png, (int)png_signature);
    Error why = read_carrier_with(png, info, &io, limits, w, h, indices);
    png_destroy_read_struct(&png, &info, NULL);
    if (why) {
        *w = *h = 0;
        std::vector<uint8_t>().swap(*indices);
    }
    return why;
}
