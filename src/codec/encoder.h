// The format's encoder, step by step, one pair of pixels at a time: the
// definition of what it makes. The row loops get the same results through
// tables (tables.h), which are built from the steps below.
#ifndef GFX16_CODEC_ENCODER_H
#define GFX16_CODEC_ENCODER_H

#include <cstdint>

// What the encoder makes of one horizontal pair of pixels.
struct PairResult {
    uint16_t code1, code2;
    uint8_t preview1[3], preview2[3];
};

// Encodes one pair (the first pixel at an even column) of a row of the given
// parity through RGBtoHSV and HSVtoRGB.
void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out);

// Hue level on `levels` steps of the circle (64 for a field, 128 for the
// first pixel's fine hue).
int hue_level(float hue, int levels);

// The quantised colour of a hue level, a saturation field and a value, and
// its brightness.
int quantise(int hue, int sat, float value, float rgb[3]);

// A first pixel's preview channel: its quantised channel shifted by the
// brightness error.
uint8_t preview_channel(int err, float channel);

// The saturation fields of the first and of the second pixel of a pair.
int first_saturation(float s, int odd_row);
int second_saturation(float s, int odd_row);

// A source pixel's brightness.
int source_brightness(float r, float g, float b);

#endif
