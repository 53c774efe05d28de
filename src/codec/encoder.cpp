#include "codec/encoder.h"

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
