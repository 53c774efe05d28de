#include "codec/nearest.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "codec/bytes.h"
#include "codec/code.h"
#include "codec/nearest_avx2.h"
#include "codec/nearest_table.h"
#include "codec/simd.h"
#include "codec/tables.h"
#include "codec/threads.h"

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
// some colour in it: those whose least distance to the cell is within a
// bound on how far any colour of the cell is from its nearest site. A
// cell's list is its parent's list, filtered this way (a colour's nearest
// site is in the list of every cell that holds the colour). Lists are made
// only for the cells a picture reaches, so a small picture pays for few of
// them, and a photo of 4096 x 4096 for about an eighth of the 262,144
// smallest cells.
//
// The bound is the lesser of two. Any one site's greatest distance to the
// cell bounds it, and for small cells the best such site gives a close
// bound; but for a large cell even the best is half the cell's diagonal
// away from its far corners. So a lattice of points 8 levels apart also
// keeps an upper bound on each point's distance to its nearest site, found
// once at the start; every colour is within half a lattice cube's diagonal
// of some lattice point. For cells of 32 levels and more that bound is the
// tighter one, and their lists come out two to three times shorter.
//
// Searching a smallest cell's list (about 20 sites) for every pixel would
// still be too slow for large pictures. So a smallest cell, when a picture
// first reaches it, has the answers of all its 64 colours worked out at
// once: for each site of its list, its distance to each of the 64 colours,
// a colour keeping the first site at its least distance. The distance is a
// sum of three terms, one for each axis, of which a cell has only four
// each; the 64 sums side by side make a loop the compiler turns into vector
// instructions, some 50 times cheaper than 64 searches.
//
// The answers go into one table of all 2^24 colours, so that a pixel's
// answer is one load, with no pointer to follow first: the search is bound
// by the memory it waits for, not by the instructions, and the loop over
// pixels asks for the answers of pixels a little ahead before it needs
// them. The table is reserved whole (32 MiB) but the system gives it pages
// only where a picture's colours go, and those are few: it is in Morton
// order (the bits of red, green and blue interleaved), so that a smallest
// cell's answers lie together, a cache line holds 2 x 4 x 4 colours and a
// page 8 x 16 x 16, each neighbours in the cube as a picture's colours are.
// A photograph of 4096 x 4096 touches some 3,000 of its 8,192 pages.
//
// Threads make lists and answers as they meet them. A list is published by
// compare-and-swap of its pointer, and a thread that loses the race frees
// its own copy: the two are equal. An answer is stored as code ^ 128, so
// that the table's zero means "not yet worked out": code 128 (value 0, hue
// 1) is black, as code 0 is, and never an answer. Two threads that work
// out one cell at once store the same answers.
//
// The library is built with every cell's answers worked out by this search
// beforehand (nearest_table.h): a cell a picture reaches is then read from
// that table into the one above instead of searched, and the lists and the
// lattice are never made. The search stays for builds without the table
// (the page's WebAssembly), and runs instead of the table when the
// environment variable GFX16_NEAREST is "search".

