/* The codec library, as a program of its users sees it (compiled against
   the installed package), against reference results from an independent
   implementation of the format (tests/golden): the colour of every code, and
   the carriers and previews of two pictures that hold every 24-bit colour.

     codec_golden GOLDEN_DIR OUT_DIR

   Checks what it can itself and writes the raw bytes whose SHA-256 digests
   tests/codec_golden.sh compares with GOLDEN_DIR/SHA256SUMS.txt, and prints
   the version it finds. Prints a line for each failure; exits with 1 if
   there was any. */
#include <gfx16/codec.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { SIDE = 4096 };

static int failures;

static void fail(const char *what)
{
    printf("FAIL: %s\n", what);
    failures++;
}

static unsigned char *take(size_t size)
{
    unsigned char *p = malloc(size);
    if (!p) {
        printf("out of memory\n");
        exit(1);
    }
    return p;
}

static void save(const char *dir, const char *name, const unsigned char *data, size_t size)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) {
        printf("cannot write %s\n", path);
        exit(1);
    }
}

/* Picture E: every colour once, in order. Picture S: every colour once, at
   scattered places (an odd multiplier makes the map a permutation). */
static void every_colour(unsigned char *rgb, int shuffled)
{
    for (unsigned y = 0; y < SIDE; y++)
        for (unsigned x = 0; x < SIDE; x++) {
            unsigned char *p = rgb + 3 * ((size_t)y * SIDE + x);
            if (shuffled) {
                unsigned c = (unsigned)(((unsigned long long)(SIDE * y + x) * 2654435761u) & 0xffffff);
                p[0] = c >> 16, p[1] = c >> 8 & 255, p[2] = c & 255;
            } else {
                p[0] = x % 256, p[1] = y % 256, p[2] = x / 256 + 16 * (y / 256);
            }
        }
}

/* The same encoding through the row calls, as a streaming converter makes
   it: BMP-like rows (blue first, padded, bottom row first in memory) in
   slices of an odd number of rows, on `threads` threads. */
static void encode_by_rows(const unsigned char *rgb, int w, int h, int threads, unsigned char *carrier,
                           unsigned char *preview)
{
    const size_t stride = ((size_t)w * 3 + 3) & ~(size_t)3;
    unsigned char *bmp = take(stride * h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const unsigned char *p = rgb + 3 * ((size_t)y * w + x);
            unsigned char *q = bmp + stride * (h - 1 - y) + 3 * x;
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
        }
    gfx16_set_threads(threads);
    for (int first = 0; first < h; first += 77) {
        int rows = h - first < 77 ? h - first : 77;
        const unsigned char *row = bmp + stride * (h - 1 - first);
        unsigned char *low = carrier + (size_t)2 * first * w;
        if (gfx16_encode_rows(row, -(ptrdiff_t)stride, &gfx16_bgr, w, first, rows, low, low + w, 2 * (ptrdiff_t)w,
                              preview + (size_t)3 * first * w, 3 * (ptrdiff_t)w, &gfx16_rgb) != 0)
            fail("gfx16_encode_rows refused its arguments");
    }
    gfx16_set_threads(0);
    free(bmp);
}

static void check_picture(const char *out_dir, int shuffled)
{
    const size_t pixels = (size_t)SIDE * SIDE;
    const char *name = shuffled ? "shuffled" : "every-colour";
    unsigned char *rgb = take(3 * pixels), *carrier = take(2 * pixels), *preview = take(3 * pixels);
    unsigned char *carrier2 = take(2 * pixels), *preview2 = take(3 * pixels);
    char file[64];

    every_colour(rgb, shuffled);
    if (gfx16_encode(rgb, SIDE, SIDE, carrier, preview) != 0)
        fail("gfx16_encode refused a valid picture");
    snprintf(file, sizeof file, "%s.carrier", name);
    save(out_dir, file, carrier, 2 * pixels);
    snprintf(file, sizeof file, "%s.preview", name);
    save(out_dir, file, preview, 3 * pixels);

    for (int threads = 1; threads <= 3; threads += 2) {
        memset(carrier2, 0, 2 * pixels);
        encode_by_rows(rgb, SIDE, SIDE, threads, carrier2, preview2);
        if (memcmp(carrier, carrier2, 2 * pixels) || memcmp(preview, preview2, 3 * pixels))
            fail(threads == 1 ? "rows of BMP layout on one thread encode otherwise"
                              : "rows of BMP layout on three threads encode otherwise");
    }

    /* Without a preview, the same codes. */
    memset(carrier2, 0, 2 * pixels);
    gfx16_encode(rgb, SIDE, SIDE, carrier2, NULL);
    if (memcmp(carrier, carrier2, 2 * pixels))
        fail("the carrier depends on whether a preview is asked for");

    /* The decoded carrier is the colours of its codes. */
    gfx16_decode(carrier, SIDE, 2 * SIDE, preview2);
    for (size_t i = 0; i < pixels; i += 997) {
        size_t x = i % SIDE, y = i / SIDE;
        unsigned code = carrier[2 * y * SIDE + x] | carrier[(2 * y + 1) * SIDE + x] << 8;
        unsigned char colour[3];
        gfx16_decode_code(code, colour);
        if (memcmp(colour, preview2 + 3 * i, 3)) {
            fail("gfx16_decode and gfx16_decode_code disagree");
            break;
        }
    }
    free(rgb), free(carrier), free(preview), free(carrier2), free(preview2);
}

