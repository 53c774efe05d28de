// gfx16bench: the speed of the codec's cores beside the QOI reference codec
// and a plain memcpy, on generated photo-like pictures.
//
//   gfx16bench [--sizes 512,2048,4096] [--runs N]
//   gfx16bench --profile encode|decode [--size N] [--cold]
//   gfx16bench --write-bmp PATH [--size N]
//
// --profile runs one call of a core for callgrind (run it with
// --instr-atstart=no): the tables are built by an untraced warm-up call first
// unless --cold is given. --write-bmp writes the generated picture as a
// 24-bit BMP, for timing whole programs on it.
#include <malloc.h>
#include <time.h>
// The profile's start and stop marks; without valgrind's header the
// profile is of the whole run.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qoi.h"

#include "gfx16/codec.h"

#ifndef GFX16BENCH_BUILD
#define GFX16BENCH_BUILD "unknown build flags"
#endif

namespace {

// ---- Generated picture ------------------------------------------------------

// splitmix64: a fixed seed gives the same picture on every machine.
struct Rng {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double uniform() { return (double)(next() >> 11) * (1.0 / 9007199254740992.0); }
    double range(double lo, double hi) { return lo + (hi - lo) * uniform(); }
};

const uint64_t picture_seed = 1;
const int shape_count = 60;
const int noise_amplitude = 3;
const char picture_description[] =
    "photo-like: two-way colour gradients, 60 shaded ellipses and rectangles with soft edges, "
    "noise +-3 per channel (+-1 of it per channel alone), seed 1";

struct Picture {
    int w, h;
    std::vector<uint8_t> rgb;  // packed R, G, B
};

struct Colour {
    double r, g, b;
};

Colour random_colour(Rng &rng)
{
    return {rng.range(0, 255), rng.range(0, 255), rng.range(0, 255)};
}

Colour mix(const Colour &a, const Colour &b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// Shapes are laid out in fractions of the picture, so every size shows the
// same scene and only the detail per pixel changes.
Picture make_picture(int w, int h)
{
    Rng rng{picture_seed};
    std::vector<double> plane((size_t)w * h * 3);
    Colour corner[4];
    for (Colour &c : corner)
        c = random_colour(rng);
    for (int y = 0; y < h; y++) {
        double v = (y + 0.5) / h;
        Colour left = mix(corner[0], corner[2], v), right = mix(corner[1], corner[3], v);
        for (int x = 0; x < w; x++) {
            Colour c = mix(left, right, (x + 0.5) / w);
            double *p = &plane[((size_t)y * w + x) * 3];
            p[0] = c.r; p[1] = c.g; p[2] = c.b;
        }
    }

    const double scale = std::min(w, h);
    for (int i = 0; i < shape_count; i++) {
        bool ellipse = rng.uniform() < 0.6;
        double cx = rng.range(0, 1) * w, cy = rng.range(0, 1) * h;
        double rx = rng.range(0.02, 0.25) * scale, ry = rng.range(0.02, 0.25) * scale;
        Colour a = random_colour(rng), b = random_colour(rng);
        double angle = rng.range(0, 2 * M_PI), dx = std::cos(angle), dy = std::sin(angle);
        double shade = rng.range(0, 0.6);     // darkening towards the rim
        double edge = rng.range(0.7, 3.0);    // soft edge, in pixels
        int x0 = std::max(0, (int)(cx - rx - edge)), x1 = std::min(w - 1, (int)(cx + rx + edge));
        int y0 = std::max(0, (int)(cy - ry - edge)), y1 = std::min(h - 1, (int)(cy + ry + edge));
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++) {
                double u = (x + 0.5 - cx) / rx, v = (y + 0.5 - cy) / ry;
                // Distance beyond the outline, in pixels, and how far in (0..1).
                double outside, depth;
                if (ellipse) {
                    double d = std::sqrt(u * u + v * v);
                    outside = (d - 1) * std::min(rx, ry);
                    depth = std::min(d, 1.0);
                } else {
                    outside = std::max(std::fabs(u) - 1, std::fabs(v) - 1) * std::min(rx, ry);
                    depth = std::min(std::max(std::fabs(u), std::fabs(v)), 1.0);
                }
                double alpha = std::clamp(0.5 - outside / edge, 0.0, 1.0);
                if (alpha <= 0)
                    continue;
                Colour c = mix(a, b, std::clamp(0.5 + 0.5 * (u * dx + v * dy), 0.0, 1.0));
                double light = 1 - shade * depth * depth;
                double *p = &plane[((size_t)y * w + x) * 3];
                p[0] += (c.r * light - p[0]) * alpha;
                p[1] += (c.g * light - p[1]) * alpha;
                p[2] += (c.b * light - p[2]) * alpha;
            }
    }

    // Sensor-like noise: mostly shared by the three channels, a little of
    // each channel alone.
    Picture pic{w, h, std::vector<uint8_t>((size_t)w * h * 3)};
    const int shared = noise_amplitude - 1;
    for (size_t i = 0; i < (size_t)w * h; i++) {
        uint64_t bits = rng.next();
        int common = (int)(bits % (2 * shared + 1)) - shared;
        for (int c = 0; c < 3; c++) {
            int own = (int)((bits >> (16 + 8 * c)) % 3) - 1;
            long value = std::lround(plane[i * 3 + c]) + common + own;
            pic.rgb[i * 3 + c] = (uint8_t)std::clamp(value, 0L, 255L);
        }
    }
    return pic;
}

// A 24-bit uncompressed BMP (BITMAPINFOHEADER), bottom-up rows padded to 4
// bytes, as every BMP reader takes it.
bool write_bmp24(const char *path, const Picture &pic)
{
    auto le = [](std::vector<uint8_t> &out, uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            out.push_back((uint8_t)(v >> (8 * i)));
    };
    uint32_t stride = ((uint32_t)pic.w * 3 + 3) & ~3u;
    uint32_t data_size = stride * (uint32_t)pic.h;
    std::vector<uint8_t> head;
    head.push_back('B');
    head.push_back('M');
    le(head, 54 + data_size, 4);
    le(head, 0, 4);
    le(head, 54, 4);
    le(head, 40, 4);
    le(head, (uint32_t)pic.w, 4);
    le(head, (uint32_t)pic.h, 4);
    le(head, 1, 2);
    le(head, 24, 2);
    le(head, 0, 4);           // BI_RGB
    le(head, data_size, 4);
    le(head, 2835, 4);        // 72 dpi
    le(head, 2835, 4);
    le(head, 0, 4);
    le(head, 0, 4);

    std::ofstream out(path, std::ios::binary);
    out.write((const char *)head.data(), (std::streamsize)head.size());
    std::vector<uint8_t> row(stride, 0);
    for (int y = pic.h - 1; y >= 0; y--) {
        const uint8_t *src = &pic.rgb[(size_t)y * pic.w * 3];
        for (int x = 0; x < pic.w; x++) {
            row[3 * x] = src[3 * x + 2];
            row[3 * x + 1] = src[3 * x + 1];
            row[3 * x + 2] = src[3 * x];
        }
        out.write((const char *)row.data(), stride);
    }
    out.close();
    return !out.fail();
}

// ---- Timing -----------------------------------------------------------------

struct Sample {
    double wall_ms, cpu_ms;
};

double cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Times `run` alone; `prepare` runs before each call, outside the clock.
template <class Prepare, class Run>
Sample time_once(Prepare prepare, Run run)
{
    prepare();
    double cpu0 = cpu_seconds();
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto t1 = std::chrono::steady_clock::now();
    double cpu1 = cpu_seconds();
    return {std::chrono::duration<double, std::milli>(t1 - t0).count(), (cpu1 - cpu0) * 1e3};
}

template <class Prepare, class Run>
Sample median_of(int runs, Prepare prepare, Run run)
{
    std::vector<double> wall, cpu;
    for (int i = 0; i < runs; i++) {
        Sample s = time_once(prepare, run);
        wall.push_back(s.wall_ms);
        cpu.push_back(s.cpu_ms);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    return {wall[runs / 2], cpu[runs / 2]};
}

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "gfx16bench: %s\n", what);
    exit(1);
}