namespace {

const int level_count = 7;   // cells of 256 (the whole cube), 128, ..., 4 a side
const int leaf_level = level_count - 1;

inline int cell_shift(int level) { return 8 - level; }

// The lattice of points 8 levels apart (0, 8, ..., 256 on each axis) that
// bounds how far any colour can be from its nearest site.
const int lattice_step = 8, lattice_side = 256 / lattice_step + 1;
const int lattice_room = lattice_side + 2;  // with a margin of one point all round

inline int lattice_index(int i, int j, int k) { return ((i + 1) * lattice_room + j + 1) * lattice_room + k + 1; }

struct SiteList {
    uint32_t count;
    uint16_t sites[1];  // really `count` of them, in increasing order
};

struct Nearest {
    const uint8_t *table;       // the linked table of answers, or NULL to search
    int site_count;
    uint16_t site_code[65536];  // the lowest code that decodes to each site
    const uint32_t *code_rgb;   // the colour of every code, as site_rgb (decoded_colours)
    uint32_t site_rgb[65536];   // r | g << 8 | b << 16
    // Squared least and greatest distance on one axis from a channel value
    // to the cells of a level: [level][value - cell's low end + 255], the
    // least in the high 32 bits, the greatest in the low ones. Summing the
    // three axes' entries sums both at once, with no carry between them.
    uint64_t axis_terms[level_count][511];
    // At least the distance from each lattice point to its nearest site.
    double lattice_reach[lattice_room * lattice_room * lattice_room];  // lattice_index()
    std::atomic<const SiteList *> *cells[leaf_level];  // levels above the leaves
    // The bits of a channel's value spread three apart, for red, green and
    // blue: a colour's place in `answers` is the three ORed.
    uint32_t morton[3][256];
    uint32_t in_leaf[64];  // colour_index() of (k >> 4, (k >> 2) & 3, k & 3)
    std::atomic<uint16_t> *answers;  // code ^ unanswered, or 0
    // A bit for each smallest cell, leaf_number(), set once its answers
    // are stored: what the pass that only makes answers reads, 32 KiB that
    // stay in the cache where the answers would not.
    mutable std::atomic<uint32_t> made[(1 << (3 * leaf_level)) / 32];
};

const uint16_t unanswered = 128;

inline uint32_t colour_index(const Nearest &n, int r, int g, int b)
{
    return n.morton[0][r] | n.morton[1][g] | n.morton[2][b];
}

inline uint32_t leaf_number(int r, int g, int b) { return (uint32_t)(r >> 2 | (g >> 2) << 6 | (b >> 2) << 12); }

inline bool leaf_made(const Nearest &n, uint32_t leaf)
{
    return n.made[leaf / 32].load(std::memory_order_relaxed) >> (leaf % 32) & 1;
}

inline int squared(int x) { return x * x; }

// A bound on the squared distance from any colour of the cell (of `level`,
// lowest corner `low`) to its nearest site, from the lattice points around
// the cell: each colour lies within half a lattice cube's diagonal of one of
// them. Rounded up, and one more, so that rounding never makes it too small.
uint32_t lattice_bound(const Nearest &n, int level, const int low[3])
{
    const int size = 1 << cell_shift(level);
    int first[3], last[3];
    for (int c = 0; c < 3; c++) {
        first[c] = low[c] / lattice_step;
        last[c] = (low[c] + size - 1) / lattice_step + 1;
    }
    double reach = 0;
    for (int i = first[0]; i <= last[0]; i++)
        for (int j = first[1]; j <= last[1]; j++)
            for (int k = first[2]; k <= last[2]; k++)
                reach = std::max(reach, n.lattice_reach[lattice_index(i, j, k)]);
    reach += lattice_step * std::sqrt(3.0) / 2;
    return (uint32_t)std::ceil(reach * reach) + 1;
}

// Room for a list of any level, for one search on one thread. Taken only
// when a cell is first made, and with malloc, whose failure is an answer
// (-1) rather than an exception: a search may run on a thread of the
// library's, where an exception would end the process.
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    ~Scratch() { free(least); }
    bool ready()
    {
        if (!least)
            least = (uint32_t *)malloc(65536 * (sizeof(uint32_t) + sizeof(uint16_t)));
        return least != NULL;
    }
    uint32_t *least = NULL;
    uint16_t *kept() const { return (uint16_t *)(least + 65536); }
};

