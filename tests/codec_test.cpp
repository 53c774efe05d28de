// The encoder's and decoder's worked examples, on both row parities, through
// the step-by-step encoder and through the tables.
#include <gtest/gtest.h>

#include <array>

#include "codec/tables.h"

namespace {

using Rgb = std::array<uint8_t, 3>;

struct PairCase {
    const char *what;
    Rgb first, second;
    int odd_row;
    uint16_t code1, code2;
    Rgb preview1, preview2;  // {255, ...}: not checked (no worked preview)
};

const Rgb unchecked = {255, 255, 255};

const PairCase pair_cases[] = {
    {"black", {0, 0, 0}, {0, 0, 0}, 0, 0, 0, {0, 0, 0}, {0, 0, 0}},
    {"black", {0, 0, 0}, {0, 0, 0}, 1, 0, 0, {0, 0, 0}, {0, 0, 0}},
    {"white", {255, 255, 255}, {255, 255, 255}, 0, 127, 127, {254, 254, 254}, {254, 254, 254}},
    {"white", {255, 255, 255}, {255, 255, 255}, 1, 127, 127, {254, 254, 254}, {254, 254, 254}},
    {"grey 128", {128, 128, 128}, {128, 128, 128}, 0, 64, 64, {128, 128, 128}, {128, 128, 128}},
    {"grey 128", {128, 128, 128}, {128, 128, 128}, 1, 64, 64, {128, 128, 128}, {128, 128, 128}},
    {"grey 129", {129, 129, 129}, {129, 129, 129}, 0, 65, 64, {131, 131, 131}, {128, 128, 128}},
    {"grey 129", {129, 129, 129}, {129, 129, 129}, 1, 64, 65, {129, 129, 129}, {130, 130, 130}},
    {"white, black", {255, 255, 255}, {0, 0, 0}, 0, 127, 0, {254, 254, 254}, {0, 0, 0}},
    {"white, black", {255, 255, 255}, {0, 0, 0}, 1, 127, 1, {254, 254, 254}, {2, 2, 2}},
    {"red", {255, 0, 0}, {255, 0, 0}, 0, 57462, 57461, {236, 13, 13}, {234, 29, 29}},
    {"red", {255, 0, 0}, {255, 0, 0}, 1, 57461, 57462, {234, 11, 11}, {236, 29, 29}},
    {"saturation 1/255", {255, 254, 254}, {255, 254, 254}, 0, 8319, 127, unchecked, unchecked},
    {"saturation 1/255", {255, 254, 254}, {255, 254, 254}, 1, 127, 127, unchecked, unchecked},
};

void expect_pair(const PairCase &c, const PairResult &r)
{
    EXPECT_EQ(r.code1, c.code1);
    EXPECT_EQ(r.code2, c.code2);
    if (c.preview1 != unchecked) {
        EXPECT_EQ((Rgb{r.preview1[0], r.preview1[1], r.preview1[2]}), c.preview1);
    }
    if (c.preview2 != unchecked) {
        EXPECT_EQ((Rgb{r.preview2[0], r.preview2[1], r.preview2[2]}), c.preview2);
    }
}

TEST(Encoder, WorkedPairs)
{
    for (const PairCase &c : pair_cases) {
        SCOPED_TRACE(testing::Message() << c.what << (c.odd_row ? ", odd row" : ", even row"));
        PairResult reference, fast;
        encode_pair_reference(c.first.data(), c.second.data(), c.odd_row, &reference);
        encode_pair(c.first.data(), c.second.data(), c.odd_row, &fast);
        expect_pair(c, reference);
        expect_pair(c, fast);
    }
}

struct FieldCase {
    const char *what;
    Rgb colour;
    int odd_row;
    int hue1, hue2, sat1, sat2;
};

TEST(Encoder, HueFlagAndSaturationFields)
{
    const FieldCase cases[] = {
        // hue 20 degrees is 3.56 levels: the flag raises the first pixel on
        // even rows and the second on odd rows
        {"hue 20", {200, 100, 50}, 0, 4, 3, -1, -1},
        {"hue 20", {200, 100, 50}, 1, 3, 4, -1, -1},
        // level 63 with the flag set is never raised to 64 nor wrapped to 0
        {"hue 359", {255, 0, 4}, 0, 63, 63, -1, -1},
        {"hue 359", {255, 0, 4}, 1, 63, 63, -1, -1},
        {"full saturation", {255, 0, 0}, 0, -1, -1, 7, 7},
        {"full saturation", {0, 90, 255}, 1, -1, -1, 7, 7},
    };
    for (const FieldCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.what << (c.odd_row ? ", odd row" : ", even row"));
        PairResult r;
        encode_pair_reference(c.colour.data(), c.colour.data(), c.odd_row, &r);
        if (c.hue1 >= 0) {
            EXPECT_EQ(code_hue(r.code1), c.hue1);
            EXPECT_EQ(code_hue(r.code2), c.hue2);
        }
        if (c.sat1 >= 0) {
            EXPECT_EQ(code_saturation(r.code1), c.sat1);
            EXPECT_EQ(code_saturation(r.code2), c.sat2);
        }
        PairResult fast;
        encode_pair(c.colour.data(), c.colour.data(), c.odd_row, &fast);
        EXPECT_EQ(fast.code1, r.code1);
        EXPECT_EQ(fast.code2, r.code2);
    }
}

TEST(Decoder, WorkedCodes)
{
    struct {
        uint8_t low, high;
        Rgb colour;
    } const cases[] = {
        {0, 0, {0, 0, 0}},
        {127, 0, {254, 254, 254}},
        {127, 32, {254, 222, 222}},
        {255, 255, {254, 31, 53}},
        {158, 44, {52, 60, 55}},     // 55 and 123 need the single rounding
        {200, 72, {123, 144, 108}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.low) << "," << int(c.high));
        Rgb rgb;
        decode_code(join_code(c.low, c.high), rgb.data());
        EXPECT_EQ(rgb, c.colour);
    }
}

TEST(Decoder, ValueZeroIsBlackAndSaturationZeroIsGrey)
{
    for (int code = 0; code < 65536; code++) {
        Rgb rgb;
        decode_code((uint16_t)code, rgb.data());
        int v = 2 * code_value((uint16_t)code);
        if (code_value((uint16_t)code) == 0) {
            ASSERT_EQ(rgb, (Rgb{0, 0, 0})) << code;
        }
        if (code_saturation((uint16_t)code) == 0) {
            ASSERT_EQ(rgb, (Rgb{(uint8_t)v, (uint8_t)v, (uint8_t)v})) << code;
        }
        ASSERT_LE(std::max({rgb[0], rgb[1], rgb[2]}), 254) << code;
    }
}

}  // namespace
