// Reading BMP files: every valid layout, and a plain refusal, with its
// reason, for every damaged or hostile one.
//
// Each file is checked whole before anything is allocated for its picture:
// headers, sizes, bit fields, palette, that the pixel data is all there, and
// for RLE the whole stream, run by run. Only a file that passes is decoded
// (by SDL2's BMP decoder, from the bytes already read and checked; plain
// 24-bit rows, which need no decoder, are read and converted a slice at a
// time).
#ifndef GFX16_BMPREAD_H
#define GFX16_BMPREAD_H

#include <cstddef>
#include <cstdint>

struct BITMAP;
struct RGB;

// Loads a picture as load_bitmap() does, but a ".bmp" file (any case)
// through this reader. (Registering the reader with
// register_bitmap_file_type("bmp", ...) cannot work: Allegro 4.4 appends to
// its list of types and load_bitmap() takes the first that matches, its own.)
BITMAP *load_picture(const char *filename, RGB *pal);

// The reader itself, with load_bitmap()'s contract. The bitmap's depth:
//  - a paletted file (1, 4, 8 bits, RLE included) gives an 8-bit bitmap of
//    its raw palette indices;
//  - a 24-bit file gives 24 bits, a 16- or 32-bit file 32 bits;
//  - but when the current colour conversion (set_color_conversion) asks for
//    that depth to be converted to the current colour depth (15, 16, 24 or
//    32), the bitmap has the current depth, its colours made with makecol
//    from the file's full 8-bit channels (palette colours included).
// `pal`, if not NULL, receives the file's palette as 6-bit values (entries
// beyond a short palette are black), or a 3-3-2 palette for a true-colour
// file. Returns NULL on any failure; bmp_reader_error() says why.
BITMAP *load_bmp_checked(const char *filename, RGB *pal);

// The same from bytes in memory.
BITMAP *load_bmp_checked_memory(const void *data, size_t size, RGB *pal);

// Why the last call of the reader failed ("" after a success, and after
// load_picture() of a file that is not a BMP). One of:
//   cannot open the file: <system error>     cannot read the file: <system error>
//   not a BMP file                           file too short for its headers
//   file too short for its palette           unknown info header size
//   planes field is not 1                    width or height is 0
//   negative width                           picture larger than 32768 pixels a side
//   picture too large for this machine's memory
//   unsupported bits per pixel               unsupported compression
//   compression does not fit the bits per pixel
//   top-down picture cannot be compressed    bit fields are zero or overlap
//   bit fields are not runs of bits          bit fields do not fit the pixel
//   unsupported bit fields                   colour count out of range
//   pixel data offset inside the headers or palette
//   pixel data shorter than the header says  palette index beyond the palette
//   RLE run leaves the picture               RLE delta leaves the picture
//   RLE data ends before its end mark        not enough memory
//   cannot decode: <decoder's message>
const char *bmp_reader_error(void);

// `text`, followed by ": " and bmp_reader_error() when the reader refused a
// file; the result lives until the next call.
const char *with_load_reason(const char *text);

// Most pixels a picture may have; 0 restores the default, the pixels of which
// two 32-bit copies fit in the machine's memory. (The side limit of 32768
// holds whatever this says.) For tests and fuzzing.
void bmp_reader_set_pixel_limit(uint64_t max_pixels);

#endif