// The sites of `parent` that can be nearest to a colour of the cell of
// `level` whose lowest corner is `low`, into scratch.kept(), which must be
// ready; returns how many.
uint32_t filter_for_cell(const Nearest &n, Scratch &scratch, const SiteList *parent, int level, const int low[3])
{
    uint32_t *least = scratch.least;
    uint16_t *kept_sites = scratch.kept();
    const uint16_t *sites = parent->sites;
    const uint32_t count = parent->count;
    // Every colour of the cell is within `bound` of its nearest site, so a
    // site whose least distance to the whole cell is greater never wins in
    // it. Ties at exactly `bound` are kept. The bound is the lesser of the
    // lattice's and the greatest distance to the cell of any one site.
    uint32_t bound = lattice_bound(n, level, low);
#if GFX16_X86_VECTORS
    if (simd_level() == Simd::avx2) {
        const int high = (1 << cell_shift(level)) - 1;
        bound = std::min(bound, cell_distances_avx2(n.site_rgb, sites, count, low, high, least));
    } else
#endif
    {
        const uint64_t *red = n.axis_terms[level] + 255 - low[0];
        const uint64_t *green = n.axis_terms[level] + 255 - low[1];
        const uint64_t *blue = n.axis_terms[level] + 255 - low[2];
        for (uint32_t i = 0; i < count; i++) {
            uint32_t c = n.site_rgb[sites[i]];
            uint64_t terms = red[c & 255] + green[(c >> 8) & 255] + blue[c >> 16];
            least[i] = (uint32_t)(terms >> 32);
            bound = std::min(bound, (uint32_t)terms);
        }
    }
#if GFX16_X86_VECTORS
    if (simd_level() == Simd::avx2)
        return keep_within_avx2(sites, least, count, bound, kept_sites);
#endif
    // Written whether kept or not, counted only if kept: no branch to
    // mispredict on a coin toss.
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; i++) {
        kept_sites[kept] = sites[i];
        kept += least[i] <= bound;
    }
    return kept;
}

// Publishes `made` in `slot` unless another thread was first; returns what
// the slot then holds.
template <class Cell>
Cell *publish(std::atomic<Cell *> &slot, Cell *made)
{
    Cell *expected = NULL;
    if (slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel, std::memory_order_acquire))
        return made;
    free((void *)made);
    return expected;
}

// The list of the cell of `level` (above the leaves) that holds (r, g, b),
// made (with its parents) if no thread has made it yet. NULL when out of
// memory.
const SiteList *cell_list(const Nearest &n, Scratch &scratch, int level, int r, int g, int b)
{
    const int shift = cell_shift(level), side_bits = level;
    const int cr = r >> shift, cg = g >> shift, cb = b >> shift;
    std::atomic<const SiteList *> &slot = n.cells[level][(cr << side_bits | cg) << side_bits | cb];
    const SiteList *list = slot.load(std::memory_order_acquire);
    if (list)
        return list;
    const SiteList *parent = cell_list(n, scratch, level - 1, r, g, b);
    if (!parent || !scratch.ready())
        return NULL;
    const int low[3] = {cr << shift, cg << shift, cb << shift};
    uint32_t count = filter_for_cell(n, scratch, parent, level, low);
    SiteList *made = (SiteList *)malloc(offsetof(SiteList, sites) + std::max(count, 1u) * sizeof(uint16_t));
    if (!made)
        return NULL;
    made->count = count;
    memcpy(made->sites, scratch.kept(), count * sizeof(uint16_t));
    return publish(slot, (const SiteList *)made);
}

// The nearest sites of the 64 colours of the leaf whose lowest corner is
// `low`, from the `count` sites that can be nearest to them, in the order
// (r & 3) << 4 | (g & 3) << 2 | (b & 3).
void leaf_sites(const Nearest &n, const uint16_t *sites, uint32_t count, const int low[3], uint16_t nearest[64])
{
#if GFX16_X86_VECTORS
    if (simd_level() == Simd::avx2)
        return leaf_sites_avx2(n.site_rgb, sites, count, low, nearest);
#endif
    int32_t best[64];
    std::fill(best, best + 64, INT32_MAX);
    std::fill(nearest, nearest + 64, 0);
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t c = n.site_rgb[sites[i]];
        const int site = sites[i];
        int32_t red[4], green_blue[16];
        for (int k = 0; k < 4; k++)
            red[k] = squared(low[0] + k - (int)(c & 255));
        for (int k = 0; k < 16; k++)
            green_blue[k] = squared(low[1] + (k >> 2) - (int)((c >> 8) & 255)) + squared(low[2] + (k & 3) - (int)(c >> 16));
        for (int k = 0; k < 4; k++) {
            int32_t *b = best + 16 * k;
            uint16_t *s = nearest + 16 * k;
            // Strictly less: the sites come in order, so the first of
            // equals, the lowest code, stays.
            for (int j = 0; j < 16; j++) {
                int32_t d = red[k] + green_blue[j];
                bool nearer = d < b[j];
                b[j] = nearer ? d : b[j];
                s[j] = nearer ? (uint16_t)site : s[j];
            }
        }
    }
}

