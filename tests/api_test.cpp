// The calls of <gfx16/codec.h> with bad arguments, one at a time: the code
// each returns, and every buffer and every result through a pointer left
// as it was. Running out of memory is memory_test's.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "gfx16/codec.h"

namespace {

const unsigned char marker = 0xA5;
const int W = 6, H = 4;  // a picture; its carrier is W x 2H

// What a call may write into, all marked beforehand.
struct Buffers {
    std::vector<unsigned char> rgb = std::vector<unsigned char>(W * H * 3, marker);
    std::vector<unsigned char> carrier = std::vector<unsigned char>(W * 2 * H, marker);
    std::vector<unsigned char> preview = std::vector<unsigned char>(W * H * 3, marker);
    std::vector<unsigned char> bmp;  // a carrier file, for gfx16_carrier_from_bmp
    int w = -7, h = -7;
    int writes = 0;  // calls of the writer
};

void count_write(void *context, const void *, size_t) { ++*(int *)context; }

// The carrier file of the marked carrier, then changed by `damage`.
std::vector<unsigned char> carrier_file(const std::function<void(std::vector<unsigned char> &)> &damage)
{
    std::vector<unsigned char> carrier(W * 2 * H, 1), file;
    gfx16_carrier_to_bmp(carrier.data(), W, 2 * H,
                         [](void *to, const void *data, size_t size) {
                             auto *f = (std::vector<unsigned char> *)to;
                             f->insert(f->end(), (const unsigned char *)data, (const unsigned char *)data + size);
                         },
                         &file);
    damage(file);
    return file;
}

void put32(std::vector<unsigned char> &f, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        f[at + i] = (unsigned char)(v >> 8 * i);
}

struct BadCall {
    const char *what;
    int code;
    bool sizes_given;  // gfx16_carrier_from_bmp read the headers: *w and *h are the file's
    std::function<int(Buffers &)> call;
};

TEST(Api, BadCallsReturnTheirCodeAndWriteNothing)
{
    const gfx16_layout crossed = {3, 0, 0, 2}, five = {5, 0, 1, 2};
    using B = Buffers;
    const BadCall cases[] = {
        {"encode: no pixels", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode(nullptr, W, H, b.carrier.data(), b.preview.data()); }},
        {"encode: no carrier", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode(b.rgb.data(), W, H, nullptr, b.preview.data()); }},
        {"encode: width 0", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode(b.rgb.data(), 0, H, b.carrier.data(), b.preview.data()); }},
        {"encode: height -1", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode(b.rgb.data(), W, -1, b.carrier.data(), b.preview.data()); }},
        {"encode: more than a buffer holds", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode(b.rgb.data(), INT_MAX, INT_MAX, b.carrier.data(), b.preview.data()); }},
        {"encode_best: width -3", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode_best(b.rgb.data(), -3, H, b.carrier.data(), b.preview.data()); }},
        {"encode_best: no carrier", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode_best(b.rgb.data(), W, H, nullptr, b.preview.data()); }},
        {"encode_dithered: height 0", GFX16_EINVAL, false,
         [](B &b) { return gfx16_encode_dithered(b.rgb.data(), W, 0, b.carrier.data(), b.preview.data()); }},
        {"decode: carrier of 1 row", GFX16_EINVAL, false,
         [](B &b) { return gfx16_decode(b.carrier.data(), W, 1, b.rgb.data()); }},
        {"decode: no picture", GFX16_EINVAL, false,
         [](B &b) { return gfx16_decode(b.carrier.data(), W, 2 * H, nullptr); }},
        {"encode_rows: no layout", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_encode_rows(b.rgb.data(), 3 * W, nullptr, W, 0, H, b.carrier.data(),
                                      b.carrier.data() + W, 2 * W, nullptr, 0, nullptr);
         }},
        {"encode_rows: two channels at one offset", GFX16_EINVAL, false,
         [&](B &b) {
             return gfx16_encode_rows(b.rgb.data(), 3 * W, &crossed, W, 0, H, b.carrier.data(),
                                      b.carrier.data() + W, 2 * W, nullptr, 0, nullptr);
         }},
        {"encode_rows: first row -1", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_encode_rows(b.rgb.data(), 3 * W, &gfx16_rgb, W, -1, H, b.carrier.data(),
                                      b.carrier.data() + W, 2 * W, nullptr, 0, nullptr);
         }},
        {"encode_rows: rows past INT_MAX", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_encode_rows(b.rgb.data(), 3 * W, &gfx16_rgb, W, INT_MAX - 1, 2, b.carrier.data(),
                                      b.carrier.data() + W, 2 * W, nullptr, 0, nullptr);
         }},
        {"encode_rows: preview without a layout", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_encode_rows(b.rgb.data(), 3 * W, &gfx16_rgb, W, 0, H, b.carrier.data(),
                                      b.carrier.data() + W, 2 * W, b.preview.data(), 3 * W, nullptr);
         }},
        {"encode_best_rows: no high bytes", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_encode_best_rows(b.rgb.data(), 3 * W, &gfx16_rgb, W, 0, H, b.carrier.data(), nullptr,
                                           2 * W, nullptr, 0, nullptr);
         }},
        {"decode_rows: 5-byte pixels", GFX16_EINVAL, false,
         [&](B &b) {
             return gfx16_decode_rows(b.carrier.data(), b.carrier.data() + W, 2 * W, W, H, b.rgb.data(), 3 * W,
                                      &five);
         }},
        {"carrier_to_bmp: no writer", GFX16_EINVAL, false,
         [](B &b) { return gfx16_carrier_to_bmp(b.carrier.data(), W, 2 * H, nullptr, &b.writes); }},
        {"carrier_to_bmp: 32769 wide", GFX16_EINVAL, false,
         [](B &b) { return gfx16_carrier_to_bmp(b.carrier.data(), 32769, 2, count_write, &b.writes); }},
        {"carrier_to_bmp: 1 row", GFX16_EINVAL, false,
         [](B &b) { return gfx16_carrier_to_bmp(b.carrier.data(), W, 1, count_write, &b.writes); }},
        {"carrier_to_bmp: 65537 rows", GFX16_EINVAL, false,
         [](B &b) { return gfx16_carrier_to_bmp(b.carrier.data(), 1, 65537, count_write, &b.writes); }},
        {"carrier_from_bmp: no file", GFX16_EINVAL, false,
         [](B &b) { return gfx16_carrier_from_bmp(nullptr, 100, b.carrier.data(), 1000, &b.w, &b.h); }},
        {"carrier_from_bmp: nowhere for the width", GFX16_EINVAL, false,
         [](B &b) {
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), b.carrier.data(), 1000, nullptr, &b.h);
         }},
        {"carrier_from_bmp: cut in the headers", GFX16_EFORMAT, false,
         [](B &b) { return gfx16_carrier_from_bmp(b.bmp.data(), 30, b.carrier.data(), 1000, &b.w, &b.h); }},
        {"carrier_from_bmp: cut in the rows", GFX16_EFORMAT, false,
         [](B &b) {
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size() - 1, b.carrier.data(), 1000, &b.w, &b.h);
         }},
        {"carrier_from_bmp: 24 bits", GFX16_EFORMAT, false,
         [](B &b) {
             b.bmp = carrier_file([](std::vector<unsigned char> &f) { f[28] = 24; });
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), b.carrier.data(), 1000, &b.w, &b.h);
         }},
        {"carrier_from_bmp: 1 row", GFX16_EFORMAT, false,
         [](B &b) {
             b.bmp = carrier_file([](std::vector<unsigned char> &f) { put32(f, 22, 1); });
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), b.carrier.data(), 1000, &b.w, &b.h);
         }},
        // The headers are good from here on: the sizes are given.
        {"carrier_from_bmp: a byte too little room", GFX16_EINVAL, true,
         [](B &b) {
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), b.carrier.data(), W * 2 * H - 1, &b.w, &b.h);
         }},
        {"carrier_from_bmp: asked for the size", GFX16_EINVAL, true,
         [](B &b) { return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), nullptr, 0, &b.w, &b.h); }},
        {"carrier_from_bmp: the last index beyond a palette of 3", GFX16_EFORMAT, true,
         [](B &b) {
             b.bmp = carrier_file([](std::vector<unsigned char> &f) {
                 put32(f, 46, 3);
                 f[14 + 40 + 256 * 4 + W - 1] = 3;  // the bottom row's last pixel, read last
             });
             return gfx16_carrier_from_bmp(b.bmp.data(), b.bmp.size(), b.carrier.data(), 1000, &b.w, &b.h);
         }},
    };
    for (const BadCall &c : cases) {
        SCOPED_TRACE(c.what);
        Buffers b;
        b.bmp = carrier_file([](std::vector<unsigned char> &) {});
        const Buffers before = b;
        EXPECT_EQ(c.call(b), c.code);
        EXPECT_EQ(b.rgb, before.rgb);
        EXPECT_EQ(b.carrier, before.carrier);
        EXPECT_EQ(b.preview, before.preview);
        EXPECT_EQ(b.writes, 0);
        EXPECT_EQ(b.w, c.sizes_given ? W : -7);
        EXPECT_EQ(b.h, c.sizes_given ? 2 * H : -7);
    }
}

