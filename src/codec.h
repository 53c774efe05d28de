// Packed HSV codec: the 16-bit packed code, the carrier image, the encoder and
// the decoder.
//
// A packed code holds one pixel:
//
//   bits   field       range  decoded meaning
//   0-6    value       0-127  HSV value = 2 * field (0..254, even)
//   7-12   hue         0-63   hue = (field * 360) >> 6 whole degrees (0, 5, 11, .. 354)
//   13-15  saturation  0-7    HSV saturation = field / 8 (0 .. 0.875)
//
// The carrier is an 8-bit image as wide as the picture and twice as high:
// carrier pixel (x, 2y) holds the low byte of the code of picture pixel
// (x, y) and carrier pixel (x, 2y + 1) its high byte. Its palette means
// nothing; only the pixel indices carry data.
#ifndef GFX16_CODEC_H
#define GFX16_CODEC_H

#include <cstdint>

struct BITMAP;

// The two images the program works on: the source (the 32-bit picture when
// encoding, the 8-bit carrier when decoding) and the destination.
extern BITMAP *bmp;
extern BITMAP *bmp2;

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

// ---- Encoder --------------------------------------------------------------

// What the encoder makes of one horizontal pair of pixels.
struct PairResult {
    uint16_t code1, code2;
    uint8_t preview1[3], preview2[3];
};

// Encodes one pair (the first pixel at an even column) of a row of the given
// parity, step by step through RGBtoHSV and HSVtoRGB. This is the definition
// of the format's encoder; the picture encoder gets the same result through
// tables.
void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row,
                           PairResult *out);

// The same result through the encoder's tables.
void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out);

// Encodes the 32-bit `picture` (w x h) into the 8-bit `carrier` (w x 2h) and
// overwrites `picture` with the preview. Returns 0, or -1 (touching nothing)
// when the images have the wrong depths or sizes. The colours are read and
// made with the library's current 32-bit colour layout.
int encode_picture(BITMAP *picture, BITMAP *carrier);

// Builds the encoder's tables (a few milliseconds, once per process) now
// rather than in the first encode_picture, e.g. on another thread while the
// picture is read.
void prepare_encoder(void);

// Decodes the 8-bit `carrier` (W x H) into the 32-bit `picture`
// (W x H / 2). An odd last carrier row is ignored. Returns 0 or -1 as above.
int decode_picture(BITMAP *carrier, BITMAP *picture);

// The program's two steps over `bmp`, `bmp2` and the screen: encode (or
// decode), then show the result at the top-left corner of the screen.
void recolour_gfx(void);
void convert_gfx(void);

#endif
