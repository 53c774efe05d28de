// libFuzzer target: any bytes, read as a BMP in both of the program's modes.
// A refusal must come with a reason; a success with a whole bitmap within the
// pixel limit. The sanitizers catch the rest.
#include <allegro.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "bmpread.h"

// Small pictures only: a valid RLE header may claim 32768 x 32768 pixels
// for a few bytes, and each run would spend its time clearing them.
static const uint64_t max_pixels = 1 << 18;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        abort();
    bmp_reader_set_pixel_limit(max_pixels);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const struct {
        int conversion, depth;
    } modes[] = {{COLORCONV_NONE, 8}, {COLORCONV_TOTAL, 32}};
    for (const auto &m : modes) {
        set_color_conversion(m.conversion);
        set_color_depth(m.depth);
        PALETTE pal;
        BITMAP *b = load_bmp_checked_memory(data, size, pal);
        if (!b) {
            if (!*bmp_reader_error())
                abort();
            continue;
        }
        if (*bmp_reader_error() || b->w <= 0 || b->h <= 0 || (uint64_t)b->w * (uint64_t)b->h > max_pixels)
            abort();
        destroy_bitmap(b);
    }
    return 0;
}
