#include "files/picture.h"

#include <cinttypes>
#include <cstdio>

static std::string check_pixels(uint64_t pixels, const PictureLimits &limits)
{
    if (!limits.max_pixels || pixels <= limits.max_pixels)
        return "";
    char text[256];
    snprintf(text, sizeof text, "picture of %" PRIu64 " pixels, more than the limit of %" PRIu64 "%s%s%s", pixels,
             limits.max_pixels, *limits.set_by ? " (" : "", limits.set_by, *limits.set_by ? ")" : "");
    return text;
}

std::string check_picture_size(uint64_t w, uint64_t h, const PictureLimits &limits)
{
    if (w == 0 || h == 0)
        return "width or height is 0";
    if (w > (uint64_t)PictureLimits::max_side || h > (uint64_t)PictureLimits::max_side)
        return "picture larger than 32768 pixels a side";
    return check_pixels(w * h, limits);
}

std::string check_carrier_size(uint64_t w, uint64_t h, const PictureLimits &limits)
{
    if (w == 0 || h == 0)
        return "width or height is 0";
    if (w > (uint64_t)PictureLimits::max_side || h > 2 * (uint64_t)PictureLimits::max_side)
        return "carrier larger than 32768 pixels wide or 65536 high";
    return check_pixels(w * (h / 2), limits);
}
