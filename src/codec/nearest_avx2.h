// The nearest-code search's two inner loops in AVX2, for nearest.cpp: the
// same answers as its plain loops, in fewer instructions. Only on x86-64,
// and called only when the processor has AVX2 (simd.h).
#ifndef GFX16_CODEC_NEAREST_AVX2_H
#define GFX16_CODEC_NEAREST_AVX2_H

#include <cstddef>
#include <cstdint>

#include "codec/simd.h"

#if GFX16_X86_VECTORS
// For each of `count` sites (colour site_rgb[sites[i]], as r | g << 8 |
// b << 16), its least squared distance to the cell of colours low[c] ..
// low[c] + high on each axis into least[i]; returns the least of the
// sites' greatest squared distances to the cell (UINT32_MAX for none).
uint32_t cell_distances_avx2(const uint32_t *site_rgb, const uint16_t *sites, uint32_t count, const int low[3],
                             int high, uint32_t *least);

// The sites[i] whose least[i] is at most `bound`, in order, into `kept`
// (room for `count`); returns how many.
uint32_t keep_within_avx2(const uint16_t *sites, const uint32_t *least, uint32_t count, uint32_t bound,
                          uint16_t *kept);

// For each colour of the smallest cell whose lowest corner is `low`, in the
// order (r & 3) << 4 | (g & 3) << 2 | (b & 3), the first of the `count`
// sites (in the order given) at the least squared distance. Every colour
// must have a site within 255 levels among them.
void leaf_sites_avx2(const uint32_t *site_rgb, const uint16_t *sites, uint32_t count, const int low[3],
                     uint16_t nearest[64]);

// Looks up the answers of `pixels` pixels of `step` bytes (3 or 4), the
// channels at the offsets given, eight at a time, in `answers` (the table
// of every colour in Morton order, holding code ^ 128 or 0, with one entry
// to spare at the end): the codes into `codes` when it is not null.
// Returns how many pixels it did, stopping at the first colour without an
// answer and before the last pixel (four bytes are read at each pixel).
size_t answers_avx2(const uint16_t *answers, const uint8_t *px, int step, int red, int green, int blue, size_t pixels,
                    uint16_t *codes);

// Likewise, but only asks whether each pixel's smallest cell has its
// answers made: bit r >> 2 | (g >> 2) << 6 | (b >> 2) << 12 of `made`.
size_t leaves_made_avx2(const uint32_t *made, const uint8_t *px, int step, int red, int green, int blue,
                        size_t pixels);
#endif

#endif
