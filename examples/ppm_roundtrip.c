/* Encodes a picture with the gfx16 codec and decodes it again: the carrier
   a file would hold, and the picture anyone's decoder shows from it.

     ppm_roundtrip IN.ppm OUT.ppm [--best]

   IN.ppm and OUT.ppm are binary PPM (P6, 8 bits a channel), a format simple
   enough to read here in a few lines; in a real program the pixels come from
   whatever reads your pictures. Build:

     cc ppm_roundtrip.c $(pkg-config --cflags --libs gfx16)
   or with CMake: find_package(gfx16) and link gfx16::codec. */
#include <gfx16/codec.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s IN.ppm OUT.ppm [--best]\n", argv[0]);
        return 2;
    }
    FILE *in = fopen(argv[1], "rb");
    int w, h, max;
    if (!in || fscanf(in, "P6 %d %d %d", &w, &h, &max) != 3 || max != 255 || w < 1 || h < 1 ||
        w > 32768 || h > 32768 || fgetc(in) == EOF) {
        fprintf(stderr, "%s: not an 8-bit binary PPM\n", argv[1]);
        return 1;
    }
    size_t pixels = (size_t)w * h;
    unsigned char *rgb = malloc(pixels * 3), *carrier = malloc(pixels * 2), *decoded = malloc(pixels * 3);
    if (!rgb || !carrier || !decoded || fread(rgb, 3, pixels, in) != pixels) {
        fprintf(stderr, "%s: cut short, or not enough memory\n", argv[1]);
        return 1;
    }
    fclose(in);

    /* The carrier: w bytes a row, 2h rows (low bytes, then high bytes, of
       each picture row's codes). Store it as an 8-bit picture to keep it. */
    int best = argc > 3 && !strcmp(argv[3], "--best");
    if ((best ? gfx16_encode_best : gfx16_encode)(rgb, w, h, carrier, NULL) != 0 ||
        gfx16_decode(carrier, w, 2 * h, decoded) != 0) {
        fprintf(stderr, "the codec refused the picture\n");
        return 1;
    }

    double error = 0;
    for (size_t i = 0; i < pixels * 3; i++)
        error += (double)(rgb[i] - decoded[i]) * (rgb[i] - decoded[i]);
    printf("%d x %d: %zu bytes of codes, mean squared error %.2f a channel\n", w, h, pixels * 2,
           error / (pixels * 3.0));

    FILE *out = fopen(argv[2], "wb");
    if (!out || fprintf(out, "P6\n%d %d\n255\n", w, h) < 0 || fwrite(decoded, 3, pixels, out) != pixels ||
        fclose(out) != 0) {
        fprintf(stderr, "%s: cannot write it\n", argv[2]);
        return 1;
    }
    free(rgb), free(carrier), free(decoded);
    return 0;
}
