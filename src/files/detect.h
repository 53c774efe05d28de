// What a file is, by its first bytes, whatever its name:
//
//   format  starts with                         read by
//   BMP     "BM"                                bmp.h
//   PNG     89 "PNG" 0D 0A 1A 0A                png.h (libpng)
//   JPEG    FF D8 FF                            jpeg.h (libjpeg-turbo)
//   WebP    "RIFF" size "WEBP"                  webp.h (libwebp)
//   PCX     0A, version, 01                     tgapcx.h
//   TGA     (no signature; a header that fits)  tgapcx.h
//
// and some formats known by name that no reader here takes (GIF, TIFF, ...).
#ifndef GFX16_FILES_DETECT_H
#define GFX16_FILES_DETECT_H

#include <cstddef>
#include <cstdint>

// "BMP", "PNG", ..., a known format this program does not read ("GIF",
// "TIFF", ...), or "" for unknown.
const char *picture_format(const uint8_t *head, size_t n);

// Enough of a file's start for picture_format.
const size_t format_head_size = 128;

#endif
