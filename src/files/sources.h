// The row sources the readers make: items held whole in memory, and the
// rows of a BMP read from the file as they lie there, a block at a time.
#ifndef GFX16_FILES_SOURCES_H
#define GFX16_FILES_SOURCES_H

#include <cstdint>
#include <vector>

#include "files/bmp.h"
#include "files/input.h"
#include "files/rows.h"

// Items held in memory, top row first, no padding: a picture's pixels, 3
// bytes each (red, green, blue), or a carrier's bytes.
class HeldRows : public RowSource {
public:
    // Holds `bytes`.
    HeldRows(std::vector<uint8_t> bytes, int w, int h, int rows_per_item, int file_rows);
    // Reads the caller's bytes, which must outlive it.
    HeldRows(uint8_t *bytes, int w, int h, int rows_per_item, int file_rows);
    Error rows(int first, int count, Rows *out, Block *block) override;
    // The bytes it holds; moved out, they leave it empty.
    std::vector<uint8_t> held;

private:
    uint8_t *bytes;
    int row_bytes;
};

// The rows of a BMP file whose rows need no decoding (bmp_rows_as_stored):
// a picture's of 24 or 32 bits, or a carrier's of 8, each block read from
// the file when it is asked for.
class BmpRows : public RowSource {
public:
    BmpRows(Input &in, const BmpInfo &info, int rows_per_item);
    Error rows(int first, int count, Rows *out, Block *block) override;

private:
    Input &in;
    BmpInfo info;
    gfx16_layout layout;
    std::vector<uint8_t> own;
};

#endif
