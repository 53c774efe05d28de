#include "codec/rows.h"

#include <algorithm>
#include <cstring>

#include "codec/code.h"
#include "codec/layout.h"
#include "codec/nearest.h"
#include "codec/rows_avx2.h"
#include "codec/simd.h"
#include "codec/tables.h"

namespace {

// One row of pairs. The parity is a template argument so that each loop is
// compiled without the choices that depend on it; so is the layout of the
// pixels read, and whether a preview is made.
template <int odd_row, class In, bool with_preview>
void encode_row(const EncoderTables &t, const uint32_t *decoded, In in, const uint8_t *px, int w,
                uint8_t *low, uint8_t *high, uint8_t *preview, const gfx16_layout &out)
{
    const int step = in.bytes(), ostep = with_preview ? out.bytes_per_pixel : 0;
    for (int x = 0; x < w; x += 2, px += 2 * step, preview += 2 * ostep) {
        // The partner of an odd width's last column reads as white, as a
        // pixel outside the picture does; nothing of it is stored.
        bool pair = x + 1 < w;
        int r1 = px[in.red()], g1 = px[in.green()], b1 = px[in.blue()];
        int r2 = 255, g2 = 255, b2 = 255;
        if (pair) {
            r2 = px[step + in.red()];
            g2 = px[step + in.green()];
            b2 = px[step + in.blue()];
        }
        PairCodes c = encode_levels(t, pixel_levels(t, r1, g1, b1), pixel_levels(t, r2, g2, b2), odd_row);
        low[x] = code_low_byte(c.code1);
        high[x] = code_high_byte(c.code1);
        if (pair) {
            low[x + 1] = code_low_byte(c.code2);
            high[x + 1] = code_high_byte(c.code2);
        }
        if (with_preview) {
            const PreviewEntry &q = *c.quant1;
            put_pixel(preview, out, preview_from(c.err1 + q.whole_part[0], q.round_up_from[0]),
                      preview_from(c.err1 + q.whole_part[1], q.round_up_from[1]),
                      preview_from(c.err1 + q.whole_part[2], q.round_up_from[2]));
            if (pair) {
                uint32_t colour = decoded[c.code2];
                put_pixel(preview + ostep, out, colour & 255, colour >> 8 & 255, colour >> 16);
            }
        }
    }
}

template <class In, bool with_preview>
void encode_rows_as(const RowJob &j, In in, int first, int end)
{
    const EncoderTables &t = encoder_tables(LEVEL_TABLES | (with_preview ? PREVIEW_TABLES : 0));
    const uint32_t *decoded = with_preview ? decoded_colours() : nullptr;
    for (int k = first; k < end; k++) {
        const uint8_t *px = j.pixels + k * j.pixel_stride;
        uint8_t *low = j.low + k * j.carrier_stride, *high = j.high + k * j.carrier_stride;
        uint8_t *preview = with_preview ? j.preview + k * j.preview_stride : nullptr;
        if ((j.first_row + k) & 1)
            encode_row<1, In, with_preview>(t, decoded, in, px, j.w, low, high, preview, j.preview_layout);
        else
            encode_row<0, In, with_preview>(t, decoded, in, px, j.w, low, high, preview, j.preview_layout);
    }
}

template <bool with_preview>
void encode_rows_in(const RowJob &j, int first, int end)
{
    // Loops of their own for the layouts met every day: BMP rows, plain RGB,
    // and the 32-bit pixels of X11 and of Allegro without a screen.
    const gfx16_layout &l = j.layout;
    if (same_layout(l, gfx16_bgr))
        encode_rows_as<Layout<3, 2, 1, 0>, with_preview>(j, {}, first, end);
    else if (same_layout(l, gfx16_rgb))
        encode_rows_as<Layout<3, 0, 1, 2>, with_preview>(j, {}, first, end);
    else if (same_layout(l, gfx16_bgrx))
        encode_rows_as<Layout<4, 2, 1, 0>, with_preview>(j, {}, first, end);
    else if (same_layout(l, gfx16_rgbx))
        encode_rows_as<Layout<4, 0, 1, 2>, with_preview>(j, {}, first, end);
    else
        encode_rows_as<AnyLayout, with_preview>(j, AnyLayout{l}, first, end);
}

#if GFX16_X86_VECTORS
// The same through the AVX2 loop, which takes any layout as it runs.
void encode_rows_avx2(const RowJob &j, int first, int end)
{
    const EncoderTables &t = encoder_tables(j.preview ? PREVIEW_TABLES : 0);
    const uint32_t *decoded = j.preview ? decoded_colours() : nullptr;
    const VectorLayout in = vector_layout(j.layout), out = vector_layout(j.preview_layout);
    for (int k = first; k < end; k++)
        encode_row_avx2(t, decoded, in, j.pixels + k * j.pixel_stride, j.w, (j.first_row + k) & 1,
                        j.low + k * j.carrier_stride, j.high + k * j.carrier_stride,
                        j.preview ? j.preview + k * j.preview_stride : nullptr, j.preview ? &out : nullptr);
}
#endif

} // namespace

