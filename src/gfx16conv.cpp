// gfx16conv: the packed HSV codec from the command line, with no display.
//
//   gfx16conv encode [OPTIONS] INPUT CARRIER [PREVIEW]
//   gfx16conv decode [OPTIONS] CARRIER OUTPUT
//   gfx16conv encode|decode [OPTIONS] --out-dir DIR FILE...
//   gfx16conv info FILE...
//   gfx16conv compare [--diff OUT] A B
//
// It loads and saves through the same steps as the two modes of gfx16, so
// a carrier written here is byte for byte the output.bmp of gfx16-encode,
// and a decoded picture is what gfx16 shows.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "convert.h"
#include "gfx16/codec.h"
#include "input.h"
#include "load.h"
#include "metrics.h"
#include "nearest.h"
#include "output.h"
#include "save.h"

#ifndef GFX16_VERSION
#define GFX16_VERSION "unknown"
#endif

namespace {

const char usage[] =
    "usage: gfx16conv encode [OPTIONS] INPUT CARRIER [PREVIEW]\n"
    "       gfx16conv decode [OPTIONS] CARRIER OUTPUT\n"
    "       gfx16conv encode|decode [OPTIONS] --out-dir DIR FILE...\n"
    "       gfx16conv info FILE...\n"
    "       gfx16conv compare [--diff OUT] A B\n"
    "       gfx16conv -h | --help | --version\n";

const char help[] =
    "Converts pictures to and from gfx16 carriers, without a display.\n"
    "\n"
    "  encode INPUT CARRIER [PREVIEW]  encode the picture INPUT into CARRIER;\n"
    "                                  PREVIEW, if given, receives the encoded\n"
    "                                  picture as it will look\n"
    "  decode CARRIER OUTPUT           rebuild the picture held in CARRIER\n"
    "  info FILE...                    size and format of each file, and whether\n"
    "                                  it can be a carrier\n"
    "  compare A B                     PSNR (dB), SSIM and mean CIEDE2000 of two\n"
    "                                  pictures of the same size, a line each\n"
    "\n"
    "Pictures are read by their content: BMP, PNG, JPEG, WebP, TGA and PCX. A\n"
    "carrier is written as an 8-bit PNG when its name ends in .png, else as an\n"
    "8-bit BMP; other pictures by their extension: .bmp, .png, .tga or .pcx.\n"
    "\"-\" is standard input or output (a BMP).\n"
    "\n"
    "Options:\n"
    "  --best            encode: choose for every pixel the code that decodes\n"
    "                    nearest to it, instead of the format's dithered encoder\n"
    "  --dither          with --best: carry each pixel's error on to its\n"
    "                    neighbours (no bands in smooth gradients, a little\n"
    "                    noise; the picture is held whole)\n"
    "  --stats           encode: also print PSNR, SSIM and CIEDE2000 of the\n"
    "                    picture against its decoded carrier\n"
    "  --diff OUT        compare: write a picture of where A and B differ\n"
    "  --out-dir DIR     convert every FILE into DIR: encode writes\n"
    "                    NAME.carrier.bmp (NAME.carrier.png with --png, and\n"
    "                    NAME.preview.bmp with --preview); decode writes\n"
    "                    NAME.decoded.bmp (.png with --png), NAME being the\n"
    "                    file's name without its extension and, for decode,\n"
    "                    without a \".carrier\" before it\n"
    "  --png             with --out-dir: write PNG instead of BMP\n"
    "  --preview         with --out-dir, encode: write the previews too\n"
    "  --jobs N          with --out-dir: files converted at once (default: one\n"
    "                    a core); one failed file does not stop the others\n"
    "  --max-pixels N    refuse pictures of more than N pixels (default\n"
    "                    134217728, i.e. 128 Mi; 0 for none but 32768 a side)\n"
    "  --force           replace outputs that are write-protected\n"
    "  -q, --quiet       print nothing but errors\n"
    "\n"
    "Outputs are written under a temporary name and renamed only when every\n"
    "output of the call is complete; a failed call leaves no file behind and\n"
    "changes none. Exit status: 0 done, 1 an error (with --out-dir: any file\n"
    "failed), 2 bad usage.\n";

const uint64_t default_max_pixels = 128ull << 20;

struct Options {
    bool best = false, dither = false, stats = false, force = false, quiet = false, png = false, preview = false;
    const char *out_dir = nullptr, *diff = nullptr;
    unsigned jobs = 0;
    PictureLimits limits;
};

std::mutex print_lock;

// One line on stderr naming the file.
int error(const std::string &file, const std::string &what)
{
    std::lock_guard<std::mutex> hold(print_lock);
    fprintf(stderr, "gfx16conv: %s: %s\n", file.c_str(), what.c_str());
    return 1;
}

Encoder encoder_of(const Options &o)
{
    return o.dither ? Encoder::dithered : o.best ? Encoder::best : Encoder::format;
}

// An output checked before anything is read or written.
bool prepare_output(OutputFile &out, const char *name, const Options &o)
{
    std::string why = out.prepare(name, o.force);
    if (!why.empty())
        error(name, why + (out.write_protected() ? " (--force replaces it)" : ""));
    return why.empty();
}

bool same_file(bool a_exists, dev_t a_dev, ino_t a_ino, bool b_exists, dev_t b_dev, ino_t b_ino)
{
    return a_exists && b_exists && a_dev == b_dev && a_ino == b_ino;
}

// No output may be an input or the other output, under any name.
bool distinct(const Input &in, OutputFile &a, OutputFile *b)
{
    for (OutputFile *out : {&a, b}) {
        if (out && same_file(true, in.dev, in.ino, out->exists(), out->dev(), out->ino()))
            return !error(out->name(), "is the input " + in.name + ": refusing to overwrite it");
    }
    if (b && (same_file(a.exists(), a.dev(), a.ino(), b->exists(), b->dev(), b->ino()) ||
              (!a.exists() && !b->exists() && a.name() != "-" && a.where() == b->where())))
        return !error(b->name(), "is the other output too");
    return true;
}

// Commits both outputs of a call once both are complete: all or nothing.
int commit(OutputFile &a, OutputFile *b)
{
    OutputFile *outputs[] = {&a, b};
    const OutputFile *failed;
    std::string why = commit_outputs(outputs, 2, &failed);
    return why.empty() ? 0 : error(failed->name(), why);
}

std::string open_output(OutputFile &out)
{
    std::string why = out.open();
    return why.empty() ? "" : out.name() + ": " + why;
}

// ---- Encoding and decoding one file ----------------------------------------

std::string read_picture(const char *name, const Options &o, Picture *out);
void print_quality(const Picture &a, const Picture &b, const char *indent);

int encode_file(const char *input, const char *carrier_name, const char *preview_name, const Options &o)
{
    FileFormat preview_format = FileFormat::bmp;
    if (preview_name && !picture_format_for(preview_name, &preview_format))
        return error(preview_name, "unknown picture format (use .bmp, .png, .tga or .pcx)");
    // The search's tables are built on another core while the files are
    // opened and the first rows read.
    std::thread prepare;
    if (o.best) {
        try {
            prepare = std::thread(prepare_nearest);
        } catch (...) {
        }
    }
    struct Join {
        std::thread &t;
        ~Join()
        {
            if (t.joinable())
                t.join();
        }
    } join_prepare{prepare};
    Input in;
    OutputFile carrier, preview;
    std::string why = open_input(input, &in);
    if (!why.empty())
        return error(input, "cannot load the picture: " + why);
    if (!prepare_output(carrier, carrier_name, o) || (preview_name && !prepare_output(preview, preview_name, o)))
        return 1;
    if (!distinct(in, carrier, preview_name ? &preview : nullptr))
        return 1;

    std::unique_ptr<PictureSource> source;
    why = open_picture(in, o.limits, &source);
    if (!why.empty())
        return error(input, "cannot load the picture: " + why);
    std::unique_ptr<CarrierSink> codes;
    std::unique_ptr<PictureSink> shown;
    why = open_output(carrier);
    if (why.empty() && preview_name)
        why = open_output(preview);
    if (why.empty()) {
        why = carrier_sink(carrier_format_for(carrier_name), carrier, source->w, source->h, &codes);
        if (!why.empty())
            why = std::string(carrier_name) + ": " + why;
    }
    if (why.empty() && preview_name) {
        why = picture_sink(preview_format, preview, source->w, source->h, &shown);
        if (!why.empty())
            why = std::string(preview_name) + ": " + why;
    }
    if (why.empty()) {
        source->name = input;
        codes->name = carrier_name;
        if (shown)
            shown->name = preview_name;
        why = encode_stream(*source, *codes, shown.get(), encoder_of(o));
    }
    if (!why.empty()) {
        std::lock_guard<std::mutex> hold(print_lock);
        fprintf(stderr, "gfx16conv: %s\n", why.c_str());
        return 1;
    }
    if (commit(carrier, preview_name ? &preview : nullptr))
        return 1;
    if (o.stats) {
        // Computed again, from the picture as read: the codec gives the same
        // codes every time.
        Picture picture, decoded;
        why = read_picture(input, o, &picture);
        if (!why.empty())
            return error(input, why);
        std::vector<uint8_t> codes_again((size_t)picture.w * 2 * picture.h);
        decoded = picture;
        Encoder e = encoder_of(o);
        (e == Encoder::dithered ? gfx16_encode_dithered : e == Encoder::best ? gfx16_encode_best : gfx16_encode)(
            picture.rgb.data(), picture.w, picture.h, codes_again.data(), nullptr);
        gfx16_decode(codes_again.data(), picture.w, 2 * picture.h, decoded.rgb.data());
        print_quality(picture, decoded, "");
    }
    return 0;
}

int decode_file(const char *carrier_name, const char *output, const Options &o)
{
    FileFormat format;
    if (!picture_format_for(output, &format))
        return error(output, "unknown picture format (use .bmp, .png, .tga or .pcx)");
    Input in;
    OutputFile out;
    std::string why = open_input(carrier_name, &in);
    if (!why.empty())
        return error(carrier_name, "cannot load the carrier: " + why);
    if (!prepare_output(out, output, o) || !distinct(in, out, nullptr))
        return 1;

    std::unique_ptr<CarrierSource> source;
    why = open_carrier(in, o.limits, &source);
    if (!why.empty())
        return error(carrier_name, breaks_carrier_rule(why) ? why : "cannot load the carrier: " + why);
    std::unique_ptr<PictureSink> picture;
    why = open_output(out);
    if (why.empty()) {
        why = picture_sink(format, out, source->w, source->h, &picture);
        if (!why.empty())
            why = std::string(output) + ": " + why;
    }
    if (why.empty()) {
        source->name = carrier_name;
        picture->name = output;
        why = decode_stream(*source, *picture);
    }
    if (!why.empty()) {
        std::lock_guard<std::mutex> hold(print_lock);
        fprintf(stderr, "gfx16conv: %s\n", why.c_str());
        return 1;
    }
    return commit(out, nullptr);
}

// ---- Several files ----------------------------------------------------------

std::string base_name(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string without_extension(const std::string &name)
{
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

int convert_files(bool encode, const std::vector<const char *> &files, const Options &o)
{
    struct stat st;
    if (stat(o.out_dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return error(o.out_dir, "not a folder");
    const std::string dir = std::string(o.out_dir) + (o.out_dir[strlen(o.out_dir) - 1] == '/' ? "" : "/");
    const char *ext = o.png ? ".png" : ".bmp";

    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = std::min<unsigned>(jobs, (unsigned)files.size());
    // The cores go to the files; each file's codec then works on its own.
    if (jobs > 1)
        gfx16_set_threads(1);
    std::atomic<size_t> next{0};
    std::atomic<int> failed{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < files.size();) {
            std::string name = without_extension(base_name(files[i]));
            std::string out, preview;
            int status;
            try {
                if (encode) {
                    out = dir + name + ".carrier" + ext;
                    preview = dir + name + ".preview" + ext;
                    status = encode_file(files[i], out.c_str(), o.preview ? preview.c_str() : nullptr, o);
                } else {
                    if (name.size() > 8 && name.compare(name.size() - 8, 8, ".carrier") == 0)
                        name.resize(name.size() - 8);
                    out = dir + name + ".decoded" + ext;
                    status = decode_file(files[i], out.c_str(), o);
                }
            } catch (const std::bad_alloc &) {
                status = error(files[i], "not enough memory");
            }
            if (status)
                failed++;
            else if (!o.quiet) {
                std::lock_guard<std::mutex> hold(print_lock);
                printf("%s -> %s\n", files[i], out.c_str());
            }
        }
    };
    // A worker that cannot even report a failure (no memory for its words)
    // ends; the others go on with the rest.
    auto worker_to_the_end = [&] {
        try {
            worker();
        } catch (...) {
            failed++;
            fputs("gfx16conv: not enough memory\n", stderr);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned j = 1; j < jobs; j++) {
        try {
            pool.emplace_back(worker_to_the_end);
        } catch (...) {
            break;  // fewer helpers; this thread does the rest
        }
    }
    worker_to_the_end();
    for (std::thread &t : pool)
        t.join();
    if (failed && !o.quiet)
        fprintf(stderr, "gfx16conv: %d of %zu files failed\n", failed.load(), files.size());
    return failed ? 1 : 0;
}

// ---- info and compare ---------------------------------------------------------

// The whole picture in a file, as RGB.
std::string read_picture(const char *name, const Options &o, Picture *out)
{
    Input in;
    std::unique_ptr<PictureSource> source;
    std::string why = open_input(name, &in);
    if (why.empty())
        why = open_picture(in, o.limits, &source);
    if (!why.empty())
        return "cannot load the picture: " + why;
    out->w = source->w;
    out->h = source->h;
    out->rgb.resize((size_t)out->w * out->h * 3);
    PixelRows rows;
    why = source->rows(0, source->h, &rows);
    if (!why.empty())
        return "cannot load the picture: " + why;
    copy_rows(rows, out->w, out->h, out->rgb.data(), (ptrdiff_t)out->w * 3, gfx16_rgb);
    return "";
}

void print_quality(const Picture &a, const Picture &b, const char *indent)
{
    Quality q = compare_pictures(a, b);
    if (std::isinf(q.psnr_db))
        printf("%sPSNR inf dB (identical)\n", indent);
    else
        printf("%sPSNR %.2f dB\n", indent, q.psnr_db);
    printf("%sSSIM %.4f\n%sCIEDE2000 %.3f\n", indent, q.ssim, indent, q.ciede2000);
}

int compare_files(const char *a_name, const char *b_name, const Options &o)
{
    FileFormat diff_format = FileFormat::png;
    if (o.diff && !picture_format_for(o.diff, &diff_format))
        return error(o.diff, "unknown picture format (use .bmp, .png, .tga or .pcx)");
    Picture a, b;
    std::string why = read_picture(a_name, o, &a);
    if (!why.empty())
        return error(a_name, why);
    why = read_picture(b_name, o, &b);
    if (!why.empty())
        return error(b_name, why);
    if (a.w != b.w || a.h != b.h) {
        char sizes[96];
        snprintf(sizes, sizeof sizes, "%d x %d beside %d x %d: the pictures must be the same size", b.w, b.h, a.w, a.h);
        return error(b_name, sizes);
    }
    print_quality(a, b, "");
    if (o.diff) {
        Picture diff = difference_picture(a, b);
        OutputFile out;
        if (!prepare_output(out, o.diff, o))
            return 1;
        std::unique_ptr<PictureSink> sink;
        PixelSpace space;
        why = open_output(out);
        if (why.empty())
            why = picture_sink(diff_format, out, diff.w, diff.h, &sink);
        if (why.empty())
            why = sink->room(0, diff.h, &space);
        if (why.empty()) {
            PixelRows rows = {diff.rgb.data(), (ptrdiff_t)diff.w * 3, gfx16_rgb};
            copy_rows(rows, diff.w, diff.h, space.first, space.stride, space.layout);
            why = sink->put();
        }
        if (why.empty())
            why = sink->finish();
        if (why.empty())
            why = out.commit();
        if (!why.empty())
            return error(o.diff, why);
    }
    return 0;
}

int info_file(const char *name, const Options &o)
{
    // Read once: standard input cannot be read twice.
    Input in;
    std::string why = open_input(name, &in);
    if (why.empty())
        why = read_whole(in, UINT64_MAX);
    if (!why.empty())
        return error(name, "cannot read: " + why);
    std::vector<uint8_t> bytes = in.bytes;

    std::unique_ptr<PictureSource> picture;
    why = open_picture(in, o.limits, &picture);
    if (!why.empty()) {
        printf("%s: %s\n", name, why.c_str());
        return 1;
    }
    printf("%s: %s, %d x %d", name, picture->format, picture->w, picture->h);
    Input again;
    again.bytes = std::move(bytes);
    again.whole = true;
    std::unique_ptr<CarrierSource> carrier;
    why = open_carrier(again, o.limits, &carrier);
    if (why.empty())
        printf(", a carrier of a %d x %d picture\n", carrier->w, carrier->h);
    else
        printf(", not a carrier (%s)\n", breaks_carrier_rule(why) ? "it must be an 8-bit picture of 2 rows or more" : why.c_str());
    return 0;
}

// ---- Command line -------------------------------------------------------------

int bad_usage(const char *why)
{
    if (why)
        fprintf(stderr, "gfx16conv: %s\n", why);
    fputs(usage, stderr);
    return 2;
}

bool number(const char *text, uint64_t *value)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || end == text || *end || text[0] == '-')
        return false;
    *value = v;
    return true;
}

int run(int argc, char **argv)
{
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        printf("%s\n%s", usage, help);
        return 0;
    }
    if (argc == 2 && !strcmp(argv[1], "--version")) {
        printf("gfx16conv %s\n", GFX16_VERSION);
        return 0;
    }
    if (argc < 2)
        return bad_usage(nullptr);
    const std::string command = argv[1];
    if (command != "encode" && command != "decode" && command != "info" && command != "compare")
        return bad_usage(nullptr);

    Options o;
    o.limits.max_pixels = default_max_pixels;
    o.limits.set_by = "raise it with --max-pixels";
    std::vector<const char *> files;
    bool options_done = false;
    for (int i = 2; i < argc; i++) {
        const char *a = argv[i];
        auto value = [&](const char *option) -> const char * {
            if (i + 1 >= argc) {
                bad_usage((std::string(option) + " needs a value").c_str());
                return nullptr;
            }
            return argv[++i];
        };
        if (options_done || a[0] != '-' || !strcmp(a, "-")) {
            files.push_back(a);
        } else if (!strcmp(a, "--")) {
            options_done = true;
        } else if (!strcmp(a, "--best") && command == "encode") {
            o.best = true;
        } else if (!strcmp(a, "--dither") && command == "encode") {
            o.dither = true;
        } else if (!strcmp(a, "--stats") && command == "encode") {
            o.stats = true;
        } else if (!strcmp(a, "--preview") && command == "encode") {
            o.preview = true;
        } else if (!strcmp(a, "--png") && (command == "encode" || command == "decode")) {
            o.png = true;
        } else if (!strcmp(a, "--force")) {
            o.force = true;
        } else if (!strcmp(a, "-q") || !strcmp(a, "--quiet")) {
            o.quiet = true;
        } else if (!strcmp(a, "--out-dir") && (command == "encode" || command == "decode")) {
            if (!(o.out_dir = value(a)))
                return 2;
        } else if (!strcmp(a, "--diff") && command == "compare") {
            if (!(o.diff = value(a)))
                return 2;
        } else if (!strcmp(a, "--jobs") || !strcmp(a, "--max-pixels")) {
            const char *text = value(a);
            uint64_t n;
            if (!text)
                return 2;
            if (!number(text, &n) || (a[2] == 'j' && (n < 1 || n > 1024)))
                return bad_usage((std::string(a) + ": not a number of the right size: " + text).c_str());
            if (a[2] == 'j')
                o.jobs = (unsigned)n;
            else
                o.limits.max_pixels = n;
        } else {
            return bad_usage((std::string("unknown option for ") + command + ": " + a).c_str());
        }
    }

    if (command == "info") {
        if (files.empty())
            return bad_usage(nullptr);
        int status = 0;
        for (const char *f : files)
            status |= info_file(f, o);
        return status;
    }
    if (command == "compare")
        return files.size() == 2 ? compare_files(files[0], files[1], o) : bad_usage(nullptr);
    if (o.dither && !o.best)
        return bad_usage("--dither goes with --best");
    if (o.out_dir)
        return files.empty() ? bad_usage(nullptr) : convert_files(command == "encode", files, o);
    if (o.png || o.preview || o.jobs)
        return bad_usage("--png, --preview and --jobs go with --out-dir");
    if (command == "encode" && (files.size() == 2 || files.size() == 3))
        return encode_file(files[0], files[1], files.size() == 3 ? files[2] : nullptr, o);
    if (command == "decode" && files.size() == 2)
        return decode_file(files[0], files[1], o);
    return bad_usage(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    handle_output_signals();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "gfx16conv: not enough memory\n");
        return 1;
    }
}
