// TGA and PCX pictures: read with every size and every run checked, and
// written (24-bit TGA, 24-bit PCX).
//
// TGA: colour-mapped (8-bit indices), true colour (15, 16, 24, 32 bits; an
// alpha channel is ignored, as many writers leave it 0) and grey (8 bits),
// uncompressed or run-length encoded, either row order.
// PCX: 8 bits a plane, run-length encoded; one plane with the 256-colour
// palette at the end, or three or four planes (red, green, blue, and an
// ignored alpha).
#ifndef GFX16_FILES_TGAPCX_H
#define GFX16_FILES_TGAPCX_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include "files/error.h"
#include "files/picture.h"

// TGA has no signature: whether the first bytes make a TGA header that
// this reader would take.
bool looks_like_tga(const uint8_t *head, size_t n);
bool looks_like_pcx(const uint8_t *head, size_t n);

// Each leaves *out empty when it refuses the file. The size is checked
// against `limits` before anything is allocated.
Error read_tga(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);
Error read_pcx(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

// A picture of w x h pixels (3 bytes each, red first, rows top to bottom)
// into `f`; the reason of a failed write is the system's.
Error write_tga(FILE *f, int w, int h, const uint8_t *rgb);
Error write_pcx(FILE *f, int w, int h, const uint8_t *rgb);

#endif
