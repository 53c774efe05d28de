// WebP through libwebp: still pictures, lossy or lossless; an alpha
// channel is composited over black as a PNG's is. A refused file leaves
// `out` empty.
#ifndef GFX16_FILES_WEBP_H
#define GFX16_FILES_WEBP_H

#include <cstddef>
#include <cstdint>

#include "files/picture.h"

Error read_webp(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out);

#endif
