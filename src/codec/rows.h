// The codec's row loops: the format's encoder, the nearest codes and the
// decoder over rows of pixels in any layout and stride, for a range of the
// rows of a picture. The calls of <gfx16/codec.h> check their arguments and
// share the rows out among threads; these do the work.
#ifndef GFX16_CODEC_ROWS_H
#define GFX16_CODEC_ROWS_H

#include <cstddef>
#include <cstdint>

#include "gfx16/codec.h"

// The rows of one call: pixels, carrier and (or null) preview, each row k
// of the call at its stride from the first. Picture row first_row + k is
// even or odd by its own number.
struct RowJob {
    const uint8_t *pixels;
    ptrdiff_t pixel_stride;
    gfx16_layout layout;
    int w, first_row;
    uint8_t *low, *high;
    ptrdiff_t carrier_stride;
    uint8_t *preview;
    ptrdiff_t preview_stride;
    gfx16_layout preview_layout;
};

// Rows [first, end) of the job through the format's encoder.
void encode_rows(const RowJob &j, int first, int end);

// Rows [first, end) of the job, every pixel given its nearest code. False
// when the search ran out of memory, which it cannot after reach_best_rows
// of the same rows.
bool encode_best_rows(const RowJob &j, int first, int end);

// Makes all that the search needs for the pixels of rows [first, end).
// False when there is not enough memory for it.
bool reach_best_rows(const RowJob &j, int first, int end);

// Rows [first, end) of a carrier decoded into pixels in layout `l`.
void decode_rows(const uint8_t *low, const uint8_t *high, ptrdiff_t carrier_stride, int w, int first, int end,
                 uint8_t *pixels, ptrdiff_t pixel_stride, const gfx16_layout &l);

#endif
