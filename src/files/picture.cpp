#include "files/picture.h"

#include <cinttypes>
#include <cstdio>
#include <new>

static Error check_pixels(uint64_t pixels, const PictureLimits &limits)
{
    if (!limits.max_pixels || pixels <= limits.max_pixels)
        return Error();
    char text[256];
    snprintf(text, sizeof text, "picture of %" PRIu64 " pixels, more than the limit of %" PRIu64 "%s%s%s", pixels,
             limits.max_pixels, *limits.set_by ? " (" : "", limits.set_by, *limits.set_by ? ")" : "");
    return unreadable(text);
}

Error check_picture_size(uint64_t w, uint64_t h, const PictureLimits &limits)
{
    if (w == 0 || h == 0)
        return unreadable("width or height is 0");
    if (w > (uint64_t)PictureLimits::max_side || h > (uint64_t)PictureLimits::max_side)
        return unreadable("picture larger than 32768 pixels a side");
    return check_pixels(w * h, limits);
}

Error check_carrier_size(uint64_t w, uint64_t h, const PictureLimits &limits)
{
    if (w == 0 || h == 0)
        return unreadable("width or height is 0");
    if (w > (uint64_t)PictureLimits::max_side || h > 2 * (uint64_t)PictureLimits::max_side)
        return unreadable("carrier larger than 32768 pixels wide or 65536 high");
    return check_pixels(w * (h / 2), limits);
}

Error allocate_pixels(std::vector<uint8_t> *pixels, size_t bytes)
{
    try {
        pixels->resize(bytes);
    } catch (const std::bad_alloc &) {
        return unreadable("not enough memory");
    }
    return Error();
}

// Pixel i moves from byte 4i to byte 3i, never ahead of what is still to be
// read.
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
