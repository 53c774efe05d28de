#include "codec/codec.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "codec/colour.h"
#include "codec/nearest.h"
#include "codec/threads.h"

const gfx16_layout gfx16_rgb = {3, 0, 1, 2};
const gfx16_layout gfx16_bgr = {3, 2, 1, 0};
const gfx16_layout gfx16_rgbx = {4, 0, 1, 2};
const gfx16_layout gfx16_bgrx = {4, 2, 1, 0};

void code_to_hsv(uint16_t code, float *h, float *s, float *v)
{
    *h = hue_angle(code_hue(code));
    *s = (float)((double)code_saturation(code) / 8.0);
    *v = (float)(code_value(code) * 2);
}

void decode_code(uint16_t code, uint8_t rgb[3])
{
    float h, s, v, r, g, b;
    code_to_hsv(code, &h, &s, &v);
    HSVtoRGB(h, s, v, &r, &g, &b);
    rgb[0] = (uint8_t)trunc_to_int(r);
    rgb[1] = (uint8_t)trunc_to_int(g);
    rgb[2] = (uint8_t)trunc_to_int(b);
}

// ---- The encoder, step by step ---------------------------------------------

// Hue level on `levels` steps of the circle (64 for a field, 128 for the
// first pixel's fine hue). Black (-1) and grey (NaN) come out as level 0:
// trunc gives a negative number or INT32_MIN for them.
static int hue_level(float hue, int levels)
{
    double q = (double)trunc_to_int((double)hue * levels) / 360.0;
    if (q < 0)
        return 0;
    if (q >= levels - 1)
        return levels - 1;
    return trunc_to_int(q);
}

// The quantised colour of a hue level, a saturation field and a value, and
// its brightness, truncated straight from double: rounding the mean to float
// first changes it for some colours.
static int quantise(int hue, int sat, float value, float rgb[3])
{
    HSVtoRGB(hue_angle(hue), (float)(sat / 8.0), value, &rgb[0], &rgb[1], &rgb[2]);
    return trunc_to_int(((double)rgb[0] + (double)rgb[1] + (double)rgb[2]) / 3.0);
}

// The value field that corrects a pixel's quantised brightness by `err`.
static int value_field(int err, float value)
{
    double m = ((double)err + (double)value) / 2.0;
    if (m >= 127)
        return 127;
    if (m < 0)
        return 0;
    return trunc_to_int(m);
}

// A preview channel: the quantised channel shifted by the brightness error,
// capped at 254, rounded to float before truncation.
static uint8_t preview_channel(int err, float channel)
{
    double t = (double)err + (double)channel;
    float stored = t < 0 ? 0.0f : t >= 254 ? 254.0f : (float)t;
    return (uint8_t)trunc_to_int(stored);
}

// Saturation field of the first pixel of a pair: to a multiple of 32,
// upward from a remainder of 8; on even rows a remainder of 1 to 7 (where
// rounding up to a multiple of 4 overtakes it) raises it one more level.
static int first_saturation(float s, int odd_row)
{
    int sat255 = trunc_to_int((double)s * 255.0);
    int sat_up4 = ((sat255 + 3) / 4) * 4;
    int sat_near32 = ((sat255 + 24) / 32) * 32;
    int sat_flag = !odd_row && sat_up4 > sat_near32;
    return std::min(sat_near32 / 32 + sat_flag, 7);
}

// Saturation field of the second pixel: truncated on even rows, to the
// nearest level (halves up) on odd rows.
static int second_saturation(float s, int odd_row)
{
    if (!odd_row)
        return std::min(trunc_to_int((double)s * 8.0), 7);
    int sat255 = trunc_to_int((double)s * 255.0);
    return std::min((sat255 + 16) / 32, 7);
}

// Source brightness, (r + g + b) / 3 stored as float, truncated.
static int source_brightness(float r, float g, float b)
{
    float avg = (float)(((double)r + (double)g + (double)b) / 3.0);
    return trunc_to_int(avg);
}

