#include "convert.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// A slice is about this many bytes of source rows: large enough to keep
// both cores busy and the system calls few, small enough to stay in the
// caches' neighbourhood and keep memory flat.
const uint64_t slice_bytes = 4 << 20;

int slice_rows(int w)
{
    return (int)std::max<uint64_t>(1, slice_bytes / ((uint64_t)w * 4));
}

// Visits the slices [first, first + count) of h rows, from the top or from
// the bottom.
template <class Visit>
std::string for_slices(int w, int h, bool bottom_up, Visit visit)
{
    const int rows = slice_rows(w);
    for (int done = 0; done < h; done += rows) {
        int count = std::min(rows, h - done);
        int first = bottom_up ? h - done - count : done;
        std::string why = visit(first, count);
        if (!why.empty())
            return why;
    }
    return "";
}

} // namespace

// Error diffusion carries each row's error into the next: the picture is
// encoded whole, then given to the sinks.
static std::string encode_dithered(PictureSource &source, CarrierSink &carrier, PictureSink *preview)
{
    const int w = source.w, h = source.h;
    std::vector<uint8_t> rgb((size_t)w * h * 3), codes((size_t)w * h * 2), shown(preview ? rgb.size() : 0);
    PixelRows in;
    std::string why = source.rows(0, h, &in);
    if (!why.empty())
        return source.name + ": cannot load the picture: " + why;
    copy_rows(in, w, h, rgb.data(), (ptrdiff_t)w * 3, gfx16_rgb);
    if (gfx16_encode_dithered(rgb.data(), w, h, codes.data(), preview ? shown.data() : nullptr) != 0)
        return source.name + ": not enough memory to encode it";
    std::vector<uint8_t>().swap(rgb);
    const bool bottom_up = carrier.sequential || (preview && preview->sequential);
    return for_slices(w, h, bottom_up, [&](int first, int count) {
        CodeSpace c;
        std::string why = carrier.room(first, count, &c);
        if (!why.empty())
            return carrier.name + ": " + why;
        for (int k = 0; k < count; k++) {
            memcpy(c.low + k * c.stride, &codes[(size_t)2 * (first + k) * w], w);
            memcpy(c.high + k * c.stride, &codes[(size_t)(2 * (first + k) + 1) * w], w);
        }
        if (!(why = carrier.put()).empty())
            return carrier.name + ": " + why;
        if (!preview)
            return why;
        PixelSpace p;
        if (!(why = preview->room(first, count, &p)).empty())
            return preview->name + ": " + why;
        PixelRows rows = {&shown[(size_t)first * w * 3], (ptrdiff_t)w * 3, gfx16_rgb};
        copy_rows(rows, w, count, p.first, p.stride, p.layout);
        if (!(why = preview->put()).empty())
            return preview->name + ": " + why;
        return why;
    });
}

std::string encode_stream(PictureSource &source, CarrierSink &carrier, PictureSink *preview, Encoder encoder)
{
    if (encoder == Encoder::dithered) {
        std::string why = encode_dithered(source, carrier, preview);
        if (why.empty() && !(why = carrier.finish()).empty())
            return carrier.name + ": " + why;
        if (why.empty() && preview && !(why = preview->finish()).empty())
            return preview->name + ": " + why;
        return why;
    }
    const int w = source.w;
    const bool bottom_up = source.bottom_up || carrier.sequential || (preview && preview->sequential);
    auto encode_rows = encoder == Encoder::best ? gfx16_encode_best_rows : gfx16_encode_rows;
    std::string why = for_slices(w, source.h, bottom_up, [&](int first, int count) {
        PixelRows in;
        CodeSpace codes;
        PixelSpace shown = {nullptr, 0, gfx16_rgb};
        std::string why = source.rows(first, count, &in);
        if (!why.empty())
            return source.name + ": cannot load the picture: " + why;
        if (!(why = carrier.room(first, count, &codes)).empty())
            return carrier.name + ": " + why;
        if (preview && !(why = preview->room(first, count, &shown)).empty())
            return preview->name + ": " + why;
        if (encode_rows(in.first, in.stride, &in.layout, w, first, count, codes.low, codes.high, codes.stride,
                        shown.first, shown.stride, &shown.layout) != 0)
            return source.name + ": the codec refused its rows";
        if (!(why = carrier.put()).empty())
            return carrier.name + ": " + why;
        if (preview && !(why = preview->put()).empty())
            return preview->name + ": " + why;
        return why;
    });
    if (why.empty() && !(why = carrier.finish()).empty())
        return carrier.name + ": " + why;
    if (why.empty() && preview && !(why = preview->finish()).empty())
        return preview->name + ": " + why;
    return why;
}

std::string decode_stream(CarrierSource &source, PictureSink &picture)
{
    const int w = source.w;
    const bool bottom_up = source.bottom_up || picture.sequential;
    std::string why = for_slices(w, source.h, bottom_up, [&](int first, int count) {
        CodeRows codes;
        PixelSpace out;
        std::string why = source.rows(first, count, &codes);
        if (!why.empty())
            return source.name + ": cannot load the carrier: " + why;
        if (!(why = picture.room(first, count, &out)).empty())
            return picture.name + ": " + why;
        if (gfx16_decode_rows(codes.low, codes.high, codes.stride, w, count, out.first, out.stride, &out.layout) != 0)
            return source.name + ": the codec refused its rows";
        if (!(why = picture.put()).empty())
            return picture.name + ": " + why;
        return why;
    });
    if (why.empty() && !(why = picture.finish()).empty())
        return picture.name + ": " + why;
    return why;
}
