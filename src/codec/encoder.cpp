#include "codec/encoder.h"

#include <algorithm>

#include "codec/code.h"
#include "codec/colour.h"

// Hue level on `levels` steps of the circle (64 for a field, 128 for the
// first pixel's fine hue). Black (-1) and grey (NaN) come out as level 0:
// trunc gives a negative number or INT32_MIN for them.
int hue_level(float hue, int levels)
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
int quantise(int hue, int sat, float value, float rgb[3])
{
    HSVtoRGB(hue_angle(hue), (float)(sat / 8.0), value, &rgb[0], &rgb[1], &rgb[2]);
    return trunc_to_int(((double)rgb[0] + (double)rgb[1] + (double)rgb[2]) / 3.0);
}

// The value field that corrects a pixel's quantised brightness by `err`.
static int value_field(int err, float value)
{
    double m = ((double)err + (double)value) / 2.0;
    if (m >= 127)
        return 127;
    if (m < 0)
        return 0;
    return trunc_to_int(m);
}

// A preview channel: the quantised channel shifted by the brightness error,
// capped at 254, rounded to float before truncation.
uint8_t preview_channel(int err, float channel)
{
    double t = (double)err + (double)channel;
    float stored = t < 0 ? 0.0f : t >= 254 ? 254.0f : (float)t;
    return (uint8_t)trunc_to_int(stored);
}

// Saturation field of the first pixel of a pair: to a multiple of 32,
// upward from a remainder of 8; on even rows a remainder of 1 to 7 (where
// rounding up to a multiple of 4 overtakes it) raises it one more level.
int first_saturation(float s, int odd_row)
{
    int sat255 = trunc_to_int((double)s * 255.0);
    int sat_up4 = ((sat255 + 3) / 4) * 4;
    int sat_near32 = ((sat255 + 24) / 32) * 32;
    int sat_flag = !odd_row && sat_up4 > sat_near32;
    return std::min(sat_near32 / 32 + sat_flag, 7);
}

// Saturation field of the second pixel: truncated on even rows, to the
// nearest level (halves up) on odd rows.
int second_saturation(float s, int odd_row)
{
    if (!odd_row)
        return std::min(trunc_to_int((double)s * 8.0), 7);
    int sat255 = trunc_to_int((double)s * 255.0);
    return std::min((sat255 + 16) / 32, 7);
}

// Source brightness, (r + g + b) / 3 stored as float, truncated.
int source_brightness(float r, float g, float b)
{
    float avg = (float)(((double)r + (double)g + (double)b) / 3.0);
    return trunc_to_int(avg);
}

void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out)
{
    float R1 = rgb1[0], G1 = rgb1[1], B1 = rgb1[2];
    float R2 = rgb2[0], G2 = rgb2[1], B2 = rgb2[2];
    float H1, S1, V1, H2, S2, V2;
    RGBtoHSV(R1, G1, B1, &H1, &S1, &V1);
    int avg1 = source_brightness(R1, G1, B1);
    RGBtoHSV(R2, G2, B2, &H2, &S2, &V2);
    int avg2 = source_brightness(R2, G2, B2);

    // Value: the first pixel loses its lowest bit and hands it on as carry.
    int carry = (trunc_to_int(V1) & 1) ? 2 : 0;
    V1 = (float)(2 * trunc_to_int((double)V1 / 2.0));
    V2 = (float)trunc_to_int(V2);

    // Hue: the first pixel's upper half-level raises one of the two hues.
    int hue1 = hue_level(H1, 64);
    int fine_hue = hue_level(H1, 128);
    int hue_flag = 2 * hue1 < fine_hue;
    int hue2 = hue_level(H2, 64);
    if (hue_flag) {
        if (!odd_row)
            hue1 = std::min(hue1 + 1, 63);
        else
            hue2 = std::min(hue2 + 1, 63);
    }

    // Saturation: rounded differently for each pixel and each row parity.
    int sat1 = first_saturation(S1, odd_row);
    int sat2 = second_saturation(S2, odd_row);

    // First pixel: brightness error of its quantised colour, code, preview.
    float q1[3];
    int qavg1 = quantise(hue1, sat1, V1, q1);
    int err1 = avg1 - qavg1;
    if (!odd_row)
        err1 += carry;
    out->code1 = pack_code(value_field(err1, V1), hue1, sat1);
    for (int c = 0; c < 3; c++)
        out->preview1[c] = preview_channel(err1, q1[c]);

    // Second pixel: its preview is what decoding its code gives.
    float q2[3];
    int qavg2 = quantise(hue2, sat2, V2, q2);
    int err2 = avg2 - qavg2;
    if (odd_row)
        err2 += carry;
    out->code2 = pack_code(value_field(err2, V2), hue2, sat2);
    decode_code(out->code2, out->preview2);
}
