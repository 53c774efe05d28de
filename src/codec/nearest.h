// The nearest packed code of a colour, exactly: the code whose decoded colour
// (decode_code) has the least sum of squared channel differences from it,
// and among codes at the same distance the lowest one: what "--best" gives
// every pixel, and what error diffusion rounds to.
//
// Everything it needs is built on first use and kept for the process; every
// function here may be called from several threads at once.
#ifndef GFX16_CODEC_NEAREST_H
#define GFX16_CODEC_NEAREST_H

#include <cstddef>
#include <cstdint>

// Builds what the search starts from (a few milliseconds, once per process)
// now rather than in the first call, e.g. on another thread while the
// picture is read. Returns 0, or -1 when there is not enough memory.
int prepare_nearest(void);

// Whether the codes are searched for, rather than read from the table the
// library was built with (nearest_table.h): without one, or when the
// environment variable GFX16_NEAREST is "search". The answers are the same.
bool nearest_searches(void);

// The nearest code of one colour, or -1 when there is not enough memory
// for the search's tables.
int nearest_code(uint8_t r, uint8_t g, uint8_t b);

// codes[i] = the nearest code of pixel i (rgb: R, G, B, 3 bytes a pixel).
// A large picture is shared out among the processor's cores. Returns 0, or
// -1 when memory ran out (some codes are then not written).
int nearest_codes(const uint8_t *rgb, size_t pixels, uint16_t *codes);

// The same on the calling thread alone, for `count` pixels of
// `bytes_per_pixel` bytes with the channels at the offsets given.
int nearest_codes_of(const uint8_t *pixels, int bytes_per_pixel, int red, int green, int blue, size_t count,
                     uint16_t *codes);

// Makes all that nearest_codes_of needs for these pixels, so that it then
// needs no memory: 0, or -1 when there is not enough.
int nearest_reach(const uint8_t *pixels, int bytes_per_pixel, int red, int green, int blue, size_t count);

// Codes for a w x h picture (rows top to bottom, no padding) with the error
// of each pixel (its colour, plus the error it received, minus the decoded
// colour of its code) carried to its neighbours by serpentine Floyd-Steinberg.
// Each pixel's target, colour plus received error, is held within 0..255.
// Rows run one after another: the work is not shared among cores. Returns 0,
// or -1 as nearest_codes.
int dithered_codes(const uint8_t *rgb, int w, int h, uint16_t *codes);

#endif
