// What a fatal signal undoes, so that no output is left half made: a table
// of the temporary files and the commits under way, which the signal
// handler walks before the process dies of the signal; and the set-up of
// the process for its outputs.
#ifndef GFX16_FILES_SIGNALS_H
#define GFX16_FILES_SIGNALS_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <string>

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

// Async-signal-safe: system calls only.
void undo(const OutputUndo &u);

// A new entry, or nullptr when there is no memory for one.
OutputUndo *make_undo(OutputUndo::Kind kind, const std::string &name, const std::string &target);

// Publishes `u` in a free slot, or nullptr when no memory is left for one.
// Called inside a SignalSafeSection.
std::atomic<OutputUndo *> *remember(OutputUndo *u);

// Takes an entry out of the table and frees it.
void forget(std::atomic<OutputUndo *> *slot);

// Signals blocked in this thread, and the handler in any other held off,
// while a file is made or moved and its entry published.
class SignalSafeSection {
public:
    SignalSafeSection();
    ~SignalSafeSection();
    SignalSafeSection(const SignalSafeSection &) = delete;
    SignalSafeSection &operator=(const SignalSafeSection &) = delete;

private:
    sigset_t before;
};

// On every signal that would end the program (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, SIGPIPE, SIGUSR1, the real-time ones, a crash's, ...) removes
// every temporary file and undoes a commit under way, then dies of the
// signal. A signal ignored by whoever started the program stays ignored (a
// closed pipe then fails a write with EPIPE, reported like any failed
// write). Ignores SIGXFSZ, so that a write over a file-size limit fails with
// EFBIG. Call once at start, after any library that handles signals itself.
void handle_output_signals(void);

// Opens on /dev/null each standard descriptor that whoever started the
// program left closed, the wrong way round (0 for writing, 1 and 2 for
// reading): a file made later cannot take its number and receive what is
// printed, and printing there fails as it would on the closed descriptor.
// Call first thing in main.
void hold_standard_descriptors(void);

#endif
