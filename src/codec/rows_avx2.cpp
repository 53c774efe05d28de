#include "codec/rows_avx2.h"

#include <cstring>

VectorLayout vector_layout(const gfx16_layout &l)
{
    VectorLayout v;
    const int n = l.bytes_per_pixel, offset[3] = {l.red, l.green, l.blue};
    v.bytes = n;
    for (int i = 0; i < 8; i++)
        v.spread[i] = n == 4 ? i : i < 4 ? i : i - 1;  // 3 bytes: dwords 3-6 hold bytes 12-27
    for (int c = 0; c < 3; c++)
        for (int i = 0; i < 32; i++)
            v.channel[c][i] = i % 4 ? 0x80 : (uint8_t)(i % 16 / 4 * n + offset[c]);
    // 0x80 writes a zero: a 4-byte pixel's spare byte, and the bytes of a
    // half past its 12 for 3-byte pixels.
    for (int i = 0; i < 32; i++)
        v.place[i] = 0x80;
    for (int half = 0; half < 2; half++)
        for (int pixel = 0; pixel < 4; pixel++)
            for (int c = 0; c < 3; c++)
                v.place[16 * half + pixel * n + offset[c]] = (uint8_t)(4 * pixel + c);
    const int32_t join[8] = {0, 1, 2, 4, 5, 6, 3, 7};
    for (int i = 0; i < 8; i++)
        v.join[i] = n == 4 ? i : join[i];
    return v;
}

#if GFX16_X86_VECTORS

#include <immintrin.h>

#define AVX2 __attribute__((target("avx2")))

namespace {

AVX2 inline __m256i load(const void *p) { return _mm256_loadu_si256((const __m256i *)p); }

// Eight pixels' colours (red | green << 8 | blue << 16 in each lane, the
// top byte anything) written in a layout: 24 or 32 bytes, no more.
AVX2 inline void store_pixels(uint8_t *to, __m256i colours, const VectorLayout &l, __m256i place, __m256i join)
{
    __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(colours, place), join);
    if (l.bytes == 4) {
        _mm256_storeu_si256((__m256i *)to, bytes);
    } else {
        _mm_storeu_si128((__m128i *)to, _mm256_castsi256_si128(bytes));
        _mm_storel_epi64((__m128i *)(to + 16), _mm256_extracti128_si256(bytes, 1));
    }
}

// The preview channels of two first pixels, one in each half: `entries`
// holds, in 16-bit lanes 0-3, a PreviewEntry's whole parts and in lanes
// 4-7 its round-up points; `err` the pixel's brightness error in all
// lanes. Channel = base + (base >= round-up point), base = err + whole
// part, held within 0..254 (preview_from).
AVX2 inline __m256i first_previews(__m256i entries, __m256i err)
{
    __m256i base = _mm256_add_epi16(entries, err);
    __m256i round_up_from = _mm256_bsrli_epi128(entries, 8);
    __m256i up = _mm256_cmpgt_epi16(base, _mm256_sub_epi16(round_up_from, _mm256_set1_epi16(1)));
    __m256i channel = _mm256_sub_epi16(base, up);
    return _mm256_min_epi16(_mm256_max_epi16(channel, _mm256_setzero_si256()), _mm256_set1_epi16(254));
}

// The pixel levels of tables.cpp worked out on the spot: a table lookup
// for each would cost more than the arithmetic.
//
// The fine hue. RGBtoHSV's hue is 60 (off + diff / delta) degrees (off 0, 2
// or 4 by the formula), plus 360 when negative, and the fine level is
// floor(h * 128 / 360), i.e. floor(64 n / (3 delta)) with n = off delta +
// diff, or 6 delta more when the hue was negative. Its float roundings
// (about 2^-24 of h each) never carry it over a level: where that quotient
// is not a whole number it is at least 1 / (3 delta) from one, and where it
// is, n / delta is a multiple of 3/64 and every step is exact. The same
// holds for the quotient in float (n and 3 delta are exact), truncated.
AVX2 inline __m256i fine_hue(__m256i n, __m256i delta)
{
    // Grey (delta 0, n 0) has level 0, as NaN has in hue_level.
    __m256i at_least_1 = _mm256_max_epi32(delta, _mm256_set1_epi32(1));
    __m256i divisor = _mm256_add_epi32(at_least_1, _mm256_slli_epi32(at_least_1, 1));
    return _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(n, 6)), _mm256_cvtepi32_ps(divisor)));
}

