#include "files/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

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

[[noreturn]] void wait_for_the_end()
{
    for (;;)
        pause();
}

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

} // namespace

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

OutputUndo *make_undo(OutputUndo::Kind kind, const std::string &name, const std::string &target)
{
    try {
        return new OutputUndo{kind, name, target};
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

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

SignalSafeSection::SignalSafeSection()
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

SignalSafeSection::~SignalSafeSection()
{
    busy--;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
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
