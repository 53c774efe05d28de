#include "files/load.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "files/bmp.h"
#include "files/jpeg.h"
#include "files/png.h"
#include "files/webp.h"
#include "files/tgapcx.h"

// Every refusal of a file that holds no codes starts so, and says next what
// the file is.
static const std::string no_carrier_start = "not a carrier: ";

bool breaks_carrier_rule(const std::string &why) { return why.compare(0, no_carrier_start.size(), no_carrier_start) == 0; }

namespace {

// ---- Formats by content -------------------------------------------------

struct Signature {
    const char *format;
    size_t at;
    const char *bytes;
    size_t size;
};

const Signature signatures[] = {
    {"BMP", 0, "BM", 2},
    {"PNG", 0, "\x89PNG\r\n\x1a\n", 8},
    {"JPEG", 0, "\xff\xd8\xff", 3},
    {"WebP", 8, "WEBP", 4},
    // Known, and not read.
    {"GIF", 0, "GIF8", 4},
    {"TIFF", 0, "II*\0", 4},
    {"TIFF", 0, "MM\0*", 4},
    {"ILBM", 8, "ILBM", 4},
    {"ILBM", 8, "PBM ", 4},
    {"QOI", 0, "qoif", 4},
    {"PSD", 0, "8BPS", 4},
    {"HEIF or AVIF", 4, "ftyp", 4},
    {"JPEG XL", 0, "\xff\x0a", 2},
    {"JPEG 2000", 4, "jP  ", 4},
};

// What a whole file of one format reads into, by content.
typedef std::string (*WholeReader)(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

WholeReader whole_reader(const char *format)
{
    if (!strcmp(format, "PNG"))
        return read_png;
    if (!strcmp(format, "JPEG"))
        return read_jpeg;
    if (!strcmp(format, "WebP"))
        return read_webp;
    if (!strcmp(format, "TGA"))
        return read_tga;
    if (!strcmp(format, "PCX"))
        return read_pcx;
    return nullptr;
}

std::string not_read(const char *format)
{
    if (!*format)
        return "not a picture file this program reads: it is none of BMP, PNG, JPEG, WebP, TGA and PCX";
    return std::string("not a picture file this program reads: a ") + format +
           " picture (BMP, PNG, JPEG, WebP, TGA and PCX are read)";
}

// The most bytes an input that is read whole may have: twice what a picture
// of the most pixels allowed takes at 8 bytes a pixel, and some room. No
// picture has more pixels than its sides allow, so a larger limit counts as
// that many (and cannot overflow the sum).
uint64_t most_bytes(const PictureLimits &limits)
{
    const uint64_t most_pixels = (uint64_t)PictureLimits::max_side * PictureLimits::max_side;
    uint64_t pixels = limits.max_pixels ? std::min(limits.max_pixels, most_pixels) : most_pixels;
    return 16 * pixels + (64 << 20);
}

std::string no_carrier(const std::string &what) { return no_carrier_start + what; }

std::string bmp_no_carrier(const BmpInfo &info)
{
    if (info.bpp > 8)
        return no_carrier(std::to_string(info.bpp) + "-bit BMP, not paletted");
    if (info.height < 2)
        return no_carrier("1 row, not 2 or more");
    return "";
}

// ---- Pictures -----------------------------------------------------------

class MemoryPicture : public PictureSource {
public:
    Picture picture;
    std::string rows(int first, int, PixelRows *out, Block *) override
    {
        out->first = picture.rgb.data() + (size_t)first * w * 3;
        out->stride = (ptrdiff_t)w * 3;
        out->layout = gfx16_rgb;
        return "";
    }
};

// Rows as they lie in a file, a slice at a time: a picture of BMP rows, or
// a carrier's, whose picture row y is the file's rows 2y and 2y + 1.
class FileRows {
public:
    FileRows(Input &in, const BmpInfo &info, int rows_per_item) : in(in), info(info), per(rows_per_item) {}

    // Reads items [first, first + count) into `block` (or its own) and
    // gives the first row of the first item and the step from an item's row
    // to the next item's.
    std::string read(int first, int count, const uint8_t **row, ptrdiff_t *step, Block *block)
    {
        std::vector<uint8_t> &buffer = block ? block->bytes : own;
        const uint64_t stride = info.stride, rows = (uint64_t)count * per;
        // The file row of the item's first row; rows of a bottom-up file go
        // upward, so a block of items starts at its last item's last row.
        uint64_t file_row = info.top_down ? (uint64_t)first * per : info.height - (uint64_t)(first + count) * per;
        buffer.resize((size_t)(rows * stride));
        std::string why = read_at(in, info.offset + file_row * stride, buffer.size(), buffer.data());
        if (!why.empty())
            return why;
        if (info.top_down) {
            *row = buffer.data();
            *step = (ptrdiff_t)(per * stride);
        } else {
            *row = buffer.data() + (rows - 1) * stride;
            *step = -(ptrdiff_t)(per * stride);
        }
        return "";
    }

private:
    Input &in;
    BmpInfo info;
    int per;
    std::vector<uint8_t> own;
};

class BmpPicture : public PictureSource {
public:
    BmpPicture(Input &in, const BmpInfo &info) : file(in, info, 1), layout(bmp_row_layout(info)) {}
    std::string rows(int first, int count, PixelRows *out, Block *block) override
    {
        out->layout = layout;
        return file.read(first, count, &out->first, &out->stride, block);
    }

private:
    FileRows file;
    gfx16_layout layout;
};

// The headers of a BMP, checked; `file` receives the first bytes read.
std::string bmp_headers(Input &in, int max_height, bool carrier, BmpInfo *info, std::vector<uint8_t> *head)
{
    std::string why = read_head(in, bmp_head_size, head);
    if (!why.empty())
        return why;
    // An input that is not a regular file is read whole first, so that its
    // size is known.
    why = bmp_read_header(head->data(), head->size(), input_size(in), max_height, carrier, info);
    return why == "not a paletted picture" ? bmp_no_carrier(*info) : why;
}

std::string whole_bmp(Input &in, const BmpInfo &info, std::vector<uint8_t> *file)
{
    file->resize((size_t)info.end);
    return read_at(in, 0, file->size(), file->data());
}

std::string open_bmp_picture(Input &in, const PictureLimits &limits, std::unique_ptr<PictureSource> *out)
{
    BmpInfo info;
    std::vector<uint8_t> bytes;
    std::string why = bmp_headers(in, PictureLimits::max_side, false, &info, &bytes);
    if (why.empty())
        why = check_picture_size((uint64_t)info.width, (uint64_t)info.height, limits);
    if (!why.empty())
        return why;
    if (info.bpp > 8 && bmp_rows_as_stored(info)) {
        auto source = std::make_unique<BmpPicture>(in, info);
        source->bottom_up = !info.top_down;
        *out = std::move(source);
    } else {
        auto source = std::make_unique<MemoryPicture>();
        why = whole_bmp(in, info, &bytes);
        if (why.empty())
            why = bmp_decode_colours(bytes.data(), info, &source->picture);
        if (!why.empty())
            return why;
        *out = std::move(source);
    }
    (*out)->w = info.width;
    (*out)->h = info.height;
    (*out)->format = "BMP";
    return "";
}

// ---- Carriers -----------------------------------------------------------

class MemoryCarrier : public CarrierSource {
public:
    std::vector<uint8_t> indices;  // w x 2h or more
    std::string rows(int first, int, CodeRows *out, Block *) override
    {
        out->low = indices.data() + (size_t)2 * first * w;
        out->high = out->low + w;
        out->stride = (ptrdiff_t)2 * w;
        return "";
    }
};

class BmpCarrier : public CarrierSource {
public:
    BmpCarrier(Input &in, const BmpInfo &info) : file(in, info, 2), stride((ptrdiff_t)info.stride), top_down(info.top_down)
    {
    }
    std::string rows(int first, int count, CodeRows *out, Block *block) override
    {
        const uint8_t *row = nullptr;
        std::string why = file.read(first, count, &row, &out->stride, block);
        if (!why.empty())
            return why;
        // Rows 2y and 2y + 1: the next row down in a top-down file, the
        // row before it in a bottom-up one.
        out->low = row;
        out->high = top_down ? row + stride : row - stride;
        return "";
    }

private:
    FileRows file;
    ptrdiff_t stride;
    bool top_down;
};

std::string open_bmp_carrier(Input &in, const PictureLimits &limits, std::unique_ptr<CarrierSource> *out)
{
    BmpInfo info;
    std::vector<uint8_t> bytes;
    std::string why = bmp_headers(in, 2 * PictureLimits::max_side, true, &info, &bytes);
    if (!why.empty())
        return why;
    why = bmp_no_carrier(info);
    if (why.empty())
        why = check_carrier_size((uint64_t)info.width, (uint64_t)info.height, limits);
    if (!why.empty())
        return why;
    if (bmp_rows_as_stored(info)) {
        auto source = std::make_unique<BmpCarrier>(in, info);
        source->bottom_up = !info.top_down;
        *out = std::move(source);
    } else {
        auto source = std::make_unique<MemoryCarrier>();
        why = whole_bmp(in, info, &bytes);
        if (why.empty())
            why = bmp_decode_indices(bytes.data(), info, &source->indices);
        if (!why.empty())
            return why;
        *out = std::move(source);
    }
    (*out)->w = info.width;
    (*out)->h = info.height / 2;
    (*out)->file_rows = info.height;
    (*out)->format = "BMP";
    return "";
}

// Reads the whole of an input that is not a regular file (its size is
// needed), or any input when `always`.
std::string read_all_if_needed(Input &in, const PictureLimits &limits, bool always)
{
    if (in.regular && !always)
        return "";
    return read_whole(in, most_bytes(limits));
}

// The format of an input, by its first bytes; a BMP that is not a regular
// file is read whole, so that its size is known.
std::string detect(Input &in, const PictureLimits &limits, const char **format)
{
    std::vector<uint8_t> head;
    std::string why = read_head(in, 128, &head);
    if (!why.empty())
        return why;
    *format = picture_format(head.data(), head.size());
    return strcmp(*format, "BMP") ? "" : read_all_if_needed(in, limits, false);
}

} // namespace

const char *picture_format(const uint8_t *head, size_t n)
{
    for (const Signature &s : signatures)
        if (n >= s.at + s.size && !memcmp(head + s.at, s.bytes, s.size)) {
            // "RIFF" before "WEBP"; anything else with those bytes at 8 is not one.
            if (!strcmp(s.format, "WebP") && memcmp(head, "RIFF", 4))
                continue;
            if (!strcmp(s.format, "ILBM") && memcmp(head, "FORM", 4))
                continue;
            return s.format;
        }
    if (looks_like_pcx(head, n))
        return "PCX";
    if (looks_like_tga(head, n))
        return "TGA";
    return "";
}

std::string open_picture(Input &in, const PictureLimits &limits, std::unique_ptr<PictureSource> *out)
{
    try {
        const char *format;
        std::string why = detect(in, limits, &format);
        if (!why.empty())
            return why;
        if (!strcmp(format, "BMP"))
            return open_bmp_picture(in, limits, out);
        WholeReader reader = whole_reader(format);
        if (!reader)
            return not_read(format);
        why = read_all_if_needed(in, limits, true);
        if (!why.empty())
            return why;
        auto source = std::make_unique<MemoryPicture>();
        why = reader(in.bytes.data(), in.bytes.size(), limits, &source->picture);
        std::vector<uint8_t>().swap(in.bytes);
        if (!why.empty())
            return why;
        source->w = source->picture.w;
        source->h = source->picture.h;
        source->format = format;
        *out = std::move(source);
        return "";
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

std::string open_carrier(Input &in, const PictureLimits &limits, std::unique_ptr<CarrierSource> *out)
{
    try {
        const char *format;
        std::string why = detect(in, limits, &format);
        if (!why.empty())
            return why;
        if (!strcmp(format, "BMP"))
            return open_bmp_carrier(in, limits, out);
        if (strcmp(format, "PNG"))
            return *format && whole_reader(format) ? no_carrier(std::string(format) + " picture, not BMP or PNG")
                                                   : not_read(format);
        why = read_all_if_needed(in, limits, true);
        if (!why.empty())
            return why;
        auto source = std::make_unique<MemoryCarrier>();
        int w = 0, h = 0;
        why = read_png_carrier(in.bytes.data(), in.bytes.size(), limits, &w, &h, &source->indices);
        if (why.empty() && h < 2)
            why = no_carrier("1 row, not 2 or more");
        // The bytes are kept for a caller that reads the file as a picture
        // when it is no carrier.
        if (!why.empty())
            return why;
        std::vector<uint8_t>().swap(in.bytes);
        source->w = w;
        source->h = h / 2;
        source->file_rows = h;
        source->format = "PNG";
        *out = std::move(source);
        return "";
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

std::string hold_picture(std::unique_ptr<PictureSource> *source, const Picture **picture)
{
    try {
        if (auto *memory = dynamic_cast<MemoryPicture *>(source->get())) {
            *picture = &memory->picture;
            return "";
        }
        PictureSource &from = **source;
        auto held = std::make_unique<MemoryPicture>();
        Picture &p = held->picture;
        p.w = from.w;
        p.h = from.h;
        p.rgb.resize((size_t)p.w * p.h * 3);
        // A slice at a time, so that the file's rows are never held whole
        // beside the picture.
        const int slice = (int)std::max<uint64_t>(1, (4u << 20) / ((uint64_t)p.w * 4));
        Block block;
        for (int first = 0; first < p.h; first += slice) {
            int count = std::min(slice, p.h - first);
            PixelRows rows;
            std::string why = from.rows(first, count, &rows, &block);
            if (!why.empty())
                return why;
            copy_rows(rows, p.w, count, &p.rgb[(size_t)first * p.w * 3], (ptrdiff_t)p.w * 3, gfx16_rgb);
        }
        held->w = p.w;
        held->h = p.h;
        held->format = from.format;
        held->name = from.name;
        *picture = &p;
        *source = std::move(held);
        return "";
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

std::string describe_file(Input &in, const PictureLimits &limits, FileFacts *out)
{
    try {
        std::vector<uint8_t> head;
        std::string why = read_head(in, 128, &head);
        if (!why.empty())
            return why;
        if (!strcmp(picture_format(head.data(), head.size()), "BMP")) {
            if (!(why = read_head(in, bmp_head_size, &head)).empty())
                return why;
            const uint64_t size = in.regular || in.whole ? input_size(in) : UINT64_MAX;
            BmpInfo info;
            why = bmp_read_header(head.data(), head.size(), size, 2 * PictureLimits::max_side, false, &info);
            if (!why.empty())
                return why;
            why = bmp_no_carrier(info);
            out->format = "BMP";
            out->w = info.width;
            out->h = info.height;
            out->carrier_w = why.empty() ? info.width : 0;
            out->carrier_h = why.empty() ? info.height / 2 : 0;
            out->not_a_carrier = why.empty() ? "" : why.substr(no_carrier_start.size());
            return why.empty() ? check_carrier_size((uint64_t)info.width, (uint64_t)info.height, limits)
                               : check_picture_size((uint64_t)info.width, (uint64_t)info.height, limits);
        }
        std::unique_ptr<CarrierSource> carrier;
        why = open_carrier(in, limits, &carrier);
        if (why.empty()) {
            out->format = carrier->format;
            out->w = carrier->w;
            out->h = carrier->file_rows;
            out->carrier_w = carrier->w;
            out->carrier_h = carrier->h;
            return "";
        }
        if (!breaks_carrier_rule(why))
            return why;
        out->not_a_carrier = why.substr(no_carrier_start.size());
        std::unique_ptr<PictureSource> picture;
        why = open_picture(in, limits, &picture);
        if (why.empty()) {
            out->format = picture->format;
            out->w = picture->w;
            out->h = picture->h;
        }
        return why;
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

void copy_rows(const PixelRows &from, int w, int count, uint8_t *to, ptrdiff_t to_stride, const gfx16_layout &layout)
{
    const gfx16_layout &f = from.layout;
    for (int y = 0; y < count; y++) {
        const uint8_t *in = from.first + y * from.stride;
        uint8_t *out = to + y * to_stride;
        for (int x = 0; x < w; x++, in += f.bytes_per_pixel, out += layout.bytes_per_pixel) {
            if (layout.bytes_per_pixel == 4)
                out[6 - layout.red - layout.green - layout.blue] = 0;
            out[layout.red] = in[f.red];
            out[layout.green] = in[f.green];
            out[layout.blue] = in[f.blue];
        }
    }
}
