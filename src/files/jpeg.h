// JPEG through libjpeg-turbo's TurboJPEG: the pixels it gives with its
// accurate integer IDCT and smooth chroma upsampling (TurboJPEG's defaults,
// and Pillow's), then turned upright as the EXIF orientation says. Any
// libjpeg warning (a truncated or corrupt stream) refuses the file. CMYK and
// YCCK JPEGs are refused: their colours need the print profile they were
// made for; so are JPEGs of more than 100 scans, counted before anything is
// decoded. A refused file leaves `out` empty.
#ifndef GFX16_FILES_JPEG_H
#define GFX16_FILES_JPEG_H

#include <cstddef>
#include <cstdint>

#include "files/picture.h"

Error read_jpeg(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

#endif
