// Worked examples of the colour model, including the ones where rounding to
// float after every operation (instead of once per stored quantity) differs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "codec/colour.h"

namespace {

struct RgbToHsvCase {
    float r, g, b;
    float h, s, v;  // h NaN: a grey above black
};

TEST(RGBtoHSV, WorkedExamples)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const RgbToHsvCase cases[] = {
        {0, 0, 0, -1, 0, 0},
        {255, 0, 0, 0, 1, 255},
        {0, 255, 0, 120, 1, 255},
        {0, 0, 255, 240, 1, 255},
        {255, 0, 255, 300, 1, 255},   // red formula gives -1, then -60, then 300
        {255, 255, 0, 60, 1, 255},    // red goes before green
        {0, 255, 255, 180, 1, 255},   // green formula
        {2, 3, 0, 80, 1, 3},          // rounded once: 80, not 79.99999
        {128, 128, 128, nan, 0, 128},
        {200, 100, 50, 20, 0.75f, 200},
    };
    for (const RgbToHsvCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.r << "," << c.g << "," << c.b);
        float h = 7, s = 7, v = 7;
        RGBtoHSV(c.r, c.g, c.b, &h, &s, &v);
        if (std::isnan(c.h))
            EXPECT_TRUE(std::isnan(h)) << h;
        else
            EXPECT_EQ(h, c.h);
        EXPECT_EQ(s, c.s);
        EXPECT_EQ(v, c.v);
    }
}

struct HsvToRgbCase {
    float h, s, v;
    float r, g, b;
};

TEST(HSVtoRGB, WorkedExamples)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const HsvToRgbCase cases[] = {
        {nan, 0, 77, 77, 77, 77},       // no saturation: the hue is not looked at
        {-1, 0, 0, 0, 0, 0},
        {123, -0.0f, 9, 9, 9, 9},
        {140, 0.125f, 60, 52.5f, 60, 55},          // blue exactly 55, not 54.999996
        {95, 0.25f, 144, 123, 144, 108},           // red exactly 123, not 122.99999
        {354, 0.875f, 254, 254, 31.75f, 53.97498f},
        {360, 0.5f, 200, 200, 100, 200},           // sector 6 takes the last row
        {-1, 0.5f, 200, 200, 100, 101.666664f},    // so does sector -1
        {180, 0.5f, 100, 50, 100, 100},            // sector 3, fraction 0
        {0, 0.5f, 100, 100, 50, 50},
    };
    for (const HsvToRgbCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.h << "," << c.s << "," << c.v);
        float r = 7, g = 7, b = 7;
        HSVtoRGB(c.h, c.s, c.v, &r, &g, &b);
        EXPECT_EQ(r, c.r);
        EXPECT_EQ(g, c.g);
        EXPECT_EQ(b, c.b);
    }
}

TEST(TruncToInt, TowardZeroAndNaN)
{
    EXPECT_EQ(trunc_to_int(2.99), 2);
    EXPECT_EQ(trunc_to_int(-2.99), -2);
    EXPECT_EQ(trunc_to_int(-0.5), 0);
    EXPECT_EQ(trunc_to_int(std::nan("")), INT32_MIN);
    EXPECT_EQ(trunc_to_int(3e9), INT32_MIN);
    EXPECT_EQ(trunc_to_int(-2147483648.0), INT32_MIN);
    EXPECT_EQ(trunc_to_int(2147483647.0), 2147483647);
}

}  // namespace