// The saturation s is delta / max rounded to float, as RGBtoHSV stores it:
// for integers below 2^24 a quotient rounded to double and then to float is
// the quotient rounded to float (53 bits are more than twice 24 + 1). Then
// trunc(s * 255), of s 0 or 1/255 to 1, exactly: with s = m 2^-k (m its
// 24-bit significand) it is 255 m >> k.
AVX2 inline __m256i saturation_255(__m256 s)
{
    __m256i bits = _mm256_castps_si256(s);
    __m256i m = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi32(0x7fffff)), _mm256_set1_epi32(0x800000));
    __m256i k = _mm256_sub_epi32(_mm256_set1_epi32(150), _mm256_srli_epi32(bits, 23));  // 0 gives k = 150: 0
    return _mm256_srlv_epi32(_mm256_sub_epi32(_mm256_slli_epi32(m, 8), m), k);
}

// The saturation fields of first pixels (even lanes) and second pixels (odd
// lanes): first_saturation and second_saturation.
AVX2 inline __m256i even_saturations(__m256 s)
{
    __m256i sat255 = saturation_255(s), seven = _mm256_set1_epi32(7);
    __m256i near32 = _mm256_add_epi32(sat255, _mm256_set1_epi32(24));
    __m256i up4 = _mm256_and_si256(_mm256_add_epi32(sat255, _mm256_set1_epi32(3)), _mm256_set1_epi32(~3));
    __m256i flag = _mm256_cmpgt_epi32(up4, _mm256_and_si256(near32, _mm256_set1_epi32(~31)));
    __m256i first = _mm256_min_epi32(_mm256_sub_epi32(_mm256_srli_epi32(near32, 5), flag), seven);
    __m256i second = _mm256_min_epi32(_mm256_cvttps_epi32(_mm256_mul_ps(s, _mm256_set1_ps(8.0f))), seven);
    return _mm256_blend_epi32(first, second, 0xAA);
}

AVX2 inline __m256i odd_saturations(__m256 s)
{
    __m256i rounding = _mm256_setr_epi32(24, 16, 24, 16, 24, 16, 24, 16);
    return _mm256_min_epi32(_mm256_srli_epi32(_mm256_add_epi32(saturation_255(s), rounding), 5), _mm256_set1_epi32(7));
}

