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
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "files/convert.h"
#include "gfx16/codec.h"
#include "files/input.h"
#include "files/load.h"
#include "programs/gfx16conv/metrics.h"
#include "codec/nearest.h"
#include "files/output.h"
#include "files/signals.h"
#include "files/save.h"

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
    "                                  PREVIEW, if given, receives the\n"
    "                                  encoder's preview (see below)\n"
    "  decode CARRIER OUTPUT           rebuild the picture held in CARRIER\n"
    "  info FILE...                    size and format of each file, and whether\n"
    "                                  it can be a carrier (or why not)\n"
    "  compare A B                     PSNR (dB), SSIM and mean CIEDE2000 of two\n"
    "                                  pictures of the same size, a line each\n"
    "\n"
    "Pictures are read by their content: BMP, PNG, JPEG, WebP, TGA and PCX. A\n"
    "PNG whose gAMA chunk differs from sRGB's is converted to sRGB (as browsers\n"
    "do); ICC profiles are not applied; a JPEG is turned as its EXIF orientation\n"
    "says. A carrier is written as an 8-bit PNG when its name ends in .png, else\n"
    "as an 8-bit BMP; other pictures by their extension: .bmp, .png, .tga or\n"
    ".pcx. \"-\" is standard input or output (a BMP).\n"
    "\n"
    "The format's own encoder's preview shows the quantised colours with the\n"
    "brightness correction it dithers with: it is not the decoded carrier,\n"
    "which decode gives. With --best the two are the same.\n"
    "\n"
    "Options (--opt VALUE or --opt=VALUE):\n"
    "  --best            encode: choose for every pixel the code that decodes\n"
    "                    nearest to it, instead of the format's dithered encoder\n"
    "  --dither          with --best: carry each pixel's error on to its\n"
    "                    neighbours (no bands in smooth gradients, a little\n"
    "                    noise; the picture is held whole)\n"
    "  --stats           encode: also print PSNR, SSIM and CIEDE2000 of the\n"
    "                    picture against its decoded carrier (on standard error\n"
    "                    when an output goes to standard output)\n"
    "  --diff OUT        compare: write a picture of where A and B differ\n"
    "  --out-dir DIR     convert every FILE into DIR (made if missing): encode\n"
    "                    writes NAME.carrier.bmp (NAME.carrier.png with --png,\n"
    "                    and NAME.preview.bmp with --preview); decode writes\n"
    "                    NAME.decoded.bmp (.png with --png), NAME being the\n"
    "                    file's name without its extension and, for decode,\n"
    "                    without a \".carrier\" before it. Files that would\n"
    "                    write the same output are refused; a line for each\n"
    "                    file done, [N/TOTAL], and one for the count\n"
    "  --png             with --out-dir: write PNG instead of BMP\n"
    "  --preview         with --out-dir, encode: write the previews too\n"
    "  --jobs N          with --out-dir: files converted at once (default: one\n"
    "                    a core); one failed file does not stop the others\n"
    "  --max-pixels N    refuse pictures of more than N pixels (default\n"
    "                    134217728, i.e. 128 Mi; 0 for none but 32768 a side)\n"
    "  --force           replace outputs that are write-protected\n"
    "  -q, --quiet       print nothing but errors (and what --stats asks for)\n"
    "\n"
    "Outputs are written under a temporary name and renamed only when every\n"
    "output of the call is complete; a failed call leaves no file behind and\n"
    "changes none. Exit status: 0 done, 1 an error (with --out-dir: any file\n"
    "failed or refused), 2 bad usage.\n";

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