// Searches for the codes of the 64 colours of the smallest cell that holds
// (r, g, b), in the order of the answers' table: false when out of memory.
bool search_leaf(const Nearest &n, Scratch &scratch, int r, int g, int b, uint16_t codes[64])
{
    const SiteList *parent = cell_list(n, scratch, leaf_level - 1, r, g, b);
    if (!parent || !scratch.ready())
        return false;
    const int low[3] = {r & ~3, g & ~3, b & ~3};
    uint32_t count = filter_for_cell(n, scratch, parent, leaf_level, low);
    uint16_t nearest[64];
    leaf_sites(n, scratch.kept(), count, low, nearest);
    for (int k = 0; k < 64; k++)
        codes[n.in_leaf[k]] = n.site_code[nearest[k]];
    return true;
}

// Works out the answers of the smallest cell that holds (r, g, b) and
// stores them; returns what it stored for (r, g, b), or 0 when out of
// memory. Kept out of line: the loop over pixels rarely needs it.
__attribute__((noinline)) uint16_t make_leaf(const Nearest &n, Scratch &scratch, int r, int g, int b)
{
    const uint32_t first = colour_index(n, r & ~3, g & ~3, b & ~3);
    uint16_t answers[64];
    if (n.table)
        table_cell_codes(n.table, first >> 6, answers);
    else if (!search_leaf(n, scratch, r, g, b, answers))
        return 0;
    for (int k = 0; k < 64; k++)
        answers[k] ^= unanswered;
    // The cell's 128 bytes in a few wide stores rather than 64 narrow ones:
    // its lines are seldom in the cache, and 64 stores waiting for them
    // fill the processor's store buffer and stop it, where a few let it go
    // on. (A third of make_leaf's time, the narrow way.) Each answer is 2
    // aligned bytes, written whole, and threads that make one cell at once
    // write the same answers.
    memcpy((void *)(n.answers + first), answers, sizeof answers);
    // Not a locked OR, which would wait for the stores above to reach
    // memory: another thread may set a bit of the same word at once and
    // have it lost, and that cell is then only made again.
    const uint32_t leaf = leaf_number(r, g, b);
    std::atomic<uint32_t> &bits = n.made[leaf / 32];
    bits.store(bits.load(std::memory_order_relaxed) | 1u << (leaf % 32), std::memory_order_relaxed);
    return answers[colour_index(n, r, g, b) - first];
}

// Fills lattice_reach: at first the distance from each lattice point to the
// nearest site in the eight lattice cubes around it, then lowered by way of
// its neighbours, q's reach plus the distance from p to q, in one sweep
// forwards and one backwards. Each value stays at or above the point's
// distance to its nearest site, which is all the bound needs.
void build_lattice(Nearest *n)
{
    double *reach = n->lattice_reach;
    std::fill(reach, reach + lattice_room * lattice_room * lattice_room, HUGE_VAL);
    // Squared distances first, roots once per point.
    for (int site = 0; site < n->site_count; site++) {
        int cube[3], to_corner[3][2];
        for (int a = 0; a < 3; a++) {
            int c = (int)(n->site_rgb[site] >> (8 * a) & 255);
            cube[a] = c / lattice_step;
            to_corner[a][0] = squared(c - cube[a] * lattice_step);
            to_corner[a][1] = squared((cube[a] + 1) * lattice_step - c);
        }
        for (int i = 0; i < 2; i++)
            for (int j = 0; j < 2; j++)
                for (int k = 0; k < 2; k++) {
                    double &at = reach[lattice_index(cube[0] + i, cube[1] + j, cube[2] + k)];
                    at = std::min(at, (double)(to_corner[0][i] + to_corner[1][j] + to_corner[2][k]));
                }
    }
    for (int i = 0; i < lattice_side; i++)
        for (int j = 0; j < lattice_side; j++)
            for (int k = 0; k < lattice_side; k++) {
                double &at = reach[lattice_index(i, j, k)];
                at = std::sqrt(at);
            }
    // The 13 neighbours a forward sweep has already passed (the other 13 for
    // the backward sweep), as steps in the array, and how far each is. The
    // margin of unreachable points around the lattice saves bounds checks.
    int passed[13];
    double distance[13];
    int count = 0;
    for (int di = -1; di <= 0; di++)
        for (int dj = -1; dj <= 1; dj++)
            for (int dk = -1; dk <= 1; dk++)
                if (di < 0 || dj < 0 || (dj == 0 && dk < 0)) {
                    passed[count] = (di * lattice_room + dj) * lattice_room + dk;
                    distance[count++] = lattice_step * std::sqrt((double)(di * di + dj * dj + dk * dk));
                }
    for (int direction = 1; direction >= -1; direction -= 2) {
        const int begin = direction > 0 ? 0 : lattice_side - 1, end = direction > 0 ? lattice_side : -1;
        for (int i = begin; i != end; i += direction)
            for (int j = begin; j != end; j += direction)
                for (int k = begin; k != end; k += direction) {
                    double &at = reach[lattice_index(i, j, k)];
                    for (int q = 0; q < 13; q++)
                        at = std::min(at, (&at)[direction * passed[q]] + distance[q]);
                }
    }
}

