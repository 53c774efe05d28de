// Reading PNG, JPEG and WebP pictures, and writing pictures and carriers as
// PNG, all through the Debian libraries (libpng, libjpeg-turbo's TurboJPEG,
// libwebp). The readers take the whole file in memory; the writers write
// only through the FILE * they are given, which the caller opened and will
// close.
//
// Every function returns "" on success, or a short reason in lower case
// ("truncated file", "bad CRC in chunk IDAT", "picture larger than 32768
// pixels a side", ...); a reader that fails leaves its output empty. The size
// in a file's header goes through check_picture_size() (picture.h) before
// anything is allocated for its pixels.
//
// How colours come out:
//  - Transparency (a PNG's alpha channel or tRNS chunk, a WebP's alpha) is
//    composited over black on the sRGB values as they stand:
//    channel = (c * a + 127) / 255, in integers.
//  - PNG, 16 bits a channel: taken as sRGB-encoded unless the file has a gAMA
//    or sRGB chunk that says otherwise (PNG_IMAGE_FLAG_16BIT_sRGB). libpng's
//    simplified API would otherwise take such data for linear light and
//    brighten it, and nearly every 16-bit file around (ImageMagick's, photo
//    editors') holds sRGB values. libpng then rounds each channel to 8 bits
//    (v * 255 / 65535, to nearest), where Pillow keeps the high byte.
//  - PNG with a gAMA chunk far from sRGB's (e.g. 1.0, linear light):
//    converted for display, as libpng's simplified API does and browsers do;
//    for 8-bit data libpng takes the display's gamma as 2.2 (for gAMA 1.0,
//    out = 255 * (v / 255) ^ (1 / 2.2), rounded). Pillow ignores gAMA, so
//    such files differ from what Pillow shows.
//  - JPEG: the pixels libjpeg-turbo gives with its accurate integer IDCT and
//    smooth chroma upsampling (TurboJPEG's defaults, and Pillow's), then
//    turned upright as the EXIF orientation says (as Pillow's
//    ImageOps.exif_transpose does). Any libjpeg warning (a truncated or
//    corrupt stream) refuses the file. CMYK and YCCK JPEGs are refused: their
//    colours need the print profile they were made for; so are JPEGs of more
//    than 100 scans, counted before anything is decoded.
#ifndef GFX16_FORMATS_H
#define GFX16_FORMATS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files/picture.h"

std::string read_png(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);
std::string read_jpeg(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);
std::string read_webp(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

// A carrier stored as a PNG of 8-bit palette indices or 8-bit grey: its w x h
// bytes (rows top to bottom) exactly as stored, whatever its palette, gAMA or
// tRNS say. Any other kind of PNG is refused ("not a carrier: ..."). The size
// check is check_carrier_size (picture.h).
std::string read_png_carrier(const uint8_t *data, size_t size, const PictureLimits &limits, int *w, int *h,
                             std::vector<uint8_t> *indices);

// The EXIF orientation (1-8) of a JPEG file: the tag 0x0112 in IFD0 of the
// first APP1 "Exif" segment (a SHORT, or a LONG, which Pillow takes too). 1 (as it stands) when there is none, or when the
// segment is damaged: every offset is checked against the segment. read_jpeg
// applies it; it is here for the callers that want to say what was done.
int jpeg_orientation(const uint8_t *data, size_t size);

// An 8-bit RGB PNG of the picture.
std::string write_png_picture(FILE *f, const Picture &p);

// An 8-bit palette PNG of w x h carrier indices (rows top to bottom), with
// carrier_palette (carrier_palette.h) as its palette.
std::string write_png_carrier(FILE *f, int w, int h, const uint8_t *indices);

#endif
