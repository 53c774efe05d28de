/* gfx16 codec: a true-colour picture as 16-bit packed HSV codes.

   Every pixel becomes one 16-bit code of three fields:

     bits   field       range  decoded
     0-6    value       0-127  V = 2 * value                 (0, 2, .. 254)
     7-12   hue         0-63   H = (hue * 360) >> 6 degrees   (0, 5, 11, 16, .. 354)
     13-15  saturation  0-7    S = saturation / 8             (0, 0.125, .. 0.875)

   The codes are stored in a carrier: an 8-bit image as wide as the picture
   and twice as high. Row 2y holds the low bytes (code & 255) of the codes of
   picture row y, row 2y + 1 their high bytes (code >> 8). A carrier of odd
   height has a last row that means nothing. Stored as an 8-bit BMP (or an
   8-bit PNG), the pixel indices are the bytes; the palette means nothing.

   Decoding a code, exactly (every decoder of the format gives these colours):
   H, S and V are single-precision floats. If S is 0 the colour is
   (V, V, V). Otherwise, with x = H / 60, i = floor(x), f = x - i,

     p = (1 - S) * V,   q = (1 - S * f) * V,   t = (1 - (1 - f) * S) * V

   each of x, f, p, q and t evaluated in double precision from the floats it
   is made of and rounded to a float once, where it is stored (rounding after
   every operation gives other colours). The colour is, by sector i:

     i:      0  1  2  3  4  5
     red:    V  q  p  p  t  V
     green:  t  V  V  q  p  p
     blue:   p  p  t  V  V  q

   and every channel is truncated toward zero to an integer (0 to 254). For
   example low byte 158, high byte 44 (code 0x2C9E: value 30, hue 25,
   saturation 1; H 140, S 0.125, V 60) decodes to (52, 60, 55).

   Encoding chooses codes. gfx16_encode is the format's own encoder: pairs
   of pixels quantised with an ordered dither that alternates between even
   and odd rows, and each pixel's value corrected for the change of
   brightness that quantising made; a row's codes depend only on the row and
   whether its number is even. gfx16_encode_best chooses for every pixel the
   code that decodes nearest to it. Any decoder shows either.

   Pictures given to the simple calls are 3 bytes a pixel (red, green, blue),
   rows top to bottom, no padding. The row calls take other layouts, strides
   and ranges of rows, for streaming and for pixels that live elsewhere.

   Every call is safe from several threads at once. The library spreads
   large calls over the processor's cores; the result is the same on any
   number of threads. Errors are return values, and no call throws or
   aborts: 0 for done, -1 for bad arguments (then nothing is written), -2
   for not enough memory. The format's encoder and the decoder need no
   memory of their own (a thread that cannot be started leaves its share to
   the caller's), so only the calls that search for the nearest codes
   (best, best_rows, dithered) ever return -2. */
#ifndef GFX16_CODEC_PUBLIC_H
#define GFX16_CODEC_PUBLIC_H

#include <stddef.h>

#if defined(GFX16_BUILDING) && defined(__GNUC__)
#define GFX16_API __attribute__((visibility("default")))
#else
#define GFX16_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* rgb: w*h pixels, 3 bytes each (red, green, blue), rows top to bottom, no padding.
   carrier: w bytes a row, 2h rows top to bottom; row 2y holds the low bytes of the
   codes of picture row y, row 2y+1 their high bytes.
   preview: w*h*3 bytes like rgb, or NULL for none (then it is not computed). The
   format's encoder makes its preview from the quantised colours with the
   brightness error of each first pixel of a pair added in; gfx16_encode_best's
   preview is the decoded carrier.
   Return 0, or -1 (writing nothing) when w or h < 1, a needed pointer is NULL,
   or the sizes do not fit in size_t. gfx16_encode_best returns -2 when there
   is not enough memory for its search: nothing is written when the search's
   tables cannot be made, but rows may be half written when memory runs out
   later. */
GFX16_API int gfx16_encode(const unsigned char *rgb, int w, int h,
                 unsigned char *carrier, unsigned char *preview);
