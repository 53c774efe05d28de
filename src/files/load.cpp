#include "files/load.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "files/detect.h"
#include "files/jpeg.h"
#include "files/png.h"
#include "files/sources.h"
#include "files/tgapcx.h"
#include "files/webp.h"

namespace {

// What a whole file of one format reads into.
typedef Error (*WholeReader)(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

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

Error not_read(const char *format)
{
    if (!*format)
        return unreadable("not a picture file this program reads: it is none of BMP, PNG, JPEG, WebP, TGA and PCX");
    return unreadable(std::string("not a picture file this program reads: a ") + format +
                      " picture (BMP, PNG, JPEG, WebP, TGA and PCX are read)");
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

// A carrier holds at least one picture row: two rows of codes.
Error carrier_rows_rule(int rows)
{
    return rows < 2 ? Error(Error::not_a_carrier, "1 row, not 2 or more") : Error();
}

// Reads the whole of an input that is not a regular file (its size is
// needed), or any input when `always`.
Error read_all_if_needed(Input &in, const PictureLimits &limits, bool always)
{
    if (in.regular && !always)
        return Error();
    return read_whole(in, most_bytes(limits));
}

// The format of an input, by its first bytes; a BMP that is not a regular
// file is read whole, so that its size is known.
Error detect(Input &in, const PictureLimits &limits, const char **format)
{
    std::vector<uint8_t> head;
    if (Error e = read_head(in, format_head_size, &head))
        return e;
    *format = picture_format(head.data(), head.size());
    return strcmp(*format, "BMP") ? Error() : read_all_if_needed(in, limits, false);
}

// A BMP as a picture or a carrier. Rows that need no decoding are read
// from the file a block at a time; the others are decoded whole.
Error open_bmp(Input &in, const PictureLimits &limits, int rows_per_item, std::unique_ptr<RowSource> *out)
{
    const bool carrier = rows_per_item == 2;
    BmpInfo info;
    std::vector<uint8_t> bytes;
    Error e = read_head(in, bmp_head_size, &bytes);
    if (!e)
        e = bmp_read_header(bytes.data(), bytes.size(), input_size(in),
                            carrier ? 2 * PictureLimits::max_side : PictureLimits::max_side, carrier, &info);
    if (!e && carrier)
        e = bmp_carrier_rule(info);
    if (!e)
        e = carrier ? check_carrier_size((uint64_t)info.width, (uint64_t)info.height, limits)
                    : check_picture_size((uint64_t)info.width, (uint64_t)info.height, limits);
    if (e)
        return e;
    if (bmp_rows_as_stored(info) && (info.bpp > 8) != carrier) {
        *out = std::make_unique<BmpRows>(in, info, rows_per_item);
        return Error();
    }
    bytes.resize((size_t)info.end);
    std::vector<uint8_t> decoded;
    e = read_at(in, 0, bytes.size(), bytes.data());
    if (!e)
        e = carrier ? bmp_decode_indices(bytes.data(), info, &decoded) : bmp_decode_colours(bytes.data(), info, &decoded);
    if (e)
        return e;
    auto held = std::make_unique<HeldRows>(std::move(decoded), info.width, info.height / rows_per_item, rows_per_item,
                                           info.height);
    held->format = "BMP";
    *out = std::move(held);
    return Error();
}

// A picture of any format but BMP, decoded whole.
Error open_whole_picture(Input &in, const PictureLimits &limits, const char *format, std::unique_ptr<RowSource> *out)
{
    WholeReader reader = whole_reader(format);
    if (!reader)
        return not_read(format);
    if (Error e = read_all_if_needed(in, limits, true))
        return e;
    Picture picture;
    Error e = reader(in.bytes.data(), in.bytes.size(), limits, &picture);
    std::vector<uint8_t>().swap(in.bytes);
    if (e)
        return e;
    auto held = std::make_unique<HeldRows>(std::move(picture.rgb), picture.w, picture.h, 1, picture.h);
    held->format = format;
    *out = std::move(held);
    return Error();
}

// A carrier of any format but BMP: a PNG's bytes as they are stored.
Error open_png_carrier(Input &in, const PictureLimits &limits, const char *format, std::unique_ptr<RowSource> *out)
{
    if (strcmp(format, "PNG"))
        return *format && whole_reader(format)
                   ? Error(Error::not_a_carrier, std::string(format) + " picture, not BMP or PNG")
                   : not_read(format);
    if (Error e = read_all_if_needed(in, limits, true))
        return e;
    std::vector<uint8_t> indices;
    int w = 0, h = 0;
    Error e = read_png_carrier(in.bytes.data(), in.bytes.size(), limits, &w, &h, &indices);
    if (!e)
        e = carrier_rows_rule(h);
    // The bytes are kept for a caller that reads the file as a picture
    // when it is no carrier.
    if (e)
        return e;
    std::vector<uint8_t>().swap(in.bytes);
    auto held = std::make_unique<HeldRows>(std::move(indices), w, h / 2, 2, h);
    held->format = "PNG";
    *out = std::move(held);
    return Error();
}

// A picture (one row an item) or a carrier (two), by the file's format.
Error open_file(Input &in, const PictureLimits &limits, int rows_per_item, std::unique_ptr<RowSource> *out)
{
    try {
        const char *format = "";
        if (Error e = detect(in, limits, &format))
            return e;
        if (!strcmp(format, "BMP"))
            return open_bmp(in, limits, rows_per_item, out);
        return rows_per_item == 1 ? open_whole_picture(in, limits, format, out)
                                  : open_png_carrier(in, limits, format, out);
    } catch (const std::bad_alloc &) {
        return unreadable("not enough memory");
    }
}

} // namespace

Error bmp_carrier_rule(const BmpInfo &info)
{
    if (info.bpp > 8)
        return Error(Error::not_a_carrier, std::to_string(info.bpp) + "-bit BMP, not paletted");
    return carrier_rows_rule(info.height);
}

Error open_picture(Input &in, const PictureLimits &limits, std::unique_ptr<RowSource> *out)
{
    return open_file(in, limits, 1, out);
}

Error open_carrier(Input &in, const PictureLimits &limits, std::unique_ptr<RowSource> *out)
{
    return open_file(in, limits, 2, out);
}

Error hold_picture(std::unique_ptr<RowSource> *source, Picture *picture)
{
    try {
        RowSource &from = **source;
        picture->w = from.w;
        picture->h = from.h;
        auto *held = dynamic_cast<HeldRows *>(&from);
        if (held && !held->held.empty()) {
            picture->rgb = std::move(held->held);
        } else {
            picture->rgb.resize((size_t)from.w * from.h * 3);
            // A slice at a time, so that the file's rows are never held
            // whole beside the picture.
            const int slice = (int)std::max<uint64_t>(1, (4u << 20) / ((uint64_t)from.w * 4));
            Block block;
            for (int first = 0; first < from.h; first += slice) {
                int count = std::min(slice, from.h - first);
                Rows rows;
                if (Error e = from.rows(first, count, &rows, &block))
                    return e;
                Rows to = {&picture->rgb[(size_t)first * from.w * 3], (ptrdiff_t)from.w * 3, 0, gfx16_rgb};
                copy_items(rows, to, from.w, count, 1);
            }
        }
        auto view = std::make_unique<HeldRows>(picture->rgb.data(), picture->w, picture->h, 1, picture->h);
        view->format = from.format;
        *source = std::move(view);
        return Error();
    } catch (const std::bad_alloc &) {
        return unreadable("not enough memory");
    }
}
