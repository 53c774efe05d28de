// nearest_bench: the speed and memory of the nearest codes (the "--best"
// encoder: read from the library's table, or searched for when
// GFX16_NEAREST is "search") beside the format's own encoder, and the error
// diffusion experiment: PSNR and banding of nearest codes, dithered codes
// and the format's encoder on smooth gradients and on the photo-like picture.
//
//   nearest_bench [--runs N]
//
// The photo-like pictures are gfx16bench's (--write-bmp), read back through
// the project's BMP reader. Every timing of the search runs in a process of
// its own (fork), since its lists and answers, once made, stay for the
// process: each run pays for them as a program encoding one picture does.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "codec/tables.h"
#include "files/input.h"
#include "files/load.h"
#include "codec/nearest.h"

#ifndef GFX16BENCH_PATH
#define GFX16BENCH_PATH "gfx16bench"
#endif

namespace {

struct BenchPicture {
    const char *name;
    int w, h;
    std::vector<uint8_t> rgb;  // R, G, B a pixel, rows top to bottom
};

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "nearest_bench: %s\n", what);
    exit(1);
}

// ---- Pictures ---------------------------------------------------------------

BenchPicture photo(int size)
{
    char path[] = "/tmp/nearest_bench.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        fail("cannot make a temporary file");
    close(fd);
    std::string command = std::string(GFX16BENCH_PATH) + " --write-bmp " + path + " --size " + std::to_string(size);
    fflush(stdout);
    if (system(command.c_str()) != 0)
        fail("gfx16bench --write-bmp failed");
    Input in;
    std::unique_ptr<RowSource> source;
    Picture whole;
    if (open_input(path, &in) || open_picture(in, PictureLimits(), &source) || hold_picture(&source, &whole))
        fail("cannot read gfx16bench's picture");
    unlink(path);
    return BenchPicture{"photo-like", whole.w, whole.h, std::move(whole.rgb)};
}

// hsv: h in degrees, s and v 0..1; channels 0..255, rounded.
void hsv_pixel(double h, double s, double v, uint8_t *p)
{
    double c = v * s, hp = std::fmod(h, 360.0) / 60.0, x = c * (1 - std::fabs(std::fmod(hp, 2.0) - 1));
    double rgb[3] = {0, 0, 0};
    int sector = (int)hp;
    const int order[6][3] = {{0, 1, 2}, {1, 0, 2}, {1, 2, 0}, {2, 1, 0}, {2, 0, 1}, {0, 2, 1}};
    rgb[order[sector][0]] = c;
    rgb[order[sector][1]] = x;
    for (int i = 0; i < 3; i++)
        p[i] = (uint8_t)std::lround(255.0 * (rgb[i] + v - c));
}

// Smooth pictures, 1024 wide, where nearest codes may show bands.
BenchPicture hue_ramp()
{
    // Hue across, once round the circle; value from 1 down to 0.4.
    BenchPicture pic{"hue ramp", 1024, 256, std::vector<uint8_t>(1024 * 256 * 3)};
    for (int y = 0; y < pic.h; y++)
        for (int x = 0; x < pic.w; x++)
            hsv_pixel(360.0 * (x + 0.5) / pic.w, 0.55, 1.0 - 0.6 * (y + 0.5) / pic.h, &pic.rgb[3 * (y * pic.w + x)]);
    return pic;
}

BenchPicture sky()
{
    // A pale sky: light blue to white across, a little darker downwards.
    BenchPicture pic{"sky", 1024, 256, std::vector<uint8_t>(1024 * 256 * 3)};
    const double from[3] = {110, 160, 225}, to[3] = {235, 240, 250};
    for (int y = 0; y < pic.h; y++)
        for (int x = 0; x < pic.w; x++) {
            double t = (x + 0.5) / pic.w, shade = 1.0 - 0.15 * (y + 0.5) / pic.h;
            for (int c = 0; c < 3; c++)
                pic.rgb[3 * (y * pic.w + x) + c] = (uint8_t)std::lround((from[c] + (to[c] - from[c]) * t) * shade);
        }
    return pic;
}

BenchPicture dusk()
{
    // Dark and slow: deep violet to dark orange, value 0.1 to 0.3.
    BenchPicture pic{"dusk", 1024, 256, std::vector<uint8_t>(1024 * 256 * 3)};
    for (int y = 0; y < pic.h; y++)
        for (int x = 0; x < pic.w; x++)
            hsv_pixel(270.0 + 100.0 * (x + 0.5) / pic.w, 0.7, 0.1 + 0.2 * (y + 0.5) / pic.h,
                      &pic.rgb[3 * (y * pic.w + x)]);
    return pic;
}

// ---- Timing in a process of its own -------------------------------------------

double seconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

long resident_kib()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

struct Run {
    double wall_ms, cpu_ms, second_wall_ms;  // second: the same call again
    long memory_kib;                         // resident memory it added
};

enum Search { NEAREST, DITHERED };