GFX16_API int gfx16_encode_best(const unsigned char *rgb, int w, int h,
                      unsigned char *carrier, unsigned char *preview);

/* gfx16_encode_best with the error of each pixel (its colour, plus what it
   received, minus the colour of its code) carried on to its neighbours by
   serpentine Floyd-Steinberg: smooth gradients show no bands, at the cost of
   a little noise (some 2 dB of PSNR on photographs). Rows depend on the rows
   above them, so there is no row call for it. Returns as gfx16_encode_best,
   but every code is found before any is written: on -2 (it needs 2 bytes a
   pixel besides) carrier and preview are as they were. */
GFX16_API int gfx16_encode_dithered(const unsigned char *rgb, int w, int h,
                                    unsigned char *carrier, unsigned char *preview);

/* carrier: w bytes a row, carrier_h rows; an odd last row is ignored.
   rgb: w * (carrier_h / 2) pixels, 3 bytes each. */
GFX16_API int gfx16_decode(const unsigned char *carrier, int w, int carrier_h, unsigned char *rgb);

/* The colour (red, green, blue) that a code decodes to. */
GFX16_API void gfx16_decode_code(unsigned code, unsigned char rgb[3]);

/* ---- Rows, layouts and threads ------------------------------------------ */

/* A pixel layout: 3 or 4 bytes a pixel and where in it each channel lies.
   A 4-byte pixel's spare byte is ignored when read and written as 0. */
typedef struct gfx16_layout {
    int bytes_per_pixel;
    int red, green, blue; /* byte offsets within a pixel */
} gfx16_layout;

GFX16_API extern const gfx16_layout gfx16_rgb;  /* 3 bytes: red, green, blue */
GFX16_API extern const gfx16_layout gfx16_bgr;  /* 3 bytes: blue, green, red (BMP rows) */
GFX16_API extern const gfx16_layout gfx16_rgbx; /* 4 bytes: red, green, blue, spare */
GFX16_API extern const gfx16_layout gfx16_bgrx; /* 4 bytes: blue, green, red, spare */

/* Encodes the picture rows first_row .. first_row + rows - 1 of a picture
   w pixels wide (rows may be 0).
   pixels: the first pixel of row first_row; each next row starts
   pixel_stride bytes further on (a negative stride for rows that go upward
   in memory, as in a bottom-up BMP).
   low, high: where the low and the high bytes of row first_row's codes go;
   each next row's are carrier_stride bytes further on.
   preview: NULL, or where row first_row's preview goes in preview_layout,
   each next row preview_stride bytes further on. It may be the pixels
   themselves: every pair of pixels is read before it is written.
   A row is even or odd by its own number, first_row + k.
   -1 also when first_row < 0 or first_row + rows > INT_MAX; the rows calls
   return as the whole-picture calls otherwise. */
GFX16_API int gfx16_encode_rows(const unsigned char *pixels, ptrdiff_t pixel_stride,
                      const gfx16_layout *layout, int w, int first_row, int rows,
                      unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                      unsigned char *preview, ptrdiff_t preview_stride,
                      const gfx16_layout *preview_layout);
GFX16_API int gfx16_encode_best_rows(const unsigned char *pixels, ptrdiff_t pixel_stride,
                           const gfx16_layout *layout, int w, int first_row, int rows,
                           unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                           unsigned char *preview, ptrdiff_t preview_stride,
                           const gfx16_layout *preview_layout);

/* Decodes `rows` picture rows: the codes of the first are in low[0..w-1] and
   high[0..w-1], each next row's carrier_stride bytes further on; the colours
   go to pixels in layout, each next row pixel_stride bytes further on. */
GFX16_API int gfx16_decode_rows(const unsigned char *low, const unsigned char *high,
                      ptrdiff_t carrier_stride, int w, int rows,
                      unsigned char *pixels, ptrdiff_t pixel_stride,
                      const gfx16_layout *layout);

/* The most threads a call may use: 1 for none besides the caller's, 0 (the
   default) for one a core, up to 8. A thread that cannot be started leaves
   its share to the caller's. */
GFX16_API void gfx16_set_threads(int threads);

#ifdef __cplusplus
}
#endif

#endif