// ---- The table ----------------------------------------------------------------

struct SizeResult {
    int size;
    int runs;
    Sample codes_one, codes_all, preview_all, decode_one, decode_all, qoi_encode, qoi_decode, copy;
    double qoi_share;  // QOI file size / raw RGB size
};

const double decode_target = 4.0, encode_target = 1.8;

// The buffers one size needs.
struct Images {
    Picture pic;
    std::vector<uint8_t> carrier, preview, decoded;
    explicit Images(int size)
        : pic(make_picture(size, size)), carrier((size_t)size * size * 2), preview((size_t)size * size * 3),
          decoded((size_t)size * size * 3)
    {
    }
    int encode(bool with_preview)
    {
        return gfx16_encode(pic.rgb.data(), pic.w, pic.h, carrier.data(), with_preview ? preview.data() : nullptr);
    }
    int decode() { return gfx16_decode(carrier.data(), pic.w, 2 * pic.h, decoded.data()); }
};

// Runs `run` on `threads` threads (0: all the codec wants).
template <class Run>
Sample on_threads(int threads, int runs, Run run)
{
    gfx16_set_threads(threads);
    Sample s = median_of(runs, [] {}, run);
    gfx16_set_threads(0);
    return s;
}

SizeResult bench_size(int size, int runs)
{
    Images images(size);
    const Picture &pic = images.pic;
    const size_t pixels = (size_t)size * size;
    SizeResult res{};
    res.size = size;
    res.runs = runs;

    auto codes = [&] {
        if (images.encode(false) != 0)
            fail("gfx16_encode refused the picture");
    };
    res.codes_one = on_threads(1, runs, codes);
    std::vector<uint8_t> one_thread = images.carrier;
    res.codes_all = on_threads(0, runs, codes);
    // The rows are shared out among threads: the carrier must not depend on
    // how.
    if (images.carrier != one_thread)
        fail("gfx16_encode gave different carriers on one thread and on all");
    res.preview_all = on_threads(0, runs, [&] { images.encode(true); });
    res.decode_one = on_threads(1, runs, [&] { images.decode(); });
    res.decode_all = on_threads(0, runs, [&] {
        if (images.decode() != 0)
            fail("gfx16_decode refused the carrier");
    });

    // QOI, from the packed RGB picture, decoding to RGBA.
    qoi_desc desc{(unsigned)size, (unsigned)size, 3, QOI_SRGB};
    void *qoi_data = nullptr;
    int qoi_size = 0;
    res.qoi_encode = median_of(
        runs,
        [&] {
            free(qoi_data);
            qoi_data = nullptr;
        },
        [&] { qoi_data = qoi_encode(pic.rgb.data(), &desc, &qoi_size); });
    if (!qoi_data)
        fail("qoi_encode failed");
    res.qoi_share = (double)qoi_size / (double)(pixels * 3);

    void *rgba = nullptr;
    qoi_desc out_desc;
    res.qoi_decode = median_of(
        runs,
        [&] {
            free(rgba);
            rgba = nullptr;
        },
        [&] { rgba = qoi_decode(qoi_data, qoi_size, &out_desc, 4); });
    if (!rgba)
        fail("qoi_decode failed");
    for (size_t i = 0; i < pixels; i++)
        if (memcmp((uint8_t *)rgba + 4 * i, &pic.rgb[3 * i], 3) != 0)
            fail("QOI did not give the picture back");

    // memcpy of the decoded bytes: what the memory alone allows.
    std::vector<uint8_t> copy(pixels * 3);
    res.copy = median_of(runs, [] {}, [&] { memcpy(copy.data(), images.decoded.data(), pixels * 3); });
    if (copy != images.decoded)
        fail("memcpy did not copy");

    free(qoi_data);
    free(rgba);
    return res;
}

