#include "codec/bmp.h"

#include <cstring>

#include "codec/bytes.h"
#include "codec/carrier_palette.h"

namespace {

const size_t file_header_size = 14;

bool is_run(uint32_t mask)
{
    uint32_t low = mask & -mask;
    return ((mask + low) & mask) == 0;
}

const char *check_masks(const uint32_t m[4], int bpp)
{
    if (!m[0] || !m[1] || !m[2])
        return "bit fields are zero or overlap";
    for (int i = 0; i < 4; i++)
        for (int j = i + 1; j < 4; j++)
            if (m[i] & m[j])
                return "bit fields are zero or overlap";
    for (int i = 0; i < 4; i++) {
        if (bpp == 16 && m[i] >> 16)
            return "bit fields do not fit the pixel";
        if (m[i] && !is_run(m[i]))
            return "bit fields are not runs of bits";
    }
    return nullptr;
}

// What a file with this compression and depth is, when it is one of the
// variants that are not read; nullptr for the others. An embedded JPEG or
// PNG has a depth of 0, and bit fields never have 1 or 24 bits.
const char *unsupported_variant(bool os2, uint32_t compression, int bpp)
{
    if (compression == BI_BITFIELDS && (os2 || bpp == 1))
        return "unsupported compression: OS/2 Huffman";
    if (compression == BI_JPEG && (os2 || bpp == 24))
        return "unsupported compression: OS/2 RLE24";
    if (compression == BI_JPEG)
        return "unsupported compression: embedded JPEG";
    if (compression == BI_PNG)
        return "unsupported compression: embedded PNG";
    if (bpp == 64)
        return "unsupported bits per pixel: 64";
    return nullptr;
}

} // namespace

