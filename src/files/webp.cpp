#include "files/webp.h"

#include <webp/decode.h>

namespace {

Error webp_reason(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return unreadable("truncated file");
    case VP8_STATUS_OUT_OF_MEMORY:
        return unreadable("not enough memory");
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return unreadable("WebP feature not supported");
    default:
        return unreadable("not a WebP file, or a damaged one");
    }
}

Error read_webp_with(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return unreadable("WebP library of the wrong version");
    VP8StatusCode status = WebPGetFeatures(data, size, &config.input);
    if (status != VP8_STATUS_OK)
        return webp_reason(status);
    if (config.input.has_animation)
        return unreadable("animated WebP not supported");
    const int w = config.input.width, h = config.input.height;
    const bool alpha = config.input.has_alpha;
    const size_t pixels = (size_t)w * h, bytes = pixels * (alpha ? 4 : 3);
    Error why = check_picture_size(w, h, limits);
    if (!why)
        why = allocate_pixels(&out->rgb, bytes);
    if (why)
        return why;
    // Straight (not premultiplied) RGBA, as the file stores it.
    config.output.colorspace = alpha ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = out->rgb.data();
    config.output.u.RGBA.stride = w * (alpha ? 4 : 3);
    config.output.u.RGBA.size = bytes;
    status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        return webp_reason(status);
    if (alpha) {
        composite_over_black(out->rgb.data(), pixels);
        out->rgb.resize(pixels * 3);
    }
    out->w = w;
    out->h = h;
    return Error();
}

}  // namespace

Error read_webp(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size == 0)
        return unreadable("empty file");
    Error why = read_webp_with(data, size, limits, out);
    if (why)
        *out = Picture();
    return why;
}
