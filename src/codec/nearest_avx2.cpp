#include "codec/nearest_avx2.h"

#if GFX16_X86_VECTORS

#include <immintrin.h>

#include <algorithm>
#include <climits>

#define AVX2 __attribute__((target("avx2")))

namespace {

AVX2 inline __m256i squared(__m256i x) { return _mm256_mullo_epi32(x, x); }

// The least and greatest squared distance on one axis from channel values
// to a cell's range [low, low + high].
AVX2 inline void axis_terms(__m256i value, int low, int high, __m256i *least, __m256i *greatest)
{
    __m256i d = _mm256_sub_epi32(value, _mm256_set1_epi32(low)), to_high = _mm256_sub_epi32(_mm256_set1_epi32(high), d);
    *least = squared(_mm256_max_epi32(_mm256_max_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), d),
                                                       _mm256_sub_epi32(_mm256_setzero_si256(), to_high)),
                                      _mm256_setzero_si256()));
    *greatest = squared(_mm256_max_epi32(d, to_high));
}

} // namespace

AVX2 uint32_t cell_distances_avx2(const uint32_t *site_rgb, const uint16_t *sites, uint32_t count, const int low[3],
                                  int high, uint32_t *least)
{
    __m256i bound = _mm256_set1_epi32(-1);
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i at = _mm256_cvtepu16_epi32(_mm_loadu_si128((const __m128i *)(sites + i)));
        __m256i c = _mm256_i32gather_epi32((const int *)site_rgb, at, 4), byte = _mm256_set1_epi32(255);
        __m256i least_r, least_g, least_b, most_r, most_g, most_b;
        axis_terms(_mm256_and_si256(c, byte), low[0], high, &least_r, &most_r);
        axis_terms(_mm256_and_si256(_mm256_srli_epi32(c, 8), byte), low[1], high, &least_g, &most_g);
        axis_terms(_mm256_srli_epi32(c, 16), low[2], high, &least_b, &most_b);
        _mm256_storeu_si256((__m256i *)(least + i), _mm256_add_epi32(_mm256_add_epi32(least_r, least_g), least_b));
        bound = _mm256_min_epu32(bound, _mm256_add_epi32(_mm256_add_epi32(most_r, most_g), most_b));
    }
    uint32_t lanes[8], most = UINT32_MAX;
    _mm256_storeu_si256((__m256i *)lanes, bound);
    for (uint32_t lane : lanes)
        most = std::min(most, lane);
    for (; i < count; i++) {
        uint32_t c = site_rgb[sites[i]], sum_least = 0, sum_most = 0;
        for (int axis = 0; axis < 3; axis++) {
            int d = (int)(c >> (8 * axis) & 255) - low[axis], to_high = high - d;
            int near = std::max(0, std::max(-d, -to_high)), far = std::max(d, to_high);
            sum_least += (uint32_t)(near * near);
            sum_most += (uint32_t)(far * far);
        }
        least[i] = sum_least;
        most = std::min(most, sum_most);
    }
    return most;
}

namespace {

// For each mask of eight 16-bit lanes, the byte shuffle that moves the
// lanes set in it to the front, in order.
struct KeepShuffles {
    alignas(16) uint8_t control[256][16];
    KeepShuffles()
    {
        for (int mask = 0; mask < 256; mask++) {
            int to = 0;
            for (int lane = 0; lane < 8; lane++)
                if (mask >> lane & 1) {
                    control[mask][2 * to] = (uint8_t)(2 * lane);
                    control[mask][2 * to + 1] = (uint8_t)(2 * lane + 1);
                    to++;
                }
            for (; to < 8; to++)
                control[mask][2 * to] = control[mask][2 * to + 1] = 0x80;
        }
    }
};

} // namespace

AVX2 uint32_t keep_within_avx2(const uint16_t *sites, const uint32_t *least, uint32_t count, uint32_t bound,
                               uint16_t *kept)
{
    static const KeepShuffles shuffles;
    // Distances are below 2^18: compared as signed.
    const __m256i most = _mm256_set1_epi32((int)std::min<uint32_t>(bound, INT32_MAX));
    uint32_t n = 0, i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256i too_far = _mm256_cmpgt_epi32(_mm256_loadu_si256((const __m256i *)(least + i)), most);
        unsigned mask = ~(unsigned)_mm256_movemask_ps(_mm256_castsi256_ps(too_far)) & 255;
        __m128i some = _mm_shuffle_epi8(_mm_loadu_si128((const __m128i *)(sites + i)),
                                        _mm_load_si128((const __m128i *)shuffles.control[mask]));
        _mm_storeu_si128((__m128i *)(kept + n), some);
        n += (uint32_t)__builtin_popcount(mask);
    }
    for (; i < count; i++) {
        kept[n] = sites[i];
        n += least[i] <= bound;
    }
    return n;
}

