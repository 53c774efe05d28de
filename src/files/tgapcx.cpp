#include "files/tgapcx.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "codec/bytes.h"

namespace {

// ---- TGA --------------------------------------------------------------------
//
//   offset  size  field
//   0       1     length of the image ID that follows the header
//   1       1     colour map type: 0 none, 1 present
//   2       1     image type: 1 mapped, 2 true colour, 3 grey; +8 run-length
//   3       2     first colour map entry
//   5       2     colour map length
//   7       1     colour map entry bits (15, 16, 24, 32)
//   8       4     origin (ignored)
//   12      2     width
//   14      2     height
//   16      1     bits a pixel
//   17      1     descriptor: bit 5 set for top row first, bit 4 for right to left
// Then the ID, the colour map and the pixels. A run-length packet is a byte
// n: bit 7 set, one pixel repeated (n & 127) + 1 times; clear, that many
// pixels as they are. Packets may run on from one row into the next.

const size_t tga_header_size = 18;

struct TgaHeader {
    int id_length, map_type, type, map_first, map_length, map_bits, width, height, bits, descriptor;
};

TgaHeader tga_header(const uint8_t *p)
{
    return {p[0], p[1], p[2], (int)le16(p + 3), (int)le16(p + 5), p[7], (int)le16(p + 12), (int)le16(p + 14),
            p[16], p[17]};
}

const char *check_tga(const TgaHeader &h)
{
    int base = h.type & 7;
    if (h.type & ~11 || base < 1 || base > 3)
        return "unsupported TGA image type";
    if (h.map_type > 1)
        return "unsupported TGA colour map type";
    if (base == 1) {
        if (h.map_type != 1 || h.bits != 8)
            return "colour-mapped TGA without an 8-bit map";
        if (h.map_bits != 15 && h.map_bits != 16 && h.map_bits != 24 && h.map_bits != 32)
            return "unsupported TGA colour map entry size";
        if (h.map_length == 0)
            return "TGA colour map is empty";
    } else if (base == 2) {
        if (h.bits != 15 && h.bits != 16 && h.bits != 24 && h.bits != 32)
            return "unsupported TGA bits per pixel";
    } else if (h.bits != 8) {
        return "unsupported TGA bits per pixel";
    }
    if (h.map_type == 1 && h.map_bits != 15 && h.map_bits != 16 && h.map_bits != 24 && h.map_bits != 32)
        return "unsupported TGA colour map entry size";
    if (h.width == 0 || h.height == 0)
        return "width or height is 0";
    return nullptr;
}

// A true-colour value of 15, 16, 24 or 32 bits (blue first; 5-5-5 fields
// scaled to 0..255 as a 16-bit BMP's are).
void tga_colour(const uint8_t *p, int bits, uint8_t rgb[3])
{
    if (bits <= 16) {
        uint32_t v = le16(p);
        rgb[0] = scale_level(v >> 10 & 31, 31);
        rgb[1] = scale_level(v >> 5 & 31, 31);
        rgb[2] = scale_level(v & 31, 31);
    } else {
        rgb[0] = p[2], rgb[1] = p[1], rgb[2] = p[0];
    }
}

// ---- PCX --------------------------------------------------------------------
//
//   offset  size  field
//   0       1     0x0A
//   1       1     version (0 to 5)
//   2       1     encoding: 1, run-length
//   3       1     bits a pixel in a plane
//   4       8     xmin, ymin, xmax, ymax: the picture is (xmax - xmin + 1) x (ymax - ymin + 1)
//   65      1     planes
//   66      2     bytes a row of one plane (even, at least the width)
// Then the rows, each plane's row in turn, run-length encoded: a byte of
// 0xC0 or more repeats the next byte (byte & 0x3F) times; any other byte
// stands for itself. A one-plane 8-bit picture ends with 0x0C and a palette
// of 256 red, green, blue entries.

const size_t pcx_header_size = 128;
const size_t pcx_palette_size = 769;

} // namespace

bool looks_like_tga(const uint8_t *head, size_t n)
{
    if (n < tga_header_size)
        return false;
    TgaHeader h = tga_header(head);
    // Only the fields whose value is constrained: a header that passes is
    // very unlikely to be anything else.
    return !check_tga(h) && (h.descriptor & 0xC0) == 0 && (h.map_type == 1 || (h.map_length == 0 && h.map_bits == 0));
}

