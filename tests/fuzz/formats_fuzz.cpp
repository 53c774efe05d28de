// libFuzzer target: any bytes, through the PNG, JPEG and WebP readers, the
// carrier reader and the EXIF orientation. A refusal must come with a reason
// and leave nothing behind; a success must give a whole picture within the
// limits. The sanitizers catch the rest. Built with GFX16_FUZZ (clang); the
// files of tests/formats_pillow.py make a good seed corpus:
//   /usr/bin/python3 tests/formats_pillow.py make SEEDS
//   build-fuzz/formats_fuzz -max_total_time=300 -max_len=20000 -timeout=10 -rss_limit_mb=2048 CORPUS SEEDS
#include <cstdlib>

#include "formats.h"

// Small pictures only: a header may claim 32768 x 32768 pixels for a few
// bytes, and each run would spend its time on them.
static const uint64_t max_pixels = 1 << 18;

typedef std::string (*PictureReader)(const uint8_t *, size_t, const PictureLimits &, Picture *);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    PictureLimits limits;
    limits.max_pixels = max_pixels;
    for (PictureReader read : {read_png, read_jpeg, read_webp}) {
        Picture p;
        std::string why = read(data, size, limits, &p);
        bool whole = p.w > 0 && p.h > 0 && (uint64_t)p.w * p.h <= max_pixels &&
                     p.rgb.size() == (size_t)p.w * p.h * 3;
        bool empty = p.w == 0 && p.h == 0 && p.rgb.empty();
        if (why.empty() ? !whole : !empty)
            abort();
    }

    int w = -1, h = -1;
    std::vector<uint8_t> indices(3);
    std::string why = read_png_carrier(data, size, limits, &w, &h, &indices);
    bool whole = w > 0 && h > 0 && (uint64_t)w * ((h + 1) / 2) <= max_pixels && indices.size() == (size_t)w * h;
    bool empty = w == 0 && h == 0 && indices.empty();
    if (why.empty() ? !whole : !empty)
        abort();

    int orientation = jpeg_orientation(data, size);
    if (orientation < 1 || orientation > 8)
        abort();
    return 0;
}
