#include "files/convert.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "codec/threads.h"

namespace {

// A slice is about this many bytes of source rows: large enough to keep the
// system calls few, small enough to keep memory flat.
const uint64_t slice_bytes = 2 << 20;

int slice_rows(int w) { return (int)std::max<uint64_t>(1, slice_bytes / ((uint64_t)w * 4)); }

// The slices of h rows, from the top or from the bottom; slice i is rows
// [first, first + count).
struct Slices {
    int h, rows;
    bool bottom_up;
    int count() const { return (h + rows - 1) / rows; }
    void get(int i, int *first, int *n) const
    {
        int done = i * rows;
        *n = std::min(rows, h - done);
        *first = bottom_up ? h - done - *n : done;
    }
};

// Works slice by slice through `work(first, count, blocks)`. With workers
// to spare and no stream to keep in order, each worker takes the next
// slice and reads, codes and writes it on its own, so that one's reading
// and writing overlaps another's coding; the codec then works on the
// worker's thread alone. Otherwise one slice after another, the codec
// sharing each out. The first failure stops every worker; an exception (not
// enough memory) is thrown again here once they have all ended.
template <class Work>
std::string for_slices(int w, int h, bool bottom_up, bool in_order, Work work)
{
    const Slices slices = {h, slice_rows(w), bottom_up};
    unsigned workers = in_order ? 1 : std::min<unsigned>(codec_threads(), (unsigned)slices.count());
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    std::string why;
    run_shares(workers, [&](unsigned) {
        try {
            Block blocks[3];
            std::unique_ptr<CodecOnThisThread> one_thread(workers == 1 ? nullptr : new CodecOnThisThread);
            for (int i; !failed && (i = next++) < slices.count();) {
                int first, count;
                slices.get(i, &first, &count);
                std::string failure = work(first, count, blocks);
                if (!failure.empty()) {
                    std::lock_guard<std::mutex> hold(lock);
                    if (!failed)
                        why = std::move(failure);
                    failed = true;
                }
            }
        } catch (...) {
            failed = true;  // the other workers stop too
            throw;
        }
    });
    return why;
}

// Error diffusion carries each row's error into the next: the picture is
// encoded whole, then given to the sinks.
std::string encode_dithered(PictureSource &source, CarrierSink &carrier, PictureSink *preview)
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
    const bool in_order = carrier.sequential || (preview && preview->sequential);
    return for_slices(w, h, in_order, in_order, [&](int first, int count, Block *blocks) {
        CodeSpace c;
        std::string why = carrier.room(first, count, &c, &blocks[0]);
        if (!why.empty())
            return carrier.name + ": " + why;
        for (int k = 0; k < count; k++) {
            memcpy(c.low + k * c.stride, &codes[(size_t)2 * (first + k) * w], w);
            memcpy(c.high + k * c.stride, &codes[(size_t)(2 * (first + k) + 1) * w], w);
        }
        if (!(why = carrier.put(&blocks[0])).empty())
            return carrier.name + ": " + why;
        if (!preview)
            return why;
        PixelSpace p;
        if (!(why = preview->room(first, count, &p, &blocks[1])).empty())
            return preview->name + ": " + why;
        PixelRows rows = {&shown[(size_t)first * w * 3], (ptrdiff_t)w * 3, gfx16_rgb};
        copy_rows(rows, w, count, p.first, p.stride, p.layout);
        if (!(why = preview->put(&blocks[1])).empty())
            return preview->name + ": " + why;
        return why;
    });
}

} // namespace

std::string encode_stream(PictureSource &source, CarrierSink &carrier, PictureSink *preview, Encoder encoder)
{
    const int w = source.w;
    const bool in_order = carrier.sequential || (preview && preview->sequential);
    std::string why;
    if (encoder == Encoder::dithered) {
        why = encode_dithered(source, carrier, preview);
    } else {
        auto encode_rows = encoder == Encoder::best ? gfx16_encode_best_rows : gfx16_encode_rows;
        why = for_slices(w, source.h, source.bottom_up || in_order, in_order,
                         [&](int first, int count, Block *blocks) {
                             PixelRows in;
                             CodeSpace codes;
                             PixelSpace shown = {nullptr, 0, gfx16_rgb};
                             std::string why = source.rows(first, count, &in, &blocks[0]);
                             if (!why.empty())
                                 return source.name + ": cannot load the picture: " + why;
                             if (!(why = carrier.room(first, count, &codes, &blocks[1])).empty())
                                 return carrier.name + ": " + why;
                             if (preview && !(why = preview->room(first, count, &shown, &blocks[2])).empty())
                                 return preview->name + ": " + why;
                             int status = encode_rows(in.first, in.stride, &in.layout, w, first, count, codes.low,
                                                      codes.high, codes.stride, shown.first, shown.stride,
                                                      &shown.layout);
                             if (status != 0)
                                 return source.name + (status == -2 ? ": not enough memory to encode it"
                                                                    : ": the codec refused its rows");
                             if (!(why = carrier.put(&blocks[1])).empty())
                                 return carrier.name + ": " + why;
                             if (preview && !(why = preview->put(&blocks[2])).empty())
                                 return preview->name + ": " + why;
                             return why;
                         });
    }
    if (why.empty() && !(why = carrier.finish()).empty())
        return carrier.name + ": " + why;
    if (why.empty() && preview && !(why = preview->finish()).empty())
        return preview->name + ": " + why;
    return why;
}

std::string decode_stream(CarrierSource &source, PictureSink &picture)
{
    const int w = source.w;
    std::string why = for_slices(
        w, source.h, source.bottom_up || picture.sequential, picture.sequential,
        [&](int first, int count, Block *blocks) {
            CodeRows codes;
            PixelSpace out;
            std::string why = source.rows(first, count, &codes, &blocks[0]);
            if (!why.empty())
                return source.name + ": cannot load the carrier: " + why;
            if (!(why = picture.room(first, count, &out, &blocks[1])).empty())
                return picture.name + ": " + why;
            if (gfx16_decode_rows(codes.low, codes.high, codes.stride, w, count, out.first, out.stride,
                                  &out.layout) != 0)
                return source.name + ": the codec refused its rows";
            if (!(why = picture.put(&blocks[1])).empty())
                return picture.name + ": " + why;
            return why;
        });
    if (why.empty() && !(why = picture.finish()).empty())
        return picture.name + ": " + why;
    return why;
}
