// The row loops of rows.cpp in AVX2, eight pixels at a time: the same bytes
// as the plain loops. Only on x86-64, and called only when the processor
// has AVX2 (simd.h).
#ifndef GFX16_CODEC_ROWS_AVX2_H
#define GFX16_CODEC_ROWS_AVX2_H

#include <cstdint>

#include "codec/simd.h"
#include "codec/tables.h"
#include "gfx16/codec.h"

// A layout as byte shuffles over eight pixels, made once per call.
struct VectorLayout {
    int bytes;
    // Reading: vpermd brings the 12 or 16 bytes of pixels 0-3 into the low
    // half of a register and those of pixels 4-7 into the high half; vpshufb
    // then gives each pixel's channel a 32-bit lane of its own.
    int32_t spread[8];
    uint8_t channel[3][32];
    // Writing: vpshufb turns lanes of red | green << 8 | blue << 16 into
    // each half's pixels in the layout, vpermd joins the halves' 12 bytes
    // (3-byte pixels).
    uint8_t place[32];
    int32_t join[8];
};

VectorLayout vector_layout(const gfx16_layout &l);

#if GFX16_X86_VECTORS
// The format's encoder on one row; preview, if not null, in layout *out.
void encode_row_avx2(const EncoderTables &t, const uint32_t *decoded, const VectorLayout &in, const uint8_t *px,
                     int w, int odd_row, uint8_t *low, uint8_t *high, uint8_t *preview, const VectorLayout *out);

// One row decoded into layout `out`.
void decode_row_avx2(const uint32_t *colours, const uint8_t *low, const uint8_t *high, int w, uint8_t *pixels,
                     const VectorLayout &out);
#endif

#endif
