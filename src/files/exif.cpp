#include "files/exif.h"

#include <cstring>
#include <vector>

#include "codec/bytes.h"

namespace {

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
    auto u16 = [&](size_t at) -> unsigned { return big_endian ? be16(tiff + at) : le16(tiff + at); };
    auto u32 = [&](size_t at) -> uint32_t { return big_endian ? be32(tiff + at) : le32(tiff + at); };
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

}  // namespace

Error apply_orientation(Picture *p, int orientation)
{
    // Output pixel (x, y) is source pixel start + x * step_x + y * step_y
    // (in pixels), for a source w wide and h high; orientations 5-8 swap
    // the sides.
    if (orientation == 1)
        return Error();
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
    Error why = allocate_pixels(&turned, p->rgb.size());
    if (why)
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
    return Error();
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
        size_t length = be16(data + at + 2);
        if (length < 2 || length > size - at - 2)
            break;
        const uint8_t *body = data + at + 4;
        if (marker == 0xE1 && length - 2 >= 6 && !memcmp(body, "Exif\0\0", 6))
            return tiff_orientation(body + 6, length - 2 - 6);
        at += 2 + length;
    }
    return 1;
}