// What the search needs: its sites, lattice, distance terms and the list of
// the whole cube. False when out of memory.
bool build_search(Nearest *n)
{
    // Sites in the order of their lowest codes. The colours met are kept in
    // a hash table of site number + 1 (0 for none; the 53,516 sites fit 16
    // bits) of 256 KiB: a bit for each of the 2^24 colours takes 2 MiB,
    // and the system's giving its pages took 40% of this setup's time.
    const int hash_bits = 17;
    std::unique_ptr<uint16_t, decltype(&free)> table((uint16_t *)calloc((size_t)1 << hash_bits, sizeof(uint16_t)),
                                                     free);
    uint16_t *met = table.get();
    if (!met)
        return false;
    n->site_count = 0;
    for (int code = 0; code < 65536; code++) {
        const uint32_t colour = n->code_rgb[code];
        uint32_t slot = (colour * 0x9E3779B1u) >> (32 - hash_bits);
        while (met[slot] && n->site_rgb[met[slot] - 1] != colour)
            slot = (slot + 1) & ((1u << hash_bits) - 1);
        if (met[slot])
            continue;
        met[slot] = (uint16_t)(n->site_count + 1);
        n->site_rgb[n->site_count] = colour;
        n->site_code[n->site_count++] = (uint16_t)code;
    }
    build_lattice(n);
    for (int level = 0; level < level_count; level++) {
        const int high = (1 << cell_shift(level)) - 1;
        for (int d = -255; d <= 255; d++) {
            int least = d < 0 ? -d : d > high ? d - high : 0, greatest = std::max(d, high - d);
            n->axis_terms[level][d + 255] = (uint64_t)squared(least) << 32 | (uint32_t)squared(greatest);
        }
    }
    // calloc: the pages of slots never reached are never touched, and an
    // all-zero atomic is null on every platform we build for.
    for (int level = 0; level < leaf_level; level++) {
        n->cells[level] = (std::atomic<const SiteList *> *)calloc((size_t)1 << (3 * level),
                                                                  sizeof(std::atomic<const SiteList *>));
        if (!n->cells[level])
            return false;
    }
    SiteList *all = (SiteList *)malloc(offsetof(SiteList, sites) + n->site_count * sizeof(uint16_t));
    if (!all)
        return false;
    all->count = (uint32_t)n->site_count;
    for (int site = 0; site < n->site_count; site++)
        all->sites[site] = (uint16_t)site;
    n->cells[0][0].store(all, std::memory_order_release);
    return true;
}

bool asked_to_search()
{
    const char *asked = getenv("GFX16_NEAREST");
    return asked && strcmp(asked, "search") == 0;
}

