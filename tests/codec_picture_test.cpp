// The encoder and decoder over whole images: every carrier byte and preview
// pixel against the step-by-step definitions, odd sizes, nothing written
// outside the images, and carriers through real files.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

#include "bmpread.h"
#include "codec.h"
#include "savefile.h"
#include "test_support.h"

namespace {

using Rgb = std::array<uint8_t, 3>;

Rgb pixel_rgb(BITMAP *b, int x, int y)
{
    uint32_t c = ((uint32_t *)b->line[y])[x];
    return {(uint8_t)getr32(c), (uint8_t)getg32(c), (uint8_t)getb32(c)};
}

// What the encoder must give for `source`, pair by pair through the
// step-by-step encoder: the carrier bytes and the preview.
struct Expected {
    std::vector<uint8_t> carrier;   // w x 2h
    std::vector<Rgb> preview;       // w x h
};

Expected expected_encoding(BITMAP *source)
{
    int w = source->w, h = source->h;
    Expected e{std::vector<uint8_t>((size_t)w * 2 * h), std::vector<Rgb>((size_t)w * h)};
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x += 2) {
            Rgb first = pixel_rgb(source, x, y);
            Rgb second = x + 1 < w ? pixel_rgb(source, x + 1, y) : Rgb{255, 255, 255};
            PairResult r;
            encode_pair_reference(first.data(), second.data(), y & 1, &r);
            e.carrier[(size_t)2 * y * w + x] = code_low_byte(r.code1);
            e.carrier[(size_t)(2 * y + 1) * w + x] = code_high_byte(r.code1);
            e.preview[(size_t)y * w + x] = {r.preview1[0], r.preview1[1], r.preview1[2]};
            if (x + 1 < w) {
                e.carrier[(size_t)2 * y * w + x + 1] = code_low_byte(r.code2);
                e.carrier[(size_t)(2 * y + 1) * w + x + 1] = code_high_byte(r.code2);
                e.preview[(size_t)y * w + x + 1] = {r.preview2[0], r.preview2[1], r.preview2[2]};
            }
        }
    return e;
}

void fill_random(BITMAP *b, uint64_t seed)
{
    // Runs of similar colours with jumps, as in photographs, and some greys,
    // blacks and whites.
    Lcg rng(seed);
    int r = 0, g = 0, bl = 0;
    for (int y = 0; y < b->h; y++)
        for (int x = 0; x < b->w; x++) {
            uint32_t n = rng.next();
            if (n % 7 == 0) {
                r = rng.next() & 255; g = rng.next() & 255; bl = rng.next() & 255;
            } else if (n % 23 == 1) {
                r = g = bl = (n % 3 == 0) ? 0 : (n % 3 == 1) ? 255 : (int)(rng.next() & 255);
            } else {
                r = std::min(255, std::max(0, r + (int)(n >> 8) % 9 - 4));
                g = std::min(255, std::max(0, g + (int)(n >> 12) % 9 - 4));
                bl = std::min(255, std::max(0, bl + (int)(n >> 16) % 9 - 4));
            }
            putpixel(b, x, y, makecol32(r, g, bl));
        }
}

const uint8_t carrier_marker = 0xA5;
const uint32_t picture_marker = 0x00123456;

// Images that are sub-bitmaps inside a frame of markers, so that a write
// outside an image shows in the frame.
struct Framed {
    BITMAP *parent, *image;
    Framed(int depth, int w, int h, uint32_t marker)
    {
        parent = create_bitmap_ex(depth, w + 8, h + 8);
        clear_to_color(parent, (int)marker);
        image = create_sub_bitmap(parent, 4, 4, w, h);
    }
    ~Framed()
    {
        destroy_bitmap(image);
        destroy_bitmap(parent);
    }
    bool frame_intact(uint32_t marker) const
    {
        for (int y = 0; y < parent->h; y++)
            for (int x = 0; x < parent->w; x++) {
                bool inside = x >= 4 && y >= 4 && x < 4 + image->w && y < 4 + image->h;
                if (!inside && (uint32_t)getpixel(parent, x, y) != marker)
                    return false;
            }
        return true;
    }
};

class CodecPicture : public testing::Test {
protected:
    static void SetUpTestSuite() { start_allegro(); }
};

// The 32-bit colour layouts the encoder has its own loops for (X11's, the
// library's without a screen) and one it has not.
struct ColourLayout {
    int r, g, b;
};
const ColourLayout layouts[] = {{0, 8, 16}, {16, 8, 0}, {8, 16, 24}};

void set_layout(const ColourLayout &l)
{
    _rgb_r_shift_32 = l.r;
    _rgb_g_shift_32 = l.g;
    _rgb_b_shift_32 = l.b;
}