void encode_pair_reference(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row,
                           PairResult *out)
{
    float R1 = rgb1[0], G1 = rgb1[1], B1 = rgb1[2];
    float R2 = rgb2[0], G2 = rgb2[1], B2 = rgb2[2];
    float H1, S1, V1, H2, S2, V2;
    RGBtoHSV(R1, G1, B1, &H1, &S1, &V1);
    int avg1 = source_brightness(R1, G1, B1);
    RGBtoHSV(R2, G2, B2, &H2, &S2, &V2);
    int avg2 = source_brightness(R2, G2, B2);

    // Value: the first pixel loses its lowest bit and hands it on as carry.
    int carry = (trunc_to_int(V1) & 1) ? 2 : 0;
    V1 = (float)(2 * trunc_to_int((double)V1 / 2.0));
    V2 = (float)trunc_to_int(V2);

    // Hue: the first pixel's upper half-level raises one of the two hues.
    int hue1 = hue_level(H1, 64);
    int fine_hue = hue_level(H1, 128);
    int hue_flag = 2 * hue1 < fine_hue;
    int hue2 = hue_level(H2, 64);
    if (hue_flag) {
        if (!odd_row)
            hue1 = std::min(hue1 + 1, 63);
        else
            hue2 = std::min(hue2 + 1, 63);
    }

    // Saturation: rounded differently for each pixel and each row parity.
    int sat1 = first_saturation(S1, odd_row);
    int sat2 = second_saturation(S2, odd_row);

    // First pixel: brightness error of its quantised colour, code, preview.
    float q1[3];
    int qavg1 = quantise(hue1, sat1, V1, q1);
    int err1 = avg1 - qavg1;
    if (!odd_row)
        err1 += carry;
    out->code1 = pack_code(value_field(err1, V1), hue1, sat1);
    for (int c = 0; c < 3; c++)
        out->preview1[c] = preview_channel(err1, q1[c]);

    // Second pixel: its preview is what decoding its code gives.
    float q2[3];
    int qavg2 = quantise(hue2, sat2, V2, q2);
    int err2 = avg2 - qavg2;
    if (odd_row)
        err2 += carry;
    out->code2 = pack_code(value_field(err2, V2), hue2, sat2);
    decode_code(out->code2, out->preview2);
}

// ---- The encoder and decoder through tables -------------------------------
//
// Everything the encoder computes per pixel depends on a few small integers,
// so tables built once from the step-by-step functions above replace the
// floating point of the hot loops:
// - the hue (fine level on 128 steps; the field is its upper six bits and the
//   flag its lowest bit) on which channel is largest, the difference that
//   channel's formula takes, and max - min;
// - the saturation fields on max and max - min;
// - the source brightness on the sum of the channels;
// - the quantised colour and its brightness on hue field, saturation field
//   and value;
// - a decoded colour on its code (the decoder's only table).

