// The packed code: its three fields, its two carrier bytes, and the colour
// it decodes to, computed step by step (the decoder's table is built from
// it). <gfx16/codec.h> describes the format.
#ifndef GFX16_CODEC_CODE_H
#define GFX16_CODEC_CODE_H

#include <cstdint>

inline uint16_t pack_code(int value, int hue, int saturation)
{
    return (uint16_t)(value + 128 * hue + 8192 * saturation);
}
inline uint8_t code_low_byte(uint16_t code) { return (uint8_t)(code & 255); }
inline uint8_t code_high_byte(uint16_t code) { return (uint8_t)(code >> 8); }
inline uint16_t join_code(uint8_t low, uint8_t high) { return (uint16_t)(low + 256 * high); }
inline int code_value(uint16_t code) { return code & 127; }
inline int code_hue(uint16_t code) { return (code >> 7) & 63; }
inline int code_saturation(uint16_t code) { return (code >> 13) & 7; }

// The whole degrees of a hue level.
inline float hue_angle(int hue_level) { return (float)((hue_level * 360) >> 6); }

// The h, s, v that a code stands for, ready for HSVtoRGB.
void code_to_hsv(uint16_t code, float *h, float *s, float *v);

// The colour a code decodes to, each channel 0..254, through HSVtoRGB.
void decode_code(uint16_t code, uint8_t rgb[3]);

#endif
