#include "files/formats.h"

#include <png.h>
#include <turbojpeg.h>
#include <webp/decode.h>
#include <zlib.h>

#include <cerrno>
#include <csetjmp>
#include <cstring>
#include <new>

#include "files/carrier_palette.h"

namespace {

// Reserves the pixels of a picture, or says why not.
std::string allocate(std::vector<uint8_t> *pixels, size_t bytes)
{
    try {
        pixels->resize(bytes);
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
    return "";
}

// A reader that fails leaves nothing behind.
std::string finish(const std::string &why, Picture *out)
{
    if (!why.empty())
        *out = Picture();
    return why;
}

// Turns `count` RGBA pixels into RGB ones composited over black, in place:
// pixel i moves from byte 4i to byte 3i, never ahead of what is still to be
// read. The buffer keeps its size; the caller trims it.
void composite_over_black(uint8_t *pixels, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const uint8_t *from = pixels + 4 * i;
        unsigned r = from[0], g = from[1], b = from[2], a = from[3];
        uint8_t *to = pixels + 3 * i;
        to[0] = (uint8_t)((r * a + 127) / 255);
        to[1] = (uint8_t)((g * a + 127) / 255);
        to[2] = (uint8_t)((b * a + 127) / 255);
    }
}

// A library message as a reason: lower case unless it starts with a name
// in capitals ("IDAT: ...", "JPEG ...").
std::string lowered(const char *message)
{
    std::string text = message;
    if (text.size() >= 2 && text[0] >= 'A' && text[0] <= 'Z' && !(text[1] >= 'A' && text[1] <= 'Z'))
        text[0] = (char)(text[0] - 'A' + 'a');
    return text;
}

// ---- PNG through libpng -------------------------------------------------------

const char read_past_end[] = "read beyond end of data";

// libpng's messages for the usual damage, in the words of this program.
std::string png_reason(const char *message)
{
    if (!strcmp(message, read_past_end))
        return "truncated file";
    // A critical chunk's bad CRC reads "IDAT: CRC error".
    const char *crc = strstr(message, ": CRC error");
    if (crc && crc - message == 4)
        return "bad CRC in chunk " + std::string(message, 4);
    return lowered(message);
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
        uint32_t length = (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
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

std::string read_png_with(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    if (size == 0)
        return "empty file";
    if (is_png_cut_short(data, size))
        return "truncated file";
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    // On failure libpng has already freed what it held.
    if (!png_image_begin_read_from_memory(&image, data, size))
        return png_reason(image.message);
    std::string why = check_picture_size(image.width, image.height, limits);
    bool alpha = image.format & PNG_FORMAT_FLAG_ALPHA;
    size_t pixels = (size_t)image.width * image.height;
    if (why.empty())
        why = allocate(&out->rgb, pixels * (alpha ? 4 : 3));
    if (!why.empty()) {
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
    return "";
}

// The plain libpng API, for what the simplified one cannot do: carriers
// read with no transformation at all, and files written with chosen filters
// and compression. libpng reports errors by longjmp to the last setjmp, so
// every call that may fail is made from a function that sets its own and
// holds nothing that needs destroying.
struct PngIo {
    const uint8_t *data;  // reading
    size_t size, at;
    FILE *file;  // writing
    int write_errno;
    char message[200];
};

void on_png_error(png_structp png, png_const_charp message)
{
    PngIo *io = (PngIo *)png_get_error_ptr(png);
    snprintf(io->message, sizeof io->message, "%s", message);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}

void read_from_memory(png_structp png, png_bytep to, size_t count)
{
    PngIo *io = (PngIo *)png_get_io_ptr(png);
    if (count > io->size - io->at)
        png_error(png, read_past_end);
    memcpy(to, io->data + io->at, count);
    io->at += count;
}

void write_to_file(png_structp png, png_bytep data, size_t count)
{
    PngIo *io = (PngIo *)png_get_io_ptr(png);
    errno = 0;
    if (fwrite(data, 1, count, io->file) != count) {
        io->write_errno = errno ? errno : EIO;
        png_error(png, "write failed");
    }
}

void flush_file(png_structp png)
{
    PngIo *io = (PngIo *)png_get_io_ptr(png);
    errno = 0;
    if (fflush(io->file) != 0) {
        io->write_errno = errno ? errno : EIO;
        png_error(png, "write failed");
    }
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

std::string read_carrier_with(png_structp png, png_infop info, PngIo *io, const PictureLimits &limits, int *w,
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
        return "not a carrier: " + std::to_string(depth) + "-bit " + name +
               " PNG, not 8-bit palette or 8-bit grey";
    }
    std::string why = check_carrier_size(width, height, limits);
    if (why.empty())
        why = allocate(indices, (size_t)width * height);
    if (!why.empty())
        return why;
    if (!read_png_rows(png, info, width, height, indices->data()))
        return png_reason(io->message);
    *w = (int)width;
    *h = (int)height;
    return "";
}

// Writes a whole 8-bit PNG: `rows` holds h rows of `row_bytes` each.
// `filters` is a set of PNG_FILTER_* for libpng to choose from, row by row.
bool write_png_rows(png_structp png, png_infop info, png_uint_32 w, png_uint_32 h, int colour_type,
                    const uint8_t (*palette)[3], const uint8_t *rows, size_t row_bytes, int filters,
                    int level, int strategy, bool interlaced)
{
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, w, h, 8, colour_type, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette) {
        png_color colours[256];
        for (int i = 0; i < 256; i++)
            colours[i] = {palette[i][0], palette[i][1], palette[i][2]};
        png_set_PLTE(png, info, colours, 256);
    }
    png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
    png_set_compression_level(png, level);
    png_set_compression_strategy(png, strategy);
    png_write_info(png, info);
    int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; pass++)
        for (png_uint_32 y = 0; y < h; y++)
            png_write_row(png, rows + (size_t)y * row_bytes);
    png_write_end(png, NULL);
    return true;
}

// How a PNG is written: its kind and how hard it is compressed.
struct PngLayout {
    int colour_type;
    const uint8_t (*palette)[3];
    int bytes_per_pixel;
    int filters, level, strategy;
    bool interlaced;
};

std::string write_png_file(FILE *f, int w, int h, const uint8_t *pixels, const PngLayout &l)
{
    if (w <= 0 || h <= 0)
        return "nothing to write: width or height is 0";
    PngIo io = {};
    io.file = f;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &io, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    if (!info) {
        png_destroy_write_struct(&png, NULL);
        return "not enough memory";
    }
    png_set_write_fn(png, &io, write_to_file, flush_file);
    bool written =
        write_png_rows(png, info, (png_uint_32)w, (png_uint_32)h, l.colour_type, l.palette, pixels,
                       (size_t)w * l.bytes_per_pixel, l.filters, l.level, l.strategy, l.interlaced);
    png_destroy_write_struct(&png, &info);
    // What stdio still buffers may fail only now.
    errno = 0;
    if (written && (fflush(f) != 0 || ferror(f))) {
        io.write_errno = errno ? errno : EIO;
        written = false;
    }
    if (written)
        return "";
    if (io.write_errno)
        return std::string("cannot write the file: ") + strerror(io.write_errno);
    return "cannot write the PNG: " + lowered(io.message);
}

// ---- JPEG through TurboJPEG ---------------------------------------------------

unsigned big16(const uint8_t *p) { return p[0] << 8 | p[1]; }

// The orientation tag of a TIFF structure (an EXIF block after its
// "Exif\0\0"), or 1. Every offset is checked against `size`; an IFD cut
// short still gives the entries before the cut (as Pillow reads it).
int tiff_orientation(const uint8_t *tiff, size_t size)
{
    if (size < 8)
        return 1;
    bool big_endian;
    if (!memcmp(tiff, "MM\0*", 4))
        big_endian = true;
    else if (!memcmp(tiff, "II*\0", 4))
        big_endian = false;
    else
        return 1;
    auto u16 = [&](size_t at) -> unsigned {
        return big_endian ? tiff[at] << 8 | tiff[at + 1] : tiff[at] | tiff[at + 1] << 8;
    };
    auto u32 = [&](size_t at) -> uint32_t {
        return big_endian ? (uint32_t)u16(at) << 16 | u16(at + 2) : u16(at) | (uint32_t)u16(at + 2) << 16;
    };
    // No sums near the top of size_t: ifd < 2^32, and 12 * 65535 is small.
    const size_t ifd = u32(4);
    if (ifd + 2 > size)
        return 1;
    unsigned entries = u16(ifd);
    for (unsigned i = 0; i < entries; i++) {
        size_t entry = ifd + 2 + (size_t)12 * i;
        if (entry + 12 > size)
            return 1;
        // A SHORT as EXIF has it, or a LONG, which Pillow takes as well.
        const unsigned short_type = 3, long_type = 4, type = u16(entry + 2);
        if (u16(entry) == 0x0112 && (type == short_type || type == long_type) && u32(entry + 4) == 1) {
            uint32_t value = type == short_type ? u16(entry + 8) : u32(entry + 8);
            return value >= 1 && value <= 8 ? (int)value : 1;
        }
    }
    return 1;
}

// Turns the decoded picture as the EXIF orientation says. Output pixel
// (x, y) is source pixel start + x * step_x + y * step_y (in pixels), for
// a source w wide and h high; orientations 5-8 swap the sides.
std::string apply_orientation(Picture *p, int orientation)
{
    if (orientation == 1)
        return "";
    const ptrdiff_t w = p->w, h = p->h, last_x = w - 1, last_row = (h - 1) * w;
    struct Walk {
        ptrdiff_t start, step_x, step_y;
    };
    const Walk walks[9] = {
        {},
        {0, 1, w},                    // 1: as stored
        {last_x, -1, w},              // 2: mirrored left to right
        {last_row + last_x, -1, -w},  // 3: turned 180 degrees
        {last_row, 1, -w},            // 4: mirrored top to bottom
        {0, w, 1},                    // 5: transposed
        {last_row, -w, 1},            // 6: turned 90 degrees clockwise
        {last_row + last_x, -w, -1},  // 7: transversed
        {last_x, w, -1},              // 8: turned 90 degrees anticlockwise
    };
    const Walk &walk = walks[orientation];
    const int out_w = orientation >= 5 ? p->h : p->w, out_h = orientation >= 5 ? p->w : p->h;
    std::vector<uint8_t> turned;
    std::string why = allocate(&turned, p->rgb.size());
    if (!why.empty())
        return why;
    uint8_t *to = turned.data();
    for (int y = 0; y < out_h; y++) {
        ptrdiff_t from = walk.start + y * walk.step_y;
        for (int x = 0; x < out_w; x++, from += walk.step_x, to += 3)
            memcpy(to, &p->rgb[(size_t)from * 3], 3);
    }
    p->rgb.swap(turned);
    p->w = out_w;
    p->h = out_h;
    return "";
}

// Each scan of a progressive JPEG is another pass over every block of the
// picture, so a small file can ask for hundreds of passes. libjpeg writes
// 10 scans for a colour picture and 6 for a grey one, encoders that search
// for a smaller script (mozjpeg) a few more, never more than a few dozen;
// a sequential JPEG has one, or one a component. A file of more than 100
// is made to cost, not to show a picture.
const unsigned most_jpeg_scans = 100;

// The scans (start-of-scan markers) of a JPEG stream, counted by walking its
// marker segments and skipping each scan's entropy-coded data, where a 0xFF
// byte is followed by 0 (a stuffed byte), a restart marker or more 0xFF
// (fill) and anything else is the next marker. The count stops at the end of
// the image or where the stream is damaged; the decoder finds the damage.
unsigned jpeg_scans(const uint8_t *data, size_t size)
{
    unsigned scans = 0;
    size_t at = 2;
    if (size < at)
        return 0;
    while (size - at >= 2 && data[at] == 0xFF) {
        unsigned marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            at++;
            continue;
        }
        at += 2;
        if (marker == 0xD9)  // end of image
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))  // no segment
            continue;
        if (size - at < 2)
            break;
        size_t length = big16(data + at);
        if (length < 2 || length > size - at)
            break;
        at += length;
        if (marker != 0xDA)
            continue;
        scans++;
        for (;;) {
            const uint8_t *ff = (const uint8_t *)memchr(data + at, 0xFF, size - at);
            if (!ff || ff + 1 == data + size)
                return scans;
            at = ff - data;
            const unsigned next = data[at + 1];
            if (next != 0 && next != 0xFF && (next < 0xD0 || next > 0xD7))
                break;
            at += next == 0xFF ? 1 : 2;
        }
    }
    return scans;
}