namespace {

enum { RED_MAX, GREEN_MAX, BLUE_MAX };

// Saturation fields packed in one word, three bits each.
enum { SAT1_EVEN = 0, SAT1_ODD = 3, SAT2_EVEN = 6, SAT2_ODD = 9 };

// The preview of a first pixel as the hot loop needs it. Its channel is
// trunc(float(err + channel)), capped to 0..254. With the channel's whole
// part n and B = err + n that is B, or B + 1 where rounding the sum to float
// reaches the next whole number; floats get coarser as they grow, so that
// happens from some B on: `round_up_from` is that B (255 for never).
struct PreviewEntry {
    uint8_t whole[3];
    uint8_t round_up_from[3];
};

// The encoder's tables. Only differences within +-(max - min), and max - min
// up to max, occur; laid out as triangles, the tables take half the room
// and more of them stays in the processor's caches.
struct EncoderTables {
    uint8_t fine_hue[3][256 * 256];          // [largest channel][hue_index(max - min, difference)]
    uint16_t saturation[256 * 257 / 2];      // [saturation_index(max, max - min)]
    uint8_t brightness[766];                 // [r + g + b]
    // The quantised colour of a saturation field, hue field and value: its
    // brightness, and (first pixels only, whose values are even) its preview.
    uint8_t quant_brightness[8][64][256];    // [saturation][hue][value]
    PreviewEntry quant_preview[8][64][128];  // [saturation][hue][value / 2]
};

inline int hue_index(int delta, int diff) { return delta * delta + delta + diff; }
inline int saturation_index(int max, int delta) { return max * (max + 1) / 2 + delta; }

// A colour whose hue comes from `formula` with the given difference and
// max - min; any other colour with the same three gives the same hue.
void colour_for_hue(int formula, int delta, int diff, float rgb[3])
{
    float hi = (float)delta;
    float pos = (float)(diff > 0 ? diff : 0), neg = (float)(diff < 0 ? -diff : 0);
    if (formula == RED_MAX) {          // diff = g - b
        rgb[0] = hi; rgb[1] = pos; rgb[2] = neg;
    } else if (formula == GREEN_MAX) { // diff = b - r
        rgb[0] = neg; rgb[1] = hi; rgb[2] = pos;
    } else {                           // diff = r - g
        rgb[0] = pos; rgb[1] = neg; rgb[2] = hi;
    }
}

// What the encoder looks up per source pixel: the fine hue of one formula,
// and the saturation fields and brightness.
void build_hue_table(EncoderTables *t, int formula)
{
    for (int delta = 0; delta < 256; delta++)
        for (int diff = -delta; diff <= delta; diff++) {
            float c[3], h, s, v;
            colour_for_hue(formula, delta, diff, c);
            RGBtoHSV(c[0], c[1], c[2], &h, &s, &v);
            t->fine_hue[formula][hue_index(delta, diff)] = (uint8_t)hue_level(h, 128);
        }
}

void build_level_tables(EncoderTables *t)
{
    for (int max = 0; max < 256; max++)
        for (int delta = 0; delta <= max; delta++) {
            float h, s, v, low = (float)(max - delta);
            RGBtoHSV((float)max, low, low, &h, &s, &v);
            t->saturation[saturation_index(max, delta)] =
                (uint16_t)(first_saturation(s, 0) << SAT1_EVEN | first_saturation(s, 1) << SAT1_ODD |
                           second_saturation(s, 0) << SAT2_EVEN | second_saturation(s, 1) << SAT2_ODD);
        }
    for (int sum = 0; sum < 766; sum++)
        t->brightness[sum] = (uint8_t)source_brightness((float)sum, 0.0f, 0.0f);
}

// What the encoder looks up per quantised colour: its brightness, for the
// saturation fields [first, end).
void build_quant_brightness(EncoderTables *t, int first, int end)
{
    for (int sat = first; sat < end; sat++)
        for (int hue = 0; hue < 64; hue++)
            for (int value = 0; value < 256; value++) {
                float rgb[3];
                t->quant_brightness[sat][hue][value] = (uint8_t)quantise(hue, sat, (float)value, rgb);
            }
}

// And the previews of first pixels (whose values are even), only when a
// preview is asked for.
void build_quant_previews(EncoderTables *t, int first, int end)
{
    for (int sat = first; sat < end; sat++)
        for (int hue = 0; hue < 64; hue++)
            for (int value = 0; value < 256; value += 2) {
                float rgb[3];
                quantise(hue, sat, (float)value, rgb);
                PreviewEntry &q = t->quant_preview[sat][hue][value / 2];
                for (int c = 0; c < 3; c++) {
                    // Binary search for the first base that rounds up.
                    int whole = trunc_to_int(rgb[c]);
                    int low = 0, high = 254;
                    while (low < high) {
                        int mid = (low + high) / 2;
                        if (preview_channel(mid - whole, rgb[c]) == mid)
                            low = mid + 1;
                        else
                            high = mid;
                    }
                    q.whole[c] = (uint8_t)whole;
                    q.round_up_from[c] = (uint8_t)(low < 254 ? low : 255);
                }
            }
}

// The colour of every code, as red | green << 8 | blue << 16.
const uint32_t *decoded_colours()
{
    static uint32_t colours[65536];
    static std::once_flag once;
    std::call_once(once, [] {
        for (int code = 0; code < 65536; code++) {
            uint8_t rgb[3];
            decode_code((uint16_t)code, rgb);
            colours[code] = rgb[0] | rgb[1] << 8 | rgb[2] << 16;
        }
    });
    return colours;
}

// The same in the two 4-byte layouts, ready to store as one word.
const uint32_t *decoded_words(bool blue_first)
{
    static uint32_t words[2][65536];
    static std::once_flag once[2];
    std::call_once(once[blue_first], [blue_first] {
        const uint32_t *c = decoded_colours();
        for (int code = 0; code < 65536; code++) {
            uint32_t r = c[code] & 255, g = c[code] >> 8 & 255, b = c[code] >> 16;
            words[blue_first][code] = blue_first ? b | g << 8 | r << 16 : c[code];
        }
    });
    return words[blue_first];
}

// Static storage: nothing to allocate, so building them cannot fail.
EncoderTables tables;

// Runs the tasks on this thread and, when one can be started, a second:
// each takes the next task not yet taken. The tables are a few milliseconds'
// work, which is most of what a small picture costs. No task allocates or
// throws, so the tables are always there, whatever memory is left.
typedef void (*TableTask)(EncoderTables *);

template <size_t N>
void run_tasks(const TableTask (&tasks)[N])
{
    std::atomic<size_t> next{0};
    run_shares(2, [&](unsigned) {
        for (size_t i; (i = next++) < N;)
            tasks[i](&tables);
    });
}

const EncoderTables &encoder_tables(bool with_previews)
{
    static std::once_flag codes, previews;
    std::call_once(codes, [] {
        static const TableTask tasks[] = {
            [](EncoderTables *t) { build_hue_table(t, RED_MAX); },
            [](EncoderTables *t) { build_quant_brightness(t, 0, 4); },
            [](EncoderTables *t) { build_hue_table(t, GREEN_MAX); },
            [](EncoderTables *t) { build_quant_brightness(t, 4, 8); },
            [](EncoderTables *t) { build_hue_table(t, BLUE_MAX); },
            [](EncoderTables *t) { build_level_tables(t); }};
        run_tasks(tasks);
    });
    if (with_previews)
        std::call_once(previews, [] {
            static const TableTask tasks[] = {
                [](EncoderTables *t) { build_quant_previews(t, 0, 3); },
                [](EncoderTables *) { decoded_colours(); },
                [](EncoderTables *t) { build_quant_previews(t, 3, 8); }};
            run_tasks(tasks);
        });
    return tables;
}

struct PixelLevels {
    int fine_hue, value, brightness, saturation;
};

inline PixelLevels pixel_levels(const EncoderTables &t, int r, int g, int b)
{
    // The same choice of formula as RGBtoHSV: red first, then green.
    int max = std::max(r, std::max(g, b));
    int min = std::min(r, std::min(g, b));
    int formula, diff;
    if (r == max) {
        formula = RED_MAX; diff = g - b;
    } else if (g == max) {
        formula = GREEN_MAX; diff = b - r;
    } else {
        formula = BLUE_MAX; diff = r - g;
    }
    return {t.fine_hue[formula][hue_index(max - min, diff)], max, t.brightness[r + g + b],
            t.saturation[saturation_index(max, max - min)]};
}

// A first pixel's preview channel from its base (PreviewEntry).
inline uint8_t preview_from(int base, int round_up_from)
{
    int channel = base + (base >= round_up_from);
    return (uint8_t)(channel < 0 ? 0 : channel > 254 ? 254 : channel);
}

// The rules of encode_pair_reference on the levels of the two pixels: the
// two codes, and the brightness error of the first pixel with its
// quantised colour, from which its preview is made. (The second pixel's
// preview is the colour its code decodes to.)
struct PairCodes {
    uint16_t code1, code2;
    int err1;
    const PreviewEntry *quant1;
};

__attribute__((always_inline)) inline PairCodes encode_levels(const EncoderTables &t, const PixelLevels &p1,
                                                              const PixelLevels &p2, int odd_row)
{
    int carry = (p1.value & 1) * 2;
    int v1 = p1.value & ~1, v2 = p2.value;

    // The flag is added rather than tested: it is as often set as not, and
    // a branch on it would be mispredicted half the time.
    int hue1 = p1.fine_hue >> 1, hue2 = p2.fine_hue >> 1, hue_flag = p1.fine_hue & 1;
    if (!odd_row)
        hue1 = std::min(hue1 + hue_flag, 63);
    else
        hue2 = std::min(hue2 + hue_flag, 63);
    int sat1 = (p1.saturation >> (odd_row ? SAT1_ODD : SAT1_EVEN)) & 7;
    int sat2 = (p2.saturation >> (odd_row ? SAT2_ODD : SAT2_EVEN)) & 7;

    // The value field is (err + value) / 2 within 0..127; the value is whole.
    PairCodes c;
    c.err1 = p1.brightness - t.quant_brightness[sat1][hue1][v1] + (odd_row ? 0 : carry);
    c.quant1 = &t.quant_preview[sat1][hue1][v1 / 2];
    c.code1 = pack_code(std::clamp(c.err1 + v1, 0, 254) >> 1, hue1, sat1);
    int err2 = p2.brightness - t.quant_brightness[sat2][hue2][v2] + (odd_row ? carry : 0);
    c.code2 = pack_code(std::clamp(err2 + v2, 0, 254) >> 1, hue2, sat2);
    return c;
}

// ---- Layouts, rows and threads ----------------------------------------------

// A pixel layout, fixed when the loop is compiled (BYTES 3 or 4, the
// channels' offsets constants, which frees the registers that would hold
// them) or, with BYTES 0, read from `any` as it runs.
template <int BYTES, int R, int G, int B>
struct Layout {
    gfx16_layout any;
    int bytes() const { return BYTES ? BYTES : any.bytes_per_pixel; }
    int red() const { return BYTES ? R : any.red; }
    int green() const { return BYTES ? G : any.green; }
    int blue() const { return BYTES ? B : any.blue; }
};
using AnyLayout = Layout<0, 0, 0, 0>;

bool valid_layout(const gfx16_layout *l)
{
    if (!l || (l->bytes_per_pixel != 3 && l->bytes_per_pixel != 4))
        return false;
    int r = l->red, g = l->green, b = l->blue, n = l->bytes_per_pixel;
    return r >= 0 && g >= 0 && b >= 0 && r < n && g < n && b < n && r != g && g != b && r != b;
}

// Writes a colour in a layout; a 4-byte pixel's spare byte gets 0.
inline void put_pixel(uint8_t *p, const gfx16_layout &l, int r, int g, int b)
{
    if (l.bytes_per_pixel == 4)
        p[6 - l.red - l.green - l.blue] = 0;
    p[l.red] = (uint8_t)r;
    p[l.green] = (uint8_t)g;
    p[l.blue] = (uint8_t)b;
}

std::atomic<int> thread_limit{0};
thread_local bool this_thread_only = false;

unsigned threads_to_use()
{
    if (this_thread_only)
        return 1;
    int limit = thread_limit.load(std::memory_order_relaxed);
    // Asked once: the system answers by reading a file.
    static const unsigned cores = std::max(1u, std::min(std::thread::hardware_concurrency(), 8u));
    return limit > 0 ? std::min((unsigned)limit, 8u) : cores;
}

// Runs rows [0, rows) through `work(first, end)`, which returns false when
// memory ran out, split over a few threads. Rows are independent, so the
// result is the same on any number of them. False when any share failed.
template <class Work>
bool for_rows(int rows, uint64_t pixels, Work work)
{
    unsigned threads = threads_to_use();
    if (threads < 2 || pixels < (1u << 16) || rows < 2)
        return work(0, rows);
    threads = std::min(threads, (unsigned)rows);
    std::atomic<bool> failed{false};
    run_shares(threads, [&](unsigned i) {
        if (!work((int)((int64_t)rows * i / threads), (int)((int64_t)rows * (i + 1) / threads)))
            failed = true;
    });
    return !failed;
}

// One row of pairs. The parity is a template argument so that each loop is
// compiled without the choices that depend on it; so is the layout of the
// pixels read, and whether a preview is made.
template <int odd_row, class In, bool with_preview>
void encode_row(const EncoderTables &t, const uint32_t *decoded, In in, const uint8_t *px, int w,
                uint8_t *low, uint8_t *high, uint8_t *preview, const gfx16_layout &out)
{
    const int step = in.bytes(), ostep = with_preview ? out.bytes_per_pixel : 0;
    for (int x = 0; x < w; x += 2, px += 2 * step, preview += 2 * ostep) {
        // The partner of an odd width's last column reads as white, as a
        // pixel outside the picture does; nothing of it is stored.
        bool pair = x + 1 < w;
        int r1 = px[in.red()], g1 = px[in.green()], b1 = px[in.blue()];
        int r2 = 255, g2 = 255, b2 = 255;
        if (pair) {
            r2 = px[step + in.red()];
            g2 = px[step + in.green()];
            b2 = px[step + in.blue()];
        }
        PairCodes c = encode_levels(t, pixel_levels(t, r1, g1, b1), pixel_levels(t, r2, g2, b2), odd_row);
        low[x] = code_low_byte(c.code1);
        high[x] = code_high_byte(c.code1);
        if (pair) {
            low[x + 1] = code_low_byte(c.code2);
            high[x + 1] = code_high_byte(c.code2);
        }
        if (with_preview) {
            const PreviewEntry &q = *c.quant1;
            put_pixel(preview, out, preview_from(c.err1 + q.whole[0], q.round_up_from[0]),
                      preview_from(c.err1 + q.whole[1], q.round_up_from[1]),
                      preview_from(c.err1 + q.whole[2], q.round_up_from[2]));
            if (pair) {
                uint32_t colour = decoded[c.code2];
                put_pixel(preview + ostep, out, colour & 255, colour >> 8 & 255, colour >> 16);
            }
        }
    }
}

struct RowJob {
    const uint8_t *pixels;
    ptrdiff_t pixel_stride;
    gfx16_layout layout;
    int w, first_row;
    uint8_t *low, *high;
    ptrdiff_t carrier_stride;
    uint8_t *preview;
    ptrdiff_t preview_stride;
    gfx16_layout preview_layout;
};

template <class In, bool with_preview>
void encode_rows_as(const RowJob &j, In in, int first, int end)
{
    const EncoderTables &t = encoder_tables(with_preview);
    const uint32_t *decoded = with_preview ? decoded_colours() : nullptr;
    for (int k = first; k < end; k++) {
        const uint8_t *px = j.pixels + k * j.pixel_stride;
        uint8_t *low = j.low + k * j.carrier_stride, *high = j.high + k * j.carrier_stride;
        uint8_t *preview = with_preview ? j.preview + k * j.preview_stride : nullptr;
        if ((j.first_row + k) & 1)
            encode_row<1, In, with_preview>(t, decoded, in, px, j.w, low, high, preview, j.preview_layout);
        else
            encode_row<0, In, with_preview>(t, decoded, in, px, j.w, low, high, preview, j.preview_layout);
    }
}

template <bool with_preview>
void encode_rows_in(const RowJob &j, int first, int end)
{
    // Loops of their own for the layouts met every day: BMP rows, plain RGB,
    // and the 32-bit pixels of X11 and of Allegro without a screen.
    const gfx16_layout &l = j.layout;
    auto is = [&l](const gfx16_layout &m) {
        return l.bytes_per_pixel == m.bytes_per_pixel && l.red == m.red && l.green == m.green && l.blue == m.blue;
    };
    if (is(gfx16_bgr))
        encode_rows_as<Layout<3, 2, 1, 0>, with_preview>(j, {}, first, end);
    else if (is(gfx16_rgb))
        encode_rows_as<Layout<3, 0, 1, 2>, with_preview>(j, {}, first, end);
    else if (is(gfx16_bgrx))
        encode_rows_as<Layout<4, 2, 1, 0>, with_preview>(j, {}, first, end);
    else if (is(gfx16_rgbx))
        encode_rows_as<Layout<4, 0, 1, 2>, with_preview>(j, {}, first, end);
    else
        encode_rows_as<AnyLayout, with_preview>(j, AnyLayout{l}, first, end);
}

void decode_rows(const uint8_t *low, const uint8_t *high, ptrdiff_t carrier_stride, int w, int first, int end,
                 uint8_t *pixels, ptrdiff_t pixel_stride, const gfx16_layout &l)
{
    const bool word = l.bytes_per_pixel == 4 && l.green == 1 && ((l.red == 0 && l.blue == 2) || (l.red == 2 && l.blue == 0));
    const uint32_t *colours = word ? decoded_words(l.red == 2) : decoded_colours();
    for (int k = first; k < end; k++) {
        const uint8_t *lo = low + k * carrier_stride, *hi = high + k * carrier_stride;
        uint8_t *out = pixels + k * pixel_stride;
        if (word) {
            for (int x = 0; x < w; x++)
                memcpy(out + 4 * x, &colours[join_code(lo[x], hi[x])], 4);
        } else if (l.bytes_per_pixel == 3 && l.red == 0 && l.green == 1 && l.blue == 2) {
            // A word at a time, each overlapping the next pixel, which
            // overwrites its spare byte; the last pixel byte by byte.
            for (int x = 0; x + 1 < w; x++)
                memcpy(out + 3 * x, &colours[join_code(lo[x], hi[x])], 4);
            uint32_t c = colours[join_code(lo[w - 1], hi[w - 1])];
            put_pixel(out + 3 * (w - 1), l, c & 255, c >> 8 & 255, c >> 16);
        } else {
            for (int x = 0; x < w; x++) {
                uint32_t c = colours[join_code(lo[x], hi[x])];
                put_pixel(out + l.bytes_per_pixel * x, l, c & 255, c >> 8 & 255, c >> 16);
            }
        }
    }
}

// w * rows * bytes fits in size_t (and in ptrdiff_t, for strides).
bool fits(int w, int rows, int bytes)
{
    return w >= 1 && rows >= 1 && (uint64_t)w * (uint64_t)rows <= (uint64_t)PTRDIFF_MAX / (unsigned)(2 * bytes);
}

// The nearest code of every pixel of rows [first, end), in pieces short
// enough for a buffer on the stack. False when the search ran out of memory.
bool encode_best_rows(const RowJob &j, int first, int end)
{
    const uint32_t *decoded = decoded_colours();
    const gfx16_layout &l = j.layout, &o = j.preview_layout;
    enum { piece = 4096 };
    uint16_t codes[piece];
    for (int k = first; k < end; k++) {
        const uint8_t *px = j.pixels + k * j.pixel_stride;
        uint8_t *low = j.low + k * j.carrier_stride, *high = j.high + k * j.carrier_stride;
        uint8_t *preview = j.preview ? j.preview + k * j.preview_stride : nullptr;
        for (int x0 = 0; x0 < j.w; x0 += piece) {
            int n = std::min((int)piece, j.w - x0);
            if (nearest_codes_of(px + (size_t)x0 * l.bytes_per_pixel, l.bytes_per_pixel, l.red, l.green, l.blue,
                                 (size_t)n, codes) != 0)
                return false;
            for (int i = 0; i < n; i++) {
                low[x0 + i] = code_low_byte(codes[i]);
                high[x0 + i] = code_high_byte(codes[i]);
            }
            if (preview)
                for (int i = 0; i < n; i++) {
                    uint32_t c = decoded[codes[i]];
                    put_pixel(preview + (size_t)(x0 + i) * o.bytes_per_pixel, o, c & 255, c >> 8 & 255, c >> 16);
                }
        }
    }
    return true;
}

// The arguments of a row call, checked: 1 and the job to do, or what the
// call returns (0 for no rows, -1 for bad arguments).
int make_job(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w, int first_row,
             int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride, unsigned char *preview,
             ptrdiff_t preview_stride, const gfx16_layout *preview_layout, RowJob *j)
{
    if (rows == 0 && w >= 1)
        return 0;
    // The end of the range, first_row + rows, must be an int too.
    if (!pixels || !low || !high || !valid_layout(layout) || first_row < 0 || !fits(w, rows, 4) ||
        rows > INT_MAX - first_row || (preview && !valid_layout(preview_layout)))
        return -1;
    *j = {pixels, pixel_stride, *layout, w, first_row, low, high, carrier_stride,
          preview, preview_stride, preview ? *preview_layout : gfx16_rgb};
    return 1;
}

// A call of the library: its error code, and -2 for any exception (there
// is no other way for one to get out: every allocation that can fail says
// so by its result, but a caller's program must not end for our sake).
template <class Call>
int guarded(Call call) noexcept
{
    try {
        return call();
    } catch (...) {
        return -2;
    }
}

} // namespace