// `count` pixels (a multiple of 8) of a row whose 32-byte loads all stay
// in the row. Lanes 0, 2, 4 and 6 hold first pixels of pairs and lanes 1,
// 3, 5 and 7 second pixels; a first pixel's carry and hue flag move to its
// partner's lane by a 64-bit shift. Each step is encode_levels' on eight
// pixels.
AVX2 void encode_run(const EncoderTables &t, const uint32_t *decoded, const VectorLayout &in, const uint8_t *px,
                     int count, int odd_row, uint8_t *low, uint8_t *high, uint8_t *preview, const VectorLayout *out)
{
    const __m256i spread = load(in.spread), pick_red = load(in.channel[0]), pick_green = load(in.channel[1]),
                  pick_blue = load(in.channel[2]);
    const __m256i one = _mm256_set1_epi32(1), first_ones = _mm256_set_epi32(0, 1, 0, 1, 0, 1, 0, 1);
    const __m256i bytes_of_codes = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, -1, -1, -1, -1, -1, -1, -1, -1, 0,
                                                    4, 8, 12, 1, 5, 9, 13, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i join_codes = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    const __m256i place = out ? load(out->place) : one, join = out ? load(out->join) : one;
    const int *quant_table = (const int *)t.quant_brightness[0][0];
    for (int x = 0; x < count; x += 8) {
        __m256i raw = _mm256_permutevar8x32_epi32(load(px + x * in.bytes), spread);
        __m256i r = _mm256_shuffle_epi8(raw, pick_red), g = _mm256_shuffle_epi8(raw, pick_green),
                b = _mm256_shuffle_epi8(raw, pick_blue);

        // pixel_levels, without its tables. Red's formula first, then green's.
        __m256i max = _mm256_max_epi32(r, _mm256_max_epi32(g, b));
        __m256i delta = _mm256_sub_epi32(max, _mm256_min_epi32(r, _mm256_min_epi32(g, b)));
        __m256i red_max = _mm256_cmpeq_epi32(r, max);
        __m256i green_max = _mm256_andnot_si256(red_max, _mm256_cmpeq_epi32(g, max));
        __m256i diff = _mm256_blendv_epi8(_mm256_sub_epi32(r, g), _mm256_sub_epi32(b, r), green_max);
        diff = _mm256_blendv_epi8(diff, _mm256_sub_epi32(g, b), red_max);
        // fine_hue's n: 4 delta + diff (blue), 2 delta + diff (green), diff
        // or 6 delta + diff (red, as the difference is negative).
        __m256i off = _mm256_blendv_epi8(_mm256_slli_epi32(delta, 2), _mm256_slli_epi32(delta, 1), green_max);
        __m256i red_off = _mm256_and_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), diff),
                                           _mm256_mullo_epi16(delta, _mm256_set1_epi32(6)));
        __m256i fine = fine_hue(_mm256_add_epi32(_mm256_blendv_epi8(off, red_off, red_max), diff), delta);
        // Black's saturation is 0, not 0 / 0.
        __m256 s = _mm256_div_ps(_mm256_cvtepi32_ps(delta), _mm256_cvtepi32_ps(_mm256_max_epi32(max, one)));
        __m256i sat = odd_row ? odd_saturations(s) : even_saturations(s);
        // The brightness, (r + g + b) / 3 truncated, is (r + g + b) * 21846
        // >> 16 for sums up to 765.
        __m256i sum = _mm256_add_epi32(_mm256_add_epi32(r, g), b);
        __m256i brightness = _mm256_mulhi_epu16(sum, _mm256_set1_epi32(21846));

        // encode_levels
        __m256i carry = _mm256_and_si256(_mm256_slli_epi32(max, 1), _mm256_slli_epi32(first_ones, 1));
        __m256i value = _mm256_andnot_si256(first_ones, max);
        __m256i hue_flag = _mm256_and_si256(fine, first_ones);
        if (odd_row) {
            carry = _mm256_slli_epi64(carry, 32);
            hue_flag = _mm256_slli_epi64(hue_flag, 32);
        }
        __m256i hue = _mm256_add_epi32(_mm256_srli_epi32(fine, 1), hue_flag);
        hue = _mm256_min_epi32(hue, _mm256_set1_epi32(63));
        // quant_brightness[sat][hue][value], a byte read as the low end of a
        // 4-byte word.
        __m256i quant_at = _mm256_or_si256(_mm256_slli_epi32(sat, 14), _mm256_slli_epi32(hue, 8));
        quant_at = _mm256_or_si256(quant_at, value);
        __m256i quant = _mm256_and_si256(_mm256_i32gather_epi32(quant_table, quant_at, 1), _mm256_set1_epi32(255));
        __m256i err = _mm256_add_epi32(_mm256_sub_epi32(brightness, quant), carry);
        __m256i field = _mm256_max_epi32(_mm256_add_epi32(err, value), _mm256_setzero_si256());
        field = _mm256_srli_epi32(_mm256_min_epi32(field, _mm256_set1_epi32(254)), 1);
        __m256i code = _mm256_or_si256(_mm256_or_si256(field, _mm256_slli_epi32(hue, 7)), _mm256_slli_epi32(sat, 13));

        __m256i lows_highs = _mm256_shuffle_epi8(code, bytes_of_codes);
        __m128i bytes = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(lows_highs, join_codes));
        _mm_storel_epi64((__m128i *)(low + x), bytes);
        _mm_storel_epi64((__m128i *)(high + x), _mm_unpackhi_epi64(bytes, bytes));

        if (preview) {
            // First pixels: their PreviewEntry (quant_at / 2 indexes
            // [saturation][hue][value / 2]) and error; second pixels: the
            // colours of their codes.
            __m256i evens = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
            __m256i entry_at = _mm256_permutevar8x32_epi32(_mm256_srli_epi32(quant_at, 1), evens);
            __m256i entries = _mm256_i32gather_epi64((const long long *)t.quant_preview[0][0],
                                                     _mm256_castsi256_si128(entry_at), 8);
            // Lanes 0 and 4 take the low entry of each half, 2 and 6 the high.
            __m256i err_low = _mm256_shuffle_epi8(err, _mm256_set1_epi16(0x0100));
            __m256i err_high = _mm256_shuffle_epi8(err, _mm256_set1_epi16(0x0908));
            __m256i zero = _mm256_setzero_si256();
            __m256i first = _mm256_packus_epi16(first_previews(_mm256_unpacklo_epi8(entries, zero), err_low),
                                                first_previews(_mm256_unpackhi_epi8(entries, zero), err_high));
            __m256i second = _mm256_i32gather_epi32((const int *)decoded, code, 4);
            store_pixels(preview + x * out->bytes, _mm256_blend_epi32(first, second, 0xAA), *out, place, join);
        }
    }
}