const char *bmp_parse_header(const uint8_t *p, size_t n, uint64_t file_size, int max_height,
                             bool stop_at_true_colour, BmpInfo *l)
{
    if (n < 2 || p[0] != 'B' || p[1] != 'M')
        return "not a BMP file";
    if (n < file_header_size + 4)
        return "file too short for its headers";
    l->offset = le32(p + 10);
    // 12: OS/2 1.x; 16 and 64: OS/2 2.x (the same fields as Windows' 40,
    // which the 16 bytes cut short, with OS/2's own after them); 40 and on:
    // Windows.
    uint32_t header = le32(p + 14);
    if (header != 12 && header != 16 && header != 40 && header != 52 && header != 56 && header != 64 &&
        header != 108 && header != 124)
        return "unknown info header size";
    if (n < file_header_size + header)
        return "file too short for its headers";
    const uint8_t *h = p + file_header_size;

    int64_t width, height;
    uint32_t planes, compression = BI_RGB, size_image = 0, colours_used = 0;
    if (header == 12) {
        // OS/2: unsigned 16-bit sizes, always bottom-up, never compressed.
        width = le16(h + 4);
        height = le16(h + 6);
        planes = le16(h + 8);
        l->bpp = (int)le16(h + 10);
    } else {
        width = (int32_t)le32(h + 4);
        height = (int32_t)le32(h + 8);
        planes = le16(h + 12);
        l->bpp = (int)le16(h + 14);
        if (header > 16) {
            compression = le32(h + 16);
            size_image = le32(h + 20);
            colours_used = le32(h + 32);
        }
    }
    const bool os2 = header == 16 || header == 64;
    if (const char *why = unsupported_variant(os2, compression, l->bpp))
        return why;
    l->compression = compression > (os2 ? BI_RLE4 : BI_ALPHABITFIELDS) ? -1 : (int)compression;
    if (planes != 1)
        return "planes field is not 1";
    if (width == 0 || height == 0)
        return "width or height is 0";
    if (width < 0)
        return "negative width";
    l->top_down = height < 0;
    if (height < 0)
        height = -height;
    if (width > bmp_max_side || height > max_height)
        return max_height > bmp_max_side ? "carrier larger than 32768 pixels wide or 65536 high"
                                      : "picture larger than 32768 pixels a side";
    l->width = (int)width;
    l->height = (int)height;

    int bpp = l->bpp;
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return "unsupported bits per pixel";
    if (stop_at_true_colour && bpp > 8)
        return nullptr;
    switch (l->compression) {
    case BI_RGB:
        break;
    case BI_RLE8:
    case BI_RLE4:
        if (bpp != (l->compression == BI_RLE8 ? 8 : 4))
            return "compression does not fit the bits per pixel";
        if (l->top_down)
            return "top-down picture cannot be compressed";
        break;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (bpp != 16 && bpp != 32)
            return "compression does not fit the bits per pixel";
        break;
    default:
        return "unsupported compression";
    }

    // Bit fields: red, green, blue and (with BI_ALPHABITFIELDS, or in a
    // header of 56 bytes or more) alpha, from byte 40 of the info header on;
    // the words the header has no room for follow it. Without them, 16 bits
    // are 5-5-5 and 32 bits 8-8-8.
    uint64_t headers_end = file_header_size + header;
    uint32_t masks[4] = {};
    if (l->compression == BI_BITFIELDS || l->compression == BI_ALPHABITFIELDS) {
        const int words = l->compression == BI_ALPHABITFIELDS || header >= 56 ? 4 : 3;
        const uint32_t masks_end = 40 + 4 * words;
        if (header < masks_end) {
            headers_end += masks_end - header;
            if (n < headers_end)
                return "file too short for its headers";
        }
        for (int i = 0; i < words; i++)
            masks[i] = le32(h + 40 + 4 * i);
        if (const char *why = check_masks(masks, bpp))
            return why;
    } else if (bpp == 16) {
        masks[0] = 0x7c00, masks[1] = 0x3e0, masks[2] = 0x1f;
    } else if (bpp == 32) {
        masks[0] = 0xff0000, masks[1] = 0xff00, masks[2] = 0xff;
    }
    memcpy(l->masks, masks, sizeof l->masks);

    // The palette: OS/2 1.x's entries are 3 bytes, all others' 4. Of a
    // palette longer than 256 entries, the indices reach the first 256; the
    // rest is never read, and the pixel data's offset says where it ends.
    l->colours = 0;
    memset(l->palette, 0, sizeof l->palette);
    if (bpp <= 8) {
        int entry_size = header == 12 ? 3 : 4;
        uint32_t most = 1u << bpp;
        if (colours_used) {
            l->colours = (int)(colours_used < 256 ? colours_used : 256);
        } else {
            // No count: a full palette, or as much of one as the pixel data
            // leaves room for (some writers store only the colours they use).
            uint64_t room = l->offset > headers_end ? (l->offset - headers_end) / entry_size : 0;
            l->colours = (int)(room < most ? room : most);
            if (l->colours == 0)
                return "pixel data offset inside the headers or palette";
        }
        uint64_t palette_at = headers_end;
        headers_end += (uint64_t)l->colours * entry_size;
        if (file_size < headers_end || n < headers_end)
            return "file too short for its palette";
        for (int i = 0; i < l->colours; i++) {
            const uint8_t *e = p + palette_at + (uint64_t)i * entry_size;
            l->palette[i][0] = e[2];
            l->palette[i][1] = e[1];
            l->palette[i][2] = e[0];
        }
    }
    if (l->offset < headers_end)
        return "pixel data offset inside the headers or palette";
    if (l->offset >= file_size)
        return "pixel data shorter than the header says";

    l->stride = bmp_stride(l->width, bpp);
    if (l->compression == BI_RLE8 || l->compression == BI_RLE4) {
        if (size_image && l->offset + size_image > file_size)
            return "pixel data shorter than the header says";
        // The stream ends at its end mark, wherever that is.
        l->end = file_size;
    } else {
        l->end = l->offset + l->stride * (uint64_t)height;
        if (l->end > file_size)
            return "pixel data shorter than the header says";
    }
    return nullptr;
}

