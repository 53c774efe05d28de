// The desktop program's views: the scaled copies against means worked out
// in real numbers from each pixel's share of the picture, and the rules of
// the keys against hand-worked positions.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "programs/gfx16/view.h"

namespace {

Image random_image(int w, int h, unsigned seed)
{
    std::mt19937 rng(seed);
    Image im;
    im.w = w;
    im.h = h;
    im.px.resize(size_t(w) * h);
    for (uint32_t &p : im.px)
        p = rng();
    return im;
}

double byte_of(uint32_t p, int lane)
{
    return (p >> (8 * lane)) & 0xff;
}

// Every byte of `got` within half a level of the mean of `from` over
// [x0, x1) x [y0, y1), picture pixels covered in part counting by the part.
void expect_mean(const Image &from, double x0, double x1, double y0, double y1, uint32_t got, const std::string &at)
{
    for (int lane = 0; lane < 4; lane++) {
        double sum = 0;
        for (int y = int(y0); y < from.h && y < y1; y++)
            for (int x = int(x0); x < from.w && x < x1; x++) {
                const double part = (std::min(x1, x + 1.0) - std::max(x0, double(x))) *
                                    (std::min(y1, y + 1.0) - std::max(y0, double(y)));
                sum += part * byte_of(from.px[size_t(y) * from.w + x], lane);
            }
        const double area = (std::min(x1, double(from.w)) - x0) * (std::min(y1, double(from.h)) - y0);
        ASSERT_LE(std::fabs(byte_of(got, lane) - sum / area), 0.5 + 1e-9) << at << " byte " << lane;
    }
}

TEST(View, AreaAverageIsTheMeanOfWhatEachPixelCovers)
{
    const struct {
        int w, h, to_w, to_h;
    } cases[] = {
        {8, 8, 4, 4},      {12, 9, 4, 3},  {7, 5, 3, 2}, {1000, 3, 512, 1},
        {5, 1, 2, 1},      {1, 7, 1, 3},   {3, 3, 3, 3}, {1, 1, 1, 1},
        {3000, 20, 512, 3},
    };
    for (const auto &c : cases) {
        const Image from = random_image(c.w, c.h, unsigned(c.w * 31 + c.h));
        const Image got = area_average(from.pixels(), c.to_w, c.to_h);
        ASSERT_EQ(got.w, c.to_w);
        ASSERT_EQ(got.h, c.to_h);
        const double sx = double(c.w) / c.to_w, sy = double(c.h) / c.to_h;
        for (int y = 0; y < c.to_h; y++)
            for (int x = 0; x < c.to_w; x++)
                expect_mean(from, x * sx, (x + 1) * sx, y * sy, (y + 1) * sy, got.px[size_t(y) * got.w + x],
                            std::to_string(c.w) + "x" + std::to_string(c.h) + " at " + std::to_string(x) + "," +
                                std::to_string(y));
    }
}

TEST(View, HalvingsAreMeansOfBlocksClippedAtTheEdges)
{
    const struct {
        int w, h, count;
    } cases[] = {{16, 8, 3}, {7, 5, 2}, {1, 9, 3}, {33, 17, 4}, {2, 2, 1}};
    for (const auto &c : cases) {
        const Image from = random_image(c.w, c.h, unsigned(c.w * 7 + c.h));
        const std::vector<Image> levels = halvings(from.pixels(), c.count);
        ASSERT_EQ(int(levels.size()), c.count);
        for (int k = 1; k <= c.count; k++) {
            const Image &level = levels[k - 1];
            const int block = 1 << k;
            ASSERT_EQ(level.w, (c.w + block - 1) / block);
            ASSERT_EQ(level.h, (c.h + block - 1) / block);
            for (int y = 0; y < level.h; y++)
                for (int x = 0; x < level.w; x++)
                    expect_mean(from, x * block, (x + 1) * block, y * block, (y + 1) * block,
                                level.px[size_t(y) * level.w + x],
                                std::to_string(c.w) + "x" + std::to_string(c.h) + " level " + std::to_string(k));
        }
    }
}

Frame frame_of(int panes, int w, int h)
{
    Frame f;
    f.screen_w = 1024;
    f.screen_h = 768;
    f.panes = panes;
    f.w = w;
    f.h = h;
    return f;
}

TEST(View, FittedSizeAndSmallestZoom)
{
    const struct {
        int panes, w, h, fitted_w, fitted_h, smallest;
    } cases[] = {
        {2, 3000, 2000, 512, 341, -3}, {2, 512, 768, 512, 768, 0},  {2, 513, 100, 512, 100, -1},
        {2, 700, 500, 512, 366, -1},   {1, 1025, 768, 1024, 767, -1}, {1, 1, 5000, 1, 768, -3},
        {1, 4096, 4096, 768, 768, -3}, {1, 320, 240, 320, 240, 0},
    };
    for (const auto &c : cases) {
        const Frame f = frame_of(c.panes, c.w, c.h);
        const Size s = fitted_size(f);
        EXPECT_EQ(s.w, c.fitted_w) << c.w << "x" << c.h;
        EXPECT_EQ(s.h, c.fitted_h) << c.w << "x" << c.h;
        EXPECT_EQ(smallest_zoom(f), c.smallest) << c.w << "x" << c.h;
    }
}

// Keys as typed: R, L, U, D for the arrows.
View after(const char *keys, const Frame &f)
{
    View v;
    for (const char *k = keys; *k; k++) {
        const int key = *k == 'R' ? int(key_right) : *k == 'L' ? int(key_left) : *k == 'U' ? int(key_up) : *k == 'D' ? int(key_down) : *k;
        apply(v, action_for_key(key), f);
    }
    return v;
}

TEST(View, KeysMoveAndZoomTheView)
{
    const Frame photo = frame_of(2, 3000, 2000), odd = frame_of(2, 3001, 2000), small = frame_of(1, 320, 240);
    const struct {
        const Frame *frame;
        const char *keys;
        bool fitted;
        int zoom;
        long x, y;
        bool swapped;
        const char *zoom_text;
    } cases[] = {
        {&photo, "", true, 0, 0, 0, false, "fitted 17.1%"},
        {&photo, "RD", true, 0, 0, 0, false, "fitted 17.1%"},  // the whole picture is in sight
        {&photo, "1RRR", false, 0, 384, 0, false, "100%"},
        {&photo, "1RRRRRRRRRRRRRRRRRRRRRRRR", false, 0, 2488, 0, false, "100%"},
        {&photo, "1DDDDDDDDDDU", false, 0, 0, 1040, false, "100%"},
        {&photo, "1RRRLLLLL", false, 0, 0, 0, false, "100%"},
        {&photo, "+", false, -2, 476, 0, false, "25%"},
        {&photo, "+RRRRD", false, -2, 952, 0, false, "25%"},
        {&odd, "+RRRR", false, -2, 956, 0, false, "25%"},  // the last column of the copy in sight
        {&photo, "-", false, -3, 0, 0, false, "12.5%"},
        {&photo, "---", false, -3, 0, 0, false, "12.5%"},
        {&photo, "1++++++", false, 3, 224, 336, false, "800%"},
        {&photo, "1R+", false, 1, 256, 192, false, "200%"},
        {&photo, "1R+RF", true, 0, 0, 0, false, "fitted 17.1%"},
        {&photo, "\t", true, 0, 0, 0, true, "fitted 17.1%"},
        {&photo, "\t1\t", false, 0, 0, 0, false, "100%"},
        {&small, "+", false, 1, 0, 0, false, "200%"},
        {&small, "-", false, 0, 0, 0, false, "100%"},
        {&small, "1-", false, 0, 0, 0, false, "100%"},
        {&small, "\t", true, 0, 0, 0, false, "fitted 100%"},
        {&small, "1RD", false, 0, 0, 0, false, "100%"},
    };
    for (const auto &c : cases) {
        const View v = after(c.keys, *c.frame);
        const std::string at = std::string("keys \"") + c.keys + "\" on " + std::to_string(c.frame->w);
        EXPECT_EQ(v.fitted, c.fitted) << at;
        if (!c.fitted) {
            EXPECT_EQ(v.zoom, c.zoom) << at;
            EXPECT_EQ(v.x, c.x) << at;
            EXPECT_EQ(v.y, c.y) << at;
        }
        EXPECT_EQ(v.swapped, c.swapped) << at;
        EXPECT_EQ(zoom_text(v, *c.frame), c.zoom_text) << at;
    }
}

// Each screen pixel of a pane is the pixel of the picture (or of its scaled
// copy) at the view's corner plus its place in the pane, scaled down by the
// zoom; beyond the picture, black.
TEST(View, EveryScreenPixelComesFromItsPlaceInThePicture)
{
    Frame f = frame_of(2, 20, 10);
    f.screen_w = 16;
    f.screen_h = 8;
    Image pictures[2];
    Shown shown[2];
    for (int i = 0; i < 2; i++) {
        pictures[i].w = f.w;
        pictures[i].h = f.h;
        for (int y = 0; y < f.h; y++)
            for (int x = 0; x < f.w; x++)
                pictures[i].px.push_back(uint32_t(1 + x + 100 * y + 10000 * i));
        prepare_shown(shown[i], pictures[i].pixels(), f);
    }
    const Shown *panes[2] = {&shown[0], &shown[1]};
    const View cases[] = {
        {false, 0, 3, 2, false}, {false, 0, 15, 6, true}, {false, 1, 14, 5, false},
        {false, 3, 19, 9, false}, {false, -1, 4, 2, true}, {true, 0, 0, 0, false},
    };
    for (const View &c : cases) {
        std::vector<uint32_t> out(20 * 8, 0xdeadbeef);
        draw_view(c, f, panes, out.data(), 20);
        for (int sy = 0; sy < 8; sy++)
            for (int sx = 0; sx < 20; sx++) {
                uint32_t want = 0xdeadbeef;  // outside the screen: untouched
                if (sx < 16) {
                    const int pane = sx / 8;
                    const Shown &s = shown[c.swapped ? 1 - pane : pane];
                    Pixels from = s.full;
                    long px = c.x + ((sx - pane * 8) >> std::max(c.zoom, 0)), py = c.y + (sy >> std::max(c.zoom, 0));
                    if (c.fitted) {
                        from = s.fitted.pixels();
                        px = sx - pane * 8;
                        py = sy;
                    } else if (c.zoom < 0) {
                        from = s.smaller[-c.zoom - 1].pixels();
                        px = (c.x >> -c.zoom) + sx - pane * 8;
                        py = (c.y >> -c.zoom) + sy;
                    }
                    want = px < from.w && py < from.h ? from.row(int(py))[px] : 0;
                }
                ASSERT_EQ(out[size_t(sy) * 20 + sx], want)
                    << "zoom " << c.zoom << " at " << c.x << "," << c.y << ", screen " << sx << "," << sy;
            }
    }
}

}  // namespace
