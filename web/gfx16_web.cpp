// The calls the page's workers make into the codec, compiled to
// WebAssembly (scripts/build-web.sh). An Encoding or a Decoding holds its
// buffers in the module's memory; the worker writes a picture's pixels
// where web_*_pixels points, calls the work, and reads the results where
// the other calls point, until it frees the object.
//
// The module runs on one thread: the codec is told so once, in web_start.
// Where memory runs out, the module ends with exit status ENOMEM, which
// the worker's codec.js turns into "not enough memory" (the C++ runtime
// would abort with no reason); the worker then makes a new instance, as
// the old one may hold half-made objects.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <emscripten/emscripten.h>

#include "codec/nearest.h"
#include "codec/tables.h"
#include "codec/carrier_palette.h"
#include "files/picture.h"
#include "gfx16/codec.h"
#include "programs/gfx16conv/metrics.h"

// What the worker calls.
#define WEB_CALL extern "C" EMSCRIPTEN_KEEPALIVE

void *operator new(size_t size)
{
    if (void *p = malloc(size ? size : 1))
        return p;
    _Exit(ENOMEM);
}

void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }

namespace {

// A picture as the page hands it over: 4 bytes a pixel, as a canvas gives
// them, turned in place into the 3 bytes a pixel the codec and the
// measures take.
void take_rgba(Picture &picture)
{
    composite_over_black(picture.rgb.data(), (size_t)picture.w * picture.h);
    picture.rgb.resize((size_t)picture.w * picture.h * 3);
}

// RGB to the RGBA of a canvas, opaque.
std::vector<uint8_t> opaque_rgba(const std::vector<uint8_t> &rgb)
{
    std::vector<uint8_t> rgba(rgb.size() / 3 * 4);
    for (size_t i = 0, j = 0; i < rgb.size(); i += 3, j += 4) {
        rgba[j] = rgb[i];
        rgba[j + 1] = rgb[i + 1];
        rgba[j + 2] = rgb[i + 2];
        rgba[j + 3] = 255;
    }
    return rgba;
}

std::string refusal;

const char *reason(const Error &e)
{
    if (!e)
        return nullptr;
    refusal = e.detail;
    return refusal.c_str();
}

PictureLimits default_limits()
{
    PictureLimits limits;
    limits.max_pixels = PictureLimits::default_max_pixels;
    return limits;
}

} // namespace

// A picture, its carrier and what the carrier decodes to: the encoder's
// results, and what the three numbers compare. The picture arrives as RGBA
// and is made RGB once (taken).
struct Encoding {
    Picture picture;
    bool taken = false;
    std::vector<uint8_t> carrier;  // w x 2h codes' bytes
    std::vector<uint8_t> shown;    // the preview, RGBA
    Picture decoded;               // made when first needed
    std::vector<uint8_t> bmp;      // the carrier's BMP file, while the worker copies it
};

// A carrier and the picture it holds.
struct Decoding {
    int w, carrier_h;
    std::vector<uint8_t> carrier;
    Picture decoded;
    std::vector<uint8_t> shown;  // decoded, RGBA
};

// Builds the tables of both encoders while the user is still choosing.
// Returns the exit status that means "not enough memory".
WEB_CALL int web_start(void)
{
    gfx16_set_threads(1);
    prepare_encoder();
    prepare_nearest();
    return ENOMEM;
}

// The reason a picture, or a carrier, of w x h cannot be taken, with
// gfx16conv's default limits; 0 when it can. Sides come as doubles: a
// header's numbers may not fit an int.
WEB_CALL const char *web_picture_refused(double w, double h)
{
    if (!(w >= 0 && h >= 0 && w <= 4294967295.0 && h <= 4294967295.0))
        return reason(unreadable("picture larger than 32768 pixels a side"));
    return reason(check_picture_size((uint64_t)w, (uint64_t)h, default_limits()));
}

WEB_CALL const char *web_carrier_refused(double w, double h)
{
    if (!(w >= 0 && h >= 0 && w <= 4294967295.0 && h <= 4294967295.0))
        return reason(unreadable("carrier larger than 32768 pixels wide or 65536 high"));
    return reason(check_carrier_size((uint64_t)w, (uint64_t)h, default_limits()));
}