namespace {

// Walks an RLE stream and makes sure that it draws nothing above the top
// row and no colour outside the palette, and that it ends with its end
// mark; with `indices`, it also draws (top row first). Pixels it skips keep
// index 0; pixels of a run past the end of a row are dropped.
const char *walk_rle(const uint8_t *p, uint64_t size, const BmpInfo &l, uint8_t *indices)
{
    const bool rle4 = l.compression == BI_RLE4;
    uint64_t i = 0;
    int64_t x = 0, y = 0;  // y counts rows from the bottom
    auto put = [&](int64_t at, int index) -> bool {
        if (at >= l.width)
            return true;
        if (index >= l.colours)
            return false;
        if (indices)
            indices[(uint64_t)(l.height - 1 - y) * l.width + at] = (uint8_t)index;
        return true;
    };
    for (;;) {
        if (size - i < 2)
            return "RLE data ends before its end mark";
        int count = p[i], code = p[i + 1];
        i += 2;
        if (count) {
            if (y >= l.height)
                return "RLE run leaves the picture";
            int first = rle4 ? code >> 4 : code, second = rle4 ? code & 15 : code;
            for (int k = 0; k < count && x + k < l.width; k++)
                if (!put(x + k, k & 1 ? second : first))
                    return "palette index beyond the palette";
            x += count;
        } else if (code == 0) {
            x = 0;
            if (y < l.height)
                y++;
        } else if (code == 1) {
            return nullptr;
        } else if (code == 2) {
            if (size - i < 2)
                return "RLE data ends before its end mark";
            x += p[i];
            y += p[i + 1];
            i += 2;
            if (x > l.width || y >= l.height)
                return "RLE delta leaves the picture";
        } else {
            uint64_t bytes = rle4 ? (code + 1) / 2 : code;
            bytes += bytes & 1;
            if (size - i < bytes)
                return "RLE data ends before its end mark";
            if (y >= l.height)
                return "RLE run leaves the picture";
            for (int k = 0; k < code && x + k < l.width; k++) {
                int index = rle4 ? (p[i + k / 2] >> (k & 1 ? 0 : 4)) & 15 : p[i + k];
                if (!put(x + k, index))
                    return "palette index beyond the palette";
            }
            x += code;
            i += bytes;
        }
    }
}

// Uncompressed 1-, 2-, 4- and 8-bit indices, each checked against the
// palette; with `indices`, also written (top row first).
const char *read_rows(const uint8_t *data, const BmpInfo &l, uint8_t *indices)
{
    const int bpp = l.bpp, mask = (1 << bpp) - 1;
    for (int y = 0; y < l.height; y++) {
        const uint8_t *row = data + l.stride * (uint64_t)(l.top_down ? y : l.height - 1 - y);
        uint8_t *out = indices ? indices + (uint64_t)y * l.width : nullptr;
        for (int x = 0; x < l.width; x++) {
            int index = bpp == 8 ? row[x] : (row[x * bpp / 8] >> (8 - bpp - (x * bpp) % 8)) & mask;
            if (index >= l.colours)
                return "palette index beyond the palette";
            if (out)
                out[x] = (uint8_t)index;
        }
    }
    return nullptr;
}

void put16(uint8_t *p, unsigned v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, v & 0xffff);
    put16(p + 2, v >> 16);
}

} // namespace

const char *bmp_read_indices(const uint8_t *file, const BmpInfo &l, uint8_t *indices)
{
    const uint8_t *data = file + l.offset;
    if (l.compression == BI_RLE8 || l.compression == BI_RLE4) {
        // Walked twice: to check the stream, then to draw it over index 0.
        if (const char *why = walk_rle(data, l.end - l.offset, l, nullptr))
            return why;
        if (!indices)
            return nullptr;
        memset(indices, 0, (size_t)l.width * l.height);
        return walk_rle(data, l.end - l.offset, l, indices);
    }
    // Only a short palette leaves room for an index beyond it.
    if (l.colours < 1 << l.bpp)
        if (const char *why = read_rows(data, l, nullptr))
            return why;
    return indices ? read_rows(data, l, indices) : nullptr;
}

uint64_t bmp_stride(int w, int bpp) { return ((uint64_t)w * bpp + 31) / 32 * 4; }

size_t bmp_header_size(int bpp) { return 14 + 40 + (bpp == 8 ? 256 * 4 : 0); }

void bmp_header(int w, int h, int bpp, uint8_t header[bmp_header_most])
{
    const uint32_t offset = (uint32_t)bmp_header_size(bpp);
    const uint32_t image_size = (uint32_t)(bmp_stride(w, bpp) * (uint64_t)h);
    uint8_t *p = header;
    memset(p, 0, offset);
    p[0] = 'B', p[1] = 'M';
    put32(p + 2, offset + image_size);
    put32(p + 10, offset);
    put32(p + 14, 40);
    put32(p + 18, (uint32_t)w);
    put32(p + 22, (uint32_t)h);
    put16(p + 26, 1);
    put16(p + 28, bpp);
    put32(p + 34, image_size);
    put32(p + 38, 0xB12);  // 72 dots per inch
    put32(p + 42, 0xB12);
    if (bpp == 8) {
        put32(p + 46, 256);
        put32(p + 50, 256);
        for (int i = 0; i < 256; i++) {
            p[54 + 4 * i] = carrier_palette[i][2];
            p[54 + 4 * i + 1] = carrier_palette[i][1];
            p[54 + 4 * i + 2] = carrier_palette[i][0];
        }
    }
}