// 16-bit lanes, each a colour: the 16 greens and blues of one red in a
// register, four reds. A squared distance of 65535 or more saturates at
// 65535, which never wins: the nearest site is within 255 levels.
AVX2 void leaf_sites_avx2(const uint32_t *site_rgb, const uint16_t *sites, uint32_t count, const int low[3],
                          uint16_t nearest[64])
{
    const __m256i green_step = _mm256_setr_epi16(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
    const __m256i blue_step = _mm256_setr_epi16(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
    const __m256i zero = _mm256_setzero_si256();
    __m256i best[4], best_site[4];
    for (int k = 0; k < 4; k++) {
        best[k] = _mm256_set1_epi16(-1);
        best_site[k] = zero;
    }
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t c = site_rgb[sites[i]];
        const __m256i site = _mm256_set1_epi16((short)sites[i]);
        // Differences of -255 to 255: their squares fit in 16 bits.
        __m256i dg = _mm256_add_epi16(_mm256_set1_epi16((short)(low[1] - (int)(c >> 8 & 255))), green_step);
        __m256i db = _mm256_add_epi16(_mm256_set1_epi16((short)(low[2] - (int)(c >> 16))), blue_step);
        __m256i green_blue = _mm256_adds_epu16(_mm256_mullo_epi16(dg, dg), _mm256_mullo_epi16(db, db));
        for (int k = 0; k < 4; k++) {
            int dr = low[0] + k - (int)(c & 255);
            __m256i d = _mm256_adds_epu16(green_blue, _mm256_set1_epi16((short)(dr * dr)));
            // Strictly nearer, so that the first of equals stays.
            __m256i not_nearer = _mm256_cmpeq_epi16(_mm256_subs_epu16(best[k], d), zero);
            best[k] = _mm256_min_epu16(best[k], d);
            best_site[k] = _mm256_blendv_epi8(site, best_site[k], not_nearer);
        }
    }
    for (int k = 0; k < 4; k++)
        _mm256_storeu_si256((__m256i *)(nearest + 16 * k), best_site[k]);
}

namespace {

// Lane k = the four bytes at px + k * step, of which only those of pixel k
// are used. A gather does it for any step but is slow where its loads
// cross cache lines (a quarter of them at 3 bytes a pixel): the two steps
// of our layouts take plain loads and a shuffle instead, reading no byte
// beyond the eighth pixel.
struct EightPixels {
    const __m256i offsets, shuffle3;
    const int step;
    AVX2 explicit EightPixels(int bytes)
        : offsets(_mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(bytes))),
          shuffle3(_mm256_setr_epi8(0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12,  // pixels 0-3 from px
                                    4, 5, 6, 7, 7, 8, 9, 10, 10, 11, 12, 13, 13, 14, 15, -128)),  // 4-7 from px + 8
          step(bytes)
    {
    }
    AVX2 __m256i at(const uint8_t *px) const
    {
        if (step == 3) {
            __m256i two = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128((const __m128i *)px)),
                                                  _mm_loadu_si128((const __m128i *)(px + 8)), 1);
            return _mm256_shuffle_epi8(two, shuffle3);
        }
        if (step == 4)
            return _mm256_loadu_si256((const __m256i *)px);
        return _mm256_i32gather_epi32((const int *)px, offsets, 1);
    }
};

// The eight bits of each lane spread three apart: bit k to bit 3k.
AVX2 inline __m256i spread(__m256i x)
{
    x = _mm256_and_si256(_mm256_or_si256(x, _mm256_slli_epi32(x, 8)), _mm256_set1_epi32(0x0300F00F));
    x = _mm256_and_si256(_mm256_or_si256(x, _mm256_slli_epi32(x, 4)), _mm256_set1_epi32(0x030C30C3));
    return _mm256_and_si256(_mm256_or_si256(x, _mm256_slli_epi32(x, 2)), _mm256_set1_epi32(0x09249249));
}

} // namespace

