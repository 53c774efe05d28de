/* Encodes a picture with the gfx16 codec into a carrier file, reads the
   file back and decodes it: what gfx16conv encode and decode do, in a few
   dozen lines of a program of your own.

     ppm_roundtrip IN.ppm CARRIER.bmp OUT.ppm [--best]

   IN.ppm and OUT.ppm are binary PPM (P6, 8 bits a channel), a format simple
   enough to read here in a few lines; in a real program the pixels come from
   whatever reads your pictures. CARRIER.bmp is the file that gfx16conv and
   the desktop program read (name it output.bmp for the desktop program).
   Build:

     cc ppm_roundtrip.c $(pkg-config --cflags --libs gfx16)
   or with CMake: find_package(gfx16) and link gfx16::codec. */
#include <gfx16/codec.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void write_to_file(void *context, const void *data, size_t size)
{
    fwrite(data, 1, size, (FILE *)context);
}

static int fail(const char *what, int code)
{
    fprintf(stderr, "%s: %s\n", what, gfx16_strerror(code));
    return 1;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s IN.ppm CARRIER.bmp OUT.ppm [--best]   (libgfx16 %s)\n", argv[0],
                gfx16_version());
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    int w, h, max;
    if (!in || fscanf(in, "P6 %d %d %d", &w, &h, &max) != 3 || max != 255 || fgetc(in) == EOF ||
        !gfx16_picture_bytes(w, h)) {
        fprintf(stderr, "%s: not an 8-bit binary PPM\n", argv[1]);
        return 1;
    }
    unsigned char *rgb = malloc(gfx16_picture_bytes(w, h)), *carrier = malloc(gfx16_carrier_bytes(w, h));
    if (!rgb || !carrier || fread(rgb, 1, gfx16_picture_bytes(w, h), in) != gfx16_picture_bytes(w, h)) {
        fprintf(stderr, "%s: cut short, or not enough memory\n", argv[1]);
        return 1;
    }
    fclose(in);

    /* The carrier: w bytes a row, 2h rows (low bytes, then high bytes, of
       each picture row's codes), kept as an 8-bit BMP. */
    int best = argc > 4 && !strcmp(argv[4], "--best");
    int status = (best ? gfx16_encode_best : gfx16_encode)(rgb, w, h, carrier, NULL);
    if (status != GFX16_OK)
        return fail("encoding", status);
    FILE *out = fopen(argv[2], "wb");
    status = out ? gfx16_carrier_to_bmp(carrier, w, 2 * h, write_to_file, out) : GFX16_OK;
    if (status != GFX16_OK)  /* larger than a carrier file may be */
        return fail(argv[2], status);
    if (!out || ferror(out) | fclose(out)) {
        fprintf(stderr, "%s: cannot write it\n", argv[2]);
        return 1;
    }
    free(carrier);

    /* Back from the file: its bytes, then the carrier's size (asked with no
       room for it), then the carrier. */
    FILE *file = fopen(argv[2], "rb");
    long size = file && fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
    unsigned char *bytes = size > 0 ? malloc(size) : NULL;
    if (!bytes || fseek(file, 0, SEEK_SET) != 0 || fread(bytes, 1, size, file) != (size_t)size) {
        fprintf(stderr, "%s: cannot read it back\n", argv[2]);
        return 1;
    }
    fclose(file);
    int carrier_w, carrier_h;
    status = gfx16_carrier_from_bmp(bytes, size, NULL, 0, &carrier_w, &carrier_h);
    if (status != GFX16_EINVAL)
        return fail(argv[2], status);
    carrier = malloc((size_t)carrier_w * carrier_h);
    status = gfx16_carrier_from_bmp(bytes, size, carrier, carrier ? (size_t)carrier_w * carrier_h : 0, &carrier_w,
                                    &carrier_h);
    if (status != GFX16_OK)
        return fail(argv[2], status);
    free(bytes);
    const size_t decoded_size = gfx16_picture_bytes(carrier_w, carrier_h / 2);
    unsigned char *decoded = malloc(decoded_size);
    status = decoded ? gfx16_decode(carrier, carrier_w, carrier_h, decoded) : GFX16_ENOMEM;
    if (status != GFX16_OK)
        return fail("decoding", status);

    out = fopen(argv[3], "wb");
    if (!out || fprintf(out, "P6\n%d %d\n255\n", carrier_w, carrier_h / 2) < 0 ||
        fwrite(decoded, 1, decoded_size, out) != decoded_size || fclose(out) != 0) {
        fprintf(stderr, "%s: cannot write it\n", argv[3]);
        return 1;
    }
    printf("%d x %d: %s, %zu bytes of codes\n", w, h, argv[2], gfx16_carrier_bytes(w, h));
    free(rgb), free(carrier), free(decoded);
    return 0;
}
