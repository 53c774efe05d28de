#include "gfx16.h"

#include <allegro.h>

#include <cstdio>

#include "bmpread.h"
#include "codec.h"
#include "savefile.h"

static const int mode = GFX16_MODE;

// Leaves graphics mode and says what went wrong, on stderr for scripts and
// in the library's message box for the desktop; the caller exits with 1.
static int fail(const char *format, const char *name)
{
    set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
    fprintf(stderr, "gfx16: ");
    fprintf(stderr, format, name);
    allegro_message(format, name);
    return 1;
}

int main(void)
{
    char name[256];

    if (allegro_init() != 0) {
        fprintf(stderr, "gfx16: cannot start Allegro (no display?)\n");
        return 1;
    }
    install_keyboard();
    set_color_depth(32);
    if (set_gfx_mode(GFX_AUTODETECT, GFX16_SCREEN_W, GFX16_SCREEN_H, 0, 0) != 0) {
        set_gfx_mode(GFX_TEXT, 0, 0, 0, 0);
        fprintf(stderr, "gfx16: Unable to set any graphic mode\n%s\n", allegro_error);
        allegro_message("Unable to set any graphic mode\n%s\n", allegro_error);
        return 1;
    }
    clear_bitmap(screen);

    if (mode == 0) {
        snprintf(name, sizeof name, "%s", GFX16_INPUT_NAME);
        set_color_conversion(COLORCONV_TOTAL);
        bmp = load_picture(name, NULL);
        if (!bmp)
            return fail("Cannot load the picture %s\n", with_load_reason(name));
        bmp2 = create_bitmap_ex(8, bmp->w, 2 * bmp->h);
        if (!bmp2)
            return fail("Not enough memory for the carrier of %s\n", name);
        clear_bitmap(bmp2);
        blit(bmp, screen, 0, 0, bmp->w, 0, bmp->w, bmp->h);
        recolour_gfx();
        if (save_bitmap_atomic(GFX16_CARRIER_NAME, bmp2, NULL, save_bmp_quickly) != 0)
            return fail("Cannot save %s\n", GFX16_CARRIER_NAME);
    }
    if (mode == 1) {
        snprintf(name, sizeof name, "%s", GFX16_CARRIER_NAME);
        set_color_conversion(COLORCONV_NONE);
        set_color_depth(8);
        bmp = load_picture(name, NULL);
        if (!bmp)
            return fail("Cannot load the carrier %s\n", with_load_reason(name));
        if (bitmap_color_depth(bmp) != 8 || bmp->h < 2)
            return fail("%s is not a carrier: it must be an 8-bit picture of 2 rows or more\n", name);
        bmp2 = create_bitmap_ex(32, bmp->w, bmp->h / 2);
        if (!bmp2)
            return fail("Not enough memory for the picture of %s\n", name);
        clear_bitmap(bmp2);
        set_color_depth(32);
        convert_gfx();
    }

    while (!key[KEY_SPACE]) {
    }
    return 0;
}
END_OF_MAIN()
