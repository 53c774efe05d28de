#include "codec.h"

#include <allegro.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "colour.h"

BITMAP *bmp;
BITMAP *bmp2;

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

// What the encoder looks up per source pixel.
void build_pixel_tables(EncoderTables *t)
{
    for (int formula = 0; formula < 3; formula++)
        for (int delta = 0; delta < 256; delta++)
            for (int diff = -delta; diff <= delta; diff++) {
                float c[3], h, s, v;
                colour_for_hue(formula, delta, diff, c);
                RGBtoHSV(c[0], c[1], c[2], &h, &s, &v);
                t->fine_hue[formula][hue_index(delta, diff)] = (uint8_t)hue_level(h, 128);
            }
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

// What the encoder looks up per quantised colour.
void build_quant_tables(EncoderTables *t)
{
    for (int sat = 0; sat < 8; sat++)
        for (int hue = 0; hue < 64; hue++)
            for (int value = 0; value < 256; value++) {
                float rgb[3];
                t->quant_brightness[sat][hue][value] = (uint8_t)quantise(hue, sat, (float)value, rgb);
                if (value % 2)
                    continue;
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

// The colour of every code, built once.
const uint8_t (*decoded_rgb())[3]
{
    static uint8_t (*rgb)[3];
    static std::once_flag once;
    std::call_once(once, [] {
        rgb = new uint8_t[65536][3];
        for (int code = 0; code < 65536; code++)
            decode_code((uint16_t)code, rgb[code]);
    });
    return rgb;
}

// The colour of every code in the library's current 32-bit layout, made
// again only when the layout changes (it is set when the screen opens).
const uint32_t *decoded_colours()
{
    static std::mutex lock;
    static uint32_t colours[65536];
    static int layout[3] = {-1, -1, -1};
    std::lock_guard<std::mutex> hold(lock);
    const int now[3] = {_rgb_r_shift_32, _rgb_g_shift_32, _rgb_b_shift_32};
    if (!std::equal(now, now + 3, layout)) {
        const uint8_t (*rgb)[3] = decoded_rgb();
        for (int code = 0; code < 65536; code++)
            colours[code] = (uint32_t)makecol32(rgb[code][0], rgb[code][1], rgb[code][2]);
        std::copy(now, now + 3, layout);
    }
    return colours;
}

const EncoderTables &encoder_tables()
{
    static EncoderTables *t;
    static std::once_flag once;
    std::call_once(once, [] {
        t = new EncoderTables;
        // The two halves take about as long as each other: side by side.
        std::thread pixel_tables(build_pixel_tables, t);
        build_quant_tables(t);
        pixel_tables.join();
    });
    return *t;
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
// codes and the first pixel's preview. (The second pixel's preview is the
// colour its code decodes to.)
__attribute__((always_inline)) inline void encode_levels(const EncoderTables &t, const PixelLevels &p1,
                                                         const PixelLevels &p2, int odd_row, PairResult *out)
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
    int err1 = p1.brightness - t.quant_brightness[sat1][hue1][v1] + (odd_row ? 0 : carry);
    const PreviewEntry &q1 = t.quant_preview[sat1][hue1][v1 / 2];
    out->code1 = pack_code(std::clamp(err1 + v1, 0, 254) >> 1, hue1, sat1);
    // Written out for the three channels: the compiler keeps a loop here.
    out->preview1[0] = preview_from(err1 + q1.whole[0], q1.round_up_from[0]);
    out->preview1[1] = preview_from(err1 + q1.whole[1], q1.round_up_from[1]);
    out->preview1[2] = preview_from(err1 + q1.whole[2], q1.round_up_from[2]);

    int err2 = p2.brightness - t.quant_brightness[sat2][hue2][v2] + (odd_row ? carry : 0);
    out->code2 = pack_code(std::clamp(err2 + v2, 0, 254) >> 1, hue2, sat2);
}

// Runs rows [0, rows) through `work(first, end)` on a few threads. Rows are
// independent, so the result is the same as on one thread.
template <class Work>
void for_rows(int rows, long pixels, Work work)
{
    unsigned threads = std::min(std::thread::hardware_concurrency(), 8u);
    if (threads < 2 || pixels < (1L << 16)) {
        work(0, rows);
        return;
    }
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; i++) {
        int first = (int)((long)rows * i / threads), end = (int)((long)rows * (i + 1) / threads);
        pool.emplace_back(work, first, end);
    }
    for (std::thread &th : pool)
        th.join();
}

} // namespace

void prepare_encoder(void)
{
    encoder_tables();
    decoded_rgb();
}

void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out)
{
    const EncoderTables &t = encoder_tables();
    encode_levels(t, pixel_levels(t, rgb1[0], rgb1[1], rgb1[2]),
                  pixel_levels(t, rgb2[0], rgb2[1], rgb2[2]), odd_row, out);
    std::copy(decoded_rgb()[out->code2], decoded_rgb()[out->code2] + 3, out->preview2);
}