AVX2 size_t answers_avx2(const uint16_t *answers, const uint8_t *px, int step, int red, int green, int blue,
                         size_t pixels, uint16_t *codes)
{
    const EightPixels eight(step);
    const __m256i byte = _mm256_set1_epi32(255), low_half = _mm256_set1_epi32(0xFFFF);
    const __m128i red_shift = _mm_cvtsi32_si128(8 * red), green_shift = _mm_cvtsi32_si128(8 * green),
                  blue_shift = _mm_cvtsi32_si128(8 * blue);
    // Four bytes are read at each pixel: the last whole group is the one
    // that ends before the last pixel.
    auto index_at = [&](size_t k) AVX2 {
        __m256i v = eight.at(px + k * step);
        __m256i r = _mm256_and_si256(_mm256_srl_epi32(v, red_shift), byte);
        __m256i g = _mm256_and_si256(_mm256_srl_epi32(v, green_shift), byte);
        __m256i b = _mm256_and_si256(_mm256_srl_epi32(v, blue_shift), byte);
        return _mm256_or_si256(_mm256_or_si256(_mm256_slli_epi32(spread(r), 2), _mm256_slli_epi32(spread(g), 1)),
                               spread(b));
    };
    // The loop waits on the answers, scattered over the table's pages: the
    // answers of the pixels eight groups on are asked for early, and their
    // places kept until their turn. (It took a fifth off the coding pass's
    // time here, in runs taken in turn.)
    enum { groups_ahead = 8 };
    __m256i places[groups_ahead];
    auto ask_early = [&](size_t k) AVX2 {
        __m256i at = index_at(k);
        alignas(32) uint32_t lanes[8];
        _mm256_store_si256((__m256i *)lanes, at);
        for (uint32_t lane : lanes)
            __builtin_prefetch(answers + lane);
        return at;
    };
    // Group g is worked out when it is one the loop below takes.
    for (size_t g = 0; g < groups_ahead && 8 * g + 8 < pixels; g++)
        places[g] = ask_early(8 * g);
    size_t i = 0;
    for (; i + 8 < pixels; i += 8) {
        const size_t slot = i / 8 % groups_ahead;
        __m256i at = places[slot];
        if (i + 8 * groups_ahead + 8 < pixels)
            places[slot] = ask_early(i + 8 * groups_ahead);
        __m256i answer = _mm256_and_si256(_mm256_i32gather_epi32((const int *)answers, at, 2), low_half);
        // All eight stored: those after a colour without an answer are
        // stored again later.
        if (codes) {
            __m256i code = _mm256_xor_si256(answer, _mm256_set1_epi32(128));
            __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(code, code), 0x08);
            _mm_storeu_si128((__m128i *)(codes + i), _mm256_castsi256_si128(packed));
        }
        __m256i unanswered = _mm256_cmpeq_epi32(answer, _mm256_setzero_si256());
        unsigned missing = (unsigned)_mm256_movemask_ps(_mm256_castsi256_ps(unanswered));
        if (missing)
            return i + __builtin_ctz(missing);
    }
    return i;
}

AVX2 size_t leaves_made_avx2(const uint32_t *made, const uint8_t *px, int step, int red, int green, int blue,
                             size_t pixels)
{
    const EightPixels eight(step);
    const __m128i red_shift = _mm_cvtsi32_si128(8 * red + 2), green_shift = _mm_cvtsi32_si128(8 * green + 2),
                  blue_shift = _mm_cvtsi32_si128(8 * blue + 2);
    size_t i = 0;
    for (; i + 8 < pixels; i += 8) {
        __m256i v = eight.at(px + i * step);
        __m256i leaf = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srl_epi32(v, red_shift), _mm256_set1_epi32(63)),
                            _mm256_slli_epi32(_mm256_and_si256(_mm256_srl_epi32(v, green_shift), _mm256_set1_epi32(63)), 6)),
            _mm256_slli_epi32(_mm256_and_si256(_mm256_srl_epi32(v, blue_shift), _mm256_set1_epi32(63)), 12));
        __m256i word = _mm256_i32gather_epi32((const int *)made, _mm256_srli_epi32(leaf, 5), 4);
        __m256i bit = _mm256_and_si256(_mm256_srlv_epi32(word, _mm256_and_si256(leaf, _mm256_set1_epi32(31))),
                                       _mm256_set1_epi32(1));
        unsigned missing = (unsigned)_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(bit, _mm256_setzero_si256())));
        if (missing)
            return i + __builtin_ctz(missing);
    }
    return i;
}

#endif