WEB_CALL const uint8_t *web_carrier_palette(void) { return carrier_palette[0]; }

WEB_CALL const char *web_version(void) { return gfx16_version(); }
WEB_CALL const char *web_strerror(int status) { return gfx16_strerror(status); }

// Why the last call that returned null refused.
WEB_CALL const char *web_refusal(void) { return refusal.c_str(); }

// Room for the worker's own bytes; 0 when there is none.
WEB_CALL uint8_t *web_alloc(double size) { return size >= 1 && size <= SIZE_MAX ? (uint8_t *)malloc((size_t)size) : nullptr; }
WEB_CALL void web_free(void *p) { free(p); }

// A number as gfx16conv's print_quality prints it: 0 PSNR in dB, 1 SSIM,
// 2 mean CIEDE2000.
WEB_CALL const char *web_number_text(double value, int which)
{
    static char text[32];
    if (which == 0 && std::isinf(value))
        return "inf";
    snprintf(text, sizeof text, which == 0 ? "%.2f" : which == 1 ? "%.4f" : "%.3f", value);
    return text;
}

// ---- Encoding ----------------------------------------------------------------

namespace {

void take_picture(Encoding *e)
{
    if (!e->taken)
        take_rgba(e->picture);
    e->taken = true;
}

} // namespace

// An encoding of a w x h picture, whose RGBA pixels go to
// web_encoding_pixels. A worker that only measures puts the carrier at
// web_encoding_carrier too.
WEB_CALL Encoding *web_encoding_new(int w, int h)
{
    Encoding *e = new Encoding;
    e->picture.w = e->decoded.w = w;
    e->picture.h = e->decoded.h = h;
    e->picture.rgb.resize((size_t)w * h * 4);
    e->carrier.resize((size_t)w * 2 * h);
    return e;
}

WEB_CALL void web_encoding_free(Encoding *e) { delete e; }
WEB_CALL uint8_t *web_encoding_pixels(Encoding *e) { return e->picture.rgb.data(); }
WEB_CALL uint8_t *web_encoding_carrier(Encoding *e) { return e->carrier.data(); }
WEB_CALL const uint8_t *web_encoding_shown(Encoding *e) { return e->shown.data(); }

// encoder: 0 the format's own, 1 best, 2 best with dither. Returns the
// codec's status.
WEB_CALL int web_encode(Encoding *e, int encoder)
{
    take_picture(e);
    Picture &p = e->picture;
    std::vector<uint8_t> preview(p.rgb.size());
    auto encode = encoder == 2 ? gfx16_encode_dithered : encoder == 1 ? gfx16_encode_best : gfx16_encode;
    int status = encode(p.rgb.data(), p.w, p.h, e->carrier.data(), preview.data());
    if (status != 0)
        return status;
    e->shown = opaque_rgba(preview);
    // The best encoders' preview is the decoded carrier; the format's own
    // shows its quantised colours instead.
    if (encoder != 0)
        e->decoded.rgb = std::move(preview);
    return 0;
}

namespace {

void append(void *context, const void *data, size_t size)
{
    auto *bytes = (std::vector<uint8_t> *)context;
    bytes->insert(bytes->end(), (const uint8_t *)data, (const uint8_t *)data + size);
}

} // namespace

// The carrier as the BMP file gfx16conv writes, at web_encoding_bmp_bytes
// until web_encoding_bmp_free. Returns the codec's status.
WEB_CALL int web_encoding_bmp(Encoding *e)
{
    e->bmp.clear();
    return gfx16_carrier_to_bmp(e->carrier.data(), e->picture.w, 2 * e->picture.h, append, &e->bmp);
}

WEB_CALL const uint8_t *web_encoding_bmp_bytes(Encoding *e) { return e->bmp.data(); }
WEB_CALL double web_encoding_bmp_size(Encoding *e) { return (double)e->bmp.size(); }
WEB_CALL void web_encoding_bmp_free(Encoding *e) { std::vector<uint8_t>().swap(e->bmp); }