void encode_rows(const RowJob &j, int first, int end)
{
#if GFX16_X86_VECTORS
    if (simd_level() == Simd::avx2)
        return encode_rows_avx2(j, first, end);
#endif
    if (j.preview)
        encode_rows_in<true>(j, first, end);
    else
        encode_rows_in<false>(j, first, end);
}

void decode_rows(const uint8_t *low, const uint8_t *high, ptrdiff_t carrier_stride, int w, int first, int end,
                 uint8_t *pixels, ptrdiff_t pixel_stride, const gfx16_layout &l)
{
#if GFX16_X86_VECTORS
    if (simd_level() == Simd::avx2) {
        const uint32_t *colours = decoded_colours();
        const VectorLayout vector_out = vector_layout(l);
        for (int k = first; k < end; k++) {
            const uint8_t *lo = low + k * carrier_stride, *hi = high + k * carrier_stride;
            uint8_t *out = pixels + k * pixel_stride;
            decode_row_avx2(colours, lo, hi, w, out, vector_out);
        }
        return;
    }
#endif
    const bool word = l.bytes_per_pixel == 4 && l.green == 1 && ((l.red == 0 && l.blue == 2) || (l.red == 2 && l.blue == 0));
    const uint32_t *colours = word ? decoded_words(l.red == 2) : decoded_colours();
    for (int k = first; k < end; k++) {
        const uint8_t *lo = low + k * carrier_stride, *hi = high + k * carrier_stride;
        uint8_t *out = pixels + k * pixel_stride;
        if (word) {
            for (int x = 0; x < w; x++)
                memcpy(out + 4 * x, &colours[join_code(lo[x], hi[x])], 4);
        } else if (l.bytes_per_pixel == 3 && l.red == 0 && l.green == 1 && l.blue == 2) {
            // A word at a time, each overlapping the next pixel, which
            // overwrites its spare byte; the last pixel byte by byte.
            for (int x = 0; x + 1 < w; x++)
                memcpy(out + 3 * x, &colours[join_code(lo[x], hi[x])], 4);
            uint32_t c = colours[join_code(lo[w - 1], hi[w - 1])];
            put_pixel(out + 3 * (w - 1), l, c & 255, c >> 8 & 255, c >> 16);
        } else {
            for (int x = 0; x < w; x++) {
                uint32_t c = colours[join_code(lo[x], hi[x])];
                put_pixel(out + l.bytes_per_pixel * x, l, c & 255, c >> 8 & 255, c >> 16);
            }
        }
    }
}

// The nearest code of every pixel of rows [first, end), in pieces short
// enough for a buffer on the stack. False when the search ran out of memory.
bool encode_best_rows(const RowJob &j, int first, int end)
{
    const uint32_t *decoded = decoded_colours();
    const gfx16_layout &l = j.layout, &o = j.preview_layout;
    enum { piece = 4096 };
    uint16_t codes[piece];
    for (int k = first; k < end; k++) {
        const uint8_t *px = j.pixels + k * j.pixel_stride;
        uint8_t *low = j.low + k * j.carrier_stride, *high = j.high + k * j.carrier_stride;
        uint8_t *preview = j.preview ? j.preview + k * j.preview_stride : nullptr;
        for (int x0 = 0; x0 < j.w; x0 += piece) {
            int n = std::min((int)piece, j.w - x0);
            if (nearest_codes_of(px + (size_t)x0 * l.bytes_per_pixel, l.bytes_per_pixel, l.red, l.green, l.blue,
                                 (size_t)n, codes) != 0)
                return false;
            for (int i = 0; i < n; i++) {
                low[x0 + i] = code_low_byte(codes[i]);
                high[x0 + i] = code_high_byte(codes[i]);
            }
            if (preview)
                for (int i = 0; i < n; i++) {
                    uint32_t c = decoded[codes[i]];
                    put_pixel(preview + (size_t)(x0 + i) * o.bytes_per_pixel, o, c & 255, c >> 8 & 255, c >> 16);
                }
        }
    }
    return true;
}

bool reach_best_rows(const RowJob &j, int first, int end)
{
    const gfx16_layout &l = j.layout;
    for (int k = first; k < end; k++)
        if (nearest_reach(j.pixels + k * j.pixel_stride, l.bytes_per_pixel, l.red, l.green, l.blue, (size_t)j.w) != 0)
            return false;
    return true;
}