int run_search(Search search, const BenchPicture &pic, uint16_t *codes)
{
    if (search == DITHERED)
        return dithered_codes(pic.rgb.data(), pic.w, pic.h, codes);
    return nearest_codes(pic.rgb.data(), (size_t)pic.w * pic.h, codes);
}

// A search over `pic` in a child process, from nothing.
Run fresh_run(Search search, const BenchPicture &pic)
{
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe failed");
    pid_t child = fork();
    if (child < 0)
        fail("fork failed");
    if (child == 0) {
        std::vector<uint16_t> codes((size_t)pic.w * pic.h, 1);  // touched before the clock
        long before = resident_kib();
        double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        int status = run_search(search, pic, codes.data());
        double wall1 = seconds(CLOCK_MONOTONIC), cpu1 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        Run r{(wall1 - wall0) * 1e3, (cpu1 - cpu0) * 1e3, 0, resident_kib() - before};
        run_search(search, pic, codes.data());
        r.second_wall_ms = (seconds(CLOCK_MONOTONIC) - wall1) * 1e3;
        if (status != 0 || write(fds[1], &r, sizeof r) != (ssize_t)sizeof r)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Run r;
    ssize_t got = read(fds[0], &r, sizeof r);
    close(fds[0]);
    int status;
    waitpid(child, &status, 0);
    if (got != (ssize_t)sizeof r || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("the search failed in its process");
    return r;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The format's own encoder core on a picture, codes only, its tables
// already built.
struct FormatEncoder {
    const BenchPicture &pic;
    std::vector<uint8_t> carrier;
    explicit FormatEncoder(const BenchPicture &picture) : pic(picture), carrier((size_t)pic.w * 2 * pic.h)
    {
        prepare_encoder();
    }
    double time_ms()
    {
        double t0 = seconds(CLOCK_MONOTONIC);
        gfx16_encode(pic.rgb.data(), pic.w, pic.h, carrier.data(), nullptr);
        return (seconds(CLOCK_MONOTONIC) - t0) * 1e3;
    }
};

// Medians of `runs` fresh runs, printed; returns that of the first call's
// wall time. With `beside`, the format's encoder runs after each run, so
// that both see the machine as busy as it was, and its median is printed.
double time_search(Search search, const BenchPicture &pic, int runs, FormatEncoder *beside = NULL)
{
    std::vector<double> wall, cpu, second, memory, format;
    for (int i = 0; i < runs; i++) {
        Run r = fresh_run(search, pic);
        wall.push_back(r.wall_ms);
        cpu.push_back(r.cpu_ms);
        second.push_back(r.second_wall_ms);
        memory.push_back(r.memory_kib / 1024.0);
        if (beside)
            format.push_back(beside->time_ms());
    }
    printf("  %-8s %4dx%-4d  first call %7.1f ms (CPU %7.1f ms), again %7.1f ms, memory +%5.1f MiB\n",
           search == DITHERED ? "dithered" : "nearest", pic.w, pic.h, median(wall), median(cpu), median(second),
           median(memory));
    if (beside)
        printf("  the format's encoder core on it, tables built: %.1f ms; the first call takes %.2f times that\n",
               median(format), median(wall) / median(format));
    fflush(stdout);
    return median(wall);
}

// ---- Quality ------------------------------------------------------------------

// The codes the format's own encoder chooses.
std::vector<uint16_t> format_codes(const BenchPicture &pic)
{
    std::vector<uint8_t> carrier((size_t)pic.w * 2 * pic.h);
    gfx16_encode(pic.rgb.data(), pic.w, pic.h, carrier.data(), nullptr);
    std::vector<uint16_t> codes((size_t)pic.w * pic.h);
    for (int y = 0; y < pic.h; y++)
        for (int x = 0; x < pic.w; x++)
            codes[(size_t)y * pic.w + x] = join_code(carrier[(size_t)2 * y * pic.w + x], carrier[(size_t)(2 * y + 1) * pic.w + x]);
    return codes;
}

std::vector<float> decoded(const std::vector<uint16_t> &codes)
{
    std::vector<float> out(codes.size() * 3);
    for (size_t i = 0; i < codes.size(); i++) {
        uint8_t rgb[3];
        decode_code(codes[i], rgb);
        for (int c = 0; c < 3; c++)
            out[3 * i + c] = rgb[c];
    }
    return out;
}

// Gaussian blur, sigma 2 (radius 6), edges repeated; rows, then columns.
std::vector<float> blurred(const std::vector<float> &in, int w, int h)
{
    const int radius = 6;
    float kernel[2 * radius + 1], sum = 0;
    for (int i = -radius; i <= radius; i++)
        sum += kernel[i + radius] = (float)std::exp(-i * i / 8.0);
    for (float &k : kernel)
        k /= sum;
    std::vector<float> across(in.size()), out(in.size());
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) {
                float acc = 0;
                for (int i = -radius; i <= radius; i++)
                    acc += kernel[i + radius] * in[3 * ((size_t)y * w + std::clamp(x + i, 0, w - 1)) + c];
                across[3 * ((size_t)y * w + x) + c] = acc;
            }
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++) {
                float acc = 0;
                for (int i = -radius; i <= radius; i++)
                    acc += kernel[i + radius] * across[3 * ((size_t)std::clamp(y + i, 0, h - 1) * w + x) + c];
                out[3 * ((size_t)y * w + x) + c] = acc;
            }
    return out;
}

// The channel difference that 99% of channels keep within: after the blur,
// the height of the bands over most of the picture (the largest would be
// that of a few pixels at the edges).
double band_height(const std::vector<float> &a, const std::vector<float> &b)
{
    std::vector<float> differences(a.size());
    for (size_t i = 0; i < a.size(); i++)
        differences[i] = std::fabs(a[i] - b[i]);
    size_t at = differences.size() * 99 / 100;
    std::nth_element(differences.begin(), differences.begin() + at, differences.end());
    return differences[at];
}

double psnr(const std::vector<float> &a, const std::vector<float> &b)
{
    double squares = 0;
    for (size_t i = 0; i < a.size(); i++)
        squares += (double)(a[i] - b[i]) * (a[i] - b[i]);
    double mse = squares / a.size();
    return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : INFINITY;
}

void compare_quality(const BenchPicture &pic)
{
    std::vector<float> source(pic.rgb.begin(), pic.rgb.end());
    std::vector<float> source_blurred = blurred(source, pic.w, pic.h);
    std::vector<uint16_t> nearest(source.size() / 3), dithered(source.size() / 3);
    if (nearest_codes(pic.rgb.data(), nearest.size(), nearest.data()) != 0 ||
        dithered_codes(pic.rgb.data(), pic.w, pic.h, dithered.data()) != 0)
        fail("not enough memory for the search");
    const struct {
        const char *name;
        std::vector<uint16_t> codes;
    } encoders[] = {{"format's encoder", format_codes(pic)}, {"nearest", nearest}, {"dithered", dithered}};
    for (const auto &e : encoders) {
        std::vector<float> out = decoded(e.codes), out_blurred = blurred(out, pic.w, pic.h);
        printf("  %-11s %-17s %7.2f dB %13.2f dB %11.2f\n", pic.name, e.name, psnr(source, out),
               psnr(source_blurred, out_blurred), band_height(source_blurred, out_blurred));
    }
}

} // namespace

