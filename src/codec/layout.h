// Pixel layouts (gfx16_layout): which are valid, and a pixel written in one.
// A layout is either read as the loop runs or fixed when the loop is
// compiled: the channels' offsets then are constants, which frees the
// registers that would hold them.
#ifndef GFX16_CODEC_LAYOUT_H
#define GFX16_CODEC_LAYOUT_H

#include <cstdint>

#include "gfx16/codec.h"

// 3 or 4 bytes a pixel, each channel a byte of its own within the pixel.
inline bool valid_layout(const gfx16_layout *l)
{
    if (!l || (l->bytes_per_pixel != 3 && l->bytes_per_pixel != 4))
        return false;
    int r = l->red, g = l->green, b = l->blue, n = l->bytes_per_pixel;
    return r >= 0 && g >= 0 && b >= 0 && r < n && g < n && b < n && r != g && g != b && r != b;
}

inline bool same_layout(const gfx16_layout &a, const gfx16_layout &b)
{
    return a.bytes_per_pixel == b.bytes_per_pixel && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

// Writes a colour in a layout; a 4-byte pixel's spare byte gets 0.
inline void put_pixel(uint8_t *p, const gfx16_layout &l, int r, int g, int b)
{
    if (l.bytes_per_pixel == 4)
        p[6 - l.red - l.green - l.blue] = 0;
    p[l.red] = (uint8_t)r;
    p[l.green] = (uint8_t)g;
    p[l.blue] = (uint8_t)b;
}

// A layout fixed when the loop is compiled (BYTES 3 or 4, the offsets R, G
// and B) or, with BYTES 0, read from `any` as it runs.
template <int BYTES, int R, int G, int B>
struct Layout {
    gfx16_layout any;
    int bytes() const { return BYTES ? BYTES : any.bytes_per_pixel; }
    int red() const { return BYTES ? R : any.red; }
    int green() const { return BYTES ? G : any.green; }
    int blue() const { return BYTES ? B : any.blue; }
};
using AnyLayout = Layout<0, 0, 0, 0>;

#endif
