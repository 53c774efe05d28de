#include "files/output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// What a signal handler must undo for one file. Made and published outside
// the handler, and never changed once published: the handler only reads it.
struct OutputUndo {
    enum Kind {
        remove_temporary,  // `name`, a temporary not yet renamed
        restore_old,       // `name`, a hidden link to the old file, back over `target`
        remove_new,        // `target`, when it is the new file (`dev`, `ino`) and not someone else's
    } kind;
    std::string name, target;
    dev_t dev = 0;
    ino_t ino = 0;
    // restore_old and remove_new: set once every rename of the commit is
    // done; the new files then stay.
    const std::atomic<int> *committed = nullptr;
};

namespace {

// ---- What a signal undoes ------------------------------------------------------
// A table of pointers that grows by blocks, allocated outside the handler and
// never freed, so that the handler walks it without locks or allocation at
// any number of outputs at once. An entry's owner takes it out of the table
// before it frees it; `dying` tells it that a handler may be reading it
// still, and then it never returns: the process is about to die of the
// signal.
//
// A file is made and its entry published inside a SignalSafeSection: with
// signals blocked in that thread, and counted in `busy`, which the handler
// (running in another thread) waits to see at 0 before it walks the table.
// Otherwise a file made just before the walk, and published just after it,
// would outlive the process; and no section starts once `dying` is set.
const int slots_per_block = 32;
struct UndoBlock {
    std::atomic<OutputUndo *> slot[slots_per_block];
    std::atomic<UndoBlock *> next;
};
static_assert(std::atomic<OutputUndo *>::is_always_lock_free, "the signal handler reads the table");
UndoBlock first_block;
std::atomic<int> dying{0};
std::atomic<int> busy{0};

// Async-signal-safe: system calls only.
void undo(const OutputUndo &u)
{
    bool committed = u.committed && u.committed->load();
    struct stat st;
    switch (u.kind) {
    case OutputUndo::remove_temporary:
        unlink(u.name.c_str());
        break;
    case OutputUndo::restore_old:
        // Before the new file's rename both names are links to the old file,
        // and rename leaves them so. A link that cannot be put back stays:
        // it is the only copy of the old file.
        if (committed || rename(u.name.c_str(), u.target.c_str()) == 0)
            unlink(u.name.c_str());
        break;
    case OutputUndo::remove_new:
        if (!committed && lstat(u.target.c_str(), &st) == 0 && st.st_dev == u.dev && st.st_ino == u.ino)
            unlink(u.target.c_str());
        break;
    }
}

[[noreturn]] void wait_for_the_end()
{
    for (;;)
        pause();
}

OutputUndo *make_undo(OutputUndo::Kind kind, const std::string &name, const std::string &target)
{
    try {
        return new OutputUndo{kind, name, target};
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

// Publishes `u` in a free slot, or nullptr when no memory is left for one.
// Called inside a SignalSafeSection.
std::atomic<OutputUndo *> *remember(OutputUndo *u)
{
    for (UndoBlock *b = &first_block;;) {
        for (std::atomic<OutputUndo *> &s : b->slot) {
            OutputUndo *none = nullptr;
            if (s.compare_exchange_strong(none, u))
                return &s;
        }
        UndoBlock *next = b->next.load();
        if (!next) {
            UndoBlock *fresh = new (std::nothrow) UndoBlock();
            if (!fresh)
                return nullptr;
            if (b->next.compare_exchange_strong(next, fresh))
                next = fresh;
            else
                delete fresh;  // another thread's block came first; `next` is it
        }
        b = next;
    }
}

void forget(std::atomic<OutputUndo *> *slot)
{
    OutputUndo *u = slot->exchange(nullptr);
    if (dying.load())
        wait_for_the_end();  // a handler may be reading u
    delete u;
}

// Signals blocked in this thread, and the handler in any other held off,
// while a file is made or moved and its entry published.
class SignalSafeSection {
public:
    SignalSafeSection()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        busy++;
        if (dying.load()) {
            busy--;
            wait_for_the_end();
        }
    }
    ~SignalSafeSection()
    {
        busy--;
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    }
    SignalSafeSection(const SignalSafeSection &) = delete;
    SignalSafeSection &operator=(const SignalSafeSection &) = delete;

private:
    sigset_t before;
};

extern "C" void undo_and_die(int signal)
{
    dying.store(1);
    while (busy.load() > 0) {
        // Other threads finishing a file's making or a commit's links: a
        // few system calls.
    }
    for (UndoBlock *b = &first_block; b; b = b->next.load())
        for (std::atomic<OutputUndo *> &s : b->slot)
            if (OutputUndo *u = s.load())
                undo(*u);
    struct sigaction fatal;
    memset(&fatal, 0, sizeof fatal);
    fatal.sa_handler = SIG_DFL;
    sigemptyset(&fatal.sa_mask);
    sigaction(signal, &fatal, nullptr);
    // Blocked while the handler runs: delivered, and fatal, when it returns
    // (a crash's too, rather than the fault being run again).
    raise(signal);
}

// Every signal whose default is to end the program, bar SIGKILL and SIGXFSZ.
const int fatal_signals[] = {
    SIGHUP,  SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2,
    SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,  SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

// 0666 less the umask. The umask can be read only by setting it, which
// would race with threads that create files: it is read once, before main.
const mode_t new_file_mode = [] {
    mode_t mask = umask(0);
    umask(mask);
    return (mode_t)(0666 & ~mask);
}();

// ---- Names --------------------------------------------------------------------

std::string system_error(int error) { return strerror(error); }

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

void handle_output_signals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = undo_and_die;
    sigfillset(&action.sa_mask);
    auto handle = [&](int s) {
        struct sigaction before;
        if (sigaction(s, nullptr, &before) != 0)
            return;
        // Ignored by whoever started the program (nohup, a shell's
        // background job): theirs to decide.
        if (!(before.sa_flags & SA_SIGINFO) && before.sa_handler == SIG_IGN)
            return;
        sigaction(s, &action, nullptr);
    };
    for (int s : fatal_signals)
        handle(s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; s++)
        handle(s);
    signal(SIGXFSZ, SIG_IGN);
}

void hold_standard_descriptors(void)
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // open takes the lowest free number: this one.
            int got = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
            if (got > fd)
                close(got);
        }
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
    if (!strcmp(name, "-"))
        return use_descriptor(STDOUT_FILENO);
    if (given.empty())
        return "empty name";
    if (given.back() == '/')
        return "is a folder";

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
                return "";  // a new file
            // Some links only the kernel can follow (another process's
            // descriptor of a pipe leads to "pipe:[N]").
            struct stat there;
            if (stat(given.c_str(), &there) == 0 && !S_ISREG(there.st_mode) && !S_ISDIR(there.st_mode)) {
                path = given;
                return use_device(there);
            }
            return "is a symbolic link to a file that does not exist";
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
            return "is a folder";
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
            refused_as_protected = true;
            return "is write-protected";
        }
        return "";
    }
}

