// The calls of <gfx16/codec.h>: arguments checked, rows shared out among
// threads, and nothing thrown out of the library.
#include "gfx16/codec.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include "codec/code.h"
#include "codec/layout.h"
#include "codec/nearest.h"
#include "codec/rows.h"
#include "codec/simd.h"
#include "codec/tables.h"
#include "codec/threads.h"

const gfx16_layout gfx16_rgb = {3, 0, 1, 2};
const gfx16_layout gfx16_bgr = {3, 2, 1, 0};
const gfx16_layout gfx16_rgbx = {4, 0, 1, 2};
const gfx16_layout gfx16_bgrx = {4, 2, 1, 0};

namespace {

// w * rows * bytes fits in size_t (and in ptrdiff_t, for strides).
bool fits(int w, int rows, int bytes)
{
    return w >= 1 && rows >= 1 && (uint64_t)w * (uint64_t)rows <= (uint64_t)PTRDIFF_MAX / (unsigned)(2 * bytes);
}

// The arguments of a row call, checked: 1 and the job to do, or what the
// call returns (0 for no rows, -1 for bad arguments).
int make_job(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w, int first_row,
             int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride, unsigned char *preview,
             ptrdiff_t preview_stride, const gfx16_layout *preview_layout, RowJob *j)
{
    if (rows == 0 && w >= 1)
        return 0;
    // The end of the range, first_row + rows, must be an int too.
    if (!pixels || !low || !high || !valid_layout(layout) || first_row < 0 || !fits(w, rows, 4) ||
        rows > INT_MAX - first_row || (preview && !valid_layout(preview_layout)))
        return -1;
    *j = {pixels, pixel_stride, *layout, w, first_row, low, high, carrier_stride,
          preview, preview_stride, preview ? *preview_layout : gfx16_rgb};
    return 1;
}

// A call of the library: its error code, and -2 for any exception (there
// is no other way for one to get out: every allocation that can fail says
// so by its result, but a caller's program must not end for our sake).
template <class Call>
int guarded(Call call) noexcept
{
    try {
        return call();
    } catch (...) {
        return -2;
    }
}

// gfx16_encode_rows (the format's encoder) or gfx16_encode_best_rows.
int encode_row_call(bool best, const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout,
                    int w, int first_row, int rows, unsigned char *low, unsigned char *high,
                    ptrdiff_t carrier_stride, unsigned char *preview, ptrdiff_t preview_stride,
                    const gfx16_layout *preview_layout)
{
    RowJob j;
    int checked = make_job(pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride, preview,
                           preview_stride, preview_layout, &j);
    if (checked != 1)
        return checked;
    return guarded([&] {
        // The tables on this thread, before any row is written; the
        // search's may want memory that is not there.
        if (best && nearest_code(0, 0, 0) < 0)
            return -2;
        if (!best)
            encoder_tables((simd_level() == Simd::scalar ? LEVEL_TABLES : 0) | (j.preview ? PREVIEW_TABLES : 0));
        bool done = for_rows(rows, (uint64_t)w * rows, [&](int first, int end) {
            if (best)
                return encode_best_rows(j, first, end);
            encode_rows(j, first, end);
            return true;
        });
        return done ? 0 : -2;
    });
}

} // namespace

extern "C" {

void gfx16_set_threads(int threads) { set_thread_limit(threads); }

void gfx16_decode_code(unsigned code, unsigned char rgb[3])
{
    uint32_t c = decoded_colours()[code & 0xffff];
    rgb[0] = c & 255;
    rgb[1] = c >> 8 & 255;
    rgb[2] = c >> 16 & 255;
}

int gfx16_encode_rows(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w,
                      int first_row, int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                      unsigned char *preview, ptrdiff_t preview_stride, const gfx16_layout *preview_layout)
{
    return encode_row_call(false, pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride,
                           preview, preview_stride, preview_layout);
}

int gfx16_encode_best_rows(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w,
                           int first_row, int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                           unsigned char *preview, ptrdiff_t preview_stride, const gfx16_layout *preview_layout)
{
    return encode_row_call(true, pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride,
                           preview, preview_stride, preview_layout);
}

int gfx16_decode_rows(const unsigned char *low, const unsigned char *high, ptrdiff_t carrier_stride, int w,
                      int rows, unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout)
{
    if (rows == 0 && w >= 1)
        return 0;
    if (!low || !high || !pixels || !valid_layout(layout) || !fits(w, rows, 4))
        return -1;
    const gfx16_layout l = *layout;
    return guarded([&] {
        bool done = for_rows(rows, (uint64_t)w * rows, [&](int first, int end) {
            decode_rows(low, high, carrier_stride, w, first, end, pixels, pixel_stride, l);
            return true;
        });
        return done ? 0 : -2;
    });
}

int gfx16_encode(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return gfx16_encode_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w, (ptrdiff_t)w * 2,
                             preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_best(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return gfx16_encode_best_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w,
                                  (ptrdiff_t)w * 2, preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_dithered(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return guarded([&] {
        // Every code is found before the first is written: a lack of memory
        // leaves the carrier as it was.
        std::unique_ptr<uint16_t, decltype(&free)> codes_memory((uint16_t *)malloc((size_t)w * h * 2), free);
        uint16_t *codes = codes_memory.get();
        if (!codes || dithered_codes(rgb, w, h, codes) != 0)
            return -2;
        const uint32_t *decoded = decoded_colours();
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint16_t code = codes[(size_t)y * w + x];
                carrier[(size_t)2 * y * w + x] = code_low_byte(code);
                carrier[(size_t)(2 * y + 1) * w + x] = code_high_byte(code);
                if (preview) {
                    uint32_t c = decoded[code];
                    put_pixel(preview + ((size_t)y * w + x) * 3, gfx16_rgb, c & 255, c >> 8 & 255, c >> 16);
                }
            }
        return 0;
    });
}

int gfx16_decode(const unsigned char *carrier, int w, int carrier_h, unsigned char *rgb)
{
    if (!carrier || !rgb || carrier_h < 2 || !fits(w, carrier_h, 3))
        return -1;
    return gfx16_decode_rows(carrier, carrier + w, (ptrdiff_t)w * 2, w, carrier_h / 2, rgb, (ptrdiff_t)w * 3,
                             &gfx16_rgb);
}

} // extern "C"
