// gfx16conv's command line: the usage and help texts, and the options, each
// with the commands it goes with, read with getopt_long.
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "gfx16/codec.h"
#include "programs/gfx16conv/gfx16conv.h"

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
    "  --jobs N          with --out-dir: files converted at once, on N threads\n"
    "                    in all (default: one a core); one failed file does\n"
    "                    not stop the others\n"
    "  --max-pixels N    refuse pictures of more than N pixels (default\n"
    "                    134217728, i.e. 128 Mi; 0 for none but 32768 a side)\n"
    "  --force           replace outputs that are write-protected\n"
    "  -q, --quiet       print nothing but errors (and what --stats asks for)\n"
    "\n"
    "Outputs are written under a temporary name and renamed only when every\n"
    "output of the call is complete; a failed call leaves no file behind and\n"
    "changes none. Exit status: 0 done, 1 an error (with --out-dir: any file\n"
    "failed or refused), 2 bad usage.\n";

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

} // namespace

int bad_usage(const std::string &why)
{
    fprintf(stderr, "gfx16conv: %s\n%s", why.c_str(), usage);
    return 2;
}

int read_command_line(int argc, char **argv, CommandLine *out)
{
    if (argc < 2)
        return bad_usage("no command given");
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "--version") {
        if (argc > 2)
            return bad_usage(first + " takes nothing after it");
        if (first == "--version")
            printf("gfx16conv %s\n", gfx16_version());
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
    out->command = (Command)command;

    Options &o = out->options;
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
    out->files.assign(arg + optind, arg + args);
    return -1;
}
