#include "nearest.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "codec.h"

// How the nearest code is found, and why this way.
//
// The 65536 codes decode to 53,516 distinct colours ("sites"); only the
// lowest code of each can be an answer. Sites are numbered in the order of
// their lowest codes, so the lowest site number among sites at one distance
// is also the lowest code.
//
// A full table of all 2^24 colours would answer in one load, but filling it
// exactly costs far more than a picture of 256 x 256 may take. So the RGB
// cube is cut into cells, level by level (cells of 128, 64, ... 4 levels a
// side), and each cell keeps the list of the sites that can be nearest to
// some colour in it: a site whose least distance to the cell is greater than
// the greatest distance of some other site to the cell loses everywhere in
// it to that other site. A cell's list is its parent's list, filtered this
// way (a colour's nearest site is in the list of every cell that holds the
// colour). Lists are made only for the cells a picture reaches, so a small
// picture pays for few of them, and a photo of 4096 x 4096 for about a
// tenth of the 262,144 smallest cells.
//
// Searching a smallest cell's list (16 sites on average) for every pixel
// would still be too slow for large pictures, whose pixels repeat colours
// about 20 times each. So each answer goes into a cache of all 2^24 colours
// as well, laid out in Morton order (the bits of r, g and b interleaved):
// the few neighbouring colours of a noisy photo region then share cache
// lines and pages instead of lying 64 KiB apart.
//
// Threads fill lists and cache entries as they meet them. A cache entry is
// a 16-bit value stored and loaded atomically; a list is published by
// compare-and-swap of its pointer, and a thread that loses the race frees
// its own copy: the two are equal.

namespace {

const int level_count = 7;   // cells of 256 (the whole cube), 128, ..., 4 a side
const int leaf_level = level_count - 1;

inline int cell_shift(int level) { return 8 - level; }

struct SiteList {
    uint32_t count;
    uint16_t sites[1];  // really `count` of them, in increasing order
};

SiteList *new_list(size_t count)
{
    return (SiteList *)malloc(offsetof(SiteList, sites) + std::max<size_t>(count, 1) * sizeof(uint16_t));
}

struct Nearest {
    int site_count;
    uint16_t site_code[65536];  // the lowest code that decodes to each site
    uint8_t site_rgb[65536][3];
    uint32_t morton[256];       // the bits of a channel, spread three apart
    std::atomic<const SiteList *> *cells[level_count];
    // site + 1 for a colour, 0 while not known; index morton_index().
    uint16_t *answers;
};

inline uint32_t morton_index(const Nearest &n, int r, int g, int b)
{
    return n.morton[r] << 2 | n.morton[g] << 1 | n.morton[b];
}

inline int squared(int x) { return x * x; }

// Least and greatest squared distance, on one axis, from v to [low, high].
inline int least_on_axis(int v, int low, int high)
{
    return squared(v < low ? low - v : v > high ? v - high : 0);
}
inline int greatest_on_axis(int v, int low, int high) { return squared(std::max(v - low, high - v)); }

// The sites of `parent` that can be nearest to a colour of the cell whose
// lowest corner is `low` and whose side is `size`. Returns NULL when out of
// memory.
SiteList *filter_for_cell(const Nearest &n, const SiteList *parent, const int low[3], int size)
{
    const int high[3] = {low[0] + size - 1, low[1] + size - 1, low[2] + size - 1};
    // Every colour of the cell is within `bound` of the site that sets it,
    // so its nearest site is too: whatever lies farther from the whole cell
    // never wins there. Ties at exactly `bound` are kept.
    int bound = INT_MAX;
    for (uint32_t i = 0; i < parent->count; i++) {
        const uint8_t *c = n.site_rgb[parent->sites[i]];
        int greatest = greatest_on_axis(c[0], low[0], high[0]) + greatest_on_axis(c[1], low[1], high[1]) +
                       greatest_on_axis(c[2], low[2], high[2]);
        bound = std::min(bound, greatest);
    }
    SiteList *list = new_list(parent->count);
    if (!list)
        return NULL;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < parent->count; i++) {
        const uint8_t *c = n.site_rgb[parent->sites[i]];
        int least = least_on_axis(c[0], low[0], high[0]) + least_on_axis(c[1], low[1], high[1]) +
                    least_on_axis(c[2], low[2], high[2]);
        if (least <= bound)
            list->sites[kept++] = parent->sites[i];
    }
    list->count = kept;
    SiteList *shrunk = (SiteList *)realloc(list, offsetof(SiteList, sites) + std::max(kept, 1u) * sizeof(uint16_t));
    return shrunk ? shrunk : list;
}

