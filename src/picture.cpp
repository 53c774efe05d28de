#include "picture.h"

#include <cinttypes>
#include <cstdio>

std::string check_picture_size(uint64_t w, uint64_t h, const PictureLimits &limits)
{
    if (w == 0 || h == 0)
        return "width or height is 0";
    if (w > (uint64_t)PictureLimits::max_side || h > (uint64_t)PictureLimits::max_side)
        return "picture larger than 32768 pixels a side";
    if (limits.max_pixels && w * h > limits.max_pixels) {
        char text[128];
        snprintf(text, sizeof text, "picture of %" PRIu64 " pixels, more than the limit of %" PRIu64,
                 w * h, limits.max_pixels);
        return text;
    }
    return "";
}
