// gfx16conv's main: the command line read, the command run on its files,
// and standard output checked at the end.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "files/signals.h"
#include "programs/gfx16conv/gfx16conv.h"

namespace {

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

int run(int argc, char **argv)
{
    CommandLine line;
    int status = read_command_line(argc, argv, &line);
    if (status >= 0)
        return status;
    const Options &o = line.options;
    const std::vector<const char *> &files = line.files;
    if (line.command == info_command) {
        if (files.empty())
            return bad_usage("info needs a file");
        status = 0;
        for (const char *f : files)
            status |= info_file(f, o);
        return status;
    }
    if (line.command == compare_command)
        return files.size() == 2 ? compare_files(files[0], files[1], o) : bad_usage("compare needs two pictures");
    if (o.dither && !o.best)
        return bad_usage("--dither goes with --best");
    const bool encode = line.command == encode_command;
    if (o.out_dir)
        return files.empty() ? bad_usage(std::string(encode ? "encode" : "decode") + " --out-dir needs the files to convert")
                             : convert_files(encode, files, o);
    if (o.png || o.preview || o.jobs)
        return bad_usage("--png, --preview and --jobs go with --out-dir");
    if (!encode)
        return files.size() == 2 ? decode_file(files[0], files[1], o)
               : files.size() < 2 ? bad_usage("decode needs a carrier and an output")
                                  : bad_usage("decode takes a carrier and an output, no more (--out-dir takes many)");
    if (files.size() < 2)
        return bad_usage("encode needs an input and a carrier");
    if (files.size() > 3)
        return bad_usage("encode takes an input, a carrier and a preview, no more (--out-dir takes many)");
    Quality quality;
    const char *preview = files.size() == 3 ? files[2] : nullptr;
    status = encode_file(files[0], files[1], preview, o, o.stats ? &quality : nullptr);
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
