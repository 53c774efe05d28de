// The codec's row calls in every layout, stride, order and slicing the
// programs use, and the Allegro adapter over them, against gfx16_encode on
// plain RGB (whose carriers and previews codec_golden checks against an
// independent implementation) and the golden table of decoded colours;
// nothing is written outside the rows. Worked codes pin what the golden
// pictures leave out: an odd width's lone last column.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/code.h"
#include "gfx16/codec.h"
#include "programs/gfx16/bitmap_codec.h"
#include "test_support.h"

namespace {

using Rgb = std::array<uint8_t, 3>;

// Runs of similar colours with jumps, as in photographs, and some greys,
// blacks and whites.
std::vector<Rgb> random_picture(int w, int h, uint64_t seed)
{
    std::vector<Rgb> p((size_t)w * h);
    Lcg rng(seed);
    int r = 0, g = 0, b = 0;
    for (Rgb &c : p) {
        uint32_t n = rng.next();
        if (n % 7 == 0) {
            r = rng.next() & 255, g = rng.next() & 255, b = rng.next() & 255;
        } else if (n % 23 == 1) {
            r = g = b = (n % 3 == 0) ? 0 : (n % 3 == 1) ? 255 : (int)(rng.next() & 255);
        } else {
            r = std::min(255, std::max(0, r + (int)(n >> 8) % 9 - 4));
            g = std::min(255, std::max(0, g + (int)(n >> 12) % 9 - 4));
            b = std::min(255, std::max(0, b + (int)(n >> 16) % 9 - 4));
        }
        c = {(uint8_t)r, (uint8_t)g, (uint8_t)b};
    }
    return p;
}

// The carrier (w x 2h) and preview of gfx16_encode.
void plain_encoding(const std::vector<Rgb> &p, int w, int h, std::vector<uint8_t> *carrier, std::vector<Rgb> *preview)
{
    carrier->assign((size_t)w * 2 * h, 0);
    preview->assign((size_t)w * h, Rgb{});
    ASSERT_EQ(gfx16_encode(p[0].data(), w, h, carrier->data(), (*preview)[0].data()), 0);
}

// The colour of every code, from the golden table.
const std::vector<Rgb> &golden_colours()
{
    static std::vector<Rgb> colours = [] {
        std::vector<Rgb> c(65536);
        FILE *f = fopen(GOLDEN_DIR "/decoded-codes.rgb", "rb");
        if (!f || fread(c.data(), 3, 65536, f) != 65536)
            c.clear();
        if (f)
            fclose(f);
        return c;
    }();
    return colours;
}

const uint8_t marker = 0xA5;

// Rows of pixels in a layout, each row padded with markers, with room of
// markers before the first row and after the last.
struct Rows {
    int w, h, bytes;
    gfx16_layout layout;
    ptrdiff_t stride;
    std::vector<uint8_t> memory;
    Rows(int width, int height, const gfx16_layout &l)
        : w(width), h(height), bytes(l.bytes_per_pixel), layout(l), stride((ptrdiff_t)w * l.bytes_per_pixel + 5),
          memory((size_t)(stride * (h + 2)), marker)
    {
    }
    // Row y, in memory top row first or (bottom_up) last row first.
    uint8_t *row(int y, bool bottom_up) { return memory.data() + stride * (1 + (bottom_up ? h - 1 - y : y)); }
    void put(int y, bool bottom_up, const std::vector<Rgb> &p)
    {
        for (int x = 0; x < w; x++) {
            uint8_t *q = row(y, bottom_up) + x * bytes;
            if (bytes == 4)
                q[6 - layout.red - layout.green - layout.blue] = 0x5A;  // the spare byte is not read
            q[layout.red] = p[(size_t)y * w + x][0];
            q[layout.green] = p[(size_t)y * w + x][1];
            q[layout.blue] = p[(size_t)y * w + x][2];
        }
    }
    Rgb get(int y, bool bottom_up, int x)
    {
        uint8_t *q = row(y, bottom_up) + x * bytes;
        return {q[layout.red], q[layout.green], q[layout.blue]};
    }
    // Everything outside the pixels is still a marker, and a spare byte 0
    // once written.
    bool untouched_outside(bool written)
    {
        for (int y = -1; y <= h; y++)
            for (ptrdiff_t i = 0; i < stride; i++) {
                bool inside = y >= 0 && y < h && i < (ptrdiff_t)w * bytes;
                uint8_t v = memory[(size_t)(stride * (1 + y) + i)];
                if (!inside && v != marker)
                    return false;
                if (inside && bytes == 4 && i % 4 == 6 - layout.red - layout.green - layout.blue &&
                    v != (written ? 0 : 0x5A))
                    return false;
            }
        return true;
    }
};

const gfx16_layout layouts[] = {gfx16_rgb, gfx16_bgr, gfx16_rgbx, gfx16_bgrx, {4, 3, 1, 0}, {3, 1, 2, 0}};

// Encoding in slices of rows from any layout, either order of rows in
// memory, into a carrier in any order and a preview in another layout (or
// over the pixels themselves, as the desktop program does), on one thread
// and on three, gives gfx16_encode's bytes.
TEST(CodecRows, EncodeAnyLayoutSliceAndOrder)
{
    const int sizes[][2] = {{1, 1}, {1, 4}, {2, 3}, {3, 3}, {5, 1}, {64, 33}, {301, 257}};
    for (const auto &size : sizes)
        for (const gfx16_layout &in_layout : layouts)
            for (int variant = 0; variant < 5; variant++) {
                const int w = size[0], h = size[1];
                const bool bottom_up = variant & 1, in_place = variant == 4;
                const int slice = variant & 2 ? 7 : h;
                const gfx16_layout &out_layout = in_place ? in_layout : layouts[(variant + 1) % 6];
                SCOPED_TRACE(testing::Message() << w << "x" << h << " layout " << in_layout.bytes_per_pixel
                                                << in_layout.red << in_layout.green << in_layout.blue << " variant "
                                                << variant);
                std::vector<Rgb> picture = random_picture(w, h, (uint64_t)w * 1000 + h + variant), preview_want;
                std::vector<uint8_t> carrier_want;
                plain_encoding(picture, w, h, &carrier_want, &preview_want);

                Rows in(w, h, in_layout), other(w, h, out_layout);
                Rows &out = in_place ? in : other;
                for (int y = 0; y < h; y++)
                    in.put(y, bottom_up, picture);
                std::vector<uint8_t> carrier((size_t)w * 2 * h + 16, marker);
                gfx16_set_threads(variant & 1 ? 3 : 1);
                for (int first = 0; first < h; first += slice) {
                    int rows = std::min(slice, h - first);
                    // The carrier bottom-up too when the picture is: rows 2y + 1 above 2y.
                    uint8_t *low = bottom_up ? carrier.data() + 8 + (size_t)(2 * h - 1 - 2 * first) * w
                                             : carrier.data() + 8 + (size_t)2 * first * w;
                    uint8_t *high = bottom_up ? low - w : low + w;
                    ptrdiff_t cstride = bottom_up ? -2 * (ptrdiff_t)w : 2 * (ptrdiff_t)w;
                    ptrdiff_t stride = bottom_up ? -in.stride : in.stride;
                    ASSERT_EQ(gfx16_encode_rows(in.row(first, bottom_up), stride, &in_layout, w, first, rows, low,
                                                high, cstride, out.row(first, bottom_up && in_place),
                                                in_place ? stride : out.stride, &out_layout),
                              0);
                }
                gfx16_set_threads(0);
                for (int y = 0; y < 2 * h; y++)
                    for (int x = 0; x < w; x++) {
                        size_t at = 8 + (size_t)(bottom_up ? 2 * h - 1 - y : y) * w + x;
                        ASSERT_EQ(carrier[at], carrier_want[(size_t)y * w + x]) << x << "," << y;
                    }
                for (int i = 0; i < 8; i++)
                    ASSERT_TRUE(carrier[i] == marker && carrier[carrier.size() - 1 - i] == marker);
                for (int y = 0; y < h; y++)
                    for (int x = 0; x < w; x++)
                        ASSERT_EQ(out.get(y, bottom_up && in_place, x), preview_want[(size_t)y * w + x]) << x << "," << y;
                EXPECT_TRUE(out.untouched_outside(true));
                if (!in_place) {
                    EXPECT_TRUE(in.untouched_outside(false));
                }
            }
}

// Decoding in any layout gives every code its colour in the golden table;
// an odd last carrier row is never read.
TEST(CodecRows, DecodeAnyLayout)
{
    const std::vector<Rgb> &want = golden_colours();
    ASSERT_FALSE(want.empty()) << "cannot read " GOLDEN_DIR "/decoded-codes.rgb";
    const int w = 256, h = 256;
    std::vector<uint8_t> carrier((size_t)w * 2 * h + w);
    for (int code = 0; code < 65536; code++) {
        carrier[(size_t)2 * (code / 256) * w + code % 256] = code_low_byte((uint16_t)code);
        carrier[(size_t)(2 * (code / 256) + 1) * w + code % 256] = code_high_byte((uint16_t)code);
    }
    for (const gfx16_layout &layout : layouts) {
        SCOPED_TRACE(testing::Message() << layout.bytes_per_pixel << layout.red << layout.green << layout.blue);
        Rows out(w, h, layout);
        ASSERT_EQ(gfx16_decode_rows(carrier.data(), carrier.data() + w, 2 * w, w, h, out.row(0, false), out.stride,
                                    &layout),
                  0);
        for (int code = 0; code < 65536; code++)
            ASSERT_EQ(out.get(code / 256, false, code % 256), want[code]) << code;
        EXPECT_TRUE(out.untouched_outside(true));
    }
}

// Every row call refuses bad arguments with -1 and writes nothing; a range
// of rows that ends past INT_MAX is one (the rows' numbers decide their
// parity), one that ends at INT_MAX is not.
TEST(CodecRows, BadArgumentsAreRefusedUntouched)
{
    const gfx16_layout bad_layouts[] = {{2, 0, 1, 2}, {3, 0, 0, 2}, {3, 0, 1, 3}, {4, -1, 1, 2},
                                        {3, 0, 1, 0}, {4, 2, 1, 1}};
    typedef decltype(&gfx16_encode_rows) RowCall;
    const struct {
        const char *what;
        RowCall call;
        const gfx16_layout *layout;
        int w, first_row, rows;
        bool preview;
        int status;
    } cases[] = {
        {"2 bytes a pixel", gfx16_encode_rows, &bad_layouts[0], 4, 0, 2, false, -1},
        {"red and green at one offset", gfx16_encode_rows, &bad_layouts[1], 4, 0, 2, false, -1},
        {"a channel past the pixel", gfx16_encode_best_rows, &bad_layouts[2], 4, 0, 2, false, -1},
        {"a channel before the pixel", gfx16_encode_rows, &bad_layouts[3], 4, 0, 2, false, -1},
        {"red and blue at one offset", gfx16_encode_rows, &bad_layouts[4], 4, 0, 2, false, -1},
        {"green and blue at one offset", gfx16_encode_best_rows, &bad_layouts[5], 4, 0, 2, false, -1},
        {"no layout", gfx16_encode_best_rows, nullptr, 4, 0, 2, false, -1},
        {"width 0", gfx16_encode_rows, &gfx16_rgb, 0, 0, 2, false, -1},
        {"negative first row", gfx16_encode_rows, &gfx16_rgb, 4, -1, 2, false, -1},
        {"negative rows", gfx16_encode_best_rows, &gfx16_rgb, 4, 0, -1, false, -1},
        {"a preview without its layout", gfx16_encode_rows, &gfx16_rgb, 4, 0, 2, true, -1},
        {"rows INT_MAX and on", gfx16_encode_rows, &gfx16_rgb, 4, INT_MAX, 2, false, -1},
        {"rows INT_MAX and on", gfx16_encode_best_rows, &gfx16_rgb, 4, INT_MAX, 2, false, -1},
        {"rows to INT_MAX + 1", gfx16_encode_rows, &gfx16_rgb, 4, INT_MAX - 1, 2, false, -1},
        {"rows to INT_MAX", gfx16_encode_rows, &gfx16_rgb, 4, INT_MAX - 2, 2, false, 0},
        {"rows to INT_MAX", gfx16_encode_best_rows, &gfx16_rgb, 4, INT_MAX - 2, 2, false, 0},
        {"no rows at INT_MAX", gfx16_encode_rows, &gfx16_rgb, 4, INT_MAX, 0, false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t pixels[64] = {}, carrier[64];
        memset(carrier, marker, sizeof carrier);
        EXPECT_EQ(c.call(pixels, 12, c.layout, c.w, c.first_row, c.rows, carrier, carrier + 4, 8,
                         c.preview ? pixels : nullptr, 12, nullptr),
                  c.status);
        bool untouched = std::all_of(carrier, carrier + sizeof carrier, [](uint8_t b) { return b == marker; });
        EXPECT_EQ(untouched, c.status != 0 || c.rows == 0);
    }
    uint8_t carrier[64], pixels[64];
    memset(carrier, marker, sizeof carrier);
    for (const gfx16_layout &bad : bad_layouts)
        EXPECT_EQ(gfx16_decode_rows(carrier, carrier + 4, 8, 4, 2, pixels, 12, &bad), -1);
    EXPECT_EQ(gfx16_decode_rows(carrier, carrier + 4, 8, 4, -1, pixels, 12, &gfx16_rgb), -1);
}

// A picture of the worked pairs, each on an even and an odd row, compared
// code by code with the codes the format defines for them; and the last,
// lone column of an odd width, encoded as the first pixel of a pair.
TEST(CodecRows, WorkedPairsInAPicture)
{
    struct {
        Rgb first, second;
        uint16_t even1, even2, odd1, odd2;
    } const pairs[] = {
        {{0, 0, 0}, {0, 0, 0}, 0, 0, 0, 0},
        {{255, 255, 255}, {255, 255, 255}, 127, 127, 127, 127},
        {{128, 128, 128}, {128, 128, 128}, 64, 64, 64, 64},
        {{129, 129, 129}, {129, 129, 129}, 65, 64, 64, 65},
        {{255, 255, 255}, {0, 0, 0}, 127, 0, 127, 1},
        {{255, 0, 0}, {255, 0, 0}, 57462, 57461, 57461, 57462},
        {{255, 254, 254}, {255, 254, 254}, 8319, 127, 127, 127},
    };
    const int n = sizeof pairs / sizeof pairs[0];
    for (int lone = 0; lone < n; lone++) {
        SCOPED_TRACE(testing::Message() << "the lone last column is pair " << lone << "'s first pixel");
        const int w = 2 * n + 1;
        std::vector<uint8_t> rgb((size_t)w * 2 * 3), carrier((size_t)w * 4 + 1, marker);
        for (int y = 0; y < 2; y++) {
            for (int i = 0; i < n; i++) {
                std::copy(pairs[i].first.begin(), pairs[i].first.end(), &rgb[((size_t)y * w + 2 * i) * 3]);
                std::copy(pairs[i].second.begin(), pairs[i].second.end(), &rgb[((size_t)y * w + 2 * i + 1) * 3]);
            }
            std::copy(pairs[lone].first.begin(), pairs[lone].first.end(), &rgb[((size_t)y * w + w - 1) * 3]);
        }
        ASSERT_EQ(gfx16_encode(rgb.data(), w, 2, carrier.data(), nullptr), 0);
        auto code = [&](int x, int y) {
            return join_code(carrier[(size_t)2 * y * w + x], carrier[(size_t)(2 * y + 1) * w + x]);
        };
        for (int i = 0; i < n; i++) {
            SCOPED_TRACE(i);
            EXPECT_EQ(code(2 * i, 0), pairs[i].even1);
            EXPECT_EQ(code(2 * i + 1, 0), pairs[i].even2);
            EXPECT_EQ(code(2 * i, 1), pairs[i].odd1);
            EXPECT_EQ(code(2 * i + 1, 1), pairs[i].odd2);
        }
        EXPECT_EQ(code(w - 1, 0), pairs[lone].even1);
        EXPECT_EQ(code(w - 1, 1), pairs[lone].odd1);
        EXPECT_EQ(carrier.back(), marker);
    }
}

// The desktop program's adapter: Allegro's 32-bit colours in the layouts
// its drivers set up, inside a frame of markers that must stay untouched.
TEST(BitmapCodec, EncodeAndDecodeInAllegrosLayouts)
{
    start_allegro();
    const std::vector<Rgb> &colours = golden_colours();
    ASSERT_FALSE(colours.empty());
    const int before[3] = {_rgb_r_shift_32, _rgb_g_shift_32, _rgb_b_shift_32};
    const int shifts[][3] = {{0, 8, 16}, {16, 8, 0}, {8, 16, 24}};
    const int w = 37, h = 23;
    for (const auto &s : shifts) {
        SCOPED_TRACE(s[0]);
        _rgb_r_shift_32 = s[0], _rgb_g_shift_32 = s[1], _rgb_b_shift_32 = s[2];
        std::vector<Rgb> picture = random_picture(w, h, 5), preview_want;
        std::vector<uint8_t> carrier_want;
        plain_encoding(picture, w, h, &carrier_want, &preview_want);
        BITMAP *frame = create_bitmap_ex(32, w + 2, h + 2), *cframe = create_bitmap_ex(8, w + 2, 2 * h + 2);
        clear_to_color(frame, 0x123456);
        clear_to_color(cframe, marker);
        BITMAP *image = create_sub_bitmap(frame, 1, 1, w, h), *carrier = create_sub_bitmap(cframe, 1, 1, w, 2 * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                const Rgb &c = picture[(size_t)y * w + x];
                putpixel(image, x, y, makecol32(c[0], c[1], c[2]));
            }
        ASSERT_EQ(encode_picture(image, carrier), 0);
        for (int y = 0; y < 2 * h; y++)
            for (int x = 0; x < w; x++)
                ASSERT_EQ(carrier->line[y][x], carrier_want[(size_t)y * w + x]);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                int c = getpixel(image, x, y);
                ASSERT_EQ((Rgb{(uint8_t)getr32(c), (uint8_t)getg32(c), (uint8_t)getb32(c)}), preview_want[(size_t)y * w + x]);
            }
        BITMAP *decoded = create_sub_bitmap(frame, 1, 1, w, h);
        ASSERT_EQ(decode_picture(carrier, decoded), 0);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                int c = getpixel(decoded, x, y);
                ASSERT_EQ((Rgb{(uint8_t)getr32(c), (uint8_t)getg32(c), (uint8_t)getb32(c)}),
                          colours[join_code(carrier->line[2 * y][x], carrier->line[2 * y + 1][x])]);
            }
        for (int x = 0; x < w + 2; x++)
            for (int y : {0, h + 1})
                ASSERT_EQ(getpixel(frame, x, y), 0x123456);
        for (int x = 0; x < w + 2; x++)
            for (int y : {0, 2 * h + 1})
                ASSERT_EQ(getpixel(cframe, x, y), marker);
        BITMAP *picture8 = create_bitmap_ex(8, w, h);
        EXPECT_EQ(encode_picture(picture8, carrier), -1);  // a picture not of 32 bits
        EXPECT_EQ(decode_picture(carrier, picture8), -1);
        destroy_bitmap(picture8);
        destroy_bitmap(decoded);
        destroy_bitmap(image);
        destroy_bitmap(carrier);
        destroy_bitmap(frame);
        destroy_bitmap(cframe);
    }
    _rgb_r_shift_32 = before[0], _rgb_g_shift_32 = before[1], _rgb_b_shift_32 = before[2];
}

}  // namespace
