#include "files/detect.h"

#include <cstring>

#include "files/tgapcx.h"

namespace {

struct Signature {
    const char *format;
    size_t at;
    const char *bytes;
    size_t size;
};

const Signature signatures[] = {
    {"BMP", 0, "BM", 2},
    {"PNG", 0, "\x89PNG\r\n\x1a\n", 8},
    {"JPEG", 0, "\xff\xd8\xff", 3},
    {"WebP", 8, "WEBP", 4},
    // Known, and not read.
    {"GIF", 0, "GIF8", 4},
    {"TIFF", 0, "II*\0", 4},
    {"TIFF", 0, "MM\0*", 4},
    {"ILBM", 8, "ILBM", 4},
    {"ILBM", 8, "PBM ", 4},
    {"QOI", 0, "qoif", 4},
    {"PSD", 0, "8BPS", 4},
    {"HEIF or AVIF", 4, "ftyp", 4},
    {"JPEG XL", 0, "\xff\x0a", 2},
    {"JPEG 2000", 4, "jP  ", 4},
};

} // namespace

const char *picture_format(const uint8_t *head, size_t n)
{
    for (const Signature &s : signatures)
        if (n >= s.at + s.size && !memcmp(head + s.at, s.bytes, s.size)) {
            // "RIFF" before "WEBP"; anything else with those bytes at 8 is not one.
            if (!strcmp(s.format, "WebP") && memcmp(head, "RIFF", 4))
                continue;
            if (!strcmp(s.format, "ILBM") && memcmp(head, "FORM", 4))
                continue;
            return s.format;
        }
    if (looks_like_pcx(head, n))
        return "PCX";
    if (looks_like_tga(head, n))
        return "TGA";
    return "";
}