// The 32-bit colour layouts met in practice: red, green, blue from bit 16
// down (X11's), or from bit 0 up (the library's own without a screen).
enum { ANY_LAYOUT, RED_HIGH, RED_LOW };

inline int layout_of_colours()
{
    if (_rgb_g_shift_32 == 8 && _rgb_r_shift_32 == 16 && _rgb_b_shift_32 == 0)
        return RED_HIGH;
    if (_rgb_g_shift_32 == 8 && _rgb_r_shift_32 == 0 && _rgb_b_shift_32 == 16)
        return RED_LOW;
    return ANY_LAYOUT;
}

// One row of pairs. The parity is a template argument so that each loop is
// compiled without the choices that depend on it; so is the colour layout,
// which turns the shifts into constants and frees the registers that held
// them.
template <int odd_row, int layout>
void encode_row(const EncoderTables &t, const uint32_t *colours, uint32_t *row, uint8_t *low,
                uint8_t *high, int w)
{
    const int rs = layout == RED_HIGH ? 16 : layout == RED_LOW ? 0 : _rgb_r_shift_32;
    const int gs = layout == ANY_LAYOUT ? _rgb_g_shift_32 : 8;
    const int bs = layout == RED_HIGH ? 0 : layout == RED_LOW ? 16 : _rgb_b_shift_32;
    for (int x = 0; x < w; x += 2) {
        uint32_t c1 = row[x];
        // The partner of an odd width's last column reads as white, as a
        // pixel outside the picture does; nothing of it is stored.
        bool pair = x + 1 < w;
        uint32_t c2 = pair ? row[x + 1] : 0xffffffffu;
        PixelLevels p1 = pixel_levels(t, (c1 >> rs) & 255, (c1 >> gs) & 255, (c1 >> bs) & 255);
        PixelLevels p2 = pixel_levels(t, (c2 >> rs) & 255, (c2 >> gs) & 255, (c2 >> bs) & 255);
        PairResult r;
        encode_levels(t, p1, p2, odd_row, &r);
        low[x] = code_low_byte(r.code1);
        high[x] = code_high_byte(r.code1);
        row[x] = (uint32_t)(r.preview1[0] << rs | r.preview1[1] << gs | r.preview1[2] << bs);
        if (pair) {
            low[x + 1] = code_low_byte(r.code2);
            high[x + 1] = code_high_byte(r.code2);
            row[x + 1] = colours[r.code2];
        }
    }
}

int encode_picture(BITMAP *picture, BITMAP *carrier)
{
    if (!picture || !carrier || bitmap_color_depth(picture) != 32 ||
        bitmap_color_depth(carrier) != 8 || !is_memory_bitmap(picture) ||
        !is_memory_bitmap(carrier) || carrier->w != picture->w || carrier->h != 2 * picture->h)
        return -1;
    const EncoderTables &t = encoder_tables();
    const uint32_t *colours = decoded_colours();
    const int w = picture->w;
    static void (*const encoders[3][2])(const EncoderTables &, const uint32_t *, uint32_t *,
                                        uint8_t *, uint8_t *, int) = {
        {encode_row<0, ANY_LAYOUT>, encode_row<1, ANY_LAYOUT>},
        {encode_row<0, RED_HIGH>, encode_row<1, RED_HIGH>},
        {encode_row<0, RED_LOW>, encode_row<1, RED_LOW>}};
    const int layout = layout_of_colours();
    for_rows(picture->h, (long)w * picture->h, [&](int first, int end) {
        for (int y = first; y < end; y++) {
            uint32_t *row = (uint32_t *)picture->line[y];
            uint8_t *low = carrier->line[2 * y], *high = carrier->line[2 * y + 1];
            encoders[layout][y & 1](t, colours, row, low, high, w);
        }
    });
    return 0;
}

int decode_picture(BITMAP *carrier, BITMAP *picture)
{
    if (!picture || !carrier || bitmap_color_depth(picture) != 32 ||
        bitmap_color_depth(carrier) != 8 || !is_memory_bitmap(picture) ||
        !is_memory_bitmap(carrier) || picture->w != carrier->w || picture->h != carrier->h / 2)
        return -1;
    const uint32_t *colours = decoded_colours();
    const int w = picture->w;
    for_rows(picture->h, (long)w * picture->h, [&](int first, int end) {
        for (int y = first; y < end; y++) {
            const uint8_t *low = carrier->line[2 * y], *high = carrier->line[2 * y + 1];
            uint32_t *row = (uint32_t *)picture->line[y];
            for (int x = 0; x < w; x++)
                row[x] = colours[join_code(low[x], high[x])];
        }
    });
    return 0;
}

void recolour_gfx(void)
{
    encode_picture(bmp, bmp2);
    blit(bmp, screen, 0, 0, 0, 0, bmp->w, bmp->h);
}

void convert_gfx(void)
{
    decode_picture(bmp, bmp2);
    blit(bmp2, screen, 0, 0, 0, 0, bmp2->w, bmp2->h);
}
