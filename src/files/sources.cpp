#include "files/sources.h"

#include <utility>

HeldRows::HeldRows(std::vector<uint8_t> own, int width, int items, int rows_an_item, int rows_in_file)
    : HeldRows(nullptr, width, items, rows_an_item, rows_in_file)
{
    held = std::move(own);
    bytes = held.data();
}

HeldRows::HeldRows(uint8_t *theirs, int width, int items, int rows_an_item, int rows_in_file)
    : bytes(theirs), row_bytes(rows_an_item == 1 ? 3 * width : width)
{
    w = width;
    h = items;
    rows_per_item = rows_an_item;
    file_rows = rows_in_file;
}

Error HeldRows::rows(int first, int, Rows *out, Block *)
{
    out->first = bytes + (size_t)first * rows_per_item * row_bytes;
    out->step = (ptrdiff_t)rows_per_item * row_bytes;
    out->high = row_bytes;
    out->layout = gfx16_rgb;
    return Error();
}

BmpRows::BmpRows(Input &from, const BmpInfo &headers, int rows_an_item)
    : in(from), info(headers), layout(rows_an_item == 1 ? bmp_row_layout(headers) : gfx16_layout{})
{
    w = info.width;
    h = info.height / rows_an_item;
    rows_per_item = rows_an_item;
    file_rows = info.height;
    format = "BMP";
    bottom_up = !info.top_down;
}

Error BmpRows::rows(int first, int count, Rows *out, Block *block)
{
    std::vector<uint8_t> &buffer = block ? block->bytes : own;
    const uint64_t stride = info.stride, rows = (uint64_t)count * rows_per_item;
    // The file row of the block's first row; rows of a bottom-up file go
    // upward, so a block of items starts at its last item's last row.
    uint64_t file_row =
        info.top_down ? (uint64_t)first * rows_per_item : info.height - (uint64_t)(first + count) * rows_per_item;
    buffer.resize((size_t)(rows * stride));
    if (Error e = read_at(in, info.offset + file_row * stride, buffer.size(), buffer.data()))
        return e;
    // A carrier item's row of high bytes, 2y + 1, is the next row down in a
    // top-down file and the row before it in a bottom-up one.
    if (info.top_down) {
        out->first = buffer.data();
        out->step = (ptrdiff_t)(rows_per_item * stride);
        out->high = (ptrdiff_t)stride;
    } else {
        out->first = buffer.data() + (rows - 1) * stride;
        out->step = -(ptrdiff_t)(rows_per_item * stride);
        out->high = -(ptrdiff_t)stride;
    }
    out->layout = layout;
    return Error();
}
