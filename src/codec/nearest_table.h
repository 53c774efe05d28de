// The nearest code of every colour, worked out once when the library is
// built (by make_nearest_table, which runs the search of nearest.cpp over
// all 2^24 colours) and linked into it, so that a picture's colours are
// looked up rather than searched for. Searching a photograph's colours
// costs some 1.5 us for each cell of 4 x 4 x 4 colours it reaches, far more
// than the lookups; decoding a cell from this table, 0.1-0.3 us.
//
// The colours are taken in Morton order (table_index: the bits of red,
// green and blue interleaved), so that a cell of 4 x 4 x 4 colours is 64
// consecutive indices, and neighbouring cells lie near each other. A cell
// has few distinct answers (3.9 on average, at most a few dozen), so it is
// stored as a palette of codes and an index into it for each colour:
//
//   bytes                    what
//   4 x 16384                for each group of 16 cells (cell number >> 4),
//                            where its first cell starts, from the start of
//                            the table: uint32, little-endian
//   then each cell, in cell number order (a colour's table_index >> 6):
//   1                        n, how many distinct codes, 1..64
//   2 x n                    the codes, uint16 little-endian, ascending
//   8 x bits(n)              64 indices into them, bits(n) bits each
//                            (0 when n is 1, else the fewest that hold
//                            n - 1), the colour table_index & 63 at bit
//                            (table_index & 63) * bits(n), lowest first
//   1                        a zero byte at the end, so that an index is
//                            always read as two whole bytes
//
// The whole table is about 6.7 MB.
#ifndef GFX16_CODEC_NEAREST_TABLE_H
#define GFX16_CODEC_NEAREST_TABLE_H

#include <cstddef>
#include <cstdint>

const int table_cells = 1 << 18, table_cells_per_group = 16;

// A colour's place in Morton order: bit i of red, green and blue at bits
// 3i + 2, 3i + 1 and 3i.
inline uint32_t table_index(int r, int g, int b)
{
    uint32_t index = 0;
    for (int bit = 0; bit < 8; bit++)
        index |= (uint32_t)((r >> bit & 1) << 2 | (g >> bit & 1) << 1 | (b >> bit & 1)) << (3 * bit);
    return index;
}

inline int table_index_bits(int codes)
{
    int bits = 0;
    while ((1 << bits) < codes)
        bits++;
    return bits;
}

// The table linked into the library (make_nearest_table's output), its
// size in *size; or NULL when the library was built without one, as
// make_nearest_table's own copy of the search is.
const uint8_t *linked_nearest_table(size_t *size);

// The codes of the 64 colours of `cell`, in Morton order, from `table`.
void table_cell_codes(const uint8_t *table, uint32_t cell, uint16_t codes[64]);

#endif
