// The nearest code of a colour against independent answers: a brute-force
// search over all 65536 codes and, for every colour of the cube, a distance
// transform, both on the colours of the golden table (decoded-codes.rgb,
// from an independent implementation of the decoder). Then error diffusion,
// by what it must keep: the mean colour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "codec/nearest.h"
#include "test_support.h"

namespace {

struct Golden {
    bool loaded = false;
    int rgb[65536][3];
};

const Golden &golden()
{
    static Golden *g = [] {
        Golden *table = new Golden;
        FILE *f = fopen(GOLDEN_DIR "/decoded-codes.rgb", "rb");
        std::vector<uint8_t> bytes(65536 * 3);
        if (f && fread(bytes.data(), 1, bytes.size(), f) == bytes.size()) {
            for (int i = 0; i < 65536 * 3; i++)
                table->rgb[i / 3][i % 3] = bytes[i];
            table->loaded = true;
        }
        if (f)
            fclose(f);
        return table;
    }();
    return *g;
}

struct BruteForce {
    int code;       // the lowest code at the least distance
    int distance;
    bool tie;       // another colour at the same distance
};

BruteForce brute_force(int r, int g, int b)
{
    const Golden &t = golden();
    BruteForce best{0, INT32_MAX, false};
    for (int code = 0; code < 65536; code++) {
        const int *c = t.rgb[code];
        int d = (c[0] - r) * (c[0] - r) + (c[1] - g) * (c[1] - g) + (c[2] - b) * (c[2] - b);
        if (d < best.distance) {
            best = {code, d, false};
        } else if (d == best.distance) {
            const int *w = t.rgb[best.code];
            best.tie |= c[0] != w[0] || c[1] != w[1] || c[2] != w[2];
        }
    }
    return best;
}

struct Colour {
    uint8_t r, g, b;
};
static_assert(sizeof(Colour) == 3, "a vector of colours is a run of R, G, B pixels");

// The colours of each family of cases.
std::vector<Colour> random_colours()
{
    std::vector<Colour> out;
    Lcg rng(7);
    for (int i = 0; i < 3000; i++) {
        uint32_t v = rng.next();
        out.push_back({(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16)});
    }
    return out;
}

std::vector<Colour> cube_edges()
{
    std::vector<Colour> out;
    for (int axis = 0; axis < 3; axis++)
        for (int corner = 0; corner < 4; corner++)
            for (int v = 0; v < 256; v++) {
                int c[3];
                c[axis] = v;
                c[(axis + 1) % 3] = corner & 1 ? 255 : 0;
                c[(axis + 2) % 3] = corner & 2 ? 255 : 0;
                out.push_back({(uint8_t)c[0], (uint8_t)c[1], (uint8_t)c[2]});
            }
    return out;
}

// r, g, b within 2 levels of each other, every grey level.
std::vector<Colour> near_greys()
{
    std::vector<Colour> out;
    for (int v = 0; v < 256; v++)
        for (int dg = -2; dg <= 2; dg++)
            for (int db = -2; db <= 2; db++)
                if (v + dg >= 0 && v + dg < 256 && v + db >= 0 && v + db < 256)
                    out.push_back({(uint8_t)v, (uint8_t)(v + dg), (uint8_t)(v + db)});
    return out;
}

// Pixel (x, y) of the 4096 x 4096 picture that holds every colour once, on a
// grid of odd steps so every bit of x and y varies.
std::vector<Colour> every_colour_sample()
{
    std::vector<Colour> out;
    for (int y = 5; y < 4096; y += 67)
        for (int x = 3; x < 4096; x += 61)
            out.push_back({(uint8_t)(x % 256), (uint8_t)(y % 256), (uint8_t)(x / 256 + 16 * (y / 256))});
    return out;
}

// Midpoints of two decoded colours whose codes are neighbours (a value, hue
// or saturation level apart), where every channel differs by an even amount:
// equally far from both, so unless a third colour is nearer the answer is a
// tie between two colours.
std::vector<Colour> midpoints()
{
    const Golden &t = golden();
    const int steps[] = {1, 2, 128, 129, 127, 8192, 8193, 8320};
    std::vector<Colour> out;
    Lcg rng(11);
    while (out.size() < 3000) {
        int code = (int)(rng.next() & 65535), other = code + steps[rng.next() % 8];
        if (other > 65535)
            continue;
        const int *a = t.rgb[code], *b = t.rgb[other];
        bool even = true, same = true;
        for (int c = 0; c < 3; c++) {
            even &= (a[c] - b[c]) % 2 == 0;
            same &= a[c] == b[c];
        }
        if (even && !same)
            out.push_back({(uint8_t)((a[0] + b[0]) / 2), (uint8_t)((a[1] + b[1]) / 2), (uint8_t)((a[2] + b[2]) / 2)});
    }
    return out;
}

struct Family {
    const char *name;
    std::vector<Colour> (*colours)();
    int least_ties;  // the family must really test the tie rule this often
};

// What the tests below check: the library's table of answers, or the search
// when the environment asks for it. The table must be linked in, or its
// runs would check the search twice.
TEST(NearestCode, TableUnlessAskedToSearch)
{
    const char *asked = getenv("GFX16_NEAREST");
    EXPECT_EQ(nearest_searches(), asked && strcmp(asked, "search") == 0);
}

TEST(NearestCode, EqualsBruteForceOverAllCodes)
{
    ASSERT_TRUE(golden().loaded) << "cannot read " GOLDEN_DIR "/decoded-codes.rgb";
    const Family families[] = {
        {"random colours", random_colours, 100},
        {"edges of the cube", cube_edges, 50},
        {"near greys", near_greys, 500},
        {"every-colour picture", every_colour_sample, 100},
        {"midpoints", midpoints, 1000},
    };
    for (const Family &f : families) {
        SCOPED_TRACE(f.name);
        std::vector<Colour> colours = f.colours();
        // Half one colour at a time, half as one run of pixels.
        std::vector<uint16_t> run(colours.size());
        ASSERT_EQ(nearest_codes(&colours[0].r, colours.size(), run.data()), 0);
        // The same run in the other layouts pixels come in: each has a
        // loop of its own to read them.
        const struct {
            int bytes, red, green, blue;
        } layouts[] = {{3, 2, 1, 0}, {4, 2, 1, 0}, {4, 3, 1, 0}};
        for (const auto &l : layouts) {
            std::vector<uint8_t> pixels(colours.size() * l.bytes, 0x5A);
            for (size_t i = 0; i < colours.size(); i++) {
                pixels[i * l.bytes + l.red] = colours[i].r;
                pixels[i * l.bytes + l.green] = colours[i].g;
                pixels[i * l.bytes + l.blue] = colours[i].b;
            }
            std::vector<uint16_t> codes(colours.size());
            ASSERT_EQ(nearest_codes_of(pixels.data(), l.bytes, l.red, l.green, l.blue, colours.size(), codes.data()), 0);
            ASSERT_TRUE(codes == run) << l.bytes << " bytes, red at " << l.red;
        }
        int ties = 0;
        for (size_t i = 0; i < colours.size(); i++) {
            const Colour &c = colours[i];
            BruteForce want = brute_force(c.r, c.g, c.b);
            ties += want.tie;
            int got = i % 2 ? nearest_code(c.r, c.g, c.b) : run[i];
            ASSERT_EQ(got, want.code) << "colour " << int(c.r) << "," << int(c.g) << "," << int(c.b)
                                      << (want.tie ? " (a tie)" : "");
        }
        EXPECT_GE(ties, f.least_ties);
    }
}

// Every colour's nearest code by a method of its own: the squared distance
// transform of the whole cube, one axis at a time, each line the lower
// envelope of parabolas (Felzenszwalb and Huttenlocher). It runs on keys
// 65536 * squared distance + code, so the least key holds the least
// distance and, among equals, the lowest code; and since no two keys are
// equal the envelope is exact in integers.
const int64_t weight = 65536, unreached = INT64_MAX;

// One line of 256 keys, `stride` apart: out(i) = min over j of f(j) + weight (i - j)^2.
void transform_line(int64_t *f, ptrdiff_t stride)
{
    int parabola[256];
    int64_t num[257], den[257];  // boundary k (num / den) between parabola k - 1 and k
    int64_t value[256];
    int k = -1;
    for (int q = 0; q < 256; q++) {
        value[q] = f[q * stride];
        if (value[q] == unreached)
            continue;
        // Where parabola q overtakes the last of the envelope, as a fraction.
        int64_t n = 0, d = 1;
        while (k >= 0) {
            int p = parabola[k];
            n = (value[q] + weight * q * q) - (value[p] + weight * p * p);
            d = 2 * weight * (q - p);
            if (k == 0 || n * den[k] > num[k] * d)
                break;
            k--;
        }
        parabola[++k] = q;
        num[k] = n;
        den[k] = d;
    }
    if (k < 0)
        return;
    for (int i = 0, j = 0; i < 256; i++) {
        while (j < k && num[j + 1] < (int64_t)i * den[j + 1])
            j++;
        int p = parabola[j];
        f[i * stride] = value[p] + weight * (i - p) * (i - p);
    }
}

std::vector<int64_t> transform_of_every_colour()
{
    const Golden &t = golden();
    std::vector<int64_t> key((size_t)1 << 24, unreached);
    for (int code = 65535; code >= 0; code--)
        key[(size_t)t.rgb[code][0] << 16 | t.rgb[code][1] << 8 | t.rgb[code][2]] = code;
    for (int axis = 0; axis < 3; axis++) {
        const ptrdiff_t stride = (ptrdiff_t)1 << (8 * axis);
        for (size_t line = 0; line < 65536; line++) {
            // The two coordinates other than `axis`, spread round it.
            size_t low = line & (stride - 1), high = (line - low) << 8;
            transform_line(&key[high | low], stride);
        }
    }
    return key;
}

TEST(NearestCode, EveryColourEqualsDistanceTransform)
{
    ASSERT_TRUE(golden().loaded);
    std::vector<int64_t> key = transform_of_every_colour();
    std::vector<uint8_t> plane(3 << 16);
    std::vector<uint16_t> codes(1 << 16);
    for (int r = 0; r < 256; r++) {
        for (int i = 0; i < 65536; i++) {
            plane[3 * i] = (uint8_t)r;
            plane[3 * i + 1] = (uint8_t)(i >> 8);
            plane[3 * i + 2] = (uint8_t)i;
        }
        ASSERT_EQ(nearest_codes(plane.data(), 65536, codes.data()), 0);
        for (int i = 0; i < 65536; i++) {
            int64_t want = key[(size_t)r << 16 | i];
            if (codes[i] != want % weight) {
                BruteForce check = brute_force(r, i >> 8, i & 255);
                FAIL() << "colour " << r << "," << (i >> 8) << "," << (i & 255) << ": " << codes[i]
                       << ", transform " << want % weight << " at " << want / weight << ", brute force "
                       << check.code << " at " << check.distance;
            }
        }
    }
}

// Large runs are shared among threads inside, and several callers may run at
// once: two callers on pictures of random colours, checked on a sample.
TEST(NearestCode, ConcurrentCallersOnLargeRuns)
{
    ASSERT_TRUE(golden().loaded);
    const size_t pixels = 1 << 17;
    std::vector<uint8_t> pictures[2];
    std::vector<uint16_t> codes[2];
    for (int p = 0; p < 2; p++) {
        Lcg rng(100 + p);
        for (size_t i = 0; i < 3 * pixels; i++)
            pictures[p].push_back((uint8_t)(rng.next() >> 5));
        codes[p].resize(pixels);
    }
    int status[2];
    std::thread other([&] { status[1] = nearest_codes(pictures[1].data(), pixels, codes[1].data()); });
    status[0] = nearest_codes(pictures[0].data(), pixels, codes[0].data());
    other.join();
    for (int p = 0; p < 2; p++) {
        ASSERT_EQ(status[p], 0);
        for (size_t i = p; i < pixels; i += 97) {
            const uint8_t *c = &pictures[p][3 * i];
            ASSERT_EQ(codes[p][i], brute_force(c[0], c[1], c[2]).code) << "picture " << p << " pixel " << i;
        }
    }
}

// Error diffusion on flat pictures: the first pixel, which has received no
// error, gets the nearest code; a colour that some code decodes to exactly
// gets that code everywhere; any other colour is matched on average.
TEST(DitheredCodes, FlatPictures)
{
    ASSERT_TRUE(golden().loaded);
    const Golden &t = golden();
    const int w = 64, h = 64;
    struct {
        Colour flat;
        bool matched_on_average;
    } const cases[] = {
        {{100, 150, 200}, true},
        {{3, 3, 4}, true},
        {{200, 201, 199}, true},
        {{52, 60, 55}, true},
        // Outside every code's reach (the nearest is 31 levels off in green
        // and blue): the clamp keeps the error from piling up, and the mean
        // stays off.
        {{255, 0, 0}, false},
    };
    for (const auto &one : cases) {
        const Colour &flat = one.flat;
        SCOPED_TRACE(testing::Message() << int(flat.r) << "," << int(flat.g) << "," << int(flat.b));
        std::vector<Colour> picture(w * h, flat);
        std::vector<uint16_t> codes(w * h);
        ASSERT_EQ(dithered_codes(&picture[0].r, w, h, codes.data()), 0);
        BruteForce nearest = brute_force(flat.r, flat.g, flat.b);
        EXPECT_EQ(codes[0], nearest.code);
        double sum[3] = {0, 0, 0};
        for (uint16_t code : codes)
            for (int c = 0; c < 3; c++)
                sum[c] += t.rgb[code][c];
        const uint8_t source[3] = {flat.r, flat.g, flat.b};
        for (int c = 0; c < 3; c++) {
            if (nearest.distance == 0) {
                EXPECT_EQ(sum[c], source[c] * (double)w * h);
            } else if (one.matched_on_average) {
                EXPECT_NEAR(sum[c] / (w * h), source[c], 0.5);
            }
        }
    }
}

// Serpentine Floyd-Steinberg as the textbooks give it, over a whole plane
// of errors: rows alternately left to right and right to left; a pixel's
// target is its colour plus the error it received, held within 0..255 and
// rounded, its code the nearest by brute force, and its error (the held
// target less the code's colour) goes 7/16 to the next pixel along the
// row, and 3/16, 5/16 and 1/16 to the pixels below it behind, under and
// ahead of it, as far as the picture reaches.
std::vector<uint16_t> textbook_dither(const std::vector<Colour> &picture, int w, int h)
{
    const Golden &t = golden();
    std::vector<float> error((size_t)w * h * 3, 0.0f);
    std::vector<uint16_t> codes((size_t)w * h);
    auto spread = [&](int x, int y, int c, float e, float share) {
        if (x >= 0 && x < w && y < h)
            error[((size_t)y * w + x) * 3 + c] += e * share;
    };
    for (int y = 0; y < h; y++) {
        const int ahead = y % 2 ? -1 : 1;
        for (int i = 0; i < w; i++) {
            const int x = ahead > 0 ? i : w - 1 - i;
            const uint8_t *colour = &picture[(size_t)y * w + x].r;
            float held[3];
            int target[3];
            for (int c = 0; c < 3; c++) {
                held[c] = std::min(std::max(colour[c] + error[((size_t)y * w + x) * 3 + c], 0.0f), 255.0f);
                target[c] = (int)(held[c] + 0.5f);
            }
            const int code = brute_force(target[0], target[1], target[2]).code;
            codes[(size_t)y * w + x] = (uint16_t)code;
            for (int c = 0; c < 3; c++) {
                const float e = held[c] - (float)t.rgb[code][c];
                spread(x + ahead, y, c, e, 7.0f / 16);
                spread(x - ahead, y + 1, c, e, 3.0f / 16);
                spread(x, y + 1, c, e, 5.0f / 16);
                spread(x + ahead, y + 1, c, e, 1.0f / 16);
            }
        }
    }
    return codes;
}

// Code for code what the textbook's method gives, on noise (whose errors go
// every way) and on colours out of every code's reach (whose errors pile up
// against the clamp).
TEST(DitheredCodes, EqualTheTextbookMethod)
{
    ASSERT_TRUE(golden().loaded);
    const int w = 29, h = 17;
    for (int kind = 0; kind < 2; kind++) {
        SCOPED_TRACE(kind ? "saturated" : "noise");
        std::vector<Colour> picture((size_t)w * h);
        Lcg rng(23 + kind);
        for (Colour &c : picture) {
            uint32_t v = rng.next();
            c = kind ? Colour{(uint8_t)(v & 1 ? 255 : 0), (uint8_t)(v & 2 ? 255 : 0), (uint8_t)(v >> 8)}
                     : Colour{(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16)};
        }
        std::vector<uint16_t> codes((size_t)w * h);
        ASSERT_EQ(dithered_codes(&picture[0].r, w, h, codes.data()), 0);
        EXPECT_EQ(codes, textbook_dither(picture, w, h));
    }
}

// On a slow ramp, where nearest codes show bands several levels high, the
// decoded colours of the dithered codes follow the source in every block of
// 8 x 8 pixels.
TEST(DitheredCodes, BlockMeansFollowARamp)
{
    ASSERT_TRUE(golden().loaded);
    const Golden &t = golden();
    const int w = 256, h = 64, block = 8;
    std::vector<uint8_t> ramp(3 * w * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const int from[3] = {60, 90, 140}, to[3] = {200, 210, 230};
            for (int c = 0; c < 3; c++)
                ramp[3 * (y * w + x) + c] = (uint8_t)(from[c] + (to[c] - from[c]) * x / (w - 1));
        }
    std::vector<uint16_t> codes(w * h);
    ASSERT_EQ(dithered_codes(ramp.data(), w, h, codes.data()), 0);
    double worst = 0;
    for (int by = 0; by < h; by += block)
        for (int bx = 0; bx < w; bx += block)
            for (int c = 0; c < 3; c++) {
                double difference = 0;
                for (int y = by; y < by + block; y++)
                    for (int x = bx; x < bx + block; x++)
                        difference += t.rgb[codes[y * w + x]][c] - ramp[3 * (y * w + x) + c];
                worst = std::max(worst, std::fabs(difference) / (block * block));
            }
    EXPECT_LE(worst, 1.5);
}

}  // namespace