std::string jpeg_reason(tjhandle decoder)
{
    const char *message = tjGetErrorStr2(decoder);
    if (strstr(message, "Premature end of JPEG file"))
        return "truncated file";
    return lowered(message);
}

std::string read_jpeg_with(tjhandle decoder, const uint8_t *data, size_t size, const PictureLimits &limits,
                           Picture *out)
{
    int w = 0, h = 0, subsampling, colour_space;
    if (tjDecompressHeader3(decoder, data, (unsigned long)size, &w, &h, &subsampling, &colour_space) != 0)
        return jpeg_reason(decoder);
    // TurboJPEG calls it a success, and sets nothing, when the stream ends
    // before a frame header: a tables-only JPEG, or one cut short.
    if (w == 0 && h == 0)
        return "truncated file, or a JPEG of tables only";
    if (colour_space == TJCS_CMYK || colour_space == TJCS_YCCK)
        return "CMYK JPEG not supported: its colours need the print profile it was made for";
    std::string why = check_picture_size(w, h, limits);
    if (!why.empty())
        return why;
    const unsigned scans = jpeg_scans(data, size);
    if (scans > most_jpeg_scans)
        return "JPEG of " + std::to_string(scans) + " scans, more than the limit of " +
               std::to_string(most_jpeg_scans);
    why = allocate(&out->rgb, (size_t)w * h * 3);
    if (!why.empty())
        return why;
    // Stop at the first warning: a truncated or corrupt stream would
    // otherwise be decoded to the end as grey. (libjpeg's own limit on scans
    // stands behind ours.)
    const int flags = TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    if (tjDecompress2(decoder, data, (unsigned long)size, out->rgb.data(), w, 0, h, TJPF_RGB, flags) != 0)
        return jpeg_reason(decoder);
    out->w = w;
    out->h = h;
    return apply_orientation(out, jpeg_orientation(data, size));
}

