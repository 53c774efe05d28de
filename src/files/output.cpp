#include "files/output.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "files/signals.h"

namespace {

// 0666 less the umask. The umask can be read only by setting it, which
// would race with threads that create files: it is read once, before main.
const mode_t new_file_mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return (mode_t)(0666 & ~mask);
}();

Error system_error(int error) { return unwritable(strerror(error)); }

const char terminal_refused[] = "is a terminal: a picture is not written to one (send it to a file or a pipe)";

// The name of a link's target, relative to the link's folder.
std::string resolve_link(const std::string &link, const char *target)
{
    if (target[0] == '/')
        return target;
    size_t slash = link.find_last_of('/');
    return slash == std::string::npos ? target : link.substr(0, slash + 1) + target;
}

bool same_inode(const char *a, const struct stat &b)
{
    struct stat st;
    return stat(a, &st) == 0 && st.st_dev == b.st_dev && st.st_ino == b.st_ino;
}

// The descriptor N when `link` is this process's /proc/self/fd/N, under any
// name of that folder (/dev/fd/N; /dev/stdout leads to /proc/self/fd/1);
// else -1.
int own_descriptor(const std::string &link)
{
    size_t slash = link.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : link.substr(0, slash);
    const char *digits = link.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    size_t n = strlen(digits);
    if (n == 0 || n > 9 || strspn(digits, "0123456789") != n)
        return -1;
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return -1;
    if (!same_inode("/proc/self/fd", st) && !same_inode("/proc/thread-self/fd", st))
        return -1;
    return atoi(digits);
}

// ".NAME.XXXXXX" beside the file, NAME cut short when the whole would be
// longer than a name may be.
std::string hidden_pattern(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    size_t room = (size_t)(name_max > 0 ? name_max : 255) - 8;
    if (base.size() > room)
        base.resize(room);
    return folder + "." + base + ".XXXXXX";
}

// The pattern's X's made random letters, for a name mkostemp cannot make
// (a link's).
std::string hidden_name(std::string pattern)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<unsigned> count{0};
    unsigned char r[6];
    if (getrandom(r, sizeof r, GRND_NONBLOCK) != (ssize_t)sizeof r) {
        uint64_t x = (uint64_t)getpid() * 0x9E3779B97F4A7C15ull ^ (uint64_t)time(nullptr) ^ ((uint64_t)count++ << 32);
        for (unsigned char &c : r) {
            x = x * 6364136223846793005ull + 1442695040888963407ull;
            c = (unsigned char)(x >> 56);
        }
    }
    for (size_t i = 0; i < 6; i++)
        pattern[pattern.size() - 6 + i] = letters[r[i] % 62];
    return pattern;
}

} // namespace

