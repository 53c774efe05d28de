#include "output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporaries a signal handler must remove: fixed storage, read by the
// handler without locks or allocation.
const int max_temporaries = 16;
char temporaries[max_temporaries][PATH_MAX];
volatile sig_atomic_t in_use[max_temporaries];

int remember_temporary(const std::string &path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < max_temporaries; i++)
        if (!in_use[i]) {
            memcpy(temporaries[i], path.c_str(), path.size() + 1);
            in_use[i] = 1;
            return i;
        }
    return -1;
}

void forget_temporary(int slot)
{
    if (slot >= 0)
        in_use[slot] = 0;
}

extern "C" void remove_temporaries_and_die(int signal)
{
    for (int i = 0; i < max_temporaries; i++)
        if (in_use[i])
            unlink(temporaries[i]);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

std::string system_error(int error) { return strerror(error); }

// The name of a link's target, relative to the link's folder.
std::string resolve_link(const std::string &link, const char *target)
{
    if (target[0] == '/')
        return target;
    size_t slash = link.find_last_of('/');
    return slash == std::string::npos ? target : link.substr(0, slash + 1) + target;
}

// The caller may write to the file by its permission bits. (Root may write
// anything, but a file nobody may write to is still treated as protected.)
bool writable(const struct stat &st)
{
    if (geteuid() == 0)
        return st.st_mode & 0222;
    if (st.st_uid == geteuid())
        return st.st_mode & S_IWUSR;
    if (st.st_gid == getegid())
        return st.st_mode & S_IWGRP;
    gid_t groups[NGROUPS_MAX];
    int n = getgroups(NGROUPS_MAX, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == st.st_gid)
            return st.st_mode & S_IWGRP;
    return st.st_mode & S_IWOTH;
}

} // namespace

void handle_output_signals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_temporaries_and_die;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &action, nullptr);
    signal(SIGXFSZ, SIG_IGN);
}

OutputFile::~OutputFile() { discard(); }

void OutputFile::raise_written_end(uint64_t end)
{
    uint64_t seen = written_end.load();
    while (seen < end && !written_end.compare_exchange_weak(seen, end)) {
    }
}

std::string OutputFile::prepare(const char *name, bool force)
{
    given = name;
    if (!strcmp(name, "-")) {
        straight = true;
        struct stat st;
        if (fstat(STDOUT_FILENO, &st) == 0) {
            has_target = true;
            target_dev = st.st_dev;
            target_ino = st.st_ino;
        }
        return "";
    }
    if (given.empty())
        return "empty name";
    if (given.back() == '/')
        return "is a folder";

    // What is not a regular file is written through, whatever leads to it:
    // the kernel follows the links (/dev/stdout leads to a pipe by a link
    // only the kernel can follow).
    path = given;
    struct stat there;
    if (stat(given.c_str(), &there) == 0 && !S_ISREG(there.st_mode) && !S_ISDIR(there.st_mode)) {
        has_target = true;
        target_dev = there.st_dev;
        target_ino = there.st_ino;
        straight = true;
        return "";
    }

    // A regular file: follow links by hand, so that the file they lead to
    // is the one replaced, in its own folder.
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return system_error(errno);
            if (hops > 0)
                return "is a symbolic link to a file that does not exist";
            return "";  // a new file
        }
        if (S_ISLNK(st.st_mode)) {
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
        has_target = true;
        target_dev = st.st_dev;
        target_ino = st.st_ino;
        target_mode = st.st_mode;
        target_uid = st.st_uid;
        target_gid = st.st_gid;
        if (S_ISDIR(st.st_mode))
            return "is a folder";
        if (!S_ISREG(st.st_mode))
            return "changed while it was looked at";
        if (!force && !writable(st)) {
            refused_as_protected = true;
            return "is write-protected";
        }
        return "";
    }
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

std::string OutputFile::open()
{
    if (straight) {
        if (given == "-") {
            descriptor = STDOUT_FILENO;
            return "";
        }
        descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (descriptor < 0)
            return system_error(errno);
        struct stat st;
        if (fstat(descriptor, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
            // It became a regular file after it was looked at: never write
            // into one in place.
            ::close(descriptor);
            descriptor = -1;
            return "changed while it was being opened";
        }
        return "";
    }

    // ".NAME.XXXXXX" beside the file, the name cut short when the whole
    // would be longer than a name may be.
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    long name_max = pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    size_t room = (size_t)(name_max > 0 ? name_max : 255) - 8;
    if (base.size() > room)
        base.resize(room);
    std::string pattern = folder + "." + base + ".XXXXXX";

    // Blocked signals while the name is made and remembered: a signal in
    // between would leave the file behind.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    std::string name = pattern;
    descriptor = mkostemp(&name[0], O_CLOEXEC);
    int error = errno;
    if (descriptor >= 0) {
        temp_path = name;
        temporary = true;
        slot = remember_temporary(temp_path);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    if (descriptor < 0)
        return system_error(error);
    return "";
}

// Writes all of `data` at `offset` (a stream: where it stands, for offset
// -1), through interruptions and short writes; "" or the system's reason.
std::string OutputFile::write_all(int64_t offset, const void *data, size_t size)
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
    return "";
}

std::string OutputFile::write(const void *data, size_t size) { return write_all(-1, data, size); }

std::string OutputFile::write_at(uint64_t offset, const void *data, size_t size)
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

std::string OutputFile::finish()
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
        return "";
    struct stat st;
    if (fstat(descriptor, &st) != 0)
        return system_error(errno);
    if (!S_ISREG(st.st_mode) || (uint64_t)st.st_size != written_end)
        return "the written file is not what was written";
    // The old file's permission bits (and owner and group, where that is
    // allowed: a file written by root for a user stays the user's); a new
    // file those of any new file.
    mode_t mode;
    if (has_target) {
        if (fchown(descriptor, target_uid, target_gid) != 0 && fchown(descriptor, (uid_t)-1, target_gid) != 0) {
            // Not allowed: the file becomes the caller's, with the group's
            // and others' bits only as far as the old file had them.
        }
        mode = target_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(descriptor, mode) != 0)
        return system_error(errno);
    return "";
}

std::string OutputFile::commit()
{
    if (!temporary)
        return "";
    if (rename(temp_path.c_str(), path.c_str()) != 0)
        return system_error(errno);
    forget_temporary(slot);
    slot = -1;
    temporary = false;
    ::close(descriptor);
    descriptor = -1;
    return "";
}

void OutputFile::discard()
{
    if (file) {
        fclose(file);
        file = nullptr;
    }
    if (temporary) {
        unlink(temp_path.c_str());
        forget_temporary(slot);
        slot = -1;
        temporary = false;
    }
    if (descriptor > 2)
        ::close(descriptor);
    descriptor = -1;
}
