#include "programs/gfx16/viewer.h"

#include <allegro.h>

#include <ctime>
#include <new>

static Pixels pixels_of(BITMAP *b)
{
    Pixels p;
    p.data = reinterpret_cast<const uint32_t *>(b->line[0]);
    p.stride = b->h > 1 ? (b->line[1] - b->line[0]) / 4 : b->w;
    p.w = b->w;
    p.h = b->h;
    return p;
}

void viewer_start(Viewer &viewer, const char *program, const std::string &file, int panes, int w, int h)
{
    const size_t slash = file.find_last_of('/');
    viewer.program = program;
    viewer.file = slash == std::string::npos ? file : file.substr(slash + 1);
    viewer.frame.screen_w = SCREEN_W;
    viewer.frame.screen_h = SCREEN_H;
    viewer.frame.panes = panes;
    viewer.frame.w = w;
    viewer.frame.h = h;
    // A clipping rectangle of no pixels: blits to the screen draw nothing.
    if (!fits(viewer.frame))
        set_clip_rect(screen, 0, 0, -1, -1);
}

void viewer_add(Viewer &viewer, int pane, BITMAP *b, bool copy)
{
    Shown &shown = viewer.pictures[pane];
    if (copy)
        shown.own = copy_pixels(pixels_of(b));
    prepare_shown(shown, copy ? shown.own.pixels() : pixels_of(b), viewer.frame);
}

static bool shows_any(const Viewer &viewer)
{
    return viewer.pictures[0].full.data || viewer.pictures[1].full.data;
}

// Allegro keeps 127 bytes of a title: a long file name gives way in its
// middle, so that the zoom and the keys stay in sight.
static std::string title_of(const Viewer &viewer)
{
    std::string about;
    if (shows_any(viewer)) {
        about = ", " + std::to_string(viewer.frame.w) + "x" + std::to_string(viewer.frame.h) + ", " +
                zoom_text(viewer.view, viewer.frame);
        if (viewer.frame.panes == 2)
            about += viewer.view.swapped ? ", picture|preview" : ", preview|picture";
    }
    about += viewer.frame.panes == 2 ? "; keys: arrows +/- 1 F Tab, space quits" : "; keys: arrows +/- 1 F, space quits";
    std::string file = viewer.file;
    const size_t room = 127 - std::min<size_t>(127, viewer.program.size() + 2 + about.size());
    if (file.size() > room) {
        // Cut between characters, not inside one of UTF-8's.
        auto inside = [&](size_t i) { return i < file.size() && (file[i] & 0xc0) == 0x80; };
        size_t head = room > 3 ? (room - 3) / 2 : 0, tail = file.size() - head;
        while (head > 0 && inside(head))
            head--;
        while (inside(tail))
            tail++;
        file = file.substr(0, head) + "..." + file.substr(tail);
    }
    return (viewer.program + ": " + file + about).substr(0, 127);
}

void viewer_show(Viewer &viewer)
{
    if (!viewer.canvas) {
        viewer.canvas = create_bitmap_ex(32, SCREEN_W, SCREEN_H);
        if (!viewer.canvas)
            throw std::bad_alloc();
    }
    BITMAP *canvas = viewer.canvas;
    set_clip_rect(screen, 0, 0, SCREEN_W - 1, SCREEN_H - 1);
    const Shown *pictures[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; i++)
        if (viewer.pictures[i].full.data)
            pictures[i] = &viewer.pictures[i];
    draw_view(viewer.view, viewer.frame, pictures, reinterpret_cast<uint32_t *>(canvas->line[0]),
              (canvas->line[1] - canvas->line[0]) / 4);
    blit(canvas, screen, 0, 0, 0, 0, canvas->w, canvas->h);

    set_window_title(title_of(viewer).c_str());
}

// A key from the keyboard buffer: its character, or the arrow it is.
static int key_of(int pressed)
{
    if (pressed & 0xff)
        return pressed & 0xff;
    switch (pressed >> 8) {
    case KEY_LEFT: return key_left;
    case KEY_RIGHT: return key_right;
    case KEY_UP: return key_up;
    case KEY_DOWN: return key_down;
    default: return 0;
    }
}

static bool same_view(const View &a, const View &b)
{
    return a.fitted == b.fitted && a.zoom == b.zoom && a.x == b.x && a.y == b.y && a.swapped == b.swapped;
}

void viewer_run(Viewer &viewer)
{
    // The keyboard handler, on the library's own thread, puts every press
    // into the buffer, however short: read from there, a tap between two
    // looks is not missed. Between looks the program sleeps rather than
    // keep a core busy (the library's rest() keeps a core a third busy
    // under X11).
    const struct timespec pause = {0, 10 * 1000 * 1000};
    bool changed = true;
    for (;;) {
        while (keypressed()) {
            const Action action = action_for_key(key_of(readkey()));
            if (action == Action::quit)
                return;
            const View before = viewer.view;
            apply(viewer.view, action, viewer.frame);
            changed = changed || !same_view(before, viewer.view);
        }
        if (key[KEY_SPACE])
            return;
        if (changed && shows_any(viewer))
            viewer_show(viewer);
        changed = false;
        nanosleep(&pause, nullptr);
    }
}