// 0 PSNR, 1 SSIM, 2 mean CIEDE2000 of the picture against its decoded
// carrier.
WEB_CALL double web_measure(Encoding *e, int which)
{
    take_picture(e);
    if (e->decoded.rgb.empty()) {
        e->decoded.rgb.resize(e->picture.rgb.size());
        gfx16_decode(e->carrier.data(), e->picture.w, 2 * e->picture.h, e->decoded.rgb.data());
    }
    return which == 0   ? picture_psnr(e->picture, e->decoded)
           : which == 1 ? picture_ssim(e->picture, e->decoded)
                        : picture_mean_ciede2000(e->picture, e->decoded);
}

// ---- PNG rows ----------------------------------------------------------------

// The rows of a PNG file, before compression, of a picture of w x h pixels
// of `channels` bytes: the one image of a plain file, or the seven passes of
// Adam7 (those with no pixel left out), each row after its filter type.
namespace {

struct Pass {
    int x0, y0, dx, dy;
};
const Pass plain[1] = {{0, 0, 1, 1}};
const Pass adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

// Calls row(pass, y, pass_w, x0, dx, picture row) for every row of every pass.
template <class Row>
void each_png_row(int w, int h, bool interlaced, Row row)
{
    const Pass *passes = interlaced ? adam7 : plain;
    for (int p = 0; p < (interlaced ? 7 : 1); p++) {
        const Pass &s = passes[p];
        int pw = w > s.x0 ? (w - s.x0 + s.dx - 1) / s.dx : 0, ph = h > s.y0 ? (h - s.y0 + s.dy - 1) / s.dy : 0;
        if (pw == 0)
            continue;
        for (int y = 0; y < ph; y++)
            row(y, pw, s.x0, s.dx, s.y0 + y * s.dy);
    }
}

uint8_t paeth(int a, int b, int c)
{
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return (uint8_t)(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

} // namespace

WEB_CALL double web_png_data_size(int w, int h, int channels, int interlaced)
{
    double size = 0;
    each_png_row(w, h, interlaced, [&](int, int pw, int, int, int) { size += 1 + (double)pw * channels; });
    return size;
}

// Filters every row with `filter`, 1 (Sub) or 4 (Paeth), into `out`
// (web_png_data_size bytes).
WEB_CALL void web_png_filter(const uint8_t *pixels, int w, int h, int channels, int interlaced,
                                         int filter, uint8_t *out)
{
    std::vector<uint8_t> rows[2] = {std::vector<uint8_t>((size_t)w * channels), std::vector<uint8_t>((size_t)w * channels)};
    each_png_row(w, h, interlaced, [&](int y, int pw, int x0, int dx, int picture_y) {
        uint8_t *row = rows[y & 1].data(), *above = rows[(y & 1) ^ 1].data();
        const size_t n = (size_t)pw * channels;
        if (y == 0)
            std::fill(above, above + n, 0);
        const uint8_t *from = pixels + ((size_t)picture_y * w + x0) * channels;
        for (int x = 0; x < pw; x++)
            for (int c = 0; c < channels; c++)
                row[x * channels + c] = from[(size_t)x * dx * channels + c];
        *out++ = (uint8_t)filter;
        for (size_t i = 0; i < n; i++) {
            int a = i >= (size_t)channels ? row[i - channels] : 0;
            int c = i >= (size_t)channels ? above[i - channels] : 0;
            *out++ = (uint8_t)(row[i] - (filter == 1 ? a : paeth(a, above[i], c)));
        }
    });
}

// Undoes the filters of the rows of an 8-bit, one-channel PNG in `data`
// (web_png_data_size bytes) and puts the pixels in place in `pixels`
// (w x h). -1 for an unknown filter type.
WEB_CALL int web_png_unfilter(uint8_t *data, int w, int h, int interlaced, uint8_t *pixels)
{
    bool good = true;
    const uint8_t *above = nullptr;
    each_png_row(w, h, interlaced, [&](int y, int pw, int x0, int dx, int picture_y) {
        int filter = *data++;
        uint8_t *row = data;
        data += pw;
        if (y == 0)
            above = nullptr;
        if (filter > 4)
            good = false;
        for (int i = 0; i < pw; i++) {
            int a = i ? row[i - 1] : 0, b = above ? above[i] : 0, c = above && i ? above[i - 1] : 0;
            row[i] += filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) >> 1 : filter == 4 ? paeth(a, b, c) : 0;
        }
        above = row;
        uint8_t *to = pixels + (size_t)picture_y * w + x0;
        for (int x = 0; x < pw; x++)
            to[(size_t)x * dx] = row[x];
    });
    return good ? 0 : -1;
}

// ---- Decoding ----------------------------------------------------------------

// A carrier of w x carrier_h bytes, which go to web_decoding_carrier.
WEB_CALL Decoding *web_decoding_new(int w, int carrier_h)
{
    Decoding *d = new Decoding;
    d->w = d->decoded.w = w;
    d->carrier_h = carrier_h;
    d->decoded.h = carrier_h / 2;
    d->carrier.resize((size_t)w * carrier_h);
    return d;
}

// A carrier from the BMP file of `size` bytes at `bmp`; null when it is
// refused (web_refusal says why). Its size is checked against the limits
// before the carrier's memory is taken.
WEB_CALL Decoding *web_decoding_from_bmp(const uint8_t *bmp, double size)
{
    int w = 0, carrier_h = 0;
    int status = gfx16_carrier_from_bmp(bmp, (size_t)size, nullptr, 0, &w, &carrier_h);
    if (status == GFX16_EFORMAT) {
        refusal = gfx16_strerror(status);
        return nullptr;
    }
    if (reason(check_carrier_size((uint64_t)w, (uint64_t)carrier_h, default_limits())))
        return nullptr;
    Decoding *d = web_decoding_new(w, carrier_h);
    status = gfx16_carrier_from_bmp(bmp, (size_t)size, d->carrier.data(), d->carrier.size(), &w, &carrier_h);
    if (status != GFX16_OK) {
        refusal = gfx16_strerror(status);
        delete d;
        return nullptr;
    }
    return d;
}

WEB_CALL void web_decoding_free(Decoding *d) { delete d; }
WEB_CALL uint8_t *web_decoding_carrier(Decoding *d) { return d->carrier.data(); }
WEB_CALL int web_decoding_width(const Decoding *d) { return d->w; }
WEB_CALL int web_decoding_height(const Decoding *d) { return d->decoded.h; }
WEB_CALL const uint8_t *web_decoding_decoded(Decoding *d) { return d->decoded.rgb.data(); }
WEB_CALL const uint8_t *web_decoding_shown(Decoding *d) { return d->shown.data(); }

WEB_CALL int web_decode(Decoding *d)
{
    d->decoded.rgb.resize((size_t)d->w * d->decoded.h * 3);
    int status = gfx16_decode(d->carrier.data(), d->w, d->carrier_h, d->decoded.rgb.data());
    if (status == 0)
        d->shown = opaque_rgba(d->decoded.rgb);
    return status;
}


// ---- Warming up --------------------------------------------------------------

// Runs every long loop of the module on w x h pictures, `rounds` times
// (codec.js says why).
WEB_CALL void web_warm_up(int w, int h, int rounds)
{
    for (int round = 0; round < rounds; round++) {
        for (int encoder = 0; encoder < 3; encoder++) {
            Encoding *e = web_encoding_new(w, h);
            uint8_t *p = web_encoding_pixels(e);
            for (size_t i = 0; i < (size_t)w * h * 4; i++)
                p[i] = (uint8_t)((i * 2654435761u) >> 24 ^ (i & 3) * 85);
            web_encode(e, encoder);
            for (int which = 0; which < 3; which++)
                web_measure(e, which);
            Decoding *d = web_decoding_new(w, 2 * h);
            for (int interlaced = 0; interlaced < 2; interlaced++) {
                std::vector<uint8_t> rows((size_t)web_png_data_size(w, h, 3, interlaced));
                web_png_filter(e->decoded.rgb.data(), w, h, 3, interlaced, 4, rows.data());
                rows.resize((size_t)web_png_data_size(w, 2 * h, 1, interlaced));
                web_png_filter(e->carrier.data(), w, 2 * h, 1, interlaced, encoder == 1 ? 4 : 1, rows.data());
                web_png_unfilter(rows.data(), w, 2 * h, interlaced, web_decoding_carrier(d));
            }
            web_decode(d);
            web_decoding_free(d);
            web_encoding_bmp(e);
            web_decoding_free(web_decoding_from_bmp(e->bmp.data(), (double)e->bmp.size()));
            web_encoding_free(e);
        }
    }
}
