// The packed code: fields, carrier bytes, and the h, s, v a code stands for.
#include <gtest/gtest.h>

#include "codec/code.h"

namespace {

TEST(PackedCode, EveryCodeSurvivesBytesAndFields)
{
    for (int code = 0; code < 65536; code++) {
        uint16_t joined = join_code(code_low_byte((uint16_t)code), code_high_byte((uint16_t)code));
        ASSERT_EQ(joined, code);
        uint16_t repacked = pack_code(code_value(joined), code_hue(joined), code_saturation(joined));
        ASSERT_EQ(repacked, code);
    }
}

TEST(PackedCode, FieldLayout)
{
    EXPECT_EQ(pack_code(127, 63, 7), 0xFFFF);
    EXPECT_EQ(pack_code(1, 0, 0), 0x0001);
    EXPECT_EQ(pack_code(0, 1, 0), 0x0080);   // lowest hue bit in the low byte
    EXPECT_EQ(pack_code(0, 0, 1), 0x2000);
    EXPECT_EQ(code_low_byte(0x2C9E), 158);
    EXPECT_EQ(code_high_byte(0x2C9E), 44);
    EXPECT_EQ(code_value(0x2C9E), 30);
    EXPECT_EQ(code_hue(0x2C9E), 25);
    EXPECT_EQ(code_saturation(0x2C9E), 1);
}

TEST(PackedCode, FieldsToHsv)
{
    // Hue levels are whole degrees, rounded down: 0, 5, 11, 16, 22, ... 354.
    const int first_angles[] = {0, 5, 11, 16, 22, 28, 33, 39};
    for (int level = 0; level < 8; level++)
        EXPECT_EQ(hue_angle(level), first_angles[level]);
    EXPECT_EQ(hue_angle(32), 180);
    EXPECT_EQ(hue_angle(63), 354);

    float h, s, v;
    code_to_hsv(pack_code(127, 63, 7), &h, &s, &v);
    EXPECT_EQ(h, 354);
    EXPECT_EQ(s, 0.875f);
    EXPECT_EQ(v, 254);
    code_to_hsv(pack_code(30, 25, 1), &h, &s, &v);
    EXPECT_EQ(h, 140);
    EXPECT_EQ(s, 0.125f);
    EXPECT_EQ(v, 60);
}

}  // namespace