// The list of the cell of `level` that holds (r, g, b), made (with its
// parents) if no thread has made it yet. NULL when out of memory.
const SiteList *cell_list(const Nearest &n, int level, int r, int g, int b)
{
    const int shift = cell_shift(level), side_bits = level;
    const int cr = r >> shift, cg = g >> shift, cb = b >> shift;
    std::atomic<const SiteList *> &slot = n.cells[level][(cr << side_bits | cg) << side_bits | cb];
    const SiteList *list = slot.load(std::memory_order_acquire);
    if (list)
        return list;
    const SiteList *parent = cell_list(n, level - 1, r, g, b);
    if (!parent)
        return NULL;
    const int low[3] = {cr << shift, cg << shift, cb << shift};
    SiteList *made = filter_for_cell(n, parent, low, 1 << shift);
    if (!made)
        return NULL;
    const SiteList *expected = NULL;
    if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    free(made);
    return expected;
}

// The nearest site of a colour by search. Returns -1 when out of memory.
int search_nearest_site(const Nearest &n, int r, int g, int b)
{
    const SiteList *list = cell_list(n, leaf_level, r, g, b);
    if (!list)
        return -1;
    int best = INT_MAX, best_site = 0;
    for (uint32_t i = 0; i < list->count; i++) {
        const uint8_t *c = n.site_rgb[list->sites[i]];
        int distance = squared(c[0] - r) + squared(c[1] - g) + squared(c[2] - b);
        // Strictly less: the list is in site order, so the first of equals,
        // the lowest code, stays.
        if (distance < best) {
            best = distance;
            best_site = list->sites[i];
        }
    }
    return best_site;
}

bool build(Nearest *n)
{
    // Sites in the order of their lowest codes; `seen` marks colours met.
    std::vector<uint8_t> seen(1 << 21);
    n->site_count = 0;
    for (int code = 0; code < 65536; code++) {
        uint8_t rgb[3];
        decode_code((uint16_t)code, rgb);
        uint32_t colour = (uint32_t)rgb[0] << 16 | rgb[1] << 8 | rgb[2];
        if (seen[colour >> 3] & (1 << (colour & 7)))
            continue;
        seen[colour >> 3] |= (uint8_t)(1 << (colour & 7));
        memcpy(n->site_rgb[n->site_count], rgb, 3);
        n->site_code[n->site_count++] = (uint16_t)code;
    }
    for (int v = 0; v < 256; v++) {
        n->morton[v] = 0;
        for (int bit = 0; bit < 8; bit++)
            n->morton[v] |= (uint32_t)((v >> bit) & 1) << (3 * bit);
    }
    // calloc: the pages of cells and answers never reached are never
    // touched, and an all-zero atomic pointer is null on every platform we
    // build for.
    for (int level = 0; level < level_count; level++) {
        n->cells[level] = (std::atomic<const SiteList *> *)calloc((size_t)1 << (3 * level),
                                                                  sizeof(std::atomic<const SiteList *>));
        if (!n->cells[level])
            return false;
    }
    n->answers = (uint16_t *)calloc((size_t)1 << 24, sizeof(uint16_t));
    SiteList *all = new_list((size_t)n->site_count);
    if (!n->answers || !all)
        return false;
    all->count = (uint32_t)n->site_count;
    for (int site = 0; site < n->site_count; site++)
        all->sites[site] = (uint16_t)site;
    n->cells[0][0].store(all, std::memory_order_release);
    return true;
}

// Built once per process; NULL if there was not enough memory.
const Nearest *nearest_structure()
{
    static Nearest *structure;
    static std::once_flag once;
    std::call_once(once, [] {
        Nearest *n = (Nearest *)calloc(1, sizeof(Nearest));
        if (n && build(n))
            structure = n;
    });
    return structure;
}

