// The packed code's fields and carrier bytes, and the h, s, v a code stands
// for, on worked codes. (Every code's colour is checked against the golden
// table by codec_golden and codec_rows_test.)
#include <gtest/gtest.h>

#include "codec/code.h"

namespace {

TEST(PackedCode, WorkedCodes)
{
    const struct {
        int value, hue, saturation;
        uint16_t code;
        uint8_t low, high;
        float h, s, v;
    } cases[] = {
        {127, 63, 7, 0xFFFF, 255, 255, 354, 0.875f, 254},
        {1, 0, 0, 0x0001, 1, 0, 0, 0, 2},
        {0, 1, 0, 0x0080, 128, 0, 5, 0, 0},  // the lowest hue bit in the low byte
        {0, 0, 1, 0x2000, 0, 32, 0, 0.125f, 0},
        {30, 25, 1, 0x2C9E, 158, 44, 140, 0.125f, 60},
        {72, 17, 2, 0x48C8, 200, 72, 95, 0.25f, 144},
        {0, 32, 0, 0x1000, 0, 16, 180, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(pack_code(c.value, c.hue, c.saturation), c.code);
        EXPECT_EQ(code_low_byte(c.code), c.low);
        EXPECT_EQ(code_high_byte(c.code), c.high);
        EXPECT_EQ(join_code(c.low, c.high), c.code);
        EXPECT_EQ(code_value(c.code), c.value);
        EXPECT_EQ(code_hue(c.code), c.hue);
        EXPECT_EQ(code_saturation(c.code), c.saturation);
        float h, s, v;
        code_to_hsv(c.code, &h, &s, &v);
        EXPECT_EQ(h, c.h);
        EXPECT_EQ(s, c.s);
        EXPECT_EQ(v, c.v);
    }
}

// Hue levels are whole degrees, rounded down: 0, 5, 11, 16, 22, ... 354.
TEST(PackedCode, HueAngles)
{
    const int angles[][2] = {{0, 0}, {1, 5}, {2, 11}, {3, 16}, {4, 22}, {5, 28}, {6, 33}, {7, 39}, {32, 180}, {63, 354}};
    for (const auto &a : angles)
        EXPECT_EQ(hue_angle(a[0]), a[1]) << a[0];
}

}  // namespace
