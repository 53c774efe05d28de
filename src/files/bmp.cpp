#include "files/bmp.h"

#include <cstring>

#include "codec/bytes.h"

namespace {

// A channel of `mask` in `value`, scaled to 0..255.
struct Channel {
    int shift;
    uint64_t max;
    explicit Channel(uint32_t mask) : shift(__builtin_ctz(mask)), max(mask >> __builtin_ctz(mask)) {}
    uint8_t of(uint32_t value, uint32_t mask) const { return scale_level((value & mask) >> shift, max); }
};

} // namespace

Error bmp_read_header(const uint8_t *head, size_t n, uint64_t file_size, int max_height, bool stop_at_true_colour,
                      BmpInfo *info)
{
    const char *why = bmp_parse_header(head, n, file_size, max_height, stop_at_true_colour, info);
    return why ? unreadable(why) : Error();
}

bool bmp_rows_as_stored(const BmpInfo &l)
{
    if (l.compression == BI_RLE8 || l.compression == BI_RLE4)
        return false;
    if (l.bpp == 8)
        return l.colours == 256;  // no index can lie beyond the palette
    if (l.bpp == 24)
        return true;
    return l.bpp == 32 && bmp_row_layout(l).bytes_per_pixel == 4;
}

gfx16_layout bmp_row_layout(const BmpInfo &l)
{
    if (l.bpp == 24)
        return gfx16_bgr;
    // 32-bit fields of whole bytes, wherever they lie.
    int offset[3];
    for (int c = 0; c < 3; c++) {
        int shift = __builtin_ctz(l.masks[c]);
        if (shift % 8 || l.masks[c] != 0xffu << shift)
            return {0, 0, 0, 0};
        offset[c] = shift / 8;
    }
    return {4, offset[0], offset[1], offset[2]};
}

Error bmp_decode_indices(const uint8_t *file, const BmpInfo &l, std::vector<uint8_t> *indices)
{
    // Checked before the indices are allocated: a few bytes of RLE can
    // claim a large picture.
    if (const char *why = bmp_read_indices(file, l, nullptr))
        return unreadable(why);
    indices->resize((size_t)l.width * l.height);
    bmp_read_indices(file, l, indices->data());
    return Error();
}

Error bmp_decode_colours(const uint8_t *file, const BmpInfo &l, std::vector<uint8_t> *rgb)
{
    if (l.bpp <= 8) {
        std::vector<uint8_t> indices;
        if (Error e = bmp_decode_indices(file, l, &indices))
            return e;
        rgb->resize(indices.size() * 3);
        for (size_t i = 0; i < indices.size(); i++)
            memcpy(&(*rgb)[3 * i], l.palette[indices[i]], 3);
        return Error();
    }
    rgb->resize((size_t)l.width * l.height * 3);
    const Channel red(l.masks[0]), green(l.masks[1]), blue(l.masks[2]);
    const int bytes = l.bpp / 8;
    for (int y = 0; y < l.height; y++) {
        const uint8_t *p = file + l.offset + l.stride * (uint64_t)(l.top_down ? y : l.height - 1 - y);
        uint8_t *o = &(*rgb)[(size_t)y * l.width * 3];
        for (int x = 0; x < l.width; x++, p += bytes, o += 3) {
            if (bytes == 3) {
                o[0] = p[2], o[1] = p[1], o[2] = p[0];
                continue;
            }
            uint32_t v = bytes == 2 ? le16(p) : le32(p);
            o[0] = red.of(v, l.masks[0]);
            o[1] = green.of(v, l.masks[1]);
            o[2] = blue.of(v, l.masks[2]);
        }
    }
    return Error();
}
