#include "files/input.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

Input::~Input()
{
    if (fd > 2)
        close(fd);
}

void input_from_memory(Input *in, const uint8_t *data, size_t size)
{
    in->bytes.assign(data, data + size);
    in->all_read = true;
}

Error open_input(const char *name, Input *in)
{
    in->name = name;
    if (!strcmp(name, "-")) {
        in->fd = STDIN_FILENO;
    } else {
        // O_NONBLOCK keeps a FIFO without a writer from hanging the open
        // (that might be this very process, if the FIFO is an output too,
        // which the caller refuses once it is open); it is cleared again at
        // once, and reading waits for the writer.
        in->fd = open(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (in->fd < 0)
            return unreadable(std::string("cannot open the file: ") + strerror(errno));
        fcntl(in->fd, F_SETFL, fcntl(in->fd, F_GETFL) & ~O_NONBLOCK);
    }
    struct stat st;
    if (fstat(in->fd, &st) != 0)
        return unreadable(std::string("cannot read the file: ") + strerror(errno));
    if (S_ISDIR(st.st_mode))
        return unreadable(std::string("cannot read the file: ") + strerror(EISDIR));
    in->regular = S_ISREG(st.st_mode);
    in->writer_awaited = S_ISFIFO(st.st_mode) && in->fd != STDIN_FILENO;
    in->size = in->regular ? (uint64_t)st.st_size : 0;
    in->dev = st.st_dev;
    in->ino = st.st_ino;
    return Error();
}

static Error read_error(int error)
{
    return unreadable(std::string("cannot read the file: ") + strerror(error));
}

// Reads until `count` bytes are there or the input ends; the count read.
static ssize_t read_fully(Input &in, uint8_t *to, size_t count, int *error)
{
    const int fd = in.fd;
    // A FIFO with no writer yet reads as empty; poll waits for data or for
    // a writer that came and went.
    while (in.writer_awaited) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, -1) >= 0)
            in.writer_awaited = false;
        else if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, to + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = errno;
            return -1;
        }
        if (n == 0)
            break;
        done += (size_t)n;
    }
    return (ssize_t)done;
}

Error read_head(Input &in, size_t count, std::vector<uint8_t> *head)
{
    if (in.regular) {
        size_t n = (size_t)std::min<uint64_t>(count, in.size);
        head->resize(n);
        return read_at(in, 0, n, head->data());
    }
    if (in.bytes.size() < count && !in.all_read) {
        size_t had = in.bytes.size();
        in.bytes.resize(count);
        int error = 0;
        ssize_t n = read_fully(in, in.bytes.data() + had, count - had, &error);
        if (n < 0) {
            in.bytes.resize(had);
            return read_error(error);
        }
        in.bytes.resize(had + (size_t)n);
        if (had + (size_t)n < count)
            in.all_read = true;
    }
    head->assign(in.bytes.begin(), in.bytes.begin() + std::min(count, in.bytes.size()));
    return Error();
}

Error read_at(Input &in, uint64_t offset, size_t count, uint8_t *to)
{
    if (!in.regular || in.all_read) {
        if (offset > in.bytes.size() || count > in.bytes.size() - offset)
            return unreadable("cannot read the file: it ends early");
        memcpy(to, in.bytes.data() + offset, count);
        return Error();
    }
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(in.fd, to + done, count - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return read_error(errno);
        if (n == 0)
            return unreadable("cannot read the file: it changed while it was read");
        done += (size_t)n;
    }
    return Error();
}

Error read_whole(Input &in, uint64_t most)
{
    if (in.all_read)
        return Error();
    if (in.regular) {
        if (in.size > most || in.size > SIZE_MAX)
            goto too_long;
        in.bytes.resize((size_t)in.size);
        if (Error e = read_at(in, 0, (size_t)in.size, in.bytes.data()))
            return e;
        in.all_read = true;
        return Error();
    }
    for (;;) {
        // Grows by half again each time, so a long input costs few copies.
        size_t had = in.bytes.size(), more = std::max<size_t>(had / 2, 1 << 16);
        if (had + more > most + 1)
            more = (size_t)(most + 1 - had);
        in.bytes.resize(had + more);
        int error = 0;
        ssize_t n = read_fully(in, in.bytes.data() + had, more, &error);
        if (n < 0) {
            in.bytes.resize(had);
            return read_error(error);
        }
        in.bytes.resize(had + (size_t)n);
        if (in.bytes.size() > most)
            goto too_long;
        if ((size_t)n < more)
            break;
    }
    in.all_read = true;
    return Error();
too_long:
    in.bytes.clear();
    in.bytes.shrink_to_fit();
    char text[96];
    snprintf(text, sizeof text, "input longer than %" PRIu64 " bytes, more than a picture of the size limit needs",
             most);
    return unreadable(text);
}

uint64_t input_size(const Input &in) { return in.regular ? in.size : in.bytes.size(); }
