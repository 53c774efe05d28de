// BMP files: every valid layout read, with a plain refusal and its reason
// for every damaged or hostile one; carriers and pictures written.
//
// A file is checked before anything is allocated for its picture: the
// headers and sizes first (bmp_read_header), then, for the layouts that need
// decoding, every palette index and every run and delta of an RLE stream.
// Rows that need no decoding (8-bit indices, 24-bit and 32-bit colours) can
// be read as they lie in the file, a slice at a time.
//
// What loads: info headers of 12 (OS/2 1.x), 16 and 64 (OS/2 2.x), 40, 52,
// 56, 108 and 124 bytes; bottom-up and top-down rows; 1, 2, 4 and 8 bits
// with a palette (short palettes too; of a longer one than 256 entries the
// first 256); RLE8 and RLE4 (pixels a stream skips take index 0, runs past
// the end of a row are dropped, as the usual readers do); 16 and 32 bits
// plain or with bit fields (with or without alpha, which is ignored) in any
// placement (channels narrower or wider than 8 bits scaled to 0..255 by
// scale_level); 24 bits. Refused with their names: embedded JPEG and PNG,
// OS/2 Huffman and RLE24, 64 bits.
#ifndef GFX16_FILES_BMP_H
#define GFX16_FILES_BMP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gfx16/codec.h"
#include "files/error.h"
#include "files/picture.h"

// Enough of the start of a file for its headers, bit fields and palette.
const size_t bmp_head_size = 14 + 124 + 12 + 256 * 4;

struct BmpInfo {
    int width, height;       // the height is positive even when top-down
    bool top_down;
    int bpp;                 // 1, 2, 4, 8, 16, 24 or 32
    int compression;         // 0 none, 1 RLE8, 2 RLE4, 3 bit fields, 6 bit fields with alpha
    uint32_t masks[3];       // red, green, blue (bit fields, and the plain 16/32-bit ones)
    int colours;             // palette entries (0 for true colour)
    uint8_t palette[256][3]; // red, green, blue; black beyond `colours`
    uint64_t offset;         // of the pixel data
    uint64_t stride;         // bytes a row, uncompressed
    uint64_t end;            // the bytes of the file that matter
};

// Checks the headers in `head` (the first n bytes of a file of file_size
// bytes: all of it, or at least bmp_head_size) and fills `info`. A picture
// may be at most 32768 pixels wide and max_height high. With
// `stop_at_true_colour`, the headers of a true-colour file are read no
// further than its depth: `info` then holds its size and depth alone.
Error bmp_read_header(const uint8_t *head, size_t n, uint64_t file_size, int max_height, bool stop_at_true_colour,
                      BmpInfo *info);

// Whether the rows can be used as they lie in the file: 8-bit indices
// without compression, or 24- or 32-bit colours in whole bytes, whose
// layout bmp_row_layout gives (blue, green, red, and a spare byte).
bool bmp_rows_as_stored(const BmpInfo &info);
gfx16_layout bmp_row_layout(const BmpInfo &info);

// The palette indices (w x h bytes, top row first) of a paletted file
// whose first info.end bytes are in `file`.
Error bmp_decode_indices(const uint8_t *file, const BmpInfo &info, std::vector<uint8_t> *indices);

// The colours (3 bytes a pixel, red first, top row first) of any file,
// likewise.
Error bmp_decode_colours(const uint8_t *file, const BmpInfo &info, std::vector<uint8_t> *rgb);

// Writing: the headers of an 8-bit carrier (w x h indices, with the
// carriers' palette) or of a 24-bit picture, bottom-up, as Allegro's
// save_bmp writes them; rows then follow bottom row first, each padded to
// bmp_stride bytes.
std::vector<uint8_t> bmp_header(int w, int h, int bpp);
uint64_t bmp_stride(int w, int bpp);

#endif