bool looks_like_pcx(const uint8_t *head, size_t n)
{
    return n >= pcx_header_size && head[0] == 0x0A && head[1] <= 5 && head[2] == 1 &&
           (head[3] == 1 || head[3] == 2 || head[3] == 4 || head[3] == 8);
}

Error read_tga(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size < tga_header_size)
        return unreadable("file too short for its headers");
    const TgaHeader h = tga_header(data);
    if (const char *why = check_tga(h))
        return unreadable(why);
    if (Error too_large = check_picture_size((uint64_t)h.width, (uint64_t)h.height, limits))
        return too_large;

    uint64_t at = tga_header_size + (uint64_t)h.id_length;
    uint8_t map[256][3] = {};
    int map_bytes = (h.map_bits + 7) / 8;
    if (h.map_type == 1) {
        uint64_t map_size = (uint64_t)h.map_length * map_bytes;
        if (at + map_size > size)
            return unreadable("file too short for its palette");
        // Only entries an 8-bit index can reach are kept.
        for (int i = 0; i < h.map_length; i++)
            if (h.map_first + i < 256)
                tga_colour(data + at + (uint64_t)i * map_bytes, h.map_bits, map[h.map_first + i]);
        at += map_size;
    }
    const int base = h.type & 7, bytes = (h.bits + 7) / 8;
    const bool rle = h.type & 8;
    const uint64_t pixels = (uint64_t)h.width * h.height;
    if (!rle && at + pixels * bytes > size)
        return unreadable("pixel data shorter than the header says");

    // Checked before the picture is allocated: the runs must give every
    // pixel within the file.
    if (rle) {
        uint64_t p = at, done = 0;
        while (done < pixels) {
            if (p >= size)
                return unreadable("pixel data shorter than the header says");
            int packet = data[p++], count = (packet & 127) + 1;
            uint64_t need = packet & 128 ? (uint64_t)bytes : (uint64_t)bytes * count;
            if (need > size - p)
                return unreadable("pixel data shorter than the header says");
            p += need;
            done += (uint64_t)count;
        }
    }

    out->w = h.width;
    out->h = h.height;
    out->rgb.resize((size_t)pixels * 3);
    const bool top_first = h.descriptor & 0x20, right_to_left = h.descriptor & 0x10;
    uint64_t p = at, i = 0;
    int left = 0;           // pixels left in the current packet
    bool repeat = false;
    const uint8_t *value = nullptr;
    while (i < pixels) {
        if (rle && left == 0) {
            int packet = data[p++];
            left = (packet & 127) + 1;
            repeat = packet & 128;
            value = data + p;
            if (repeat)
                p += (uint64_t)bytes;
        }
        const uint8_t *px = data + p;
        if (rle && repeat) {
            px = value;
        } else {
            p += (uint64_t)bytes;
        }
        if (rle)
            left--;
        int x = (int)(i % h.width), y = (int)(i / h.width);
        if (!top_first)
            y = h.height - 1 - y;
        if (right_to_left)
            x = h.width - 1 - x;
        uint8_t *o = &out->rgb[((size_t)y * h.width + x) * 3];
        if (base == 1) {
            int index = px[0];
            if (index < h.map_first || index >= h.map_first + h.map_length) {
                *out = Picture();
                return unreadable("palette index beyond the palette");
            }
            memcpy(o, map[index], 3);
        } else if (base == 3) {
            o[0] = o[1] = o[2] = px[0];
        } else {
            tga_colour(px, h.bits, o);
        }
        i++;
    }
    return Error();
}

