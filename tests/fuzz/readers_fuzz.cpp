// libFuzzer target: any bytes, loaded as a picture and as a carrier, as the
// programs load their files (the reader chosen by the content: BMP, PNG,
// JPEG, WebP, TGA, PCX). A refusal must come with a reason; a success with a
// whole picture within the limits, whose every row can be had. A BMP read
// by the library's gfx16_carrier_from_bmp must get the programs' verdict
// and the same bytes. The sanitizers catch the rest.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "files/load.h"
#include "gfx16/codec.h"

// Small pictures only: a few bytes of header may claim 32768 x 32768
// pixels, and each run would spend its time clearing them.
static const uint64_t max_pixels = 1 << 18;

// `carrier`: what open_carrier made of the bytes, or null.
static void compare_with_library(const uint8_t *data, size_t size, RowSource *carrier)
{
    if (size < 2 || data[0] != 'B' || data[1] != 'M')
        return;
    // Room for any carrier within the limit, an odd last row too.
    static std::vector<uint8_t> room(2 * max_pixels + 32768);
    int w = 0, h = 0;
    int status = gfx16_carrier_from_bmp(data, size, room.data(), room.size(), &w, &h);
    const bool within = status != GFX16_EFORMAT && (uint64_t)w * (uint64_t)(h / 2) <= max_pixels;
    if (status == GFX16_EINVAL && !within)
        return;
    if ((status == GFX16_OK && within) != (carrier != nullptr))
        abort();
    if (!carrier)
        return;
    if (carrier->w != w || carrier->h != h / 2)
        abort();
    for (int y = 0; y < carrier->h; y++) {
        Rows rows;
        if (carrier->rows(y, 1, &rows) || memcmp(rows.first, &room[(size_t)2 * y * w], w) ||
            memcmp(rows.first + rows.high, &room[(size_t)(2 * y + 1) * w], w))
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PictureLimits limits;
    limits.max_pixels = max_pixels;
    for (int carrier = 0; carrier < 2; carrier++) {
        Input in;
        input_from_memory(&in, data, size);
        std::unique_ptr<RowSource> source;
        Error e = carrier ? open_carrier(in, limits, &source) : open_picture(in, limits, &source);
        if (carrier)
            compare_with_library(data, size, e ? nullptr : source.get());
        if (e)
            continue;
        const int w = source->w, h = source->h;
        Rows rows;
        for (int y = 0; y < h && !e; y++)
            e = source->rows(y, 1, &rows);
        if (e || w <= 0 || h <= 0 || (uint64_t)w * (uint64_t)h > max_pixels)
            abort();
    }
    return 0;
}
