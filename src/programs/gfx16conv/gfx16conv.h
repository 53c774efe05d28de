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
#ifndef GFX16_PROGRAMS_GFX16CONV_H
#define GFX16_PROGRAMS_GFX16CONV_H

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "files/convert.h"
#include "files/error.h"
#include "files/picture.h"
#include "programs/gfx16conv/metrics.h"

enum Command { encode_command = 1, decode_command = 2, info_command = 4, compare_command = 8 };

struct Options {
    bool best = false, dither = false, stats = false, force = false, quiet = false, png = false, preview = false;
    const char *out_dir = nullptr, *diff = nullptr;
    unsigned jobs = 0;
    PictureLimits limits;
    Encoder encoder() const { return dither ? Encoder::dithered : best ? Encoder::best : Encoder::format; }
};

// The command line read: the command, its options and its files; -1, or
// the status to exit with at once (help printed, or bad usage).
struct CommandLine {
    Command command;
    Options options;
    std::vector<const char *> files;
};
int read_command_line(int argc, char **argv, CommandLine *out);

// Bad usage: the reason and the usage lines on stderr; returns 2.
int bad_usage(const std::string &why);

// One line on stderr naming the file: "gfx16conv: FILE: WHAT"; returns 1.
int report(const std::string &file, const std::string &what);

// Held while a line is printed, so that lines from several threads come
// out whole.
extern std::mutex print_lock;

// An error in the words gfx16conv prints after the file's name, for a call
// that reads a `loading` ("picture" or "carrier").
std::string in_words(const Error &e, const char *loading);

// One file each; 0 or 1. With `quality`, encode_file also measures the
// picture against its decoded carrier.
int encode_file(const char *input, const char *carrier, const char *preview, const Options &o, Quality *quality);
int decode_file(const char *carrier, const char *output, const Options &o);
int info_file(const char *name, const Options &o);
int compare_files(const char *a, const char *b, const Options &o);

// encode or decode of every file into o.out_dir; 0 or 1.
int convert_files(bool encode, const std::vector<const char *> &files, const Options &o);

// The numbers --stats prints: the picture against what its carrier decodes
// to. The codec gives the same codes every time, so encoding the picture
// again gives the carrier that was written.
Error measure(const Picture &picture, Encoder encoder, Quality *quality);
void print_quality(FILE *to, const Quality &q, const char *indent);

#endif