// ---- WebP through libwebp -----------------------------------------------------

std::string webp_reason(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "truncated file";
    case VP8_STATUS_OUT_OF_MEMORY:
        return "not enough memory";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "WebP feature not supported";
    default:
        return "not a WebP file, or a damaged one";
    }
}

std::string read_webp_with(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return "WebP library of the wrong version";
    VP8StatusCode status = WebPGetFeatures(data, size, &config.input);
    if (status != VP8_STATUS_OK)
        return webp_reason(status);
    if (config.input.has_animation)
        return "animated WebP not supported";
    const int w = config.input.width, h = config.input.height;
    const bool alpha = config.input.has_alpha;
    const size_t pixels = (size_t)w * h, bytes = pixels * (alpha ? 4 : 3);
    std::string why = check_picture_size(w, h, limits);
    if (why.empty())
        why = allocate(&out->rgb, bytes);
    if (!why.empty())
        return why;
    // Straight (not premultiplied) RGBA, as the file stores it.
    config.output.colorspace = alpha ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out->rgb.data();
    config.output.u.RGBA.stride = w * (alpha ? 4 : 3);
    config.output.u.RGBA.size = bytes;
    status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        return webp_reason(status);
    if (alpha) {
        composite_over_black(out->rgb.data(), pixels);
        out->rgb.resize(pixels * 3);
    }
    out->w = w;
    out->h = h;
    return "";
}

}  // namespace

