// view_bench: how long the desktop program takes from a key to the new view
// of a large picture, and how long it takes to make the scaled copies the
// views are drawn from.
//
//   view_bench [--size N] [--rounds N]        (default 4096, 5)
//
// The views are drawn in memory, as both programs do after every key; with
// a display (DISPLAY set, e.g. under xvfb-run) the same keys also go through
// the program's own drawing to Allegro's screen, each timed until the X
// server has done everything asked of it.
#include <allegro.h>
#include <xalleg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "programs/gfx16/view.h"
#include "programs/gfx16/viewer.h"

namespace {

double now_ms()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Every zoom and both kinds of arrow at each; arrows by their key codes.
const int keys[] = {'+', '+', '+', '+', '+', key_right, key_right, key_down, key_down, key_left, key_up,
                    '-', '-', '-', '-', '-', '-', '-', key_right, key_down, '1', key_right, key_down,
                    '\t', '\t', 'F', '-', 'F'};
const int key_count = int(sizeof keys / sizeof keys[0]);

// A picture with detail everywhere (its content does not change the time).
void fill(uint32_t *px, ptrdiff_t stride, int size)
{
    uint32_t seed = 1;
    for (int y = 0; y < size; y++)
        for (int x = 0; x < size; x++) {
            seed = seed * 1664525u + 1013904223u;
            px[y * stride + x] = (uint32_t(x * 255 / size) << 16) | (uint32_t(y * 255 / size) << 8) | (seed >> 24);
        }
}

struct Times {
    std::vector<double> ms;
    void print(const char *what) const
    {
        std::vector<double> t = ms;
        std::sort(t.begin(), t.end());
        printf("%-44s median %6.2f ms, slowest %6.2f ms (%zu keys)\n", what, t[t.size() / 2], t.back(), t.size());
    }
};

}  // namespace

int main(int argc, char **argv)
{
    int size = 4096, rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--size"))
            size = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--rounds"))
            rounds = atoi(argv[i + 1]);
    }
    if (size < 1 || rounds < 1) {
        fprintf(stderr, "usage: view_bench [--size N] [--rounds N]\n");
        return 2;
    }
    printf("view_bench: a picture of %d x %d on a screen of 1024 x 768\n", size, size);

    Image picture;
    picture.w = picture.h = size;
    picture.px.resize(size_t(size) * size);
    fill(picture.px.data(), size, size);

    for (int panes = 2; panes >= 1; panes--) {
        Frame frame;
        frame.screen_w = 1024;
        frame.screen_h = 768;
        frame.panes = panes;
        frame.w = frame.h = size;
        const double start = now_ms();
        Shown shown;
        prepare_shown(shown, picture.pixels(), frame);
        printf("%s: the scaled copies of one picture made in %.0f ms\n", panes == 2 ? "encode" : "decode",
               now_ms() - start);

        std::vector<uint32_t> out(size_t(frame.screen_w) * frame.screen_h);
        const Shown *pictures[2] = {&shown, &shown};
        Times times;
        for (int round = 0; round < rounds; round++) {
            View view;
            for (int k = 0; k < key_count; k++) {
                const double t = now_ms();
                apply(view, action_for_key(keys[k]), frame);
                draw_view(view, frame, pictures, out.data(), frame.screen_w);
                times.ms.push_back(now_ms() - t);
            }
        }
        times.print(panes == 2 ? "encode: key to view, in memory:" : "decode: key to view, in memory:");
    }

    if (!getenv("DISPLAY")) {
        printf("(no DISPLAY: the screen is left out; run it under xvfb-run for that too)\n");
        return 0;
    }
    if (allegro_init() != 0)
        return 1;
    set_color_depth(32);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 1024, 768, 0, 0) != 0) {
        fprintf(stderr, "view_bench: no screen: %s\n", allegro_error);
        return 1;
    }
    BITMAP *b = create_bitmap_ex(32, size, size);
    if (!b)
        return 1;
    fill(reinterpret_cast<uint32_t *>(b->line[0]), (b->line[1] - b->line[0]) / 4, size);
    Viewer viewer;
    const double start = now_ms();
    viewer_start(viewer, "gfx16-encode", "bench", 2, size, size);
    viewer_add(viewer, 1, b, true);
    viewer_add(viewer, 0, b, false);
    printf("encode: the picture copied and both scaled, %.0f ms\n", now_ms() - start);
    viewer_show(viewer);
    Times times;
    for (int round = 0; round < rounds; round++) {
        viewer.view = View();
        for (int k = 0; k < key_count; k++) {
            const double t = now_ms();
            apply(viewer.view, action_for_key(keys[k]), viewer.frame);
            viewer_show(viewer);
            // Allegro's own connection: wait until the server has drawn it.
            XLOCK();
            XSync(_xwin.display, False);
            XUNLOCK();
            times.ms.push_back(now_ms() - t);
        }
    }
    times.print("encode: key to view, on the screen:");
    return 0;
}
END_OF_MAIN()