unsigned codec_threads(void) { return threads_to_use(); }

CodecOnThisThread::CodecOnThisThread() : before(this_thread_only) { this_thread_only = true; }
CodecOnThisThread::~CodecOnThisThread() { this_thread_only = before; }

void prepare_encoder(void)
{
    encoder_tables(true);
    decoded_colours();
}

void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out)
{
    const EncoderTables &t = encoder_tables(true);
    PairCodes c = encode_levels(t, pixel_levels(t, rgb1[0], rgb1[1], rgb1[2]),
                                pixel_levels(t, rgb2[0], rgb2[1], rgb2[2]), odd_row);
    out->code1 = c.code1;
    out->code2 = c.code2;
    for (int i = 0; i < 3; i++)
        out->preview1[i] = preview_from(c.err1 + c.quant1->whole[i], c.quant1->round_up_from[i]);
    uint32_t colour = decoded_colours()[c.code2];
    out->preview2[0] = colour & 255;
    out->preview2[1] = colour >> 8 & 255;
    out->preview2[2] = colour >> 16 & 255;
}

extern "C" {

void gfx16_set_threads(int threads) { thread_limit.store(threads < 0 ? 0 : threads, std::memory_order_relaxed); }

void gfx16_decode_code(unsigned code, unsigned char rgb[3])
{
    uint32_t c = decoded_colours()[code & 0xffff];
    rgb[0] = c & 255;
    rgb[1] = c >> 8 & 255;
    rgb[2] = c >> 16 & 255;
}

int gfx16_encode_rows(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w,
                      int first_row, int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                      unsigned char *preview, ptrdiff_t preview_stride, const gfx16_layout *preview_layout)
{
    return guarded([&] {
        RowJob j;
        int checked = make_job(pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride, preview,
                               preview_stride, preview_layout, &j);
        if (checked != 1)
            return checked;
        // The tables on this thread, before any row is written.
        encoder_tables(j.preview != nullptr);
        bool done = for_rows(rows, (uint64_t)w * rows, [&j](int first, int end) {
            if (j.preview)
                encode_rows_in<true>(j, first, end);
            else
                encode_rows_in<false>(j, first, end);
            return true;
        });
        return done ? 0 : -2;
    });
}

int gfx16_encode_best_rows(const unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout, int w,
                           int first_row, int rows, unsigned char *low, unsigned char *high, ptrdiff_t carrier_stride,
                           unsigned char *preview, ptrdiff_t preview_stride, const gfx16_layout *preview_layout)
{
    return guarded([&] {
        RowJob j;
        int checked = make_job(pixels, pixel_stride, layout, w, first_row, rows, low, high, carrier_stride, preview,
                               preview_stride, preview_layout, &j);
        if (checked != 1)
            return checked;
        // The search's tables first, so that a lack of memory for them is
        // known before anything is written.
        if (nearest_code(0, 0, 0) < 0)
            return -2;
        bool done = for_rows(rows, (uint64_t)w * rows,
                             [&j](int first, int end) { return encode_best_rows(j, first, end); });
        return done ? 0 : -2;
    });
}

int gfx16_decode_rows(const unsigned char *low, const unsigned char *high, ptrdiff_t carrier_stride, int w,
                      int rows, unsigned char *pixels, ptrdiff_t pixel_stride, const gfx16_layout *layout)
{
    if (rows == 0 && w >= 1)
        return 0;
    if (!low || !high || !pixels || !valid_layout(layout) || !fits(w, rows, 4))
        return -1;
    const gfx16_layout l = *layout;
    return guarded([&] {
        bool done = for_rows(rows, (uint64_t)w * rows, [&](int first, int end) {
            decode_rows(low, high, carrier_stride, w, first, end, pixels, pixel_stride, l);
            return true;
        });
        return done ? 0 : -2;
    });
}

int gfx16_encode(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return gfx16_encode_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w, (ptrdiff_t)w * 2,
                             preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_best(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return gfx16_encode_best_rows(rgb, (ptrdiff_t)w * 3, &gfx16_rgb, w, 0, h, carrier, carrier + w,
                                  (ptrdiff_t)w * 2, preview, (ptrdiff_t)w * 3, &gfx16_rgb);
}

int gfx16_encode_dithered(const unsigned char *rgb, int w, int h, unsigned char *carrier, unsigned char *preview)
{
    if (!rgb || !carrier || !fits(w, h, 3))
        return -1;
    return guarded([&] {
        // Every code is found before the first is written: a lack of memory
        // leaves the carrier as it was.
        std::unique_ptr<uint16_t, decltype(&free)> codes_memory((uint16_t *)malloc((size_t)w * h * 2), free);
        uint16_t *codes = codes_memory.get();
        if (!codes || dithered_codes(rgb, w, h, codes) != 0)
            return -2;
        const uint32_t *decoded = decoded_colours();
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++) {
                uint16_t code = codes[(size_t)y * w + x];
                carrier[(size_t)2 * y * w + x] = code_low_byte(code);
                carrier[(size_t)(2 * y + 1) * w + x] = code_high_byte(code);
                if (preview) {
                    uint32_t c = decoded[code];
                    put_pixel(preview + ((size_t)y * w + x) * 3, gfx16_rgb, c & 255, c >> 8 & 255, c >> 16);
                }
            }
        return 0;
    });
}

int gfx16_decode(const unsigned char *carrier, int w, int carrier_h, unsigned char *rgb)
{
    if (!carrier || !rgb || carrier_h < 2 || !fits(w, carrier_h, 3))
        return -1;
    return gfx16_decode_rows(carrier, carrier + w, (ptrdiff_t)w * 2, w, carrier_h / 2, rgb, (ptrdiff_t)w * 3,
                             &gfx16_rgb);
}

} // extern "C"
