#include "files/convert.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "codec/threads.h"
#include "gfx16/codec.h"

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
Error for_slices(int w, int h, bool bottom_up, bool in_order, Work work)
{
    const Slices slices = {h, slice_rows(w), bottom_up};
    unsigned workers = in_order ? 1 : std::min<unsigned>(codec_threads(), (unsigned)slices.count());
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::mutex lock;
    Error why;
    run_shares(workers, [&](unsigned) {
        try {
            Block blocks[3];
            std::unique_ptr<CodecOnThisThread> one_thread(workers == 1 ? nullptr : new CodecOnThisThread);
            for (int i; !failed && (i = next++) < slices.count();) {
                int first, count;
                slices.get(i, &first, &count);
                Error failure = work(first, count, blocks);
                if (failure) {
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

// A codec's status as an error; it concerns the input.
Error codec_error(int status)
{
    return Error(status == GFX16_ENOMEM ? Error::codec_out_of_memory : Error::codec_refused);
}

// Error diffusion carries each row's error into the next: the picture is
// encoded whole, then given to the sinks.
Error encode_dithered(RowSource &source, RowSink &carrier, RowSink *preview)
{
    const int w = source.w, h = source.h;
    std::vector<uint8_t> rgb((size_t)w * h * 3), codes((size_t)w * h * 2), preview_pixels(preview ? rgb.size() : 0);
    Rows in;
    if (Error e = source.rows(0, h, &in))
        return e;
    copy_items(in, Rows{rgb.data(), (ptrdiff_t)w * 3, 0, gfx16_rgb}, w, h, 1);
    if (int status = gfx16_encode_dithered(rgb.data(), w, h, codes.data(), preview ? preview_pixels.data() : nullptr))
        return codec_error(status);
    std::vector<uint8_t>().swap(rgb);
    const bool in_order = carrier.sequential || (preview && preview->sequential);
    return for_slices(w, h, in_order, in_order, [&](int first, int count, Block *blocks) {
        Rows from = {&codes[(size_t)2 * first * w], (ptrdiff_t)2 * w, w, gfx16_rgb};
        if (Error e = put_items(carrier, from, w, first, count, &blocks[0]))
            return concerning(1, e);
        if (!preview)
            return Error();
        from = {&preview_pixels[(size_t)first * w * 3], (ptrdiff_t)w * 3, 0, gfx16_rgb};
        return concerning(2, put_items(*preview, from, w, first, count, &blocks[1]));
    });
}

} // namespace

Error encode_stream(RowSource &source, RowSink &carrier, RowSink *preview, Encoder encoder)
{
    if (encoder == Encoder::dithered)
        return encode_dithered(source, carrier, preview);
    const int w = source.w;
    const bool in_order = carrier.sequential || (preview && preview->sequential);
    auto encode_rows = encoder == Encoder::best ? gfx16_encode_best_rows : gfx16_encode_rows;
    return for_slices(w, source.h, source.bottom_up || in_order, in_order, [&](int first, int count, Block *blocks) {
        Rows in, codes, preview_rows = {nullptr, 0, 0, gfx16_rgb};
        if (Error e = source.rows(first, count, &in, &blocks[0]))
            return e;
        if (Error e = carrier.room(first, count, &codes, &blocks[1]))
            return concerning(1, e);
        if (preview)
            if (Error e = preview->room(first, count, &preview_rows, &blocks[2]))
                return concerning(2, e);
        if (int status = encode_rows(in.first, in.step, &in.layout, w, first, count, codes.first,
                                     codes.first + codes.high, codes.step, preview_rows.first, preview_rows.step,
                                     &preview_rows.layout))
            return codec_error(status);
        if (Error e = carrier.put(&blocks[1]))
            return concerning(1, e);
        return preview ? concerning(2, preview->put(&blocks[2])) : Error();
    });
}

Error decode_stream(RowSource &source, RowSink &picture)
{
    const int w = source.w;
    return for_slices(w, source.h, source.bottom_up || picture.sequential, picture.sequential,
                      [&](int first, int count, Block *blocks) {
                          Rows codes, out;
                          if (Error e = source.rows(first, count, &codes, &blocks[0]))
                              return e;
                          if (Error e = picture.room(first, count, &out, &blocks[1]))
                              return concerning(1, e);
                          if (gfx16_decode_rows(codes.first, codes.first + codes.high, codes.step, w, count,
                                                out.first, out.step, &out.layout) != 0)
                              return Error(Error::codec_refused);
                          return concerning(1, picture.put(&blocks[1]));
                      });
}
