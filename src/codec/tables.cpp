#include "codec/tables.h"

#include <atomic>
#include <mutex>

#include "codec/colour.h"
#include "codec/simd.h"
#include "codec/threads.h"

namespace {

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
                    int whole_part = trunc_to_int(rgb[c]);
                    int low = 0, high = 254;
                    while (low < high) {
                        int mid = (low + high) / 2;
                        if (preview_channel(mid - whole_part, rgb[c]) == mid)
                            low = mid + 1;
                        else
                            high = mid;
                    }
                    q.whole_part[c] = (uint8_t)whole_part;
                    q.round_up_from[c] = (uint8_t)(low < 254 ? low : 255);
                }
            }
}

// Static storage: nothing to allocate, so building them cannot fail.
EncoderTables tables;

// Runs the tasks on this thread and, when the limit allows and one can be
// started, a second, each taking the next task not yet taken: the tables are a few milliseconds' work, which is most
// of what a small picture costs. No task allocates or throws, so the tables
// are always there, whatever memory is left.
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

} // namespace

const EncoderTables &encoder_tables(int parts)
{
    static std::once_flag brightness, levels, previews;
    std::call_once(brightness, [] {
        static const TableTask tasks[] = {[](EncoderTables *t) { build_quant_brightness(t, 0, 4); },
                                          [](EncoderTables *t) { build_quant_brightness(t, 4, 8); }};
        run_tasks(tasks);
    });
    if (parts & LEVEL_TABLES)
        std::call_once(levels, [] {
            static const TableTask tasks[] = {[](EncoderTables *t) { build_hue_table(t, RED_MAX); },
                                              [](EncoderTables *t) { build_hue_table(t, GREEN_MAX); },
                                              [](EncoderTables *t) { build_hue_table(t, BLUE_MAX); },
                                              [](EncoderTables *t) { build_level_tables(t); }};
            run_tasks(tasks);
        });
    if (parts & PREVIEW_TABLES)
        std::call_once(previews, [] {
            static const TableTask tasks[] = {
                [](EncoderTables *t) { build_quant_previews(t, 0, 3); },
                [](EncoderTables *) { decoded_colours(); },
                [](EncoderTables *t) { build_quant_previews(t, 3, 8); }};
            run_tasks(tasks);
        });
    return tables;
}

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

void prepare_encoder(void)
{
    encoder_tables(PREVIEW_TABLES | (simd_level() == Simd::scalar ? LEVEL_TABLES : 0));
    decoded_colours();
}

void encode_pair(const uint8_t rgb1[3], const uint8_t rgb2[3], int odd_row, PairResult *out)
{
    const EncoderTables &t = encoder_tables(LEVEL_TABLES | PREVIEW_TABLES);
    PairCodes c = encode_levels(t, pixel_levels(t, rgb1[0], rgb1[1], rgb1[2]),
                                pixel_levels(t, rgb2[0], rgb2[1], rgb2[2]), odd_row);
    out->code1 = c.code1;
    out->code2 = c.code2;
    for (int i = 0; i < 3; i++)
        out->preview1[i] = preview_from(c.err1 + c.quant1->whole_part[i], c.quant1->round_up_from[i]);
    uint32_t colour = decoded_colours()[c.code2];
    out->preview2[0] = colour & 255;
    out->preview2[1] = colour >> 8 & 255;
    out->preview2[2] = colour >> 16 & 255;
}
