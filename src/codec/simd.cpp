#include "codec/simd.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

Simd simd_available(void)
{
#if GFX16_X86_VECTORS
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return Simd::avx2;
#endif
    return Simd::scalar;
}

namespace {

Simd chosen_at_start()
{
    const char *asked = getenv("GFX16_SIMD");
    if (asked && !strcmp(asked, "scalar"))
        return Simd::scalar;
    return simd_available();
}

std::atomic<int> level{-1};

} // namespace

Simd simd_level(void)
{
    int now = level.load(std::memory_order_relaxed);
    if (now < 0) {
        // Unless use_simd came first, every thread here makes the same choice.
        int chosen = (int)chosen_at_start();
        now = level.compare_exchange_strong(now, chosen, std::memory_order_relaxed) ? chosen : now;
    }
    return (Simd)now;
}

Simd use_simd(Simd wanted)
{
    Simd before = simd_level();
    level.store((int)(wanted <= simd_available() ? wanted : simd_available()), std::memory_order_relaxed);
    return before;
}
