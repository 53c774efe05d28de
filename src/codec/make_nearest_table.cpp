// make_nearest_table FILE: works out the nearest code of every colour with
// the search and writes the table nearest_table.h describes to FILE, for the
// library to link in. Run by the build, never installed. Each cell is read
// back from the finished table and compared with the search's answers
// before a byte is written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "codec/nearest.h"
#include "codec/nearest_table.h"

namespace {

int fail(const char *what)
{
    fprintf(stderr, "make_nearest_table: %s\n", what);
    return 1;
}

void put16(std::vector<uint8_t> &out, uint32_t v)
{
    out.push_back((uint8_t)v);
    out.push_back((uint8_t)(v >> 8));
}

// One cell: its distinct codes, then an index into them for each colour.
void put_cell(std::vector<uint8_t> &out, const uint16_t codes[64])
{
    std::vector<uint16_t> palette(codes, codes + 64);
    std::sort(palette.begin(), palette.end());
    palette.erase(std::unique(palette.begin(), palette.end()), palette.end());
    const int bits = table_index_bits((int)palette.size());
    out.push_back((uint8_t)palette.size());
    for (uint16_t code : palette)
        put16(out, code);
    const size_t indices = out.size();
    out.resize(indices + 8 * bits, 0);
    for (int k = 0; k < 64; k++) {
        const uint32_t index = (uint32_t)(std::lower_bound(palette.begin(), palette.end(), codes[k]) - palette.begin());
        const int at = k * bits;
        // Two bytes at most: an index has at most 6 bits.
        out[indices + at / 8] |= (uint8_t)(index << (at % 8));
        if (at % 8 + bits > 8)
            out[indices + at / 8 + 1] |= (uint8_t)(index >> (8 - at % 8));
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fputs("usage: make_nearest_table FILE\n", stderr);
        return 2;
    }
    size_t linked;
    if (linked_nearest_table(&linked))
        return fail("built with a table: the search must make it");

    // Every colour, in the table's order.
    const size_t colours = (size_t)1 << 24;
    std::vector<uint8_t> rgb(3 * colours);
    for (int r = 0; r < 256; r++)
        for (int g = 0; g < 256; g++)
            for (int b = 0; b < 256; b++) {
                uint8_t *p = &rgb[3 * (size_t)table_index(r, g, b)];
                p[0] = (uint8_t)r;
                p[1] = (uint8_t)g;
                p[2] = (uint8_t)b;
            }
    std::vector<uint16_t> codes(colours);
    if (nearest_codes(rgb.data(), colours, codes.data()) != 0)
        return fail("not enough memory");

    std::vector<uint8_t> table(4 * (table_cells / table_cells_per_group), 0);
    for (uint32_t cell = 0; cell < (uint32_t)table_cells; cell++) {
        if (cell % table_cells_per_group == 0) {
            const size_t start = table.size();
            for (int i = 0; i < 4; i++)
                table[4 * (cell / table_cells_per_group) + i] = (uint8_t)(start >> (8 * i));
        }
        put_cell(table, &codes[64 * (size_t)cell]);
    }
    table.push_back(0);

    for (uint32_t cell = 0; cell < (uint32_t)table_cells; cell++) {
        uint16_t back[64];
        table_cell_codes(table.data(), cell, back);
        if (memcmp(back, &codes[64 * (size_t)cell], sizeof back) != 0)
            return fail("a cell reads back other codes than were written");
    }

    FILE *out = fopen(argv[1], "wb");
    if (!out)
        return fail("cannot create the table");
    const bool written = fwrite(table.data(), 1, table.size(), out) == table.size();
    if (fclose(out) != 0 || !written) {
        remove(argv[1]);
        return fail("cannot write the table");
    }
    printf("make_nearest_table: %zu bytes\n", table.size());
    return 0;
}
