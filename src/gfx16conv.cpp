// gfx16conv: the packed HSV codec from the command line, with no display.
//
//   gfx16conv encode INPUT CARRIER [PREVIEW]
//   gfx16conv decode CARRIER OUTPUT
//
// The same library set-up and codec as the two modes of gfx16, so a carrier
// written here is byte for byte the output.bmp of gfx16-encode, and a decoded
// picture is what gfx16 shows.
#include <allegro.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <thread>

#include "bmpread.h"
#include "codec.h"
#include "savefile.h"

#ifndef GFX16_VERSION
#define GFX16_VERSION "unknown"
#endif

static const char usage[] =
    "usage: gfx16conv encode INPUT CARRIER [PREVIEW]\n"
    "       gfx16conv decode CARRIER OUTPUT\n"
    "       gfx16conv --help | --version\n";

static const char help[] =
    "Converts pictures to and from gfx16 carriers, without a display.\n"
    "\n"
    "  encode INPUT CARRIER [PREVIEW]  encode the picture INPUT (a BMP) into the\n"
    "                                  8-bit BMP carrier CARRIER; PREVIEW, if given,\n"
    "                                  receives the preview of the encoded picture\n"
    "  decode CARRIER OUTPUT           rebuild the picture held in CARRIER\n"
    "\n"
    "PREVIEW and OUTPUT are written as BMP, TGA or PCX, by their extension.\n"
    "Every file is written under a temporary name and renamed when complete.\n"
    "Exit status: 0 done, 1 error, 2 bad usage.\n";

static int error(const char *file, const char *what)
{
    fprintf(stderr, "gfx16conv: %s: %s\n", file, what);
    return 1;
}

static const char *extension(const char *path)
{
    const char *dot = strrchr(path, '.');
    return dot && !strchr(dot, '/') ? dot : "";
}

// The formats the library writes, chosen by extension as save_bitmap does.
static bool writable_format(const char *path)
{
    const char *ext = extension(path);
    return !strcasecmp(ext, ".bmp") || !strcasecmp(ext, ".tga") || !strcasecmp(ext, ".pcx");
}

static image_saver saver_for(const char *path)
{
    return strcasecmp(extension(path), ".bmp") ? NULL : save_bmp_quickly;
}

static int save(const char *path, BITMAP *image, const RGB *pal, image_saver saver)
{
    // The library's TGA writer keeps the unused top byte of a 32-bit pixel
    // as alpha, and ours is 0: fully transparent. A 24-bit copy has none.
    BITMAP *opaque = NULL;
    if (!strcasecmp(extension(path), ".tga") && bitmap_color_depth(image) == 32) {
        opaque = create_bitmap_ex(24, image->w, image->h);
        if (!opaque)
            return error(path, "not enough memory to write it");
        blit(image, opaque, 0, 0, 0, 0, image->w, image->h);
        image = opaque;
    }
    int failed = save_bitmap_atomic(path, image, pal, saver) != 0;
    int saved_errno = errno;
    if (opaque)
        destroy_bitmap(opaque);
    if (failed)
        return error(path, saved_errno ? strerror(saved_errno) : "cannot write the file");
    return 0;
}

static int encode(const char *input, const char *carrier_name, const char *preview_name)
{
    if (preview_name && !writable_format(preview_name))
        return error(preview_name, "unknown picture format (use .bmp, .tga or .pcx)");

    // The second core builds the encoder's tables while this one reads.
    std::thread prepare(prepare_encoder);
    set_color_conversion(COLORCONV_TOTAL);
    BITMAP *picture = load_picture(input, NULL);
    prepare.join();
    if (!picture)
        return error(input, with_load_reason("cannot load the picture"));
    // Not cleared: the encoder writes every byte of it.
    BITMAP *carrier = create_bitmap_ex(8, picture->w, 2 * picture->h);
    if (!carrier)
        return error(input, "not enough memory for its carrier");
    if (encode_picture(picture, carrier) != 0)
        return error(input, "not a 32-bit picture after loading");

    // gfx16-encode saves with the current palette, which opening its screen
    // set to the library's default palette; without a screen it would be all
    // black. The carrier's palette means nothing, but the files should be the
    // same to the byte.
    if (save(carrier_name, carrier, default_palette, save_bmp_quickly))
        return 1;
    if (preview_name && save(preview_name, picture, NULL, saver_for(preview_name)))
        return 1;
    return 0;
}

static int decode(const char *carrier_name, const char *output)
{
    if (!writable_format(output))
        return error(output, "unknown picture format (use .bmp, .tga or .pcx)");

    set_color_conversion(COLORCONV_NONE);
    set_color_depth(8);
    BITMAP *carrier = load_picture(carrier_name, NULL);
    if (!carrier)
        return error(carrier_name, with_load_reason("cannot load the carrier"));
    if (bitmap_color_depth(carrier) != 8 || carrier->h < 2)
        return error(carrier_name, "not a carrier: it must be an 8-bit picture of 2 rows or more");
    BITMAP *picture = create_bitmap_ex(32, carrier->w, carrier->h / 2);
    if (!picture)
        return error(carrier_name, "not enough memory for its picture");
    set_color_depth(32);
    decode_picture(carrier, picture);
    return save(output, picture, NULL, saver_for(output));
}

int main(int argc, char **argv)
{
    if (argc == 2 && !strcmp(argv[1], "--help")) {
        printf("%s\n%s", usage, help);
        return 0;
    }
    if (argc == 2 && !strcmp(argv[1], "--version")) {
        printf("gfx16conv %s\n", GFX16_VERSION);
        return 0;
    }
    bool is_encode = argc >= 2 && !strcmp(argv[1], "encode") && (argc == 4 || argc == 5);
    bool is_decode = argc >= 2 && !strcmp(argv[1], "decode") && argc == 4;
    if (!is_encode && !is_decode) {
        fputs(usage, stderr);
        return 2;
    }

    // No system driver: no display, no keyboard, no screen.
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
        fprintf(stderr, "gfx16conv: cannot start Allegro: %s\n", allegro_error);
        return 1;
    }
    set_color_depth(32);
    if (is_encode)
        return encode(argv[2], argv[3], argc == 5 ? argv[4] : NULL);
    return decode(argv[2], argv[3]);
}
END_OF_MAIN()
