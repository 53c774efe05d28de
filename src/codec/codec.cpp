// The calls of <gfx16/codec.h>: arguments checked, rows shared out among
// threads, and nothing thrown out of the library.
#include "gfx16/codec.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/bmp.h"
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

// w * rows * bytes, or 0 when a size is below 1 or the product is more
// than a buffer can hold (strides are ptrdiff_t).
size_t buffer_bytes(int w, int rows, int bytes)
{
    if (w < 1 || rows < 1 || (uint64_t)w * (uint64_t)rows > (uint64_t)PTRDIFF_MAX / (unsigned)bytes)
        return 0;
    return (size_t)w * rows * bytes;
}

// The row calls' pixels, with strides and 4-byte layouts: twice a picture's
// bytes fit.
bool fits(int w, int rows, int bytes) { return buffer_bytes(w, rows, 2 * bytes) != 0; }

// The arguments of a row call, checked: 1 and the job to do, or what the
// call returns (GFX16_OK for no rows, GFX16_EINVAL for bad arguments).
int make_job(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w, int first_row,
             int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride, unsigned char *preview,
             ptrdiff_t preview_stride, const gfx16_layout *preview_layout, RowJob *j)
{
    if (rows == 0 && w >= 1)
        return GFX16_OK;
    // The end of the range, first_row + rows, must be an int too.
    if (!pixels || !low || !high || !valid_layout(layout) || first_row < 0 || !fits(w, rows, 4) ||
        rows > INT_MAX - first_row || (preview && !valid_layout(preview_layout)))
        return GFX16_EINVAL;
    *j = {pixels, pixel_stride, *layout, w, first_row, low, high, carrier_stride,
          preview, preview_stride, preview ? *preview_layout : gfx16_rgb};
    return 1;
}

// A call of the library: its error code, and GFX16_ENOMEM for any
// exception (there is no other way for one to get out: every allocation
// that can fail says so by its result, but a caller's program must not end
// for our sake).
template <class Call>
int guarded(Call call) noexcept
{
    try {
        return call();
    } catch (...) {
        return GFX16_ENOMEM;
    }
}

// gfx16_encode_rows (the format's encoder) or gfx16_encode_best_rows. A
// template, so that a program calling only the first links nothing of the
// second's nearest codes, whose table takes 6.8 MB.
template <bool best>
int encode_row_call(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout,
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
        const uint64_t count = (uint64_t)w * rows;
        if constexpr (!best) {
            // On this thread, once; the plain loops look the levels up.
            encoder_tables((simd_level() == Simd::scalar ? LEVEL_TABLES : 0) | (j.preview ? PREVIEW_TABLES : 0));
            for_rows(rows, count, [&](int first, int end) {
                encode_rows(j, first, end);
                return true;
            });
            return GFX16_OK;
        } else {
            // Every cell of answers the rows reach is made before a row is
            // written. The search takes memory for them, and a lack of it
            // then leaves the carrier as it was. Read from the library's
            // table they take none, but the pass still pays: the lookups
            // after it never read a page of answers before it is written,
            // which would have the system give that page twice.
            if (!for_rows(rows, count, [&](int first, int end) { return reach_best_rows(j, first, end); }))
                return GFX16_ENOMEM;
            return for_rows(rows, count, [&](int first, int end) { return encode_best_rows(j, first, end); })
                       ? GFX16_OK
                       : GFX16_ENOMEM;
        }
    });
}

} // namespace

extern "C" {

const char *gfx16_version(void) { return GFX16_VERSION_STRING; }

const char *gfx16_strerror(int code)
{
    switch (code) {
    case GFX16_OK:
        return "no error";
    case GFX16_EINVAL:
        return "bad arguments: a null pointer, a size below 1 or too large, a bad layout, or a buffer too small";
    case GFX16_ENOMEM:
        return "not enough memory";
    case GFX16_EFORMAT:
        return "not a carrier: the bytes are no paletted BMP of 2 rows or more, or it is damaged";
    default:
        return "unknown error code";
    }
}

size_t gfx16_carrier_bytes(int w, int h) { return buffer_bytes(w, h, 2); }

size_t gfx16_picture_bytes(int w, int h) { return buffer_bytes(w, h, 3); }

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
    return encode_row_call<false>(pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride,
                                  preview, preview_stride, preview_layout);
}

