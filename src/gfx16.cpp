#include "gfx16.h"

#include <allegro.h>

#include <sys/stat.h>

#include <climits>
#include <ctime>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "bitmap_codec.h"
#include "input.h"
#include "load.h"
#include "output.h"
#include "save.h"
#include "viewer.h"

static const int mode = GFX16_MODE;

// gfx16conv's default limit: a few bytes of a compressed file can claim
// billions of pixels, and a picture of 32768 x 16383 would take this
// program past 4 GB. It is also well below what Allegro's bitmaps can hold
// (it sizes one as width x height x bytes a pixel, in an int).
static PictureLimits bitmap_limits(void)
{
    static_assert(PictureLimits::default_max_pixels <= INT_MAX / 4, "a picture must fit in a bitmap");
    PictureLimits limits;
    limits.max_pixels = PictureLimits::default_max_pixels;
    limits.set_by = "gfx16conv --max-pixels converts larger ones";
    return limits;
}

// Leaves graphics mode and says what went wrong, on stderr for scripts and
// in the library's message box for the desktop; the caller exits with 1.
static int fail(const std::string &message)
{
    set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
    fprintf(stderr, "gfx16: %s\n", message.c_str());
    allegro_message("%s\n", message.c_str());
    return 1;
}

// The source picture, read into a 32-bit bitmap in Allegro's colour layout.
static std::string load_source(const char *name, BITMAP **out)
{
    Input in;
    std::unique_ptr<PictureSource> source;
    std::string why = open_input(name, &in);
    if (why.empty())
        why = open_picture(in, bitmap_limits(), &source);
    if (!why.empty())
        return why;
    BITMAP *b = create_bitmap_ex(32, source->w, source->h);
    if (!b)
        return "not enough memory";
    const gfx16_layout layout = {4, _rgb_r_shift_32 / 8, _rgb_g_shift_32 / 8, _rgb_b_shift_32 / 8};
    for (int y = 0; y < source->h; y++) {
        PixelRows rows;
        why = source->rows(y, 1, &rows);
        if (!why.empty()) {
            destroy_bitmap(b);
            return why;
        }
        copy_rows(rows, source->w, 1, b->line[y], 0, layout);
    }
    *out = b;
    return "";
}

// The carrier, its low and high rows, into an 8-bit bitmap.
static std::string load_carrier(const char *name, BITMAP **out)
{
    Input in;
    std::unique_ptr<CarrierSource> source;
    std::string why = open_input(name, &in);
    if (why.empty())
        why = open_carrier(in, bitmap_limits(), &source);
    if (!why.empty())
        return why;
    BITMAP *b = create_bitmap_ex(8, source->w, 2 * source->h);
    if (!b)
        return "not enough memory";
    for (int y = 0; y < source->h; y++) {
        CodeRows rows;
        why = source->rows(y, 1, &rows);
        if (!why.empty()) {
            destroy_bitmap(b);
            return why;
        }
        memcpy(b->line[2 * y], rows.low, source->w);
        memcpy(b->line[2 * y + 1], rows.high, source->w);
    }
    *out = b;
    return "";
}

// The carrier in `carrier` (w x 2h) into the file, as gfx16conv writes it.
static std::string save_carrier(const char *name, BITMAP *carrier)
{
    OutputFile out;
    std::unique_ptr<CarrierSink> sink;
    CodeSpace room;
    const int w = carrier->w, h = carrier->h / 2;
    std::string why = out.prepare(name, false);
    if (why.empty())
        why = out.open();
    if (why.empty())
        why = carrier_sink(carrier_format_for(name), out, w, h, &sink);
    if (why.empty())
        why = sink->room(0, h, &room);
    if (!why.empty())
        return why;
    for (int y = 0; y < h; y++) {
        memcpy(room.low + y * room.stride, carrier->line[2 * y], w);
        memcpy(room.high + y * room.stride, carrier->line[2 * y + 1], w);
    }
    why = sink->put();
    if (why.empty())
        why = sink->finish();
    if (why.empty())
        why = out.commit();
    return why;
}

static int run(const char *file, bool too_many)
{
    const char *program = mode == 0 ? "gfx16-encode" : "gfx16";
    std::string name;
    Viewer viewer;

    if (allegro_init() != 0) {
        fprintf(stderr, "gfx16: cannot start Allegro (no display?)\n");
        return 1;
    }
    handle_output_signals();
    install_keyboard();
    set_color_depth(32);
    if (set_gfx_mode(GFX_AUTODETECT, GFX16_SCREEN_W, GFX16_SCREEN_H, 0, 0) != 0) {
        set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
        fprintf(stderr, "gfx16: Unable to set any graphic mode\n%s\n", allegro_error);
        allegro_message("Unable to set any graphic mode\n%s\n", allegro_error);
        return 1;
    }
    clear_bitmap(screen);
    if (too_many)
        return fail(std::string("usage: ") + program + (mode == 0 ? " [PICTURE]" : " [CARRIER]"));

    if (mode == 0) {
        name = file ? file : GFX16_INPUT_NAME;
        // The carrier's name is fixed: it must not be the picture's.
        struct stat in_st, out_st;
        if (stat(name.c_str(), &in_st) == 0 && stat(GFX16_CARRIER_NAME, &out_st) == 0 &&
            in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino)
            return fail(std::string(GFX16_CARRIER_NAME) + " is the input " + name + ": refusing to overwrite it");
        std::string why = load_source(name.c_str(), &bmp);
        if (!why.empty())
            return fail("Cannot load the picture " + name + ": " + why);
        bmp2 = create_bitmap_ex(8, bmp->w, 2 * bmp->h);
        if (!bmp2)
            return fail("Not enough memory for the carrier of " + name);
        clear_bitmap(bmp2);
        viewer_start(viewer, program, name, 2, bmp->w, bmp->h);
        // The encoder overwrites the picture with its preview: the picture
        // is kept for the right-hand pane.
        viewer_add(viewer, 1, bmp, true);
        blit(bmp, screen, 0, 0, bmp->w, 0, bmp->w, bmp->h);
        recolour_gfx();
        why = save_carrier(GFX16_CARRIER_NAME, bmp2);
        if (!why.empty())
            return fail(std::string("Cannot save ") + GFX16_CARRIER_NAME + ": " + why);
        viewer_add(viewer, 0, bmp, false);
    }
    if (mode == 1) {
        name = file ? file : GFX16_CARRIER_NAME;
        std::string why = load_carrier(name.c_str(), &bmp);
        if (breaks_carrier_rule(why))
            return fail(name + " is " + why);
        if (!why.empty())
            return fail("Cannot load the carrier " + name + ": " + why);
        bmp2 = create_bitmap_ex(32, bmp->w, bmp->h / 2);
        if (!bmp2)
            return fail("Not enough memory for the picture of " + name);
        clear_bitmap(bmp2);
        viewer_start(viewer, program, name, 1, bmp2->w, bmp2->h);
        convert_gfx();
        viewer_add(viewer, 0, bmp2, false);
    }

    viewer_run(viewer);
    return 0;
}

// gfx16-encode [PICTURE], gfx16 [CARRIER]: without a name, the fixed one.
int main(int argc, char *argv[])
{
    hold_standard_descriptors();
    try {
        return run(argc > 1 ? argv[1] : nullptr, argc > 2);
    } catch (const std::bad_alloc &) {
        return fail("Not enough memory");
    }
}
END_OF_MAIN()