int main(int argc, char **argv)
{
    int runs = 5;
    if (argc == 3 && !strcmp(argv[1], "--runs") && atoi(argv[2]) > 0) {
        runs = atoi(argv[2]);
    } else if (argc != 1) {
        fputs("usage: nearest_bench [--runs N]\n", stderr);
        return 2;
    }
    std::string load;
    std::getline(std::ifstream("/proc/loadavg"), load);
    load = load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    printf("nearest_bench: exact nearest codes (\"--best\"), %u cores, load %s\n",
           std::thread::hardware_concurrency(), load.c_str());
#ifndef __OPTIMIZE__
    printf("WARNING: not an optimised build; the figures mean nothing\n");
#endif
    BenchPicture big = photo(4096), small = photo(256);
    printf("\nsearch on gfx16bench's photo-like pictures, each run in a fresh process, median of %d:\n", runs);
    time_search(NEAREST, small, runs);
    {
        FormatEncoder format(big);
        time_search(NEAREST, big, runs, &format);
    }
    printf("  targets: 256x256 from nothing, a few tens of ms; 4096x4096, about 100 ms on 2 cores and\n"
           "  1.4 times the format's encoder core (about 70 ms)\n");

    // The every-colour picture reaches every cell and every answer: the
    // most memory the search can take.
    BenchPicture every{"every colour", 4096, 4096, std::vector<uint8_t>((size_t)3 << 24)};
    for (size_t p = 0; p < ((size_t)1 << 24); p++) {
        size_t x = p % 4096, y = p / 4096;
        every.rgb[3 * p] = (uint8_t)(x % 256);
        every.rgb[3 * p + 1] = (uint8_t)(y % 256);
        every.rgb[3 * p + 2] = (uint8_t)(x / 256 + 16 * (y / 256));
    }
    printf("  every colour once, the most memory the search takes (target 64 MiB):\n");
    time_search(NEAREST, every, 1);
    printf("  error diffusion runs on one core:\n");
    time_search(DITHERED, big, std::min(runs, 3));

    printf("\nerror diffusion: PSNR; then, after a Gaussian blur of sigma 2 of both pictures (the\n"
           "low-frequency error that shows as bands), PSNR and the difference 99%% of channels keep within\n");
    printf("  %-11s %-17s %10s %16s %11s\n", "picture", "codes", "PSNR", "blurred PSNR", "bands");
    BenchPicture smooth[] = {hue_ramp(), sky(), dusk()};
    for (const BenchPicture &pic : smooth)
        compare_quality(pic);
    compare_quality(big);
    return 0;
}
