/* gfx16: true-colour pictures as 16-bit packed HSV codes, in an 8-bit carrier.

   THE FORMAT

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

   THE CALLS

   Pictures given to the simple calls are 3 bytes a pixel (red, green, blue),
   rows top to bottom, no padding: gfx16_picture_bytes(w, h) bytes. Their
   carriers are w bytes a row, 2h rows: gfx16_carrier_bytes(w, h) bytes. The
   row calls take other layouts, strides and ranges of rows, for streaming
   and for pixels that live elsewhere. gfx16_carrier_to_bmp and
   gfx16_carrier_from_bmp turn a carrier into the BMP file that gfx16conv
   and the desktop program write and read, and back.

   ERRORS

   Every call that can fail returns GFX16_OK (0) or one of the negative
   codes below, which gfx16_strerror puts into words. A call that fails
   writes nothing: every buffer, and every value it returns through a
   pointer, is as it was (gfx16_carrier_from_bmp alone gives a file's sizes
   when its buffer is too small for them). No call throws, aborts or ends
   the process.

   THREADS

   Every call is safe from several threads at once. A call spreads a large
   picture over the processor's cores; the bytes are the same on any number
   of threads. gfx16_set_threads limits how many threads one call may use;
   the limit is the process's, for calls from every thread. A thread that
   cannot be started leaves its share to the caller's thread. */
#ifndef GFX16_CODEC_PUBLIC_H
#define GFX16_CODEC_PUBLIC_H

#include <stddef.h>

#if defined(GFX16_BUILDING) && defined(__GNUC__)
#define GFX16_API __attribute__((visibility("default")))
#else
#define GFX16_API
#endif

/* The version of this header. CMake's project(), the library's SONAME
   (libgfx16.so.MAJOR), pkg-config and find_package(gfx16) take it from here. */
#define GFX16_VERSION_MAJOR 1
#define GFX16_VERSION_MINOR 2
#define GFX16_VERSION_PATCH 0
#define GFX16_VERSION_STRING "1.2.0"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version, errors, sizes --------------------------------------------- */

/* GFX16_VERSION_STRING of the library that runs, which may be newer than
   the header a program was built with. */
GFX16_API const char *gfx16_version(void);

enum {
    GFX16_OK = 0,
    GFX16_EINVAL = -1,  /* bad arguments: a null pointer, a size below 1 or too large, a bad layout,
                           a buffer too small */
    GFX16_ENOMEM = -2,  /* not enough memory (only the searches for the nearest codes need any) */
    GFX16_EFORMAT = -3  /* the bytes are not a carrier this library reads */
};

/* A sentence for a code: "not enough memory", ...; never NULL. */
GFX16_API const char *gfx16_strerror(int code);

/* The bytes of a carrier (w * 2h) and of a picture (w * h * 3) of a w x h
   picture; 0 for sizes below 1, or past what a buffer can hold (PTRDIFF_MAX
   bytes). The calls take exactly the sizes for which these are not 0. */
GFX16_API size_t gfx16_carrier_bytes(int w, int h);
GFX16_API size_t gfx16_picture_bytes(int w, int h);

/* ---- Encoding and decoding ---------------------------------------------- */

/* rgb: the w x h picture. carrier: room for its carrier.
   preview: room for a picture like rgb, or NULL for none (then it is not
   computed). The format's encoder makes its preview from the quantised
   colours with the brightness error of each first pixel of a pair added in;
   gfx16_encode_best's preview is the decoded carrier.
   GFX16_EINVAL when rgb or carrier is NULL or the sizes are refused;
   gfx16_encode_best and gfx16_encode_dithered return GFX16_ENOMEM when there
   is not enough memory for their search. */
GFX16_API int gfx16_encode(const unsigned char *rgb, int w, int h,
                           unsigned char *carrier, unsigned char *preview);
GFX16_API int gfx16_encode_best(const unsigned char *rgb, int w, int h,
                                unsigned char *carrier, unsigned char *preview);

/* gfx16_encode_best with the error of each pixel (its colour, plus what it
   received, minus the colour of its code) carried on to its neighbours by
   serpentine Floyd-Steinberg: smooth gradients show no bands, at the cost of
   a little noise (some 2 dB of PSNR on photographs). Rows depend on the rows
   above them, so there is no row call for it. It needs 2 bytes a pixel of
   memory besides. */
GFX16_API int gfx16_encode_dithered(const unsigned char *rgb, int w, int h,
                                    unsigned char *carrier, unsigned char *preview);

/* carrier: w bytes a row, carrier_h rows (2 or more); an odd last row is
   ignored. rgb: room for the w x (carrier_h / 2) picture. */
GFX16_API int gfx16_decode(const unsigned char *carrier, int w, int carrier_h, unsigned char *rgb);

/* The colour (red, green, blue) that a code decodes to. */
GFX16_API void gfx16_decode_code(unsigned code, unsigned char rgb[3]);

/* ---- Carrier files in memory -------------------------------------------- */

/* Receives `size` bytes of a file, in order; `context` is the caller's. */
typedef void gfx16_write_func(void *context, const void *data, size_t size);

/* The carrier (w bytes a row, carrier_h rows) as the 8-bit BMP file that
   gfx16conv writes, byte for byte: headers, a palette, then the rows bottom
   row first, each padded to a multiple of 4 bytes. The bytes go to `write`,
   a part at a time, before the call returns. GFX16_EINVAL when carrier or
   write is NULL, w is not 1 to 32768 or carrier_h not 2 to 65536 (what
   gfx16_carrier_from_bmp reads back). */
GFX16_API int gfx16_carrier_to_bmp(const unsigned char *carrier, int w, int carrier_h,
                                   gfx16_write_func *write, void *context);

/* Reads the carrier in the `size` bytes of a BMP file at `bmp` into
   `carrier` (capacity bytes), w bytes a row, top row first, and sets *w and
   *carrier_h. Read: paletted BMPs of 1, 2, 4 and 8 bits (the palette
   indices are the bytes), uncompressed or RLE4/RLE8, bottom-up or top-down,
   with Windows or OS/2 headers, at most 32768 wide and 65536 high, 2 rows
   or more. GFX16_EFORMAT for anything else, and for a file that is cut
   short, or whose indices or RLE stream go beyond its palette or its
   picture; the headers are checked before anything else.
   *w and *carrier_h are set as soon as the headers show such a carrier,
   even when the call then fails: GFX16_EINVAL when capacity is less than
   w * carrier_h (carrier may then be NULL, to ask a file's size). */
GFX16_API int gfx16_carrier_from_bmp(const void *bmp, size_t size, unsigned char *carrier, size_t capacity,
                                     int *w, int *carrier_h);

/* ---- Rows and layouts --------------------------------------------------- */

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
   GFX16_EINVAL also when first_row < 0 or first_row + rows > INT_MAX; the
   row calls return as the whole-picture calls otherwise. */
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

/* ---- Threads ------------------------------------------------------------ */

/* The most threads one call may use, the caller's own counted: 1 for the
   caller's thread alone (no thread is ever started), 0 (the default) for
   one a processor core. The library's calls use 8 at most, and one alone on
   pictures too small to gain. It is a setting of the whole process, not of
   the thread that makes it: it holds for every call, from every thread,
   from then on. */
GFX16_API void gfx16_set_threads(int threads);

#ifdef __cplusplus
}
#endif

#endif
