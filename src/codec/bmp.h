// BMP files as carriers travel in them: the headers read (of any BMP, so
// that the file layer reads pictures with the same parsing), the palette
// indices of a paletted file read, and the headers of the files we write.
// gfx16_carrier_to_bmp and gfx16_carrier_from_bmp, and the file layer,
// which streams carriers a slice at a time, all use these.
//
// A file is checked before anything is allocated for its picture: the
// headers and sizes first (bmp_parse_header), then, for the layouts that
// need decoding, every palette index and every run and delta of an RLE
// stream (bmp_read_indices, which writes nothing until all is checked).
// Rows that need no decoding (8-bit indices, 24-bit and 32-bit colours)
// can be read as they lie in the file, a slice at a time.
//
// What is read: info headers of 12 (OS/2 1.x), 16 and 64 (OS/2 2.x), 40,
// 52, 56, 108 and 124 bytes; bottom-up and top-down rows; 1, 2, 4 and 8
// bits with a palette (short palettes too; of a longer one than 256 entries
// the first 256); RLE8 and RLE4 (pixels a stream skips take index 0, runs
// past the end of a row are dropped, as the usual readers do); 16 and 32
// bits plain or with bit fields (with or without alpha) in any placement;
// 24 bits. Refused with their names: embedded JPEG and PNG, OS/2 Huffman
// and RLE24, 64 bits.
#ifndef GFX16_CODEC_BMP_H
#define GFX16_CODEC_BMP_H

#include <cstddef>
#include <cstdint>

// Enough of the start of a file for its headers, bit fields and palette.
const size_t bmp_head_size = 14 + 124 + 12 + 256 * 4;

// The widest BMP read, and the highest picture; a carrier may be twice as
// high.
const int bmp_max_side = 32768;

// Compression 3 and 4 mean other things in an OS/2 2.x header: Huffman 1D
// and RLE24, both refused.
enum { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_JPEG = 4, BI_PNG = 5, BI_ALPHABITFIELDS = 6 };

struct BmpInfo {
    int width, height;       // the height is positive even when top-down
    bool top_down;
    int bpp;                 // 1, 2, 4, 8, 16, 24 or 32
    int compression;         // BI_RGB, BI_RLE8, BI_RLE4, BI_BITFIELDS or BI_ALPHABITFIELDS
    uint32_t masks[3];       // red, green, blue (bit fields, and the plain 16/32-bit ones)
    int colours;             // palette entries (0 for true colour)
    uint8_t palette[256][3]; // red, green, blue; black beyond `colours`
    uint64_t offset;         // of the pixel data
    uint64_t stride;         // bytes a row, uncompressed
    uint64_t end;            // the bytes of the file that matter
};

// Checks the headers in `head` (the first n bytes of a file of file_size
// bytes: all of it, or at least bmp_head_size) and fills `info`; returns
// null, or why the file is refused. A picture may be at most bmp_max_side
// pixels wide and max_height high. With `stop_at_true_colour`, the
// headers of a true-colour file are read no further than its depth: `info`
// then holds its size and depth alone.
const char *bmp_parse_header(const uint8_t *head, size_t n, uint64_t file_size, int max_height,
                             bool stop_at_true_colour, BmpInfo *info);

// The palette indices (width x height bytes, top row first) of a paletted
// file whose first info.end bytes are in `file`: null, or why the file is
// refused, and then nothing is written. With `indices` null, the file is
// only checked.
const char *bmp_read_indices(const uint8_t *file, const BmpInfo &info, uint8_t *indices);

// The headers of a BMP as Allegro's save_bmp writes them: 8 bits with the
// carriers' palette, or 24 bits; bottom-up. They take bmp_header_size(bpp)
// bytes; the rows follow, bottom row first, each padded with zeros to
// bmp_stride bytes. The sides must be at least 1, and a carrier's or
// picture's at most what bmp_parse_header reads.
size_t bmp_header_size(int bpp);
const size_t bmp_header_most = 14 + 40 + 256 * 4;
void bmp_header(int w, int h, int bpp, uint8_t header[bmp_header_most]);
uint64_t bmp_stride(int w, int bpp);

#endif
