// BMP files in the file layer: the codec floor's parsing (codec/bmp.h) with
// its reasons as errors, and the colours of any picture. Channels of bit
// fields narrower or wider than 8 bits are scaled to 0..255 by scale_level;
// alpha is ignored.
#ifndef GFX16_FILES_BMP_H
#define GFX16_FILES_BMP_H

#include <cstdint>
#include <vector>

#include "codec/bmp.h"
#include "files/error.h"
#include "files/picture.h"
#include "gfx16/codec.h"

// bmp_parse_header, its reason an error.
Error bmp_read_header(const uint8_t *head, size_t n, uint64_t file_size, int max_height, bool stop_at_true_colour,
                      BmpInfo *info);

// Whether the rows can be used as they lie in the file: 8-bit indices
// without compression, or 24- or 32-bit colours in whole bytes, whose
// layout bmp_row_layout gives (blue, green, red, and a spare byte).
bool bmp_rows_as_stored(const BmpInfo &info);
gfx16_layout bmp_row_layout(const BmpInfo &info);

// The palette indices (w x h bytes, top row first) of a paletted file
// whose first info.end bytes are in `file`.
Error bmp_decode_indices(const uint8_t *file, const BmpInfo &info, std::vector<uint8_t> *indices);

// The colours (3 bytes a pixel, red first, top row first) of any file,
// likewise.
Error bmp_decode_colours(const uint8_t *file, const BmpInfo &info, std::vector<uint8_t> *rgb);

#endif
