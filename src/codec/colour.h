// Colour model: one colour at a time between RGB and HSV.
//
// Hue is in degrees (six sectors of 60: red 0, yellow 60, green 120, cyan 180,
// blue 240, magenta 300), saturation 0..1, value and channels on the 0..255
// scale. RGBtoHSV gives hue -1 for black and NaN for a grey above black.
//
// Every quantity is stored as float, but each expression is evaluated in
// double and rounded to float once, when it is stored. Rounding after every
// operation gives different hues and decoded colours, and the packed codes of
// files already written depend on these exact results.
#ifndef GFX16_CODEC_COLOUR_H
#define GFX16_CODEC_COLOUR_H

#include <cstdint>

void RGBtoHSV(float r, float g, float b, float *h, float *s, float *v);
void HSVtoRGB(float h, float s, float v, float *r, float *g, float *b);

// Float to integer, truncating toward zero, as the x86 conversion instruction
// does: NaN and anything out of the 32-bit range give INT32_MIN. The encoder
// relies on this to give a grey (NaN hue) pixel hue level 0.
int32_t trunc_to_int(double x);

#endif