int gfx16_encode_best_rows(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w,
                           int first_row, int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                           unsigned char *preview, ptrdiff_t preview_stride, const gfx16_layout *preview_layout)
{
    return encode_row_call<true>(pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride,
                                 preview, preview_stride, preview_layout);
}

int gfx16_decode_rows(const unsigned char *low, const unsigned char *high, ptrdiff_t carrier_stride, int w,
                      int rows, unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout)
{
    if (rows == 0 && w >= 1)
        return GFX16_OK;
    if (!low || !high || !pixels || !valid_layout(layout) || !fits(w, rows, 4))
        return GFX16_EINVAL;
    const gfx16_layout l = *layout;
    return guarded([&] {
        for_rows(rows, (uint64_t)w * rows, [&](int first, int end) {
            decode_rows(low, high, carrier_stride, w, first, end, pixels, pixel_stride, l);
            return true;
        });
        return GFX16_OK;
    });
}

int gfx16_encode(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !gfx16_picture_bytes(w, h))
        return GFX16_EINVAL;
    return gfx16_encode_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w, (ptrdiff_t)w * 2,
                             preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_best(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !gfx16_picture_bytes(w, h))
        return GFX16_EINVAL;
    return gfx16_encode_best_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w,
                                  (ptrdiff_t)w * 2, preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_dithered(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !gfx16_picture_bytes(w, h))
        return GFX16_EINVAL;
    return guarded([&] {
        // Every code is found before the first is written: a lack of memory
        // leaves the carrier as it was.
        std::unique_ptr<uint16_t, decltype(&free)> codes_memory((uint16_t *)malloc(gfx16_carrier_bytes(w, h)), free);
        uint16_t *codes = codes_memory.get();
        if (!codes || dithered_codes(rgb, w, h, codes) != 0)
            return GFX16_ENOMEM;
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
        return GFX16_OK;
    });
}

int gfx16_decode(const unsigned char *carrier, int w, int carrier_h, unsigned char *rgb)
{
    if (!carrier || !rgb || !gfx16_picture_bytes(w, carrier_h / 2) || !buffer_bytes(w, carrier_h, 1))
        return GFX16_EINVAL;
    return gfx16_decode_rows(carrier, carrier + w, (ptrdiff_t)w * 2, w, carrier_h / 2, rgb, (ptrdiff_t)w * 3,
                             &gfx16_rgb);
}

int gfx16_carrier_to_bmp(const unsigned char *carrier, int w, int carrier_h, gfx16_write_func *write,
                         void *context)
{
    if (!carrier || !write || w < 1 || w > bmp_max_side || carrier_h < 2 || carrier_h > 2 * bmp_max_side)
        return GFX16_EINVAL;
    // Gathered in a buffer on the stack, so that `write` takes some
    // kilobytes at a time and the call needs no memory.
    unsigned char out[16384];
    size_t used = 0;
    auto put = [&](const unsigned char *bytes, size_t n) {
        while (n > 0) {
            if (used == sizeof out) {
                write(context, out, used);
                used = 0;
            }
            size_t part = std::min(n, sizeof out - used);
            memcpy(out + used, bytes, part);
            used += part, bytes += part, n -= part;
        }
    };
    unsigned char header[bmp_header_most];
    bmp_header(w, carrier_h, 8, header);
    put(header, bmp_header_size(8));
    static const unsigned char padding[3] = {0, 0, 0};
    for (int y = carrier_h - 1; y >= 0; y--) {
        put(carrier + (size_t)y * w, w);
        put(padding, (size_t)bmp_stride(w, 8) - w);
    }
    write(context, out, used);
    return GFX16_OK;
}

int gfx16_carrier_from_bmp(const void *bmp, size_t size, unsigned char *carrier, size_t capacity, int *w,
                           int *carrier_h)
{
    if (!bmp || !w || !carrier_h)
        return GFX16_EINVAL;
    const uint8_t *file = (const uint8_t *)bmp;
    BmpInfo info;
    if (bmp_parse_header(file, size, size, 2 * bmp_max_side, true, &info) || info.bpp > 8 || info.height < 2)
        return GFX16_EFORMAT;
    *w = info.width;
    *carrier_h = info.height;
    if (!carrier || capacity < (size_t)info.width * info.height)
        return GFX16_EINVAL;
    return bmp_read_indices(file, info, carrier) ? GFX16_EFORMAT : GFX16_OK;
}

} // extern "C"