// One of the process's descriptors, written from where it stands.
std::string OutputFile::use_descriptor(int fd)
{
    straight = true;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return system_error(errno);
    if ((flags & O_ACCMODE) == O_RDONLY)
        return "is open for reading only";
    struct stat st;
    if (fstat(fd, &st) == 0) {
        has_target = true;
        target_dev = st.st_dev;
        target_ino = st.st_ino;
    }
    if (isatty(fd))
        return terminal_refused;
    through = fd;
    return "";
}

// A device, FIFO or socket at `path`, written through what the kernel
// opens. A device is opened now, so that a terminal is refused before
// anything is read; a FIFO only by open(), as its open waits for a reader.
std::string OutputFile::use_device(const struct stat &st)
{
    straight = true;
    has_target = true;
    target_dev = st.st_dev;
    target_ino = st.st_ino;
    if (!S_ISCHR(st.st_mode))
        return "";
    // O_NONBLOCK: the open of a serial line does not wait for its carrier.
    descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (descriptor < 0)
        return system_error(errno);
    fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    return isatty(descriptor) ? terminal_refused : "";
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
        if (descriptor >= 0)
            return "";  // a device, opened by prepare
        if (through >= 0) {
            // A copy shares the descriptor's place in the file and its
            // O_APPEND, and can be closed.
            descriptor = fcntl(through, F_DUPFD_CLOEXEC, 3);
            return descriptor < 0 ? system_error(errno) : "";
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
            return "changed while it was being opened";
        }
        return "";
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
    return "";
}