std::string read_png(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    std::string why = read_png_with(data, size, limits, out);
    return finish(why, out);
}

std::string read_png_carrier(const uint8_t *data, size_t size, const PictureLimits &limits, int *w, int *h,
                             std::vector<uint8_t> *indices)
{
    *w = *h = 0;
    std::vector<uint8_t>().swap(*indices);
    if (size == 0)
        return "empty file";
    if (png_sig_cmp(data, 0, size < png_signature ? size : png_signature))
        return "not a PNG file";
    if (size < png_signature || is_png_cut_short(data, size))
        return "truncated file";
    PngIo io = {};
    io.data = data;
    io.size = size;
    io.at = png_signature;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &io, on_png_error, on_png_warning);
    png_infop info = png ? png_create_info_struct(png) : NULL;
    if (!info) {
        png_destroy_read_struct(&png, NULL, NULL);
        return "not enough memory";
    }
    png_set_read_fn(png, &io, read_from_memory);
    png_set_sig_bytes(png, (int)png_signature);
    std::string why = read_carrier_with(png, info, &io, limits, w, h, indices);
    png_destroy_read_struct(&png, &info, NULL);
    if (!why.empty()) {
        *w = *h = 0;
        std::vector<uint8_t>().swap(*indices);
    }
    return why;
}

