#include "files/rows.h"

#include <cstring>

#include "codec/layout.h"

void copy_items(const Rows &from, const Rows &to, int w, int count, int rows_per_item)
{
    for (int k = 0; k < count; k++) {
        const uint8_t *in = from.first + k * from.step;
        uint8_t *out = to.first + k * to.step;
        if (rows_per_item == 2) {
            memcpy(out, in, w);
            memcpy(out + to.high, in + from.high, w);
            continue;
        }
        const gfx16_layout &f = from.layout, &t = to.layout;
        for (int x = 0; x < w; x++, in += f.bytes_per_pixel, out += t.bytes_per_pixel)
            put_pixel(out, t, in[f.red], in[f.green], in[f.blue]);
    }
}

Error put_items(RowSink &sink, const Rows &from, int w, int first, int count, Block *block)
{
    Rows to;
    if (Error e = sink.room(first, count, &to, block))
        return e;
    copy_items(from, to, w, count, sink.rows_per_item);
    return sink.put(block);
}
