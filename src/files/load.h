// Loading what both programs load: a source picture, and a carrier with
// the carrier rule applied. The reader is chosen by the file's content, not
// its name:
//
//   format  starts with                   read by
//   BMP     "BM"                          bmp.h (plain rows a slice at a time)
//   PNG     89 "PNG" 0D 0A 1A 0A          libpng
//   JPEG    FF D8 FF                      libjpeg-turbo
//   WebP    "RIFF" size "WEBP"            libwebp
//   PCX     0A, version, 01               tgapcx.h
//   TGA     (no signature; a header that fits)  tgapcx.h
//
// A carrier is a paletted BMP (1, 2, 4 or 8 bits; the indices are the bytes)
// or an 8-bit paletted or grey PNG, at least 2 rows high; an odd last row
// is ignored. Anything else is refused from its header, before its pixels
// are read.
#ifndef GFX16_LOAD_H
#define GFX16_LOAD_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gfx16/codec.h"
#include "files/input.h"
#include "files/picture.h"

// A block of picture rows as they lie in memory: the first row, the step
// to the next (negative for rows that go upward) and the pixels' layout.
struct PixelRows {
    const uint8_t *first;
    ptrdiff_t stride;
    gfx16_layout layout;
};

// A picture being read, whose rows can be had in any order.
class PictureSource {
public:
    virtual ~PictureSource() = default;
    int w = 0, h = 0;
    const char *format = "";
    std::string name;        // for messages
    bool bottom_up = false;  // its rows are cheapest from the last row up
    // Rows [first, first + count), row 0 at the top, read into `block` (or
    // the source's own, without one); valid until the next call with it.
    // Calls with blocks of their own may run at once. "" or the reason.
    virtual std::string rows(int first, int count, PixelRows *out, Block *block = nullptr) = 0;
};

// The low and high bytes of a block of picture rows' codes.
struct CodeRows {
    const uint8_t *low, *high;
    ptrdiff_t stride;
};

// A carrier being read: w x h codes (the carrier is at least 2h rows high).
class CarrierSource {
public:
    virtual ~CarrierSource() = default;
    int w = 0, h = 0;
    int file_rows = 0;  // 2h, or 2h + 1 with a last row that is ignored
    const char *format = "";
    std::string name;
    bool bottom_up = false;
    virtual std::string rows(int first, int count, CodeRows *out, Block *block = nullptr) = 0;
};

// "" or the reason ("not a picture file this program reads: ...", a
// reader's reason, or the size limit broken).
std::string open_picture(Input &in, const PictureLimits &limits, std::unique_ptr<PictureSource> *out);
std::string open_carrier(Input &in, const PictureLimits &limits, std::unique_ptr<CarrierSource> *out);

// Whether a reason is the refusal of a file that holds no codes ("not a
// carrier: 24-bit BMP, not paletted"), rather than of a file that could not
// be read.
bool breaks_carrier_rule(const std::string &why);

// Reads the whole picture of `source` into memory, for a caller that needs
// it again after encoding, and makes `source` read from there; `picture`
// then points at it. A picture held whole already is not copied.
std::string hold_picture(std::unique_ptr<PictureSource> *source, const Picture **picture);

// What a file is: its format, its size as stored, and the picture it holds
// as a carrier or why it is none.
struct FileFacts {
    const char *format = "";
    int w = 0, h = 0;
    int carrier_w = 0, carrier_h = 0;
    std::string not_a_carrier;  // the reason after "not a carrier: ", or ""
};

// Reads no more of the file than that takes: a BMP's headers, from any kind
// of file (a stream's length is then unknown, and the headers are not
// checked against it); a file of the formats read whole, within the limits.
// "" or the reason the file cannot be read.
std::string describe_file(Input &in, const PictureLimits &limits, FileFacts *out);

// What the file is, by its first bytes: "BMP", "PNG", ..., a known format
// this program does not read ("GIF", "TIFF", ...), or "" for unknown.
const char *picture_format(const uint8_t *head, size_t n);

// Copies `count` rows of `w` pixels from one layout to another.
void copy_rows(const PixelRows &from, int w, int count, uint8_t *to, ptrdiff_t to_stride, const gfx16_layout &layout);

#endif
