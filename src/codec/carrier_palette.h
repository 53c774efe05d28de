// The palette written into every carrier file: the VGA colours that Allegro
// installs as its default palette, which carriers have always carried. The
// palette means nothing to the codec; keeping it keeps the files the same to
// the byte.
#ifndef GFX16_CODEC_CARRIER_PALETTE_H
#define GFX16_CODEC_CARRIER_PALETTE_H

#include <cstdint>

extern const uint8_t carrier_palette[256][3];  // red, green, blue

#endif