int jpeg_orientation(const uint8_t *data, size_t size)
{
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return 1;
    // The segments before the first scan: a marker (0xFF, code), then a
    // 16-bit length that counts itself.
    size_t at = 2;
    while (size - at >= 4 && data[at] == 0xFF) {
        unsigned marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            at++;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)  // start of scan, end of image
            break;
        size_t length = big16(data + at + 2);
        if (length < 2 || length > size - at - 2)
            break;
        const uint8_t *body = data + at + 4;
        if (marker == 0xE1 && length - 2 >= 6 && !memcmp(body, "Exif\0\0", 6))
            return tiff_orientation(body + 6, length - 2 - 6);
        at += 2 + length;
    }
    return 1;
}

std::string read_jpeg(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size == 0)
        return "empty file";
    tjhandle decoder = tjInitDecompress();
    if (!decoder)
        return "cannot start the JPEG decoder";
    std::string why = read_jpeg_with(decoder, data, size, limits, out);
    tjDestroy(decoder);
    return finish(why, out);
}

std::string read_webp(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size == 0)
        return "empty file";
    std::string why = read_webp_with(data, size, limits, out);
    return finish(why, out);
}

std::string write_png_picture(FILE *f, const Picture &p)
{
    if (p.w > 0 && p.h > 0 && p.rgb.size() != (size_t)p.w * p.h * 3)
        return "picture's pixels do not match its size";
    // libpng's own choice for true colour: every filter, tried row by row.
    const PngLayout layout = {PNG_COLOR_TYPE_RGB, NULL, 3, PNG_ALL_FILTERS, 6, Z_FILTERED, false};
    return write_png_file(f, p.w, p.h, p.rgb.data(), layout);
}

std::string write_png_carrier(FILE *f, int w, int h, const uint8_t *indices)
{
    // A carrier's rows alternate low and high bytes of the codes, so the
    // filters that look at the row above (Up, Average, Paeth) compare unlike
    // bytes. Adam7 interlacing sorts them: passes 1-6 hold only even rows
    // (low bytes) and pass 7 only odd rows (high bytes), so within a pass the
    // row above is of the same kind. Sub, which looks left, suits both, and
    // the encoder's pixel pairs make the left neighbour the better guess in
    // pass 7 as well. On the 1024 x 1024 test picture this is 0.40 of the
    // BMP carrier, against 0.44 for Sub without interlacing and 0.55 for
    // libpng's adaptive choice; zlib level 9 gains 2% more at four times the
    // time. On photographs the codes are noisier and every choice comes to
    // 0.58-0.70.
    const PngLayout layout = {
        PNG_COLOR_TYPE_PALETTE, carrier_palette, 1, PNG_FILTER_SUB, 6, Z_DEFAULT_STRATEGY, true};
    return write_png_file(f, w, h, indices, layout);
}
