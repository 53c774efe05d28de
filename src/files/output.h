// Writing an output file without ever losing, clobbering or exposing one.
//
// A regular file (new, or one that is there) is written under a temporary
// name in its own folder, through the descriptor that created it, and
// renamed over the name only when complete: a failure, a signal or a crash
// never leaves a damaged file under the name, and an older file stays as it
// was. The new file keeps the old one's permission bits (and owner, where
// allowed; setuid and setgid only then); a new one gets those of any new
// file. A symbolic link stays a link: the file it points to is replaced, in
// that file's folder. A FIFO, a device or a socket (a pipe, /dev/null) is
// written straight through, never replaced; so is any of the process's own
// descriptors, by "-" (standard output) or by a name that leads to one
// (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N), from where it
// stands, even when it is a regular file. A terminal is refused.
#ifndef GFX16_FILES_OUTPUT_H
#define GFX16_FILES_OUTPUT_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "files/error.h"

struct OutputUndo;  // what a signal undoes (signals.h)

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile();  // removes a temporary file that was not committed

    // Looks at `name` before anything is read or written, and says why it
    // cannot be an output: a folder, a name ending in "/", a link to
    // nothing, a terminal, a descriptor open for reading only, or a file
    // without write permission for the caller (Error::write_protected,
    // unless `force`).
    Error prepare(const char *name, bool force);

    // The file that is there (after links), for telling whether two names
    // are the same file. False when nothing is there yet.
    bool exists() const { return has_target; }
    dev_t dev() const { return target_dev; }
    ino_t ino() const { return target_ino; }
    const std::string &name() const { return given; }
    // Where the file goes, as an absolute name with the folder's links
    // resolved: two names for one new file give the same.
    std::string where() const;

    // Creates the temporary file, or opens the stream or device; the
    // reason is the system's.
    Error open();
    // Whether any part may be written at any time (pwrite): a temporary
    // file, not a stream.
    bool seekable() const { return temporary; }

    Error write(const void *data, size_t size);
    Error write_at(uint64_t offset, const void *data, size_t size);

    // A stdio stream on the descriptor, for writers that want one; closed
    // (and its errors reported) by finish.
    FILE *stream();

    // Flushes, checks that a temporary holds what was written and gives it
    // its permissions; call it on every output before commit.
    Error finish();

    // Renames the temporary over the name. (Several outputs of one call:
    // commit_outputs.)
    Error commit();

    // Removes the temporary, if any.
    void discard();

private:
    std::string given;       // the name as given
    std::string path;        // where the file goes (links followed)
    std::string temp_path;
    int descriptor = -1;
    int own_fd = -1;         // the process's own descriptor that the name leads to
    bool written_through = false;  // a stream, device or descriptor: written where it is, never replaced
    bool temporary = false;
    bool has_target = false;
    dev_t target_dev = 0;
    ino_t target_ino = 0;
    mode_t target_mode = 0;
    uid_t target_uid = 0;
    gid_t target_gid = 0;
    FILE *file = nullptr;
    uint64_t position = 0;
    std::atomic<uint64_t> written_end{0};  // write_at may be called from several threads at once
    std::atomic<OutputUndo *> *undo = nullptr;  // a signal's way to remove the temporary
    void raise_written_end(uint64_t end);
    Error write_all(int64_t offset, const void *data, size_t size);
    Error use_descriptor(int fd);
    Error use_device(const struct stat &st);
    void forget_temporary();
    std::string hidden_link_name() const;  // a random name beside the file, for a link to it
    friend Error commit_outputs(OutputFile *const outputs[], size_t count, const OutputFile **failed);
};

// Commits the outputs of one call (null ones are skipped), all or nothing:
// each file that is there is kept under a hidden link until every rename is
// done, and put back, as a file that was not there is removed again, when a
// rename fails or a signal comes in between. On failure *failed is the
// output it concerns. Outputs not committed keep their temporaries, for
// discard.
Error commit_outputs(OutputFile *const outputs[], size_t count, const OutputFile **failed);

// Whether a user may write a file by its permission bits, as the system
// decides: the owner by the owner's bits only, a member of the file's group
// (as the effective group or one of `groups`) by the group's, anyone else by
// the others'. Root may write anything, but a file that nobody may write is
// still write-protected for root, as rm and cp treat it.
bool writable(uid_t file_uid, gid_t file_gid, mode_t mode, uid_t euid, gid_t egid, const gid_t *groups,
              int group_count);

#endif