bool build(Nearest *n)
{
    size_t table_size;
    n->table = linked_nearest_table(&table_size);
    if (table_size == 0 || asked_to_search())
        n->table = NULL;
    n->code_rgb = decoded_colours();
    for (int v = 0; v < 256; v++) {
        n->morton[0][v] = table_index(v, 0, 0);
        n->morton[1][v] = table_index(0, v, 0);
        n->morton[2][v] = table_index(0, 0, v);
    }
    for (int k = 0; k < 64; k++)
        n->in_leaf[k] = colour_index(*n, k >> 4, (k >> 2) & 3, k & 3);
    static_assert(sizeof(std::atomic<uint16_t>) == 2 && sizeof(std::atomic<uint32_t>) == 4,
                  "the vector loops read the answers and the bits as plain integers");
    // calloc: the system gives pages only where a picture's colours go, and
    // an all-zero atomic is 0 on every platform we build for. One entry to
    // spare: the vector loop reads four bytes at an answer.
    n->answers = (std::atomic<uint16_t> *)calloc(((size_t)1 << 24) + 1, sizeof(std::atomic<uint16_t>));
    if (!n->answers)
        return false;
    return n->table || build_search(n);
}

// What build() allocated before it ran out of memory.
void destroy(Nearest *n)
{
    for (int level = 0; level < leaf_level; level++)
        free(n->cells[level]);
    free(n->answers);
    free(n);
}

// Built once per process; NULL if there was not enough memory, and then
// tried again at the next call, when there may be.
const Nearest *nearest_structure()
{
    static std::atomic<Nearest *> structure{NULL};
    static std::mutex building;
    Nearest *n = structure.load(std::memory_order_acquire);
    if (n)
        return n;
    std::lock_guard<std::mutex> hold(building);
    if ((n = structure.load(std::memory_order_relaxed)))
        return n;
    n = (Nearest *)calloc(1, sizeof(Nearest));
    if (n && !build(n)) {
        destroy(n);
        n = NULL;
    }
    structure.store(n, std::memory_order_release);
    return n;
}

// The nearest code of a colour: known, or searched and kept. Returns -1
// when out of memory.
inline int find_code(const Nearest &n, Scratch &scratch, int r, int g, int b)
{
    uint16_t answer = n.answers[colour_index(n, r, g, b)].load(std::memory_order_relaxed);
    if (!answer && !(answer = make_leaf(n, scratch, r, g, b)))
        return -1;
    return answer ^ unanswered;
}

// The nearest codes of a run of pixels of `step` bytes, the channels at
// the offsets given: 0, or -1 when memory ran out.
int codes_of_run(const Nearest &n, const uint8_t *px, int step, int red, int green, int blue, size_t pixels,
                 uint16_t *codes)
{
    // Neighbours often share a colour: the last answer is the cheapest. The
    // answer of the pixel `ahead` on is fetched while this one is found.
    const size_t ahead = 32;
    Scratch scratch;
    int last_colour = -1, code = 0;
    for (size_t i = 0; i < pixels; i++, px += step) {
#if GFX16_X86_VECTORS
        // Eight answers a step, up to a colour that has none yet.
        if (simd_level() == Simd::avx2) {
            size_t done = answers_avx2((const uint16_t *)n.answers, px, step, red, green, blue, pixels - i, codes + i);
            i += done;
            px += done * step;
            if (i == pixels)
                break;
        }
#endif
        if (i + ahead < pixels) {
            const uint8_t *p = px + ahead * step;
            __builtin_prefetch(n.answers + colour_index(n, p[red], p[green], p[blue]));
        }
        int colour = px[red] | px[green] << 8 | px[blue] << 16;
        if (colour != last_colour) {
            code = find_code(n, scratch, px[red], px[green], px[blue]);
            if (code < 0)
                return -1;
            last_colour = colour;
        }
        codes[i] = (uint16_t)code;
    }
    return 0;
}

} // namespace

void table_cell_codes(const uint8_t *table, uint32_t cell, uint16_t codes[64])
{
    const uint8_t *p = table + le32(table + 4 * (cell / table_cells_per_group));
    for (uint32_t before = cell % table_cells_per_group; before > 0; before--)
        p += 1 + 2 * p[0] + 8 * table_index_bits(p[0]);
    const uint8_t *palette = p + 1, *indices = palette + 2 * p[0];
    const int bits = table_index_bits(p[0]);
    const uint32_t mask = (1u << bits) - 1;
    for (int k = 0, at = 0; k < 64; k++, at += bits)
        codes[k] = (uint16_t)le16(palette + 2 * ((le16(indices + at / 8) >> (at % 8)) & mask));
}