void OutputFile::forget_temporary()
{
    if (undo)
        forget(undo);
    undo = nullptr;
}

std::string OutputFile::commit()
{
    if (!temporary)
        return "";
    if (rename(temp_path.c_str(), path.c_str()) != 0)
        return system_error(errno);
    forget_temporary();
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
        forget_temporary();
        temporary = false;
    }
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

std::string commit_outputs(OutputFile *const outputs[], size_t count, const OutputFile **failed)
{
    std::vector<OutputFile *> files;
    for (size_t i = 0; i < count; i++)
        if (outputs[i] && outputs[i]->temporary)
            files.push_back(outputs[i]);
    const OutputFile *unused;
    if (!failed)
        failed = &unused;
    *failed = nullptr;
    if (files.size() < 2) {
        std::string why = files.empty() ? "" : files[0]->commit();
        if (!why.empty())
            *failed = files[0];
        return why;
    }

    // Each name's old file is kept under a hidden link until every rename
    // is done; where there is none, the new file is removed again on a
    // failure. A file that cannot be linked (a file system without links)
    // is renamed last, where nothing needs putting back after it.
    struct Kept {
        OutputFile *file;
        std::string link;  // "" when there was no old file, or no link could be made
        std::atomic<OutputUndo *> *undo;
    };
    std::atomic<int> committed{0};
    std::vector<Kept> order, unkept;
    std::string why;
    for (OutputFile *f : files) {
        struct stat st;
        if (fstat(f->descriptor, &st) != 0) {
            why = system_error(errno);
            *failed = f;
            break;
        }
        Kept k = {f, "", nullptr};
        bool lost;
        {
            SignalSafeSection section;
            int error = 0;
            for (int tries = 0; tries < 100; tries++) {
                std::string name = hidden_name(hidden_pattern(f->path));
                if (link(f->path.c_str(), name.c_str()) == 0) {
                    k.link = name;
                    break;
                }
                error = errno;
                if (error != EEXIST)
                    break;
            }
            OutputUndo *u = nullptr;
            if (!k.link.empty())
                u = make_undo(OutputUndo::restore_old, k.link, f->path);
            else if (error == ENOENT && (u = make_undo(OutputUndo::remove_new, "", f->path))) {
                u->dev = st.st_dev;
                u->ino = st.st_ino;
            }
            if (u) {
                u->committed = &committed;
                k.undo = remember(u);
                if (!k.undo)
                    delete u;
            }
            lost = (!k.link.empty() || error == ENOENT) && !k.undo;
            if (lost && !k.link.empty())
                unlink(k.link.c_str());
        }
        if (lost) {
            why = system_error(ENOMEM);
            *failed = f;
            break;
        }
        (k.undo ? order : unkept).push_back(k);
    }
    order.insert(order.end(), unkept.begin(), unkept.end());

    size_t renamed = 0;
    if (why.empty()) {
        for (; renamed < order.size(); renamed++) {
            OutputFile *f = order[renamed].file;
            if (rename(f->temp_path.c_str(), f->path.c_str()) != 0) {
                why = system_error(errno);
                *failed = f;
                break;
            }
            f->forget_temporary();
            f->temporary = false;
            ::close(f->descriptor);
            f->descriptor = -1;
        }
    }
    if (why.empty()) {
        committed.store(1);
    } else {
        // Back as it was: the old files over the new ones, the new ones
        // without an old one removed.
        for (size_t i = 0; i < renamed; i++) {
            Kept &k = order[i];
            if (!k.link.empty() && rename(k.link.c_str(), k.file->path.c_str()) != 0) {
                why += "; " + k.file->given + " could not be put back: the old file is " + k.link;
                k.link.clear();
            } else if (k.link.empty() && k.undo) {
                undo(*k.undo->load());
            }
        }
    }
    for (Kept &k : order) {
        if (k.undo)
            forget(k.undo);
        if (!k.link.empty())
            unlink(k.link.c_str());
    }
    return why;
}
