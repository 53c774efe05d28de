// io_floor: what a conversion costs with no pixel work at all, the floor
// under gfx16conv's wall time. It reads the input through a 2 MiB buffer,
// writes an output of the given size (by default the input's) to a
// temporary beside the output's name, made of the bytes it read, and
// renames it over the name, as gfx16conv does with its outputs.
//
//   io_floor INPUT OUTPUT [BYTES]
//
// Each piece read is followed by its share of the output, so reading and
// writing alternate as they do in a streaming conversion. Not a test.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string &what)
{
    fprintf(stderr, "io_floor: %s: %s\n", what.c_str(), strerror(errno));
    exit(1);
}

void write_all(int fd, const uint8_t *p, size_t size, const std::string &name)
{
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(name);
        p += n;
        size -= (size_t)n;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fputs("usage: io_floor INPUT OUTPUT [BYTES]\n", stderr);
        return 2;
    }
    const std::string input = argv[1], output = argv[2];
    int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0)
        fail(input);
    const uint64_t in_size = (uint64_t)st.st_size;
    const uint64_t out_size = argc == 4 ? strtoull(argv[3], nullptr, 10) : in_size;

    std::string temp = output + ".XXXXXX";
    int out = mkostemp(&temp[0], O_CLOEXEC);
    if (out < 0)
        fail(temp);

    const size_t buffer_size = 2 << 20;
    std::vector<uint8_t> buffer(buffer_size);
    uint64_t read_so_far = 0, written = 0;
    for (;;) {
        ssize_t n = read(in, buffer.data(), buffer_size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(input);
        read_so_far += (uint64_t)n;
        // The output's share of what has been read, from the piece in hand.
        uint64_t due = n == 0 || in_size == 0 ? out_size : out_size * read_so_far / in_size;
        while (written < due) {
            size_t piece = (size_t)std::min<uint64_t>(due - written, buffer_size);
            write_all(out, buffer.data(), piece, temp);
            written += piece;
        }
        if (n == 0)
            break;
    }
    close(in);
    if (close(out) != 0)
        fail(temp);
    if (rename(temp.c_str(), output.c_str()) != 0)
        fail(output);
    return 0;
}