int prepare_nearest(void) { return nearest_structure() ? 0 : -1; }

bool nearest_searches(void)
{
    const Nearest *n = nearest_structure();
    return n && !n->table;
}

int nearest_code(uint8_t r, uint8_t g, uint8_t b)
{
    const Nearest *n = nearest_structure();
    Scratch scratch;
    return n ? find_code(*n, scratch, r, g, b) : -1;
}

int nearest_codes_of(const uint8_t *pixels, int bytes_per_pixel, int red, int green, int blue, size_t count,
                     uint16_t *codes)
{
    const Nearest *n = nearest_structure();
    return n ? codes_of_run(*n, pixels, bytes_per_pixel, red, green, blue, count, codes) : -1;
}

int nearest_reach(const uint8_t *pixels, int bytes_per_pixel, int red, int green, int blue, size_t count)
{
    const Nearest *n = nearest_structure();
    if (!n)
        return -1;
    Scratch scratch;
    // A smallest cell's answers are made together: neighbours are often in
    // one, whose colours differ only in the two lowest bits of each channel.
    int64_t last_leaf = -1;
    for (const uint8_t *px = pixels; count > 0; count--, px += bytes_per_pixel) {
#if GFX16_X86_VECTORS
        if (simd_level() == Simd::avx2) {
            size_t done = leaves_made_avx2((const uint32_t *)n->made, px, bytes_per_pixel, red, green, blue, count);
            count -= done;
            px += done * bytes_per_pixel;
            if (count == 0)
                break;
        }
#endif
        const int r = px[red], g = px[green], b = px[blue];
        const uint32_t leaf = leaf_number(r, g, b);
        if (leaf == last_leaf)
            continue;
        last_leaf = leaf;
        if (!leaf_made(*n, leaf) && !make_leaf(*n, scratch, r, g, b))
            return -1;
    }
    return 0;
}

int nearest_codes(const uint8_t *rgb, size_t pixels, uint16_t *codes)
{
    const Nearest *n = nearest_structure();
    if (!n)
        return -1;
    if (pixels < ((size_t)1 << 16))
        return codes_of_run(*n, rgb, 3, 0, 1, 2, pixels, codes);
    unsigned threads = std::min(codec_threads(), most_codec_threads);
    if (threads < 2)
        return codes_of_run(*n, rgb, 3, 0, 1, 2, pixels, codes);
    // Equal runs of pixels for each thread; each answer is exact whichever
    // thread finds it, so the split does not change the result.
    std::atomic<int> status{0};
    run_shares(threads, [&](unsigned i) {
        size_t first = pixels * i / threads, end = pixels * (i + 1) / threads;
        if (codes_of_run(*n, rgb + 3 * first, 3, 0, 1, 2, end - first, codes + first) != 0)
            status = -1;
    });
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
    const size_t row_floats = ((size_t)w + 2) * 3;
    std::unique_ptr<float, decltype(&free)> rows((float *)calloc(2 * row_floats, sizeof(float)), free);
    if (!rows)
        return -1;
    float *here = rows.get(), *below = here + row_floats;
    Scratch scratch;
    for (int y = 0; y < h; y++) {
        std::fill(below, below + row_floats, 0.0f);
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
            int code = find_code(*n, scratch, target[0], target[1], target[2]);
            if (code < 0)
                return -1;
            codes[(size_t)y * w + x] = (uint16_t)code;
            for (int c = 0; c < 3; c++) {
                float e = want[c] - (float)(n->code_rgb[code] >> (8 * c) & 255);
                here[3 * (size_t)(x + 1 + step) + c] += e * (7.0f / 16);
                below[3 * (size_t)(x + 1 - step) + c] += e * (3.0f / 16);
                below[3 * (size_t)(x + 1) + c] += e * (5.0f / 16);
                below[3 * (size_t)(x + 1 + step) + c] += e * (1.0f / 16);
            }
        }
        std::swap(here, below);
    }
    return 0;
}
