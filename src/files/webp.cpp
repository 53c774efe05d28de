#include "files/webp.h"

#include <webp/decode.h>

namespace {

std::string webp_reason(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return "truncated file";
    case VP8_STATUS_OUT_OF_MEMORY:
        return "not enough memory";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return "WebP feature not supported";
    default:
        return "not a WebP file, or a damaged one";
    }
}

std::string read_webp_with(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return "WebP library of the wrong version";
    VP8StatusCode status = WebPGetFeatures(data, size, &config.input);
    if (status != VP8_STATUS_OK)
        return webp_reason(status);
    if (config.input.has_animation)
        return "animated WebP not supported";
    const int w = config.input.width, h = config.input.height;
    const bool alpha = config.input.has_alpha;
    const size_t pixels = (size_t)w * h, bytes = pixels * (alpha ? 4 : 3);
    std::string why = check_picture_size(w, h, limits);
    if (why.empty())
        why = allocate_pixels(&out->rgb, bytes);
    if (!why.empty())
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
    return "";
}

}  // namespace

std::string read_webp(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size == 0)
        return "empty file";
    std::string why = read_webp_with(data, size, limits, out);
    if (!why.empty())
        *out = Picture();
    return why;
}
