// Every part that shares out its work starts threads only as
// gfx16_set_threads allows: with a limit of 1, none at all; with a limit of
// 3, some (which shows that the count sees them), never more than 2 beside
// the caller's at once. The threads are counted by pthread_create itself:
// this program's definition comes before the C library's for every caller,
// the C++ runtime's std::thread among them, and hands on to it.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <vector>

#include "codec/nearest.h"
#include "codec/threads.h"
#include "files/convert.h"
#include "files/sources.h"
#include "gfx16/codec.h"
#include "programs/gfx16conv/metrics.h"

namespace {

std::atomic<int> threads_created{0}, threads_running{0}, most_running{0};

struct Start {
    void *(*start)(void *);
    void *arg;
};

void *run_counted(void *p)
{
    const Start s = *(Start *)p;
    delete (Start *)p;
    int now = ++threads_running;
    for (int most = most_running; now > most && !most_running.compare_exchange_weak(most, now);)
        ;
    void *result = s.start(s.arg);
    threads_running--;
    return result;
}

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    typedef int (*Create)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
    static const Create create = (Create)dlsym(RTLD_NEXT, "pthread_create");
    threads_created++;
    Start *s = new Start{start, arg};
    int status = create(thread, attr, run_counted, s);
    if (status != 0)
        delete s;
    return status;
}

namespace {

// Large enough that every part shares it out: 1024 x 1024 pixels, of
// colours all over the cube.
const int W = 1024, H = 1024;

std::vector<uint8_t> noise()
{
    std::vector<uint8_t> rgb((size_t)W * H * 3);
    uint32_t state = 17;
    for (uint8_t &b : rgb) {
        state = state * 1103515245u + 12345u;
        b = (uint8_t)(state >> 16);
    }
    return rgb;
}

// A sink that keeps its blocks in memory.
class MemorySink : public RowSink {
public:
    explicit MemorySink(int bytes_per_item_row) : row(bytes_per_item_row), bytes((size_t)row * 2 * H) {}
    Error room(int first, int, Rows *out, Block *) override
    {
        *out = {bytes.data() + (size_t)first * 2 * row, 2 * (ptrdiff_t)row, row, gfx16_rgb};
        return Error();
    }
    Error put(Block *) override { return Error(); }
    Error finish() override { return Error(); }

private:
    int row;
    std::vector<uint8_t> bytes;
};

struct Part {
    const char *what;
    std::function<void()> run;
};

std::vector<Part> parts()
{
    static const std::vector<uint8_t> rgb = noise();
    static std::vector<uint8_t> carrier((size_t)W * 2 * H), pixels(rgb.size());
    static std::vector<uint16_t> codes((size_t)W * H);
    return {
        {"format encoder", [] { gfx16_encode(rgb.data(), W, H, carrier.data(), pixels.data()); }},
        {"nearest codes", [] { gfx16_encode_best(rgb.data(), W, H, carrier.data(), pixels.data()); }},
        {"decoder", [] { gfx16_decode(carrier.data(), W, 2 * H, pixels.data()); }},
        {"nearest codes of a whole picture", [] { nearest_codes(rgb.data(), (size_t)W * H, codes.data()); }},
        {"quality numbers",
         [] {
             Picture a, b;
             a.w = b.w = W;
             a.h = b.h = H;
             a.rgb = rgb;
             b.rgb = pixels;
             compare_pictures(a, b);
         }},
        {"streaming converter",
         [] {
             HeldRows source(const_cast<uint8_t *>(rgb.data()), W, H, 1, H);
             MemorySink sink(W);
             encode_stream(source, sink, nullptr, Encoder::format);
         }},
        {"work ahead of its use", [] { AheadOfUse ahead([] { prepare_nearest(); }); }},
    };
}

// A process of its own (ctest runs each test alone), so that the encoder's
// tables are built here too, under the limit.
TEST(Threads, LimitOfOneStartsNone)
{
    gfx16_set_threads(1);
    for (const Part &p : parts()) {
        SCOPED_TRACE(p.what);
        int before = threads_created;
        p.run();
        EXPECT_EQ(threads_created - before, 0);
    }
}

TEST(Threads, LimitOfThreeStartsSome)
{
    gfx16_set_threads(3);
    for (const Part &p : parts()) {
        SCOPED_TRACE(p.what);
        int before = threads_created;
        most_running = 0;
        p.run();
        EXPECT_GE(threads_created - before, 1);
        EXPECT_LE(most_running, 2);
    }
    gfx16_set_threads(0);
}

} // namespace
