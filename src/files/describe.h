// What a file is, for `gfx16conv info`: its format, its size as stored,
// and the picture it holds as a carrier or why it is none.
#ifndef GFX16_FILES_DESCRIBE_H
#define GFX16_FILES_DESCRIBE_H

#include <string>

#include "files/input.h"
#include "files/picture.h"

struct FileFacts {
    const char *format = "";
    int w = 0, h = 0;
    int carrier_w = 0, carrier_h = 0;
    std::string not_a_carrier;  // what the file is instead, or ""
};

// Reads no more of the file than that takes: a BMP's headers, from any kind
// of file (a stream's length is then unknown, and the headers are not
// checked against it); a file of the formats read whole, within the limits.
// The error is why the file cannot be read.
Error describe_file(Input &in, const PictureLimits &limits, FileFacts *out);

#endif
