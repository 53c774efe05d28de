// Pictures in memory as the file readers and writers pass them, and the
// limits a picture's size must keep before anything is allocated for it.
#ifndef GFX16_FILES_PICTURE_H
#define GFX16_FILES_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "files/error.h"

// A true-colour picture: 3 bytes a pixel (red, green, blue), rows top to
// bottom, no padding.
struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> rgb;
};

// A channel's level of 0..max (max = 2^bits - 1, from 1 to 32 bits) on
// the 8-bit scale: level * 255 / max rounded to the nearest, as most
// readers of 16-bit BMP and TGA files do (max is odd: never a half to break).
inline uint8_t scale_level(uint64_t level, uint64_t max) { return (uint8_t)((level * 510 + max) / (2 * max)); }

// For the readers of whole files: reserves the pixels of a picture, or
// says why not ("not enough memory").
Error allocate_pixels(std::vector<uint8_t> *pixels, size_t bytes);

// Turns `count` RGBA pixels into RGB ones composited over black, in place.
// The buffer keeps its size; the caller trims it.
void composite_over_black(uint8_t *pixels, size_t count);

// The largest side of a picture (a carrier may be twice as high), and the
// most pixels a picture may have (0: no limit but the side), with what sets
// that limit, for the reason given when a picture breaks it. The programs
// take default_max_pixels (128 Mi, e.g. 16384 x 8192) unless told otherwise.
struct PictureLimits {
    static const int max_side = 32768;
    static const uint64_t default_max_pixels = 128ull << 20;
    uint64_t max_pixels = 0;
    const char *set_by = "";
};

// Whether a picture of w x h pixels keeps the limits; the reason names the
// limit it breaks ("picture larger than 32768 pixels a side", "picture of
// N pixels, more than the limit of M (SET_BY)").
Error check_picture_size(uint64_t w, uint64_t h, const PictureLimits &limits);

// The same for a carrier of w x h bytes: up to 32768 wide and 65536 high,
// and the picture it holds (w x h / 2) within the pixel limit.
Error check_carrier_size(uint64_t w, uint64_t h, const PictureLimits &limits);

#endif
