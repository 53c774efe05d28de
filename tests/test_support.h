// Helpers shared by the tests that need the library and its bitmaps.
#ifndef GFX16_TEST_SUPPORT_H
#define GFX16_TEST_SUPPORT_H

#include <allegro.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

// Starts the library without a display, once per process, at 32 bits.
inline void start_allegro()
{
    static bool started = false;
    if (!started) {
        if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
            abort();
        started = true;
    }
    set_color_depth(32);
}

inline uint32_t rgb32(int r, int g, int b) { return (uint32_t)makecol32(r, g, b); }

// A small deterministic generator, the same on every machine.
struct Lcg {
    uint64_t state;
    explicit Lcg(uint64_t seed) : state(seed) {}
    uint32_t next()
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (uint32_t)(state >> 33);
    }
};

#endif