bool writable(uid_t file_uid, gid_t file_gid, mode_t mode, uid_t euid, gid_t egid, const gid_t *groups,
              int group_count)
{
    if (euid == 0)
        return mode & 0222;
    if (file_uid == euid)
        return mode & S_IWUSR;
    bool member = file_gid == egid || std::find(groups, groups + std::max(group_count, 0), file_gid) !=
                                          groups + std::max(group_count, 0);
    return mode & (member ? S_IWGRP : S_IWOTH);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::raise_written_end(uint64_t end)
{
    uint64_t seen = written_end.load();
    while (seen < end && !written_end.compare_exchange_weak(seen, end)) {
    }
}

Error OutputFile::prepare(const char *name, bool force)
{
    given = name;
    if (!strcmp(name, "-"))
        return use_descriptor(STDOUT_FILENO);
    if (given.empty())
        return unwritable("empty name");
    if (given.back() == '/')
        return unwritable("is a folder");

    // Links are followed by hand, so that the file they lead to is the one
    // replaced, in its own folder; but a link that is one of this process's
    // descriptors (/dev/stdout leads to /proc/self/fd/1) is that descriptor.
    path = given;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return system_error(errno);
            if (hops == 0)
                return Error();  // a new file
            // Some links only the kernel can follow (another process's
            // descriptor of a pipe leads to "pipe:[N]").
            struct stat there;
            if (stat(given.c_str(), &there) == 0 && !S_ISREG(there.st_mode) && !S_ISDIR(there.st_mode)) {
                path = given;
                return use_device(there);
            }
            return unwritable("is a symbolic link to a file that does not exist");
        }
        if (S_ISLNK(st.st_mode)) {
            int fd = own_descriptor(path);
            if (fd >= 0)
                return use_descriptor(fd);
            if (hops >= 40)
                return system_error(ELOOP);
            char target[PATH_MAX];
            ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            if (n < 0)
                return system_error(errno);
            target[n] = 0;
            path = resolve_link(path, target);
            continue;
        }
        if (S_ISDIR(st.st_mode))
            return unwritable("is a folder");
        if (!S_ISREG(st.st_mode))
            return use_device(st);
        has_target = true;
        target_dev = st.st_dev;
        target_ino = st.st_ino;
        target_mode = st.st_mode;
        target_uid = st.st_uid;
        target_gid = st.st_gid;
        int count = getgroups(0, nullptr);
        std::vector<gid_t> groups((size_t)std::max(count, 0));
        count = getgroups(count, groups.data());
        if (!force && !writable(st.st_uid, st.st_gid, st.st_mode, geteuid(), getegid(), groups.data(), count)) {
            return Error(Error::write_protected);
        }
        return Error();
    }
}

// One of the process's descriptors, written from where it stands.
Error OutputFile::use_descriptor(int fd)
{
    written_through = true;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return system_error(errno);
    if ((flags & O_ACCMODE) == O_RDONLY)
        return unwritable("is open for reading only");
    struct stat st;
    if (fstat(fd, &st) == 0) {
        has_target = true;
        target_dev = st.st_dev;
        target_ino = st.st_ino;
    }
    if (isatty(fd))
        return unwritable(terminal_refused);
    own_fd = fd;
    return Error();
}

// A device, FIFO or socket at `path`, written through what the kernel
// opens. A device is opened now, so that a terminal is refused before
// anything is read; a FIFO only by open(), as its open waits for a reader.
Error OutputFile::use_device(const struct stat &st)
{
    written_through = true;
    has_target = true;
    target_dev = st.st_dev;
    target_ino = st.st_ino;
    if (!S_ISCHR(st.st_mode))
        return Error();
    // O_NONBLOCK: the open of a serial line does not wait for its carrier.
    descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return system_error(errno);
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return isatty(descriptor) ? unwritable(terminal_refused) : Error();
}

std::string OutputFile::where() const
{
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char resolved[PATH_MAX];
    if (!realpath(folder.c_str(), resolved))
        return path;
    return std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
}