static void check_codes(const char *golden_dir, const char *out_dir)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/decoded-codes.rgb", golden_dir);
    FILE *f = fopen(path, "rb");
    unsigned char *want = take(65536 * 3), got[3];
    if (!f || fread(want, 1, 65536 * 3, f) != 65536 * 3) {
        printf("cannot read %s\n", path);
        exit(1);
    }
    fclose(f);
    int wrong = 0;
    for (unsigned code = 0; code < 65536; code++) {
        gfx16_decode_code(code, got);
        if (memcmp(got, want + 3 * code, 3) && wrong++ < 5)
            printf("code %u decodes to %d %d %d, expected %d %d %d\n", code, got[0], got[1], got[2],
                   want[3 * code], want[3 * code + 1], want[3 * code + 2]);
    }
    if (wrong)
        fail("codes decode to other colours than the reference");

    /* The 256 x 512 carrier in which picture pixel (x, y) holds code 256y + x. */
    unsigned char *carrier = take(256 * 512), *rgb = take(256 * 256 * 3);
    for (int y = 0; y < 256; y++)
        for (int x = 0; x < 256; x++) {
            carrier[2 * y * 256 + x] = (unsigned char)x;
            carrier[(2 * y + 1) * 256 + x] = (unsigned char)y;
        }
    if (gfx16_decode(carrier, 256, 512, rgb) != 0)
        fail("gfx16_decode refused a valid carrier");
    save(out_dir, "all-codes.decoded", rgb, 256 * 256 * 3);
    free(want), free(carrier), free(rgb);
}

/* Calls from several threads at once, the very first calls of the process
   among them, each on its own picture: the tables are built once, and
   every thread gets the codes and colours it gets alone. */
enum { THREADS = 6, SMALL = 300 };

struct Job {
    unsigned char rgb[SMALL * SMALL * 3], carrier[SMALL * SMALL * 2], preview[SMALL * SMALL * 3];
    unsigned char decoded[SMALL * SMALL * 3];
    int best, status;
};

static void *encode_job(void *arg)
{
    struct Job *j = arg;
    j->status = (j->best ? gfx16_encode_best : gfx16_encode)(j->rgb, SMALL, SMALL, j->carrier, j->preview) |
                gfx16_decode(j->carrier, SMALL, 2 * SMALL, j->decoded);
    return NULL;
}

static void check_threads_at_once(void)
{
    static struct Job jobs[THREADS], alone;
    pthread_t threads[THREADS];
    int started[THREADS];
    for (int t = 0; t < THREADS; t++) {
        for (size_t i = 0; i < sizeof jobs[t].rgb; i++)
            jobs[t].rgb[i] = (unsigned char)((i * (7 + 2 * t)) ^ (i >> 9));
        jobs[t].best = t % 2;
    }
    for (int t = 0; t < THREADS; t++)
        started[t] = pthread_create(&threads[t], NULL, encode_job, &jobs[t]) == 0;
    for (int t = 0; t < THREADS; t++) {
        if (started[t])
            pthread_join(threads[t], NULL);
        else
            fail("cannot start a thread for the test");
    }
    for (int t = 0; t < THREADS; t++) {
        memcpy(alone.rgb, jobs[t].rgb, sizeof alone.rgb);
        alone.best = jobs[t].best;
        encode_job(&alone);
        if (jobs[t].status || alone.status || memcmp(jobs[t].carrier, alone.carrier, sizeof alone.carrier) ||
            memcmp(jobs[t].preview, alone.preview, sizeof alone.preview) ||
            memcmp(jobs[t].decoded, alone.decoded, sizeof alone.decoded))
            fail("calls from several threads at once give other results than alone");
    }
}

/* The version this program was built with is the library's, and its parts
   make up its string; the script compares it with the package's. */
static void check_version(void)
{
    char parts[64];
    snprintf(parts, sizeof parts, "%d.%d.%d", GFX16_VERSION_MAJOR, GFX16_VERSION_MINOR, GFX16_VERSION_PATCH);
    if (strcmp(gfx16_version(), GFX16_VERSION_STRING) || strcmp(parts, GFX16_VERSION_STRING))
        fail("gfx16_version, GFX16_VERSION_STRING and the parts of the version disagree");
    printf("version %s\n", gfx16_version());
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: codec_golden GOLDEN_DIR OUT_DIR\n");
        return 2;
    }
    check_threads_at_once();  /* first: the tables are not built yet */
    check_version();
    check_codes(argv[1], argv[2]);
    check_picture(argv[2], 0);
    check_picture(argv[2], 1);
    printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