std::string cpu_model()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    return "unknown CPU";
}

void print_row(const char *what, const Sample &s, size_t pixels)
{
    printf("  %-30s %10.2f %10.2f %10.1f\n", what, s.wall_ms, s.cpu_ms, pixels / (s.wall_ms * 1e-3) / 1e6);
}

int run_table(const std::vector<int> &sizes, int runs_override)
{
    printf("gfx16bench: the codec's cores beside QOI and memcpy\n");
    printf("machine:  %s, %u logical cores\n", cpu_model().c_str(), std::thread::hardware_concurrency());
    // Other work on the machine shows in the figures; say how busy it was.
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    printf("load:     %s (1, 5, 15 minute load averages before the run)\n",
           load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1)).c_str());
    printf("compiler: %s %s, %s\n",
#ifdef __clang__
           "clang",
#else
           "GCC",
#endif
           __VERSION__, GFX16BENCH_BUILD);
#ifndef __OPTIMIZE__
    printf("WARNING: not an optimised build; the figures mean nothing\n");
#endif
    printf("picture:  %s\n", picture_description);
    printf("QOI:      encodes packed RGB (channels 3), decodes to RGBA, on one thread\n");
    printf("gfx16:    RGB in and out; on one thread, or on all (its rows shared out)\n");
    printf("figures:  median of the runs; CPU ms is the time of all threads\n\n");

    // The tables are built once per process, by the first call.
    {
        Images images(512);
        Sample first = time_once([] {}, [&] { images.encode(true); });
        Sample steady = median_of(7, [] {}, [&] { images.encode(true); });
        printf("first call (builds the codec's tables): gfx16_encode 512x512 %.2f ms; steady state %.2f ms\n\n",
               first.wall_ms, steady.wall_ms);
    }

    std::vector<SizeResult> results;
    printf("  %-30s %10s %10s %10s\n", "", "ms", "CPU ms", "Mpx/s");
    for (int size : sizes) {
        int runs = runs_override > 0 ? runs_override : size >= 4096 ? 5 : 7;
        SizeResult r = bench_size(size, runs);
        size_t pixels = (size_t)size * size;
        printf("%dx%d, %d runs (QOI file: %.0f%% of raw RGB)\n", size, size, runs, 100 * r.qoi_share);
        print_row("gfx16 encode, codes, 1 thread", r.codes_one, pixels);
        print_row("gfx16 encode, codes", r.codes_all, pixels);
        print_row("gfx16 encode with preview", r.preview_all, pixels);
        print_row("QOI encode", r.qoi_encode, pixels);
        print_row("gfx16 decode, 1 thread", r.decode_one, pixels);
        print_row("gfx16 decode", r.decode_all, pixels);
        print_row("QOI decode", r.qoi_decode, pixels);
        print_row("memcpy of the decoded picture", r.copy, pixels);
        fflush(stdout);
        results.push_back(r);
    }

    printf("\nratios of pixel rates on one thread each (targets apply to 4096x4096):\n");
    printf("  %-10s %18s %8s %18s %8s\n", "size", "decode gfx16/QOI", "", "encode gfx16/QOI", "");
    for (const SizeResult &r : results) {
        double dec = r.qoi_decode.wall_ms / r.decode_one.wall_ms;
        double enc = r.qoi_encode.wall_ms / r.codes_one.wall_ms;
        char size[32];
        snprintf(size, sizeof size, "%dx%d", r.size, r.size);
        bool target = r.size == 4096;
        printf("  %-10s %17.2fx %8s %17.2fx %8s\n", size, dec, !target ? "" : dec >= decode_target ? "PASS" : "MISS",
               enc, !target ? "" : enc >= encode_target ? "PASS" : "MISS");
    }
    printf("  targets: decode >= %.1fx, encode (codes only) >= %.1fx\n", decode_target, encode_target);
    return 0;
}

