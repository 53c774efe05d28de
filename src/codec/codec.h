// The packed HSV codec's internals, for the programs and the tests: the
// packed code's fields, the encoder step by step, and what it makes of one
// pair of pixels. The codec's calls over whole pictures and rows are the
// public ones of <gfx16/codec.h>, which describes the format.
#ifndef GFX16_CODEC_H
#define GFX16_CODEC_H

#include <cstdint>

#include "gfx16/codec.h"

// ---- Packed code ---------------------------------------------------------

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

// The colour a code decodes to, each channel 0..254, computed through
// HSVtoRGB with no tables.
void decode_code(uint16_t code, uint8_t rgb[3]);

// ---- Encoder, one pair at a time --------------------------------------------

// What the encoder makes of one horizontal pair of pixels.
struct PairResult {
    uint16_t code1, code2;
    uint8_t preview1[3], preview2[3];
};

// Encodes one pair (the first pixel at an even column) of a row of the given
// parity, step by step through RGBtoHSV and HSVtoRGB. This is the definition
// of the format's encoder; the row encoder gets the same result through
// tables.
void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row,
                           PairResult *out);

// The same result through the encoder's tables.
void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out);

// Builds the encoder's tables now rather than in the first encoding call,
// e.g. on another thread while the picture is read.
void prepare_encoder(void);

// The threads a call of the codec would use now (gfx16_set_threads).
unsigned codec_threads(void);

// While one lives, the codec's calls on this thread use this thread alone:
// for callers that share the work out among threads themselves.
class CodecOnThisThread {
public:
    CodecOnThisThread();
    ~CodecOnThisThread();
    CodecOnThisThread(const CodecOnThisThread &) = delete;
    CodecOnThisThread &operator=(const CodecOnThisThread &) = delete;

private:
    bool before;
};

#endif