Error OutputFile::open()
{
    if (written_through) {
        if (descriptor >= 0)
            return Error();  // a device, opened by prepare
        if (own_fd >= 0) {
            // A copy shares the descriptor's place in the file and its
            // O_APPEND, and can be closed.
            descriptor = fcntl(own_fd, F_DUPFD_CLOEXEC, 3);
            return descriptor < 0 ? system_error(errno) : Error();
        }
        descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (descriptor < 0)
            return system_error(errno);
        struct stat st;
        if (fstat(descriptor, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || isatty(descriptor)) {
            // It became a regular file (or a terminal) after it was looked
            // at: never write into one in place.
            ::close(descriptor);
            descriptor = -1;
            return unwritable("changed while it was being opened");
        }
        return Error();
    }

    int error;
    {
        SignalSafeSection section;
        std::string name = hidden_pattern(path);
        descriptor = mkostemp(&name[0], O_CLOEXEC);
        error = errno;
        if (descriptor >= 0) {
            OutputUndo *u = make_undo(OutputUndo::remove_temporary, name, "");
            undo = u ? remember(u) : nullptr;
            if (undo) {
                temp_path = name;
                temporary = true;
            } else {
                delete u;
                unlink(name.c_str());
                ::close(descriptor);
                descriptor = -1;
                error = ENOMEM;
            }
        }
    }
    if (descriptor < 0)
        return system_error(error);
    return Error();
}

// Writes all of `data` at `offset` (a stream: where it stands, for offset
// -1), through interruptions and short writes.
Error OutputFile::write_all(int64_t offset, const void *data, size_t size)
{
    const uint8_t *p = (const uint8_t *)data;
    uint64_t at = offset < 0 ? position : (uint64_t)offset;
    while (size > 0) {
        ssize_t n = offset < 0 ? ::write(descriptor, p, size) : pwrite(descriptor, p, size, (off_t)at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return system_error(errno);
        if (n == 0)
            return system_error(EIO);
        p += n;
        size -= (size_t)n;
        at += (uint64_t)n;
    }
    if (offset < 0)
        position = at;
    raise_written_end(at);
    return Error();
}

Error OutputFile::write(const void *data, size_t size) { return write_all(-1, data, size); }

Error OutputFile::write_at(uint64_t offset, const void *data, size_t size)
{
    return write_all((int64_t)offset, data, size);
}

FILE *OutputFile::stream()
{
    if (!file) {
        // A descriptor of its own, so that closing the stream leaves ours.
        int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
        if (copy < 0)
            return nullptr;
        file = fdopen(copy, "wb");
        if (!file)
            ::close(copy);
    }
    return file;
}

Error OutputFile::finish()
{
    if (file) {
        // The writers report a failed write where it happens; this catches
        // what stdio still held.
        bool flush_failed = fflush(file) != 0;
        int error = flush_failed ? errno : EIO;
        bool failed = flush_failed || ferror(file);
        off_t end = ftello(file);
        if (end > 0)
            raise_written_end((uint64_t)end);
        if (fclose(file) != 0 && !failed) {
            failed = true;
            error = errno;
        }
        file = nullptr;
        if (failed)
            return system_error(error ? error : EIO);
    }
    if (!temporary)
        return Error();
    struct stat st;
    if (fstat(descriptor, &st) != 0)
        return system_error(errno);
    if (!S_ISREG(st.st_mode) || (uint64_t)st.st_size != written_end)
        return unwritable("the written file is not what was written");
    // The old file's permission bits, and its owner and group where that is
    // allowed (a file written by root for a user stays the user's); a new
    // file those of any new file.
    mode_t mode = new_file_mode;
    if (has_target) {
        bool owner_kept = fchown(descriptor, target_uid, target_gid) == 0;
        if (!owner_kept)
            fchown(descriptor, (uid_t)-1, target_gid);  // the group at least, where allowed
        mode = target_mode & 07777;
        // Setuid and setgid would lend the caller's rights, not the old
        // owner's and group's: they go, as cp drops them.
        if (!owner_kept)
            mode &= ~(mode_t)(S_ISUID | S_ISGID);
    }
    if (fchmod(descriptor, mode) != 0)
        return system_error(errno);
    return Error();
}

void OutputFile::forget_temporary()
{
    if (undo)
        forget(undo);
    undo = nullptr;
}

Error OutputFile::commit()
{
    if (!temporary)
        return Error();
    if (rename(temp_path.c_str(), path.c_str()) != 0)
        return system_error(errno);
    forget_temporary();
    temporary = false;
    ::close(descriptor);
    descriptor = -1;
    return Error();
}

void OutputFile::discard()
{
    if (file) {
        fclose(file);
        file = nullptr;
    }
    if (temporary) {
        unlink(temp_path.c_str());
        forget_temporary();
        temporary = false;
    }
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

std::string OutputFile::hidden_link_name() const { return hidden_name(hidden_pattern(path)); }