TEST_F(CodecPicture, EncoderWritesExactlyItsImagesAtAnySizeAndLayout)
{
    const ColourLayout before = {_rgb_r_shift_32, _rgb_g_shift_32, _rgb_b_shift_32};
    const int sizes[][2] = {{1, 1}, {1, 4}, {2, 3}, {3, 3}, {3, 4}, {5, 1}, {64, 33}, {301, 257}};
    for (const ColourLayout &layout : layouts)
    for (const auto &size : sizes) {
        int w = size[0], h = size[1];
        SCOPED_TRACE(testing::Message() << w << "x" << h << ", red at bit " << layout.r);
        set_layout(layout);
        Framed picture(32, w, h, picture_marker), carrier(8, w, 2 * h, carrier_marker);
        fill_random(picture.image, (uint64_t)w * 1000 + h);
        Expected e = expected_encoding(picture.image);

        ASSERT_EQ(encode_picture(picture.image, carrier.image), 0);
        for (int y = 0; y < 2 * h; y++)
            for (int x = 0; x < w; x++)
                ASSERT_EQ(carrier.image->line[y][x], e.carrier[(size_t)y * w + x]) << x << "," << y;
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                ASSERT_EQ(pixel_rgb(picture.image, x, y), e.preview[(size_t)y * w + x]) << x << "," << y;
        EXPECT_TRUE(picture.frame_intact(picture_marker));
        EXPECT_TRUE(carrier.frame_intact(carrier_marker));
    }
    set_layout(before);
}

TEST_F(CodecPicture, DecoderWritesExactlyItsPictureAndIgnoresAnOddLastRow)
{
    const int sizes[][2] = {{1, 2}, {1, 3}, {2, 2}, {3, 5}, {7, 9}, {300, 401}};
    for (const auto &size : sizes) {
        int w = size[0], h = size[1];
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        Framed carrier(8, w, h, carrier_marker), picture(32, w, h / 2, picture_marker);
        Lcg rng((uint64_t)w * 77 + h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                carrier.image->line[y][x] = (uint8_t)rng.next();

        ASSERT_EQ(decode_picture(carrier.image, picture.image), 0);
        for (int y = 0; y < h / 2; y++)
            for (int x = 0; x < w; x++) {
                Rgb expected;
                decode_code(join_code(carrier.image->line[2 * y][x], carrier.image->line[2 * y + 1][x]),
                            expected.data());
                ASSERT_EQ(pixel_rgb(picture.image, x, y), expected) << x << "," << y;
            }
        EXPECT_TRUE(picture.frame_intact(picture_marker));
        EXPECT_TRUE(carrier.frame_intact(carrier_marker));
    }
}

// Every one of the 65536 codes, decoded through the picture decoder, gives
// the colour that decoding it step by step gives.
TEST_F(CodecPicture, DecoderGivesEveryCodeItsColour)
{
    BITMAP *carrier = create_bitmap_ex(8, 256, 512), *picture = create_bitmap_ex(32, 256, 256);
    for (int code = 0; code < 65536; code++) {
        int x = code % 256, y = code / 256;
        carrier->line[2 * y][x] = code_low_byte((uint16_t)code);
        carrier->line[2 * y + 1][x] = code_high_byte((uint16_t)code);
    }
    ASSERT_EQ(decode_picture(carrier, picture), 0);
    for (int code = 0; code < 65536; code++) {
        Rgb expected;
        decode_code((uint16_t)code, expected.data());
        ASSERT_EQ(pixel_rgb(picture, code % 256, code / 256), expected) << code;
    }
    destroy_bitmap(carrier);
    destroy_bitmap(picture);
}

TEST_F(CodecPicture, WrongDepthsOrSizesAreRefusedUntouched)
{
    BITMAP *picture = create_bitmap_ex(32, 4, 4), *carrier = create_bitmap_ex(8, 4, 7);
    BITMAP *picture8 = create_bitmap_ex(8, 4, 4), *carrier8 = create_bitmap_ex(8, 4, 8);
    clear_to_color(carrier, carrier_marker);
    EXPECT_EQ(encode_picture(picture, carrier), -1);   // carrier not 2h high
    EXPECT_EQ(encode_picture(picture8, carrier8), -1); // picture not 32-bit
    EXPECT_EQ(decode_picture(carrier8, picture8), -1); // picture not 32-bit
    EXPECT_EQ(decode_picture(carrier, picture), -1);   // 7 / 2 rows, not 4
    EXPECT_EQ(getpixel(carrier, 0, 0), carrier_marker);
    destroy_bitmap(picture);
    destroy_bitmap(carrier);
    destroy_bitmap(picture8);
    destroy_bitmap(carrier8);
}

// A picture of the worked pairs, each on an even and an odd row, compared
// code by code with the codes the format defines for them.
TEST_F(CodecPicture, WorkedPairsInAPicture)
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
    BITMAP *picture = create_bitmap_ex(32, 2 * n, 2), *carrier = create_bitmap_ex(8, 2 * n, 4);
    for (int y = 0; y < 2; y++)
        for (int i = 0; i < n; i++) {
            const Rgb &a = pairs[i].first, &b = pairs[i].second;
            putpixel(picture, 2 * i, y, makecol32(a[0], a[1], a[2]));
            putpixel(picture, 2 * i + 1, y, makecol32(b[0], b[1], b[2]));
        }
    ASSERT_EQ(encode_picture(picture, carrier), 0);
    for (int i = 0; i < n; i++) {
        SCOPED_TRACE(i);
        auto code = [&](int x, int y) { return join_code(carrier->line[2 * y][x], carrier->line[2 * y + 1][x]); };
        EXPECT_EQ(code(2 * i, 0), pairs[i].even1);
        EXPECT_EQ(code(2 * i + 1, 0), pairs[i].even2);
        EXPECT_EQ(code(2 * i, 1), pairs[i].odd1);
        EXPECT_EQ(code(2 * i + 1, 1), pairs[i].odd2);
    }
    destroy_bitmap(picture);
    destroy_bitmap(carrier);
}