AVX2 void decode_run(const uint32_t *colours, const uint8_t *low, const uint8_t *high, int count, uint8_t *pixels,
                     const VectorLayout &out)
{
    const __m256i place = load(out.place), join = load(out.join);
    for (int x = 0; x < count; x += 8) {
        __m256i lows = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)(low + x)));
        __m256i highs = _mm256_cvtepu8_epi32(_mm_loadl_epi64((const __m128i *)(high + x)));
        __m256i code = _mm256_or_si256(lows, _mm256_slli_epi32(highs, 8));
        store_pixels(pixels + x * out.bytes, _mm256_i32gather_epi32((const int *)colours, code, 4), out, place, join);
    }
}

} // namespace

void encode_row_avx2(const EncoderTables &t, const uint32_t *decoded, const VectorLayout &in, const uint8_t *px, int w,
                     int odd_row, uint8_t *low, uint8_t *high, uint8_t *preview, const VectorLayout *out)
{
    // A load takes 32 bytes: for 3-byte pixels eight past the eighth pixel,
    // which must still be in the row.
    const int n = in.bytes == 4 ? w & ~7 : w >= 11 ? (w - 3) & ~7 : 0;
    encode_run(t, decoded, in, px, n, odd_row, low, high, preview, out);
    if (n == w)
        return;
    // The rest, fewer than 11 pixels, from a copy padded with white: the
    // partner of an odd width's last column reads as white.
    const int rest = w - n, ob = out ? out->bytes : 0;
    alignas(32) uint8_t pixels[16 * 4 + 32], lows[16], highs[16], previews[16 * 4];
    memset(pixels, 255, sizeof pixels);
    memcpy(pixels, px + n * in.bytes, (size_t)rest * in.bytes);
    encode_run(t, decoded, in, pixels, (rest + 7) & ~7, odd_row, lows, highs, out ? previews : nullptr, out);
    memcpy(low + n, lows, rest);
    memcpy(high + n, highs, rest);
    if (out)
        memcpy(preview + n * ob, previews, (size_t)rest * ob);
}

void decode_row_avx2(const uint32_t *colours, const uint8_t *low, const uint8_t *high, int w, uint8_t *pixels,
                     const VectorLayout &out)
{
    const int n = w & ~7;
    decode_run(colours, low, high, n, pixels, out);
    if (n == w)
        return;
    alignas(32) uint8_t lows[8] = {0}, highs[8] = {0}, colours_out[8 * 4];
    memcpy(lows, low + n, w - n);
    memcpy(highs, high + n, w - n);
    decode_run(colours, lows, highs, 8, colours_out, out);
    memcpy(pixels + n * out.bytes, colours_out, (size_t)(w - n) * out.bytes);
}

#endif
