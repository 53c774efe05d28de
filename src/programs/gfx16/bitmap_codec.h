// The codec over Allegro bitmaps and the screen: the two steps of the
// desktop program, over its two images.
#ifndef GFX16_PROGRAMS_BITMAP_CODEC_H
#define GFX16_PROGRAMS_BITMAP_CODEC_H

#include <cstddef>

#include "gfx16/codec.h"

struct BITMAP;

// The two images the program works on: the source (the 32-bit picture when
// encoding, the 8-bit carrier when decoding) and the destination.
extern BITMAP *bmp;
extern BITMAP *bmp2;

// Allegro's 32-bit colours as bytes in memory, in the library's current
// colour layout.
gfx16_layout allegro_layout(void);

// The step from one row of a memory bitmap to the next.
ptrdiff_t bitmap_stride(BITMAP *b);

// Encodes the 32-bit `picture` (w x h) into the 8-bit `carrier` (w x 2h) and
// overwrites `picture` with the preview. Returns 0, or -1 (touching nothing)
// when the images have the wrong depths or sizes. Colours are read and made
// in the library's current 32-bit colour layout.
int encode_picture(BITMAP *picture, BITMAP *carrier);

// Decodes the 8-bit `carrier` (W x H) into the 32-bit `picture`
// (W x H / 2). An odd last carrier row is ignored. Returns 0 or -1 as above.
int decode_picture(BITMAP *carrier, BITMAP *picture);

// The program's two steps over `bmp`, `bmp2` and the screen: encode (or
// decode), then show the result at the top-left corner of the screen.
void recolour_gfx(void);
void convert_gfx(void);

#endif
