// The codec's calls when memory runs out: each returns GFX16_ENOMEM (or does
// its work when it needs no memory), leaves its buffers as they were, and
// never ends the process. Each case runs in a child
// process whose memory is cut short: by a limit on its address space, or by
// making every allocation through operator new fail on every thread but the
// test's, as when a worker thread is the one that meets the limit.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "codec/nearest.h"
#include "gfx16/codec.h"
#include "programs/gfx16conv/metrics.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define GFX16_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GFX16_SANITIZED 1
#endif
#endif

namespace {
std::atomic<bool> starving{false};
thread_local bool on_test_thread = false;
} // namespace

// Its partners free what malloc gave, as the runtime's own would: said
// here, so that the compiler sees them match.
#ifndef GFX16_SANITIZED
void *operator new(size_t size)
{
    if (starving.load(std::memory_order_relaxed) && !on_test_thread)
        throw std::bad_alloc();
    if (void *p = malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
#endif

namespace {

enum class Cut {
    address_space,   // the process may grow by `headroom` bytes
    workers_new,     // operator new fails on every thread but this one
};

void cut_memory(Cut cut, uint64_t headroom)
{
    if (cut == Cut::workers_new) {
        on_test_thread = true;
        starving = true;
        return;
    }
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    uint64_t kib = 0;
    while (status && fgets(line, sizeof line, status))
        if (sscanf(line, "VmSize: %lu kB", &kib) == 1)
            break;
    if (status)
        fclose(status);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = kib * 1024 + headroom;
    if (kib == 0 || setrlimit(RLIMIT_AS, &limit) != 0) {
        fprintf(stderr, "cannot limit the address space\n");
        _exit(3);
    }
}

// A picture of w x h pixels of colours all over the cube: the nearest-code
// search needs memory for most of its cells.
std::vector<uint8_t> noise(int w, int h)
{
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    Lcg rng(17);
    for (uint8_t &b : rgb)
        b = (uint8_t)(rng.next() >> 8);
    return rgb;
}

// The quality numbers, as a call of the codec's kind: GFX16_ENOMEM for not enough
// memory. The rgb is compared with a copy of itself, each channel moved.
int quality(const unsigned char *rgb, int w, int h, unsigned char *, unsigned char *)
{
    Picture a, b;
    a.w = b.w = w;
    a.h = b.h = h;
    a.rgb.assign(rgb, rgb + (size_t)w * h * 3);
    b.rgb = a.rgb;
    for (uint8_t &c : b.rgb)
        c ^= 1;
    try {
        return std::isnan(compare_pictures(a, b).ssim) ? -1 : 0;
    } catch (const std::bad_alloc &) {
        return GFX16_ENOMEM;
    }
}

struct MemoryCase {
    const char *what;
    Cut cut;
    uint64_t headroom;
    int w, h;
    int (*call)(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview);
    int status;
    // Done is as good as `status` when which thread meets the lack depends
    // on the scheduler: the caller's own thread may take every share
    // before a worker takes its first.
    bool or_done = false;
    // Memory the search's lists need: reading the library's table of
    // answers needs none, and the call is done.
    bool lists = false;
};

const uint8_t marker = 0xA5;

// The child's side of a case: exits 0 when the call did what it should.
void run_starved(const MemoryCase &c)
{
    gfx16_set_threads(2);
    std::vector<uint8_t> rgb = c.w > 1000000 ? std::vector<uint8_t>((size_t)c.w * c.h * 3, 40) : noise(c.w, c.h);
    std::vector<uint8_t> carrier((size_t)c.w * 2 * c.h, marker), want(carrier.size(), marker);
    cut_memory(c.cut, c.headroom);
    int status = c.call(rgb.data(), c.w, c.h, carrier.data(), nullptr);
    starving = false;
    // Asked after the call, which has built what the search starts from.
    const int expected = c.lists && !nearest_searches() ? 0 : c.status;
    if (status != expected && !(c.or_done && status == 0)) {
        fprintf(stderr, "status %d, expected %d\n", status, expected);
        _exit(1);
    }
    // Done: the carrier of a call that has the memory it needs (after the
    // starved one, which has made what the search keeps). Refused: the
    // carrier as it was.
    if (status == 0 && c.call(rgb.data(), c.w, c.h, want.data(), nullptr) != 0)
        _exit(4);
    if (c.call != quality && carrier != want) {
        fprintf(stderr, "the carrier is not what it should be\n");
        _exit(2);
    }
    _exit(0);
}

TEST(Memory, CallsReturnTheirErrorAndNeverAbort)
{
#ifdef GFX16_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocator takes address space of its own";
#endif
    const MemoryCase cases[] = {
        // The format's encoder needs no memory: its tables are static and a
        // thread it cannot start leaves its share to the caller.
        {"format encoder, no memory left", Cut::address_space, 0, 1024, 256, gfx16_encode, 0},
        {"nearest codes, no memory left for the search", Cut::address_space, 0, 1024, 256, gfx16_encode_best,
         GFX16_ENOMEM},
        // Room for the search's tables (its answers take 32 MiB of address
        // space), but not for the lists of all the cells that noise
        // reaches: the pass that makes them must meet the lack before a
        // code is written.
        {"nearest codes, memory runs out in the search", Cut::address_space, 48 << 20, 1024, 256,
         gfx16_encode_best, GFX16_ENOMEM, false, true},
        {"nearest codes, no memory on the worker threads", Cut::workers_new, 0, 1024, 256, gfx16_encode_best, 0},
        // 50,000,000 x 1: 100 MB of codes, then 1.2 GB of error rows.
        {"dithered, no memory for the codes", Cut::address_space, 50 << 20, 50000000, 1, gfx16_encode_dithered,
         GFX16_ENOMEM},
        {"dithered, no memory for the error rows", Cut::address_space, 200 << 20, 50000000, 1,
         gfx16_encode_dithered, GFX16_ENOMEM},
        // Not the library's, but threads of ours all the same (2, by the
        // limit): the worker's exception comes back to the caller.
        {"quality numbers, no memory on the worker threads", Cut::workers_new, 0, 256, 256, quality, GFX16_ENOMEM,
         true},
    };
    for (const MemoryCase &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EXIT(run_starved(c), testing::ExitedWithCode(0), "");
    }
}

} // namespace
