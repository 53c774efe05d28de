// The encoder's and the decoder's tables, and a pair of pixels encoded
// through them.
//
// Everything the encoder computes per pixel depends on a few small integers,
// so tables built once from the step-by-step functions (encoder.h) replace the
// floating point of the hot loops:
// - the hue (fine level on 128 steps; the field is its upper six bits and the
//   flag its lowest bit) on which channel is largest, the difference that
//   channel's formula takes, and max - min;
// - the saturation fields on max and max - min;
// - the source brightness on the sum of the channels;
// - the quantised colour and its brightness on hue field, saturation field
//   and value;
// - a decoded colour on its code (the decoder's only table).
#ifndef GFX16_CODEC_TABLES_H
#define GFX16_CODEC_TABLES_H

#include <algorithm>
#include <cstdint>

#include "codec/code.h"
#include "codec/encoder.h"

enum { RED_MAX, GREEN_MAX, BLUE_MAX };

// Saturation fields packed in one word, three bits each.
enum { SAT1_EVEN = 0, SAT1_ODD = 3, SAT2_EVEN = 6, SAT2_ODD = 9 };

// The preview of a first pixel as the hot loop needs it. Its channel is
// trunc(float(err + channel)), capped to 0..254. With the channel's whole
// part n and B = err + n that is B, or B + 1 where rounding the sum to float
// reaches the next whole number; floats get coarser as they grow, so that
// happens from some B on: `round_up_from` is that B (255 for never).
// The fourth byte of each is 0 and unused: an entry of 8 bytes is one load
// for the vector loop.
struct PreviewEntry {
    uint8_t whole_part[4];
    uint8_t round_up_from[4];
};

// The encoder's tables. Only differences within +-(max - min), and max - min
// up to max, occur; laid out as triangles, the tables take half the room
// and more of them stays in the processor's caches.
struct EncoderTables {
    uint8_t fine_hue[3][256 * 256];          // [largest channel][hue_index(max - min, difference)]
    uint16_t saturation[256 * 257 / 2];      // [saturation_index(max, max - min)]
    uint8_t brightness[766];                 // [r + g + b]
    // The quantised colour of a saturation field, hue field and value: its
    // brightness, and (first pixels only, whose values are even) its preview.
    uint8_t quant_brightness[8][64][256];    // [saturation][hue][value]
    PreviewEntry quant_preview[8][64][128];  // [saturation][hue][value / 2]
};

inline int hue_index(int delta, int diff) { return delta * delta + delta + diff; }
inline int saturation_index(int max, int delta) { return max * (max + 1) / 2 + delta; }

// The tables, built on first use on this thread and, when one can be
// started, a second: the quantised colours' brightness always, the others
// only when asked for. The levels' tables (fine_hue, saturation and
// brightness) serve the plain loop and pixel_levels; the vector loop works
// the levels out. Nothing is allocated: they are always there, whatever
// memory is left.
enum { LEVEL_TABLES = 1, PREVIEW_TABLES = 2 };
const EncoderTables &encoder_tables(int parts);

// The colour of every code, as red | green << 8 | blue << 16.
const uint32_t *decoded_colours();

// The same in the two 4-byte layouts with the channels in its first three
// bytes (red first, or blue first), ready to store as one word.
const uint32_t *decoded_words(bool blue_first);

struct PixelLevels {
    int fine_hue, value, brightness, saturation;
};

inline PixelLevels pixel_levels(const EncoderTables &t, int r, int g, int b)
{
    // The same choice of formula as RGBtoHSV: red first, then green.
    int max = std::max(r, std::max(g, b));
    int min = std::min(r, std::min(g, b));
    int formula, diff;
    if (r == max) {
        formula = RED_MAX; diff = g - b;
    } else if (g == max) {
        formula = GREEN_MAX; diff = b - r;
    } else {
        formula = BLUE_MAX; diff = r - g;
    }
    return {t.fine_hue[formula][hue_index(max - min, diff)], max, t.brightness[r + g + b],
            t.saturation[saturation_index(max, max - min)]};
}

// A first pixel's preview channel from its base (PreviewEntry).
inline uint8_t preview_from(int base, int round_up_from)
{
    int channel = base + (base >= round_up_from);
    return (uint8_t)(channel < 0 ? 0 : channel > 254 ? 254 : channel);
}

// The rules of encode_pair_reference on the levels of the two pixels: the
// two codes, and the brightness error of the first pixel with its
// quantised colour, from which its preview is made. (The second pixel's
// preview is the colour its code decodes to.)
struct PairCodes {
    uint16_t code1, code2;
    int err1;
    const PreviewEntry *quant1;
};

__attribute__((always_inline)) inline PairCodes encode_levels(const EncoderTables &t, const PixelLevels &p1,
                                                              const PixelLevels &p2, int odd_row)
{
    int carry = (p1.value & 1) * 2;
    int v1 = p1.value & ~1, v2 = p2.value;

    // The flag is added rather than tested: it is as often set as not, and
    // a branch on it would be mispredicted half the time.
    int hue1 = p1.fine_hue >> 1, hue2 = p2.fine_hue >> 1, hue_flag = p1.fine_hue & 1;
    if (!odd_row)
        hue1 = std::min(hue1 + hue_flag, 63);
    else
        hue2 = std::min(hue2 + hue_flag, 63);
    int sat1 = (p1.saturation >> (odd_row ? SAT1_ODD : SAT1_EVEN)) & 7;
    int sat2 = (p2.saturation >> (odd_row ? SAT2_ODD : SAT2_EVEN)) & 7;

    // The value field is (err + value) / 2 within 0..127; the value is whole.
    PairCodes c;
    c.err1 = p1.brightness - t.quant_brightness[sat1][hue1][v1] + (odd_row ? 0 : carry);
    c.quant1 = &t.quant_preview[sat1][hue1][v1 / 2];
    c.code1 = pack_code(std::clamp(c.err1 + v1, 0, 254) >> 1, hue1, sat1);
    int err2 = p2.brightness - t.quant_brightness[sat2][hue2][v2] + (odd_row ? carry : 0);
    c.code2 = pack_code(std::clamp(err2 + v2, 0, 254) >> 1, hue2, sat2);
    return c;
}

// Builds the encoder's tables now rather than in the first encoding call,
// e.g. on another thread while the picture is read.
void prepare_encoder(void);

// encode_pair_reference's result through the tables.
void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out);

#endif
