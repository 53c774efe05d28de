// PNG through libpng: pictures read (through its simplified API) and
// written, and carriers read and written as the bytes they hold. The readers
// take the whole file in memory; the writers write only through the FILE *
// they are given, which the caller opened and will close. A reader that
// fails leaves its output empty.
//
// How a picture's colours come out:
//  - Transparency (an alpha channel or a tRNS chunk) is composited over
//    black on the sRGB values as they stand: channel = (c * a + 127) / 255,
//    in integers.
//  - 16 bits a channel: taken as sRGB-encoded unless the file has a gAMA or
//    sRGB chunk that says otherwise (PNG_IMAGE_FLAG_16BIT_sRGB). libpng's
//    simplified API would otherwise take such data for linear light and
//    brighten it, and nearly every 16-bit file around (ImageMagick's, photo
//    editors') holds sRGB values. libpng then rounds each channel to 8 bits
//    (v * 255 / 65535, to nearest), where Pillow keeps the high byte.
//  - A gAMA chunk far from sRGB's (e.g. 1.0, linear light): converted for
//    display, as libpng's simplified API does and browsers do; for 8-bit
//    data libpng takes the display's gamma as 2.2 (for gAMA 1.0,
//    out = 255 * (v / 255) ^ (1 / 2.2), rounded). Pillow ignores gAMA, so
//    such files differ from what Pillow shows.
#ifndef GFX16_FILES_PNG_H
#define GFX16_FILES_PNG_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/error.h"
#include "files/picture.h"

Error read_png(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

// A carrier stored as a PNG of 8-bit palette indices or 8-bit grey: its w x h
// bytes (rows top to bottom) exactly as stored, whatever its palette, gAMA or
// tRNS say. Any other kind of PNG is refused as Error::not_a_carrier. The
// size check is check_carrier_size.
Error read_png_carrier(const uint8_t *data, size_t size, const PictureLimits &limits, int *w, int *h,
                             std::vector<uint8_t> *indices);

// An 8-bit RGB PNG of a picture of w x h pixels (3 bytes each, red first,
// rows top to bottom).
Error write_png_picture(FILE *f, int w, int h, const uint8_t *rgb);

// An 8-bit palette PNG of w x h carrier indices (rows top to bottom), with
// carrier_palette as its palette.
Error write_png_carrier(FILE *f, int w, int h, const uint8_t *indices);

#endif
