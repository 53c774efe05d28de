#include "programs/gfx16/gfx16.h"

#include <allegro.h>

#include <sys/stat.h>

#include <climits>
#include <ctime>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

// The file layer's first: GCC's -Wshadow takes FileFormat::bmp, declared
// after the global bmp, for a shadow of it.
#include "files/input.h"
#include "files/load.h"
#include "files/signals.h"
#include "files/write.h"
#include "programs/gfx16/bitmap_codec.h"
#include "programs/gfx16/viewer.h"

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

// A bitmap's rows as items: a picture's pixels in Allegro's colour layout,
// or a carrier's two rows of codes an item.
static Rows bitmap_rows(BITMAP *b, int rows_per_item)
{
    return {b->line[0], bitmap_stride(b) * rows_per_item, bitmap_stride(b), allegro_layout()};
}

// The source picture into a 32-bit bitmap (one row an item), or the
// carrier into an 8-bit one (two).
static Error load_bitmap(const char *name, int rows_per_item, BITMAP **out)
{
    Input in;
    std::unique_ptr<RowSource> source;
    Error e = open_input(name, &in);
    if (!e)
        e = rows_per_item == 1 ? open_picture(in, bitmap_limits(), &source) : open_carrier(in, bitmap_limits(), &source);
    if (e)
        return e;
    BITMAP *b = create_bitmap_ex(rows_per_item == 1 ? 32 : 8, source->w, rows_per_item * source->h);
    if (!b)
        return unreadable("not enough memory");
    // A row at a time, so that the file's rows are never held whole beside
    // the bitmap.
    const Rows to = bitmap_rows(b, rows_per_item);
    for (int y = 0; y < source->h; y++) {
        Rows rows;
        if ((e = source->rows(y, 1, &rows))) {
            destroy_bitmap(b);
            return e;
        }
        copy_items(rows, Rows{to.first + y * to.step, to.step, to.high, to.layout}, source->w, 1, rows_per_item);
    }
    *out = b;
    return Error();
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
    if (set_gfx_mode(GFX_AUTODETECT, GFX16_SCREEN_W, GFX16_SCREEN_H, 0, 0) != 0)
        return fail(std::string("Unable to set any graphic mode\n") + allegro_error);
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
        Error e = load_bitmap(name.c_str(), 1, &bmp);
        if (e)
            return fail("Cannot load the picture " + name + ": " + e.text());
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
        e = write_file(GFX16_CARRIER_NAME, false, carrier_format_for(GFX16_CARRIER_NAME), true, bmp2->w,
                       bmp2->h / 2, bitmap_rows(bmp2, 2));
        if (e)
            return fail(std::string("Cannot save ") + GFX16_CARRIER_NAME + ": " + e.text());
        viewer_add(viewer, 0, bmp, false);
    }
    if (mode == 1) {
        name = file ? file : GFX16_CARRIER_NAME;
        Error e = load_bitmap(name.c_str(), 2, &bmp);
        if (e.kind == Error::not_a_carrier)
            return fail(name + " is not a carrier: " + e.detail);
        if (e)
            return fail("Cannot load the carrier " + name + ": " + e.text());
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
