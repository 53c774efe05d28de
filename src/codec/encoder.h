// The format's encoder, step by step, one pair of pixels at a time: the
// definition of what it makes. The row loops get the same results through
// tables (tables.h), which are built from the steps below.
#ifndef GFX16_CODEC_ENCODER_H
#define GFX16_CODEC_ENCODER_H

#include <algorithm>
#include <cstdint>

#include "codec/code.h"
#include "codec/colour.h"

// What the encoder makes of one horizontal pair of pixels.
struct PairResult {
    uint16_t code1, code2;
    uint8_t preview1[3], preview2[3];
};

// Encodes one pair (the first pixel at an even column) of a row of the given
// parity through RGBtoHSV and HSVtoRGB.
void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out);

// The steps, each as the format defines it. Inline: the tables are built
// from them, a few million calls at the start of every encoding process.

// Hue level on `levels` steps of the circle (64 for a field, 128 for the
// first pixel's fine hue). Black (-1) and grey (NaN) come out as level 0:
// trunc gives a negative number or INT32_MIN for them.
inline int hue_level(float hue, int levels)
{
    double q = (double)trunc_to_int((double)hue * levels) / 360.0;
    if (q < 0)
        return 0;
    if (q >= levels - 1)
        return levels - 1;
    return trunc_to_int(q);
}

// The quantised colour of a hue level, a saturation field and a value, and
// its brightness, truncated straight from double: rounding the mean to float
// first changes it for some colours.
inline int quantise(int hue, int sat, float value, float rgb[3])
{
    HSVtoRGB(hue_angle(hue), (float)(sat / 8.0), value, &rgb[0], &rgb[1], &rgb[2]);
    return trunc_to_int(((double)rgb[0] + (double)rgb[1] + (double)rgb[2]) / 3.0);
}

// A preview channel: the quantised channel shifted by the brightness error,
// capped at 254, rounded to float before truncation.
inline uint8_t preview_channel(int err, float channel)
{
    double t = (double)err + (double)channel;
    float stored = t < 0 ? 0.0f : t >= 254 ? 254.0f : (float)t;
    return (uint8_t)trunc_to_int(stored);
}

// Saturation field of the first pixel of a pair: to a multiple of 32,
// upward from a remainder of 8; on even rows a remainder of 1 to 7 (where
// rounding up to a multiple of 4 overtakes it) raises it one more level.
inline int first_saturation(float s, int odd_row)
{
    int sat255 = trunc_to_int((double)s * 255.0);
    int sat_up4 = ((sat255 + 3) / 4) * 4;
    int sat_near32 = ((sat255 + 24) / 32) * 32;
    int sat_flag = !odd_row && sat_up4 > sat_near32;
    return std::min(sat_near32 / 32 + sat_flag, 7);
}

// Saturation field of the second pixel: truncated on even rows, to the
// nearest level (halves up) on odd rows.
inline int second_saturation(float s, int odd_row)
{
    if (!odd_row)
        return std::min(trunc_to_int((double)s * 8.0), 7);
    int sat255 = trunc_to_int((double)s * 255.0);
    return std::min((sat255 + 16) / 32, 7);
}

// Source brightness, (r + g + b) / 3 stored as float, truncated.
inline int source_brightness(float r, float g, float b)
{
    float avg = (float)(((double)r + (double)g + (double)b) / 3.0);
    return trunc_to_int(avg);
}

#endif