// The nearest site of a colour: from the cache, else searched and cached.
// Returns -1 when out of memory.
inline int nearest_site(const Nearest &n, int r, int g, int b)
{
    uint16_t *entry = &n.answers[morton_index(n, r, g, b)];
    int known = __atomic_load_n(entry, __ATOMIC_RELAXED);
    if (known)
        return known - 1;
    int site = search_nearest_site(n, r, g, b);
    if (site >= 0)
        __atomic_store_n(entry, (uint16_t)(site + 1), __ATOMIC_RELAXED);
    return site;
}

// The nearest codes of a run of pixels: 0, or -1 when memory ran out.
int codes_of_run(const Nearest &n, const uint8_t *rgb, size_t pixels, uint16_t *codes)
{
    for (size_t i = 0; i < pixels; i++) {
        const uint8_t *p = rgb + 3 * i;
        int site = nearest_site(n, p[0], p[1], p[2]);
        if (site < 0)
            return -1;
        codes[i] = n.site_code[site];
    }
    return 0;
}

} // namespace

int nearest_code(uint8_t r, uint8_t g, uint8_t b)
{
    const Nearest *n = nearest_structure();
    int site = n ? nearest_site(*n, r, g, b) : -1;
    return site < 0 ? -1 : n->site_code[site];
}

int nearest_codes(const uint8_t *rgb, size_t pixels, uint16_t *codes)
{
    const Nearest *n = nearest_structure();
    if (!n)
        return -1;
    unsigned threads = std::min(std::thread::hardware_concurrency(), 8u);
    if (threads < 2 || pixels < ((size_t)1 << 16))
        return codes_of_run(*n, rgb, pixels, codes);
    // Equal runs of pixels for each thread; each answer is exact whichever
    // thread finds it, so the split does not change the result.
    std::vector<std::thread> pool;
    std::atomic<int> status{0};
    for (unsigned i = 0; i < threads; i++) {
        size_t first = pixels * i / threads, end = pixels * (i + 1) / threads;
        pool.emplace_back([&, first, end] {
            if (codes_of_run(*n, rgb + 3 * first, end - first, codes + first) != 0)
                status = -1;
        });
    }
    for (std::thread &t : pool)
        t.join();
    return status;
}

int dithered_codes(const uint8_t *rgb, int w, int h, uint16_t *codes)
{
    const Nearest *n = nearest_structure();
    if (!n)
        return -1;
    if (w <= 0 || h <= 0)
        return 0;
    // Error waiting for this row and the next, per channel, with a column
    // to spare at each end so the edges need no tests.
    std::vector<float> here((size_t)(w + 2) * 3), below((size_t)(w + 2) * 3);
    for (int y = 0; y < h; y++) {
        std::fill(below.begin(), below.end(), 0.0f);
        const int step = y % 2 ? -1 : 1;
        for (int i = 0; i < w; i++) {
            const int x = step > 0 ? i : w - 1 - i;
            const uint8_t *p = rgb + 3 * ((size_t)y * w + x);
            float *err = &here[3 * (size_t)(x + 1)];
            float want[3];
            int target[3];
            for (int c = 0; c < 3; c++) {
                // Held within the cube: colours out of every site's reach
                // (pure red is 31 levels from the nearest) would otherwise
                // pile up error without end.
                want[c] = std::clamp(p[c] + err[c], 0.0f, 255.0f);
                target[c] = (int)(want[c] + 0.5f);
            }
            int site = nearest_site(*n, target[0], target[1], target[2]);
            if (site < 0)
                return -1;
            codes[(size_t)y * w + x] = n->site_code[site];
            for (int c = 0; c < 3; c++) {
                float e = want[c] - n->site_rgb[site][c];
                here[3 * (size_t)(x + 1 + step) + c] += e * (7.0f / 16);
                below[3 * (size_t)(x + 1 - step) + c] += e * (3.0f / 16);
                below[3 * (size_t)(x + 1) + c] += e * (5.0f / 16);
                below[3 * (size_t)(x + 1 + step) + c] += e * (1.0f / 16);
            }
        }
        here.swap(below);
    }
    return 0;
}