// The numbers --stats prints: the picture against what its carrier decodes
// to. The codec gives the same codes every time, so encoding the picture
// again gives the carrier that was written.
std::string measure(const Picture &picture, Encoder encoder, Quality *quality)
{
    try {
        std::vector<uint8_t> codes((size_t)picture.w * 2 * picture.h);
        Picture decoded;
        decoded.w = picture.w;
        decoded.h = picture.h;
        decoded.rgb.resize(picture.rgb.size());
        auto encode = encoder == Encoder::dithered ? gfx16_encode_dithered
                      : encoder == Encoder::best   ? gfx16_encode_best
                                                   : gfx16_encode;
        int status = encode(picture.rgb.data(), picture.w, picture.h, codes.data(), nullptr);
        if (status == 0)
            status = gfx16_decode(codes.data(), picture.w, 2 * picture.h, decoded.rgb.data());
        if (status != 0)
            return status == -2 ? "not enough memory to encode it" : "the codec refused it";
        *quality = compare_pictures(picture, decoded);
        return "";
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

// Encodes one file; with `quality`, also measures it (the picture is then
// held whole, so that it is read once: standard input cannot be read twice).
int encode_file(const char *input, const char *carrier_name, const char *preview_name, const Options &o,
                Quality *quality)
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
    const Picture *whole = nullptr;
    why = open_picture(in, o.limits, &source);
    if (why.empty() && quality)
        why = hold_picture(&source, &whole);
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
    if (why.empty() && quality) {
        why = measure(*whole, encoder_of(o), quality);
        if (!why.empty())
            why = std::string(input) + ": " + why;
    }
    if (!why.empty()) {
        std::lock_guard<std::mutex> hold(print_lock);
        fprintf(stderr, "gfx16conv: %s\n", why.c_str());
        return 1;
    }
    return commit(carrier, preview_name ? &preview : nullptr);
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

// ---- Printing -----------------------------------------------------------------

void print_quality(FILE *to, const Quality &q, const char *indent)
{
    if (std::isinf(q.psnr_db))
        fprintf(to, "%sPSNR inf dB (identical)\n", indent);
    else
        fprintf(to, "%sPSNR %.2f dB\n", indent, q.psnr_db);
    fprintf(to, "%sSSIM %.4f\n%sCIEDE2000 %.3f\n", indent, q.ssim, indent, q.ciede2000);
}

// Whether `name` is written to standard output: "-", or a name that leads
// to the file standard output is ("/dev/stdout", a FIFO it writes to).
bool is_standard_output(const char *name)
{
    struct stat a, b;
    return !strcmp(name, "-") ||
           (stat(name, &a) == 0 && fstat(STDOUT_FILENO, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino);
}

// Standard output is checked once, at the end: what stdio could not write
// is reported, and the run fails, rather than lose a report in silence.
int close_standard_output()
{
    int failure = fflush(stdout) != 0 ? errno : ferror(stdout) ? EIO : 0;
    if (fclose(stdout) != 0 && !failure && errno != EBADF)
        failure = errno;
    if (!failure)
        return 0;
    fprintf(stderr, "gfx16conv: standard output: %s\n", strerror(failure));
    return 1;
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

// One file of a batch: its outputs, and why it is not converted, if so.
struct BatchFile {
    const char *input;
    std::vector<std::string> outputs;  // the carrier or decoded picture first, then the preview
    std::string refused;
};

std::vector<BatchFile> plan_batch(bool encode, const std::vector<const char *> &files, const std::string &dir,
                                  const Options &o)
{
    const char *ext = o.png ? ".png" : ".bmp";
    std::vector<BatchFile> batch;
    for (const char *file : files) {
        std::string name = without_extension(base_name(file));
        BatchFile b = {file, {}, ""};
        if (encode) {
            b.outputs.push_back(dir + name + ".carrier" + ext);
            if (o.preview)
                b.outputs.push_back(dir + name + ".preview" + ext);
        } else {
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".carrier") == 0)
                name.resize(name.size() - 8);
            b.outputs.push_back(dir + name + ".decoded" + ext);
        }
        batch.push_back(b);
    }
    return batch;
}

std::string file_key(dev_t dev, ino_t ino)
{
    return "file " + std::to_string((uint64_t)dev) + " " + std::to_string((uint64_t)ino);
}

// "a", "a and b", "a, b and c"; past three names, how many more.
std::string listed(const std::vector<std::string> &names)
{
    const size_t shown = names.size() > 3 ? 3 : names.size();
    std::string text;
    for (size_t i = 0; i < shown; i++)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    if (shown < names.size())
        text += " and " + std::to_string(names.size() - shown) + " others";
    return text;
}

// Refuses every file whose output another file of the batch would also
// write (which one is left would depend on which finished last), or whose
// output would replace another file of the batch. Two names are one output
// when the file system takes them to one file: the same name in the same
// folder, once links are followed, or one file that is there already.
void refuse_clashes(std::vector<BatchFile> &batch, const Options &o)
{
    struct Output {
        size_t file;
        const std::string *name;
    };
    std::map<std::string, std::vector<Output>> outputs;  // by what they lead to
    std::vector<std::vector<const std::vector<Output> *>> leads(batch.size());
    for (size_t i = 0; i < batch.size(); i++)
        for (const std::string &name : batch[i].outputs) {
            OutputFile out;
            out.prepare(name.c_str(), o.force);
            std::vector<std::string> keys = {"name " + out.where()};
            if (out.exists())
                keys.push_back(file_key(out.dev(), out.ino()));
            for (const std::string &key : keys) {
                std::vector<Output> &same = outputs[key];
                same.push_back({i, &name});
                leads[i].push_back(&same);  // std::map keeps its elements where they are
            }
        }
    // Each file of several that write one output is refused, naming the
    // others.
    for (size_t i = 0; i < batch.size(); i++) {
        std::vector<size_t> others;
        const std::string *shared = nullptr;
        for (const std::vector<Output> *same : leads[i]) {
            const size_t before = others.size();
            const std::string *mine = nullptr;
            for (const Output &out : *same) {
                if (out.file == i)
                    mine = out.name;
                else
                    others.push_back(out.file);
            }
            if (!shared && others.size() > before)
                shared = mine;
        }
        if (others.empty())
            continue;
        std::sort(others.begin(), others.end());
        others.erase(std::unique(others.begin(), others.end()), others.end());
        std::vector<std::string> names;
        for (size_t j : others)
            names.push_back(batch[j].input);
        batch[i].refused = "not converted: " + *shared + " is also the output of " + listed(names);
    }
    // An output that is another file's input.
    for (size_t j = 0; j < batch.size(); j++) {
        // Named as the outputs are, whether it is there or not: a missing
        // input must not be made by another file while the batch runs.
        OutputFile as_output;
        as_output.prepare(batch[j].input, true);
        std::vector<std::string> keys = {"name " + as_output.where()};
        struct stat st;
        if (stat(batch[j].input, &st) == 0)
            keys.push_back(file_key(st.st_dev, st.st_ino));
        for (const std::string &key : keys) {
            auto found = outputs.find(key);
            if (found == outputs.end())
                continue;
            for (const Output &out : found->second)
                if (out.file != j && batch[out.file].refused.empty())
                    batch[out.file].refused =
                        "not converted: " + *out.name + " is " + batch[j].input + ", another file of this run";
        }
    }
}

int convert_files(bool encode, const std::vector<const char *> &files, const Options &o)
{
    // The folder is made when missing (its parent must be there), with the
    // permissions of any new folder.
    struct stat st;
    if (stat(o.out_dir, &st) != 0 && errno == ENOENT && mkdir(o.out_dir, 0777) != 0 && errno != EEXIST)
        return error(o.out_dir, std::string("cannot make the folder: ") + strerror(errno));
    if (stat(o.out_dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return error(o.out_dir, "not a folder");
    const std::string dir = std::string(o.out_dir) + (o.out_dir[strlen(o.out_dir) - 1] == '/' ? "" : "/");

    std::vector<BatchFile> batch = plan_batch(encode, files, dir, o);
    refuse_clashes(batch, o);
    std::vector<size_t> todo;
    for (size_t i = 0; i < batch.size(); i++) {
        if (batch[i].refused.empty())
            todo.push_back(i);
        else
            error(batch[i].input, batch[i].refused);
    }

    unsigned jobs = o.jobs ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = std::max(1u, std::min<unsigned>(jobs, (unsigned)todo.size()));
    // The cores go to the files; each file's codec then works on its own.
    if (jobs > 1)
        gfx16_set_threads(1);
    std::atomic<size_t> next{0};
    // The refused files count as done, and failed, from the start.
    size_t done = batch.size() - todo.size(), failed = done;
    auto worker = [&] {
        for (size_t k; (k = next++) < todo.size();) {
            const BatchFile &b = batch[todo[k]];
            Quality quality;
            int status;
            try {
                if (encode)
                    status = encode_file(b.input, b.outputs[0].c_str(), o.preview ? b.outputs[1].c_str() : nullptr, o,
                                         o.stats ? &quality : nullptr);
                else
                    status = decode_file(b.input, b.outputs[0].c_str(), o);
            } catch (const std::bad_alloc &) {
                status = error(b.input, "not enough memory");
            }
            std::lock_guard<std::mutex> hold(print_lock);
            done++;
            if (status) {
                failed++;
            } else if (!o.quiet || o.stats) {
                printf("[%zu/%zu] %s -> %s\n", done, batch.size(), b.input, b.outputs[0].c_str());
                if (o.stats)
                    print_quality(stdout, quality, "  ");
                fflush(stdout);
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
    if (!o.quiet)
        printf("%zu succeeded, %zu failed\n", batch.size() - failed, failed);
    return failed ? 1 : 0;
}

// ---- info and compare ---------------------------------------------------------

// The whole picture in a file, as RGB.
std::string read_picture(const char *name, const Options &o, Picture *out)
{
    Input in;
    std::unique_ptr<PictureSource> source;
    const Picture *whole = nullptr;
    std::string why = open_input(name, &in);
    if (why.empty())
        why = open_picture(in, o.limits, &source);
    if (why.empty())
        why = hold_picture(&source, &whole);
    if (!why.empty())
        return "cannot load the picture: " + why;
    *out = *whole;
    return "";
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
    print_quality(stdout, compare_pictures(a, b), "");
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
    Input in;
    FileFacts facts;
    std::string why = open_input(name, &in);
    if (!why.empty())
        return error(name, "cannot read: " + why);
    why = describe_file(in, o.limits, &facts);
    if (!why.empty()) {
        printf("%s: %s\n", name, why.c_str());
        return 1;
    }
    printf("%s: %s, %d x %d", name, facts.format, facts.w, facts.h);
    if (facts.not_a_carrier.empty())
        printf(", a carrier of a %d x %d picture\n", facts.carrier_w, facts.carrier_h);
    else
        printf(", not a carrier (%s)\n", facts.not_a_carrier.c_str());
    return 0;
}

// ---- Command line -------------------------------------------------------------

int bad_usage(const std::string &why)
{
    fprintf(stderr, "gfx16conv: %s\n%s", why.c_str(), usage);
    return 2;
}

// A whole number in decimal, nothing else.
bool number(const char *text, uint64_t *value)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno || !isdigit((unsigned char)text[0]) || *end)
        return false;
    *value = v;
    return true;
}

enum Command { encode_command = 1, decode_command = 2, info_command = 4, compare_command = 8 };
const char *const command_names[] = {"encode", "decode", "info", "compare"};

// The options, and the commands each goes with.
enum OptionId { best, dither, stats, preview, png, out_dir, jobs, force, diff, max_pixels, quiet, help_option };
const struct {
    const char *name;
    bool takes_value;
    unsigned commands;
} option_table[] = {
    {"best", false, encode_command},
    {"dither", false, encode_command},
    {"stats", false, encode_command},
    {"preview", false, encode_command},
    {"png", false, encode_command | decode_command},
    {"out-dir", true, encode_command | decode_command},
    {"jobs", true, encode_command | decode_command},
    {"force", false, encode_command | decode_command | compare_command},
    {"diff", true, compare_command},
    {"max-pixels", true, encode_command | decode_command | info_command | compare_command},
    {"quiet", false, encode_command | decode_command | info_command | compare_command},
    {"help", false, encode_command | decode_command | info_command | compare_command},
};
const int option_count = sizeof option_table / sizeof option_table[0];
const int first_long_option = 256;  // getopt_long's codes of long options, past any character

int run(int argc, char **argv)
{
    if (argc < 2)
        return bad_usage("no command given");
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "--version") {
        if (argc > 2)
            return bad_usage(first + " takes nothing after it");
        if (first == "--version")
            printf("gfx16conv %s\n", GFX16_VERSION);
        else
            printf("%s\n%s", usage, help);
        return 0;
    }
    unsigned command = 0;
    for (int c = 0; c < 4; c++)
        if (first == command_names[c])
            command = 1u << c;
    if (!command)
        return bad_usage("unknown command " + first);

    Options o;
    o.limits.max_pixels = PictureLimits::default_max_pixels;
    o.limits.set_by = "raise it with --max-pixels";
    struct option longs[option_count + 1] = {};
    for (int i = 0; i < option_count; i++)
        longs[i] = {option_table[i].name, option_table[i].takes_value ? required_argument : no_argument, nullptr,
                    first_long_option + i};
    // The command's own arguments, as if it were the program: getopt_long
    // takes "--opt value", "--opt=value", options after the files, and "--".
    int args = argc - 1;
    char **arg = argv + 1;
    opterr = 0;
    optind = 1;
    for (int c; (c = getopt_long(args, arg, ":qh", longs, nullptr)) != -1;) {
        if (c == ':')
            return bad_usage(std::string("--") + option_table[optopt - first_long_option].name + " needs a value");
        if (c == '?' && optopt >= first_long_option)
            return bad_usage(std::string("--") + option_table[optopt - first_long_option].name + " takes no value");
        if (c == '?') {
            std::string given = optopt ? std::string("-") + (char)optopt : arg[optind - 1];
            return bad_usage("unknown option " + given.substr(0, given.find('=')));
        }
        const int id = c == 'q' ? quiet : c == 'h' ? help_option : c - first_long_option;
        const std::string name = std::string("--") + option_table[id].name;
        if (!(option_table[id].commands & command))
            return bad_usage(name + " does not go with " + first);
        uint64_t n = 0;
        if ((id == jobs || id == max_pixels) && !number(optarg, &n))
            return bad_usage(name + " takes a whole number, not " + optarg);
        switch (id) {
        case best: o.best = true; break;
        case dither: o.dither = true; break;
        case stats: o.stats = true; break;
        case preview: o.preview = true; break;
        case png: o.png = true; break;
        case out_dir: o.out_dir = optarg; break;
        case jobs:
            if (n < 1 || n > 1024)
                return bad_usage(name + " takes a number from 1 to 1024, not " + optarg);
            o.jobs = (unsigned)n;
            break;
        case force: o.force = true; break;
        case diff: o.diff = optarg; break;
        case max_pixels: o.limits.max_pixels = n; break;
        case quiet: o.quiet = true; break;
        case help_option: printf("%s\n%s", usage, help); return 0;
        }
    }
    std::vector<const char *> files(arg + optind, arg + args);

    if (command == info_command) {
        if (files.empty())
            return bad_usage("info needs a file");
        int status = 0;
        for (const char *f : files)
            status |= info_file(f, o);
        return status;
    }
    if (command == compare_command)
        return files.size() == 2 ? compare_files(files[0], files[1], o) : bad_usage("compare needs two pictures");
    if (o.dither && !o.best)
        return bad_usage("--dither goes with --best");
    if (o.out_dir)
        return files.empty() ? bad_usage(first + " --out-dir needs the files to convert")
                             : convert_files(command == encode_command, files, o);
    if (o.png || o.preview || o.jobs)
        return bad_usage("--png, --preview and --jobs go with --out-dir");
    if (command == decode_command)
        return files.size() == 2 ? decode_file(files[0], files[1], o)
               : files.size() < 2 ? bad_usage("decode needs a carrier and an output")
                                  : bad_usage("decode takes a carrier and an output, no more (--out-dir takes many)");
    if (files.size() < 2)
        return bad_usage("encode needs an input and a carrier");
    if (files.size() > 3)
        return bad_usage("encode takes an input, a carrier and a preview, no more (--out-dir takes many)");
    Quality quality;
    const char *preview = files.size() == 3 ? files[2] : nullptr;
    int status = encode_file(files[0], files[1], preview, o, o.stats ? &quality : nullptr);
    if (status == 0 && o.stats)
        print_quality(is_standard_output(files[1]) || (preview && is_standard_output(preview)) ? stderr : stdout,
                      quality, "");
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    hold_standard_descriptors();
    handle_output_signals();
    int status;
    try {
        status = run(argc, argv);
    } catch (const std::bad_alloc &) {
        fprintf(stderr, "gfx16conv: not enough memory\n");
        status = 1;
    }
    if (close_standard_output() && status == 0)
        status = 1;
    return status;
}