TEST(Api, SizesAndTheirLimits)
{
    const struct {
        int w, h;
        size_t carrier, picture;
    } cases[] = {
        {1, 1, 2, 3},
        {13, 7, 182, 273},
        {0, 5, 0, 0},
        {5, -1, 0, 0},
        {INT_MIN, INT_MIN, 0, 0},
        {65536, 32768, 4294967296u, 6442450944u},  // past 32 bits
        // 2 (2^31 - 1)^2 = 2^63 - 2^33 + 2 still fits in a ptrdiff_t; three
        // times as much does not.
        {INT_MAX, INT_MAX, (size_t)9223372028264841218ull, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << " x " << c.h);
        EXPECT_EQ(gfx16_carrier_bytes(c.w, c.h), c.carrier);
        EXPECT_EQ(gfx16_picture_bytes(c.w, c.h), c.picture);
    }
}

TEST(Api, EveryCodeHasItsOwnSentence)
{
    const int codes[] = {GFX16_OK, GFX16_EINVAL, GFX16_ENOMEM, GFX16_EFORMAT, 1, -4};
    std::vector<std::string> seen;
    for (int code : codes) {
        const char *text = gfx16_strerror(code);
        ASSERT_NE(text, nullptr) << code;
        seen.push_back(text);
    }
    EXPECT_EQ(seen[4], seen[5]);  // unknown codes
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()) - seen.begin(), 5);
}

} // namespace
