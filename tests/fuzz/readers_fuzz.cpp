// libFuzzer target: any bytes, loaded as a picture and as a carrier, as the
// programs load their files (the reader chosen by the content: BMP, PNG,
// JPEG, WebP, TGA, PCX). A refusal must come with a reason; a success with a
// whole picture within the limits, whose every row can be had. The
// sanitizers catch the rest.
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "files/load.h"

// Small pictures only: a few bytes of header may claim 32768 x 32768
// pixels, and each run would spend its time clearing them.
static const uint64_t max_pixels = 1 << 18;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PictureLimits limits;
    limits.max_pixels = max_pixels;
    for (int carrier = 0; carrier < 2; carrier++) {
        Input in;
        input_from_memory(&in, data, size);
        std::unique_ptr<RowSource> source;
        Error e = carrier ? open_carrier(in, limits, &source) : open_picture(in, limits, &source);
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