// Runs `check(colour)` over all 2^24 colours on every core; returns the
// number of colours it failed for.
template <class Check>
long count_failures_over_all_colours(Check check)
{
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<long> failures(threads);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            for (uint32_t c = t; c < (1u << 24); c += threads)
                if (!check(Rgb{(uint8_t)(c >> 16), (uint8_t)(c >> 8), (uint8_t)c}))
                    failures[t]++;
        });
    for (std::thread &th : pool)
        th.join();
    long total = 0;
    for (long f : failures)
        total += f;
    return total;
}

bool same(const PairResult &a, const PairResult &b)
{
    return a.code1 == b.code1 && a.code2 == b.code2 &&
           std::equal(a.preview1, a.preview1 + 3, b.preview1) &&
           std::equal(a.preview2, a.preview2 + 3, b.preview2);
}

// The tables give the step-by-step results for every colour: as first pixel
// on both row parities, and as second pixel after first pixels that set and
// clear the hue flag and the carry.
TEST_F(CodecPicture, TablesAgreeWithTheStepByStepEncoderForEveryColour)
{
    const Rgb partner = {90, 200, 30};
    const Rgb firsts[] = {
        {200, 100, 50},  // hue 3.56 levels: flag; value even: no carry
        {201, 100, 50},  // hue 3.53 levels: flag; value odd: carry
        {254, 0, 0},     // hue 0 levels: no flag; no carry
        {255, 0, 0},     // no flag; carry
    };
    long failures = count_failures_over_all_colours([&](const Rgb &c) {
        PairResult ref, fast;
        for (int odd = 0; odd < 2; odd++) {
            encode_pair_reference(c.data(), partner.data(), odd, &ref);
            encode_pair(c.data(), partner.data(), odd, &fast);
            if (!same(ref, fast))
                return false;
        }
        // The flag and the carry reach the second pixel on odd rows only.
        for (const Rgb &first : firsts) {
            encode_pair_reference(first.data(), c.data(), 1, &ref);
            encode_pair(first.data(), c.data(), 1, &fast);
            if (!same(ref, fast))
                return false;
        }
        encode_pair_reference(firsts[1].data(), c.data(), 0, &ref);
        encode_pair(firsts[1].data(), c.data(), 0, &fast);
        return same(ref, fast);
    });
    EXPECT_EQ(failures, 0);
}

// A carrier saved as the programs save it and loaded back as decode mode
// loads it keeps every byte; a reader other than ours (Pillow) sees the same
// bytes.
TEST_F(CodecPicture, CarrierFileKeepsEveryByte)
{
    BITMAP *picture = create_bitmap_ex(32, 37, 23), *carrier = create_bitmap_ex(8, 37, 46);
    fill_random(picture, 5);
    ASSERT_EQ(encode_picture(picture, carrier), 0);

    char dir[] = "/tmp/gfx16-carrier-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/output.bmp", raw = std::string(dir) + "/indices.raw";
    ASSERT_EQ(save_bitmap_atomic(path.c_str(), carrier, NULL, save_bmp), 0);

    set_color_conversion(COLORCONV_NONE);
    set_color_depth(8);
    BITMAP *loaded = load_picture(path.c_str(), NULL);
    set_color_depth(32);
    set_color_conversion(COLORCONV_TOTAL);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(bitmap_color_depth(loaded), 8);
    ASSERT_EQ(loaded->w, carrier->w);
    ASSERT_EQ(loaded->h, carrier->h);
    for (int y = 0; y < carrier->h; y++)
        for (int x = 0; x < carrier->w; x++)
            ASSERT_EQ(loaded->line[y][x], carrier->line[y][x]) << x << "," << y;

    std::string command = "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                          "im = Image.open(sys.argv[1]); assert im.mode == 'P', im.mode; "
                          "open(sys.argv[2], 'wb').write(im.tobytes())\" " + path + " " + raw;
    ASSERT_EQ(system(command.c_str()), 0);
    FILE *f = fopen(raw.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> indices((size_t)carrier->w * carrier->h + 1);
    size_t n = fread(indices.data(), 1, indices.size(), f);
    fclose(f);
    ASSERT_EQ(n, (size_t)carrier->w * carrier->h);
    for (int y = 0; y < carrier->h; y++)
        for (int x = 0; x < carrier->w; x++)
            ASSERT_EQ(indices[(size_t)y * carrier->w + x], carrier->line[y][x]) << x << "," << y;

    unlink(path.c_str());
    unlink(raw.c_str());
    rmdir(dir);
    destroy_bitmap(loaded);
    destroy_bitmap(picture);
    destroy_bitmap(carrier);
}

}  // namespace