// One call of a core under callgrind, on one thread. The warm-up call
// builds the tables and faults the buffers in, untraced, unless `cold`.
int run_profile(const std::string &core, int size, bool cold)
{
    Images images(size);
    gfx16_set_threads(1);
    if (core == "encode") {
        if (!cold)
            images.encode(false);
        CALLGRIND_START_INSTRUMENTATION;
        images.encode(false);
        CALLGRIND_STOP_INSTRUMENTATION;
    } else if (core == "decode") {
        images.encode(false);
        if (!cold)
            images.decode();
        CALLGRIND_START_INSTRUMENTATION;
        images.decode();
        CALLGRIND_STOP_INSTRUMENTATION;
    } else {
        fail("--profile takes encode or decode");
    }
    printf("gfx16bench: %s %dx%d%s done\n", core.c_str(), size, size, cold ? " (cold)" : "");
    return 0;
}

const char usage[] =
    "usage: gfx16bench [--sizes 512,2048,4096] [--runs N]\n"
    "       gfx16bench --profile encode|decode [--size N] [--cold]\n"
    "       gfx16bench --write-bmp PATH [--size N]\n";

int parse_size(const char *text)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*end || v < 2 || v > 32768) {
        fputs(usage, stderr);
        exit(2);
    }
    return (int)v;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<int> sizes = {512, 2048, 4096};
    int runs = 0, size = 0;
    bool cold = false;
    std::string profile, bmp_path;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--sizes" && has_value) {
            sizes.clear();
            std::string list = argv[++i];
            for (size_t pos = 0; pos <= list.size();) {
                size_t comma = list.find(',', pos);
                if (comma == std::string::npos)
                    comma = list.size();
                sizes.push_back(parse_size(list.substr(pos, comma - pos).c_str()));
                pos = comma + 1;
            }
        } else if (arg == "--runs" && has_value) {
            runs = parse_size(argv[++i]);
        } else if (arg == "--size" && has_value) {
            size = parse_size(argv[++i]);
        } else if (arg == "--profile" && has_value) {
            profile = argv[++i];
        } else if (arg == "--cold") {
            cold = true;
        } else if (arg == "--write-bmp" && has_value) {
            bmp_path = argv[++i];
        } else {
            fputs(usage, stderr);
            return 2;
        }
    }

    if (!bmp_path.empty()) {
        if (!write_bmp24(bmp_path.c_str(), make_picture(size ? size : 4096, size ? size : 4096)))
            fail(("cannot write " + bmp_path).c_str());
        return 0;
    }

    // Freed blocks stay with the process: QOI's big output buffers are then
    // reused from run to run instead of being mapped and faulted in afresh,
    // as the codec's buffers are.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT32_MAX);

    if (!profile.empty())
        return run_profile(profile, size ? size : 512, cold);
    return run_table(sizes, runs);
}
