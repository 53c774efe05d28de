// The vector loops against the plain loops they stand for, byte for byte:
// every layout of pixels and of previews, both row parities, widths 1 to 40
// (every length of a row's end that the vector loop leaves over, odd widths
// with their lone last column), with and without a preview, in place; and
// decoding likewise. The plain loops are held to independent answers by
// codec_golden (which runs on both paths) and CodecRows.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codec/simd.h"
#include "gfx16/codec.h"
#include "test_support.h"

namespace {

const gfx16_layout layouts[] = {gfx16_rgb, gfx16_bgr, gfx16_rgbx, gfx16_bgrx, {4, 3, 1, 0}, {3, 1, 2, 0}};
const uint8_t marker = 0xA5;
const int rows = 3, first_row = 1;  // odd, even, odd

// Greys, two channels sharing the largest, blacks and whites among random
// colours: each of the hue formulas and their ties.
std::vector<uint8_t> random_pixels(size_t count, Lcg &rng)
{
    std::vector<uint8_t> rgb(count * 3);
    for (size_t i = 0; i < count; i++) {
        uint32_t n = rng.next();
        uint8_t *p = &rgb[3 * i];
        for (int c = 0; c < 3; c++)
            p[c] = (uint8_t)(rng.next() >> 8);
        if (n % 5 == 0)
            p[1] = p[2] = p[0];
        else if (n % 5 == 1) {
            int a = (n >> 8) % 3, b = (a + 1 + (n >> 10) % 2) % 3;
            p[a] = p[b] = std::max(p[0], std::max(p[1], p[2]));
        }
        else if (n % 11 == 2)
            p[0] = p[1] = p[2] = n % 2 ? 0 : 255;
    }
    return rgb;
}

struct Encoded {
    std::vector<uint8_t> pixels, carrier, preview;
    bool operator==(const Encoded &o) const
    {
        return pixels == o.pixels && carrier == o.carrier && preview == o.preview;
    }
};

// Rows of w pixels in `in`, each row followed by 7 markers; the carrier
// likewise; the preview in `out` (none: null), or over the pixels.
Encoded encode(Simd level, const std::vector<uint8_t> &rgb, int w, const gfx16_layout &in, const gfx16_layout *out,
               bool in_place)
{
    const ptrdiff_t stride = (ptrdiff_t)w * in.bytes_per_pixel + 7, cstride = 2 * ((ptrdiff_t)w + 7);
    const ptrdiff_t out_stride = out ? (ptrdiff_t)w * out->bytes_per_pixel + 7 : 0;
    Encoded e{std::vector<uint8_t>((size_t)stride * rows, marker), std::vector<uint8_t>((size_t)cstride * rows, marker),
              std::vector<uint8_t>((size_t)out_stride * rows, marker)};
    for (int y = 0; y < rows; y++)
        for (int x = 0; x < w; x++) {
            uint8_t *p = &e.pixels[(size_t)(y * stride + x * in.bytes_per_pixel)];
            const uint8_t *c = &rgb[3 * ((size_t)y * w + x)];
            if (in.bytes_per_pixel == 4)
                p[6 - in.red - in.green - in.blue] = marker;
            p[in.red] = c[0], p[in.green] = c[1], p[in.blue] = c[2];
        }
    uint8_t *preview = in_place ? e.pixels.data() : out ? e.preview.data() : nullptr;
    Simd before = use_simd(level);
    EXPECT_EQ(gfx16_encode_rows(e.pixels.data(), stride, &in, w, first_row, rows, e.carrier.data(),
                                e.carrier.data() + w + 7, cstride, preview, in_place ? stride : out_stride,
                                in_place ? &in : out),
              0);
    use_simd(before);
    return e;
}

TEST(VectorLoops, EncodeAsThePlainLoop)
{
    if (simd_available() == Simd::scalar)
        GTEST_SKIP() << "the processor has no vector loop";
    gfx16_set_threads(1);
    Lcg rng(19);
    for (int w = 1; w <= 40; w++)
        for (int i = 0; i < 6; i++) {
            const gfx16_layout &in = layouts[i], &out = layouts[(i + w) % 6];
            std::vector<uint8_t> rgb = random_pixels((size_t)w * rows, rng);
            for (int variant = 0; variant < 3; variant++) {  // no preview, a preview, a preview in place
                SCOPED_TRACE(testing::Message() << "width " << w << ", layout " << i << ", variant " << variant);
                const gfx16_layout *preview = variant == 1 ? &out : nullptr;
                EXPECT_TRUE(encode(Simd::avx2, rgb, w, in, preview, variant == 2) ==
                            encode(Simd::scalar, rgb, w, in, preview, variant == 2));
            }
        }
    gfx16_set_threads(0);
}

std::vector<uint8_t> decode(Simd level, const std::vector<uint8_t> &carrier, int w, const gfx16_layout &out)
{
    const ptrdiff_t stride = (ptrdiff_t)w * out.bytes_per_pixel + 7;
    std::vector<uint8_t> pixels((size_t)stride * rows, marker);
    Simd before = use_simd(level);
    EXPECT_EQ(gfx16_decode_rows(carrier.data(), carrier.data() + w, 2 * w, w, rows, pixels.data(), stride, &out), 0);
    use_simd(before);
    return pixels;
}

TEST(VectorLoops, DecodeAsThePlainLoop)
{
    if (simd_available() == Simd::scalar)
        GTEST_SKIP() << "the processor has no vector loop";
    Lcg rng(16);
    for (int w = 1; w <= 40; w++)
        for (const gfx16_layout &out : layouts) {
            SCOPED_TRACE(testing::Message() << "width " << w << ", layout " << out.bytes_per_pixel << out.red
                                            << out.green << out.blue);
            std::vector<uint8_t> carrier((size_t)2 * w * rows);
            for (uint8_t &b : carrier)
                b = (uint8_t)(rng.next() >> 8);
            EXPECT_EQ(decode(Simd::avx2, carrier, w, out), decode(Simd::scalar, carrier, w, out));
        }
}

} // namespace
