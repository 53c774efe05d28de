// Rows on their way between a file and the codec, a block at a time. An
// item is a row of the picture: in a picture file one row of pixels, in a
// carrier two rows, the low bytes of its codes and below them the high
// bytes. Sources and sinks take the rows an item has as a parameter, so
// that one of each serves pictures and carriers alike.
#ifndef GFX16_FILES_ROWS_H
#define GFX16_FILES_ROWS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "files/error.h"
#include "gfx16/codec.h"

// Where a block of items lies in memory: item k's row (a carrier item's
// row of low bytes) starts at first + k * step; a carrier item's row of
// high bytes `high` bytes after its row of low bytes. A picture's pixels
// are in `layout`.
struct Rows {
    uint8_t *first;
    ptrdiff_t step;
    ptrdiff_t high;
    gfx16_layout layout;
};

// The bytes of a slice of items, held by whoever works on that slice:
// several can be at work at once.
struct Block {
    std::vector<uint8_t> bytes;
    int first = 0, count = 0;
};

// A file being read: w x h items of rows_per_item rows each, which can be
// had in any order.
class RowSource {
public:
    virtual ~RowSource() = default;
    int w = 0, h = 0;
    int rows_per_item = 1;
    int file_rows = 0;       // h x rows_per_item, or one more: a carrier's odd last row, ignored
    const char *format = "";
    bool bottom_up = false;  // its items are cheapest from the last up
    // Items [first, first + count), item 0 at the top, read into `block` (or
    // the source's own, without one); valid until the next call with it.
    // Calls with blocks of their own may run at once.
    virtual Error rows(int first, int count, Rows *out, Block *block = nullptr) = 0;
};

// A file being written: room() for items [first, first + count), filled by
// the caller, then put() with the same block; finish() when every item has
// been put. Rooms of blocks of their own may be filled and put at once,
// except in a sequential sink (a BMP into a pipe), which takes its blocks
// one at a time from the last item up, each just above the one before.
// Without a block the sink's own is used.
class RowSink {
public:
    virtual ~RowSink() = default;
    int rows_per_item = 1;
    bool sequential = false;
    virtual Error room(int first, int count, Rows *out, Block *block = nullptr) = 0;
    virtual Error put(Block *block = nullptr) = 0;
    virtual Error finish() = 0;
};

// Copies `count` items of w pixels from one place to another: a carrier's
// two rows of bytes each (rows_per_item 2), or a picture's pixels from one
// layout to another.
void copy_items(const Rows &from, const Rows &to, int w, int count, int rows_per_item);

// Puts `count` items held in `from` into the sink as items [first, first +
// count).
Error put_items(RowSink &sink, const Rows &from, int w, int first, int count, Block *block = nullptr);

#endif
