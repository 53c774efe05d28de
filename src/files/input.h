// An input file, read through the descriptor it was opened with: a regular
// file in parts at any place, anything else (standard input, a pipe, a
// device) from start to end.
#ifndef GFX16_FILES_INPUT_H
#define GFX16_FILES_INPUT_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "files/error.h"

struct Input {
    std::string name;      // as given; "-" is standard input
    int fd = -1;
    bool regular = false;  // a regular file: its size is known and any part can be read
    uint64_t size = 0;     // of a regular file
    dev_t dev = 0;
    ino_t ino = 0;
    // What has been read of an input that is not a regular file: its start,
    // or all of it (all_read) after read_whole.
    std::vector<uint8_t> bytes;
    bool all_read = false;
    // A FIFO opened without waiting for its writer: read as the end until
    // one comes, so reading waits for one first.
    bool writer_awaited = false;

    Input() = default;
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    ~Input();
};

// An input of bytes already in memory, read whole.
void input_from_memory(Input *in, const uint8_t *data, size_t size);

// Opens `name` ("-": standard input) for reading. The reasons it gives:
// "cannot open the file: ...", "cannot read the file: Is a directory".
Error open_input(const char *name, Input *in);

// The first bytes (up to `count`), without using them up.
Error read_head(Input &in, size_t count, std::vector<uint8_t> *head);

// `count` bytes at `offset`. A regular file may be read in any order;
// anything else only within what read_whole holds.
Error read_at(Input &in, uint64_t offset, size_t count, uint8_t *to);

// All of it into in.bytes (a regular file too), at most `most` bytes: a
// longer input is refused ("input longer than ...").
Error read_whole(Input &in, uint64_t most);

// The size of the input: a regular file's, or what read_whole read.
uint64_t input_size(const Input &in);

#endif
