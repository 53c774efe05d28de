// gfx16conv's commands on one file each: encode, decode, info and compare.
#include <memory>
#include <mutex>

#include "codec/nearest.h"
#include "codec/threads.h"
#include "files/describe.h"
#include "files/input.h"
#include "files/load.h"
#include "files/output.h"
#include "files/write.h"
#include "gfx16/codec.h"
#include "programs/gfx16conv/gfx16conv.h"

std::mutex print_lock;

int report(const std::string &file, const std::string &what)
{
    std::lock_guard<std::mutex> hold(print_lock);
    fprintf(stderr, "gfx16conv: %s: %s\n", file.c_str(), what.c_str());
    return 1;
}

std::string in_words(const Error &e, const char *loading)
{
    if (e.kind == Error::reading)
        return std::string("cannot load the ") + loading + ": " + e.text();
    if (e.kind == Error::write_protected)
        return e.text() + " (--force replaces it)";
    return e.text();
}

namespace {

const char unknown_format[] = "unknown picture format (use .bmp, .png, .tga or .pcx)";

// An output checked before anything is read or written.
bool prepare_output(OutputFile &out, const char *name, const Options &o)
{
    Error e = out.prepare(name, o.force);
    if (e)
        report(name, in_words(e, ""));
    return !e;
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
            return !report(out->name(), "is the input " + in.name + ": refusing to overwrite it");
    }
    if (b && (same_file(a.exists(), a.dev(), a.ino(), b->exists(), b->dev(), b->ino()) ||
              (!a.exists() && !b->exists() && a.name() != "-" && a.where() == b->where())))
        return !report(b->name(), "is the other output too");
    return true;
}

// The search's tables, built on another core while the files are opened
// and the first rows read.
void prepare_search(void) { prepare_nearest(); }

// The whole picture in a file, as RGB.
Error read_picture(const char *name, const Options &o, Picture *out)
{
    Input in;
    std::unique_ptr<RowSource> source;
    Error e = open_input(name, &in);
    if (!e)
        e = open_picture(in, o.limits, &source);
    if (!e)
        e = hold_picture(&source, out);
    return e;
}

} // namespace

// With `quality`, the picture is held whole, so that it is read once:
// standard input cannot be read twice.
int encode_file(const char *input, const char *carrier_name, const char *preview_name, const Options &o,
                Quality *quality)
{
    FileFormat preview_format = FileFormat::bmp;
    if (preview_name && !picture_format_for(preview_name, &preview_format))
        return report(preview_name, unknown_format);
    AheadOfUse search(o.best ? prepare_search : nullptr);
    Input in;
    OutputFile carrier, preview;
    if (Error e = open_input(input, &in))
        return report(input, in_words(e, "picture"));
    if (!prepare_output(carrier, carrier_name, o) || (preview_name && !prepare_output(preview, preview_name, o)))
        return 1;
    if (!distinct(in, carrier, preview_name ? &preview : nullptr))
        return 1;

    std::unique_ptr<RowSource> source;
    Picture measured;  // held for --stats
    Error e = open_picture(in, o.limits, &source);
    if (!e && quality)
        e = hold_picture(&source, &measured);
    if (e)
        return report(input, in_words(e, "picture"));
    const FileToWrite outputs[] = {{&carrier, carrier_format_for(carrier_name), true},
                                   {&preview, preview_format, false}};
    e = write_files(outputs, preview_name ? 2 : 1, source->w, source->h, [&](RowSink *const sinks[]) {
        Error coded = encode_stream(*source, *sinks[0], sinks[1], o.encoder());
        return coded || !quality ? coded : measure(measured, o.encoder(), quality);
    });
    const char *names[] = {input, carrier_name, preview_name};
    return e ? report(names[e.file], in_words(e, "picture")) : 0;
}

int decode_file(const char *carrier_name, const char *output, const Options &o)
{
    FileFormat format;
    if (!picture_format_for(output, &format))
        return report(output, unknown_format);
    Input in;
    OutputFile out;
    if (Error e = open_input(carrier_name, &in))
        return report(carrier_name, in_words(e, "carrier"));
    if (!prepare_output(out, output, o) || !distinct(in, out, nullptr))
        return 1;

    std::unique_ptr<RowSource> source;
    Error e = open_carrier(in, o.limits, &source);
    if (!e) {
        const FileToWrite file = {&out, format, false};
        e = write_files(&file, 1, source->w, source->h,
                        [&](RowSink *const sinks[]) { return decode_stream(*source, *sinks[0]); });
    }
    const char *names[] = {carrier_name, output};
    return e ? report(names[e.file], in_words(e, "carrier")) : 0;
}

int compare_files(const char *a_name, const char *b_name, const Options &o)
{
    FileFormat diff_format = FileFormat::png;
    if (o.diff && !picture_format_for(o.diff, &diff_format))
        return report(o.diff, unknown_format);
    Picture a, b;
    if (Error e = read_picture(a_name, o, &a))
        return report(a_name, in_words(e, "picture"));
    if (Error e = read_picture(b_name, o, &b))
        return report(b_name, in_words(e, "picture"));
    if (a.w != b.w || a.h != b.h) {
        char sizes[96];
        snprintf(sizes, sizeof sizes, "%d x %d beside %d x %d: the pictures must be the same size", b.w, b.h, a.w, a.h);
        return report(b_name, sizes);
    }
    print_quality(stdout, compare_pictures(a, b), "");
    if (!o.diff)
        return 0;
    Picture diff = difference_picture(a, b);
    const Rows rows = {diff.rgb.data(), (ptrdiff_t)diff.w * 3, 0, gfx16_rgb};
    Error e = write_file(o.diff, o.force, diff_format, false, diff.w, diff.h, rows);
    return e ? report(o.diff, in_words(e, "picture")) : 0;
}

int info_file(const char *name, const Options &o)
{
    Input in;
    FileFacts facts;
    if (Error e = open_input(name, &in))
        return report(name, "cannot read: " + e.text());
    if (Error e = describe_file(in, o.limits, &facts)) {
        printf("%s: %s\n", name, e.text().c_str());
        return 1;
    }
    printf("%s: %s, %d x %d", name, facts.format, facts.w, facts.h);
    if (facts.not_a_carrier.empty())
        printf(", a carrier of a %d x %d picture\n", facts.carrier_w, facts.carrier_h);
    else
        printf(", not a carrier (%s)\n", facts.not_a_carrier.c_str());
    return 0;
}