Error read_pcx(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size < pcx_header_size)
        return unreadable("file too short for its headers");
    if (!looks_like_pcx(data, size))
        return unreadable("not a PCX file");
    const int bits = data[3], planes = data[65];
    const int xmin = (int)le16(data + 4), ymin = (int)le16(data + 6), xmax = (int)le16(data + 8),
              ymax = (int)le16(data + 10);
    const uint64_t row_bytes = le16(data + 66);
    if (xmax < xmin || ymax < ymin)
        return unreadable("width or height is 0");
    const int w = xmax - xmin + 1, h = ymax - ymin + 1;
    if (bits != 8 || (planes != 1 && planes != 3 && planes != 4))
        return unreadable("unsupported PCX layout (only 8-bit paletted and 24-bit pictures are read)");
    if (Error too_large = check_picture_size((uint64_t)w, (uint64_t)h, limits))
        return too_large;
    if (row_bytes < (uint64_t)w)
        return unreadable("PCX rows shorter than the picture is wide");

    uint64_t end = size;
    const uint8_t *palette = nullptr;
    if (planes == 1) {
        if (size < pcx_header_size + pcx_palette_size || data[size - pcx_palette_size] != 0x0C)
            return unreadable("PCX palette missing");
        palette = data + size - pcx_palette_size + 1;
        end = size - pcx_palette_size;
    }
    // The runs must give every byte of every row within the file; a run
    // may go on into the next row, and past the last is dropped.
    const uint64_t total = row_bytes * planes * (uint64_t)h;
    uint64_t p = pcx_header_size, done = 0;
    while (done < total) {
        if (p >= end)
            return unreadable("pixel data shorter than the header says");
        uint8_t b = data[p++];
        if (b >= 0xC0) {
            if (p >= end)
                return unreadable("pixel data shorter than the header says");
            p++;
            done += b & 0x3F;
        } else {
            done++;
        }
    }

    out->w = w;
    out->h = h;
    out->rgb.resize((size_t)w * h * 3);
    std::vector<uint8_t> row((size_t)(row_bytes * planes));
    p = pcx_header_size;
    int count = 0;
    uint8_t value = 0;
    for (int y = 0; y < h; y++) {
        // The same runs as the check above, which proved them all there.
        for (uint8_t &b : row) {
            while (count == 0) {
                uint8_t c = data[p++];
                count = c >= 0xC0 ? c & 0x3F : 1;
                value = c >= 0xC0 ? data[p++] : c;
            }
            b = value;
            count--;
        }
        uint8_t *o = &out->rgb[(size_t)y * w * 3];
        for (int x = 0; x < w; x++, o += 3) {
            if (palette) {
                memcpy(o, palette + 3 * row[x], 3);
            } else {
                o[0] = row[x];
                o[1] = row[row_bytes + x];
                o[2] = row[2 * row_bytes + x];
            }
        }
    }
    return Error();
}

static Error write_error() { return unwritable(strerror(errno ? errno : EIO)); }

Error write_tga(FILE *f, int w, int h, const uint8_t *rgb)
{
    uint8_t header[tga_header_size] = {0, 0, 2};
    header[12] = (uint8_t)w, header[13] = (uint8_t)(w >> 8);
    header[14] = (uint8_t)h, header[15] = (uint8_t)(h >> 8);
    header[16] = 24;
    header[17] = 0x20;  // top row first
    if (fwrite(header, 1, sizeof header, f) != sizeof header)
        return write_error();
    std::vector<uint8_t> row((size_t)w * 3);
    for (int y = 0; y < h; y++) {
        const uint8_t *in = rgb + (size_t)y * w * 3;
        for (int x = 0; x < w; x++) {
            row[3 * x] = in[3 * x + 2];
            row[3 * x + 1] = in[3 * x + 1];
            row[3 * x + 2] = in[3 * x];
        }
        if (fwrite(row.data(), 1, row.size(), f) != row.size())
            return write_error();
    }
    return Error();
}

Error write_pcx(FILE *f, int w, int h, const uint8_t *rgb)
{
    const int row_bytes = (w + 1) & ~1;
    uint8_t header[pcx_header_size] = {0x0A, 5, 1, 8};
    header[8] = (uint8_t)(w - 1), header[9] = (uint8_t)((w - 1) >> 8);
    header[10] = (uint8_t)(h - 1), header[11] = (uint8_t)((h - 1) >> 8);
    header[12] = 72, header[14] = 72;  // dots per inch
    header[65] = 3;
    header[66] = (uint8_t)row_bytes, header[67] = (uint8_t)(row_bytes >> 8);
    header[68] = 1;  // colour
    if (fwrite(header, 1, sizeof header, f) != sizeof header)
        return write_error();
    std::vector<uint8_t> plane(row_bytes, 0), packed;
    for (int y = 0; y < h; y++)
        for (int c = 0; c < 3; c++) {
            for (int x = 0; x < w; x++)
                plane[x] = rgb[((size_t)y * w + x) * 3 + c];
            packed.clear();
            for (int x = 0; x < row_bytes;) {
                int run = 1;
                while (x + run < row_bytes && run < 63 && plane[x + run] == plane[x])
                    run++;
                if (run > 1 || plane[x] >= 0xC0)
                    packed.push_back((uint8_t)(0xC0 | run));
                packed.push_back(plane[x]);
                x += run;
            }
            if (fwrite(packed.data(), 1, packed.size(), f) != packed.size())
                return write_error();
        }
    return Error();
}
