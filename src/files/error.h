// What went wrong, as a value: the kind of failure and its detail (a
// reader's reason, the system's). The programs put it into words where
// they print it, with the name of the file it concerns.
#ifndef GFX16_FILES_ERROR_H
#define GFX16_FILES_ERROR_H

#include <string>
#include <utility>

struct Error {
    enum Kind {
        none,
        reading,              // an input cannot be read, or is no picture this program reads
        not_a_carrier,        // a picture that holds no codes; the detail says what it is
        writing,              // an output cannot be written
        write_protected,      // an output its user may not write
        out_of_memory,
        codec_out_of_memory,  // the codec had not enough memory for the input's rows
        codec_refused,        // the codec refused the rows it was given
    };
    Kind kind = none;
    std::string detail;
    // Of the files of a call, the one it concerns: 0 its input, 1 its
    // first output, 2 its second.
    int file = 0;

    Error() = default;
    Error(Kind k, std::string why = "") : kind(k), detail(std::move(why)) {}
    explicit operator bool() const { return kind != none; }

    // In words, without the file's name ("truncated file", "not a carrier:
    // 24-bit BMP, not paletted", "is write-protected").
    std::string text() const;
};

inline Error unreadable(std::string why) { return Error(Error::reading, std::move(why)); }
inline Error unwritable(std::string why) { return Error(Error::writing, std::move(why)); }

// The same error, concerning file `file` of its call.
inline Error concerning(int file, Error e)
{
    e.file = file;
    return e;
}

// A library's message as a reason: lower case unless it starts with a name
// in capitals ("IDAT: ...", "JPEG ...").
std::string library_reason(const char *message);

#endif
