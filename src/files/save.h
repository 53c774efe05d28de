// Writing what both programs write: carriers and pictures, into an
// OutputFile, a block of rows at a time.
//
// Formats, by the name's extension (any case):
//
//   written   .bmp                       .png                   .tga  .pcx
//   carrier   8-bit BMP (any other name)  8-bit paletted PNG     -     -
//   picture   24-bit BMP ("-" too)        24-bit PNG             24-bit TGA, PCX
//
// A BMP goes out as its rows come, straight into the file; the other
// formats are held whole and written at the end.
#ifndef GFX16_SAVE_H
#define GFX16_SAVE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gfx16/codec.h"
#include "files/output.h"
#include "files/picture.h"

enum class FileFormat { bmp, png, tga, pcx };

// The format of a picture written under `name`; false for an extension
// that is none of the four.
bool picture_format_for(const std::string &name, FileFormat *format);
// A carrier is a PNG when its name ends in ".png", else a BMP.
FileFormat carrier_format_for(const std::string &name);

struct PixelSpace {
    uint8_t *first;
    ptrdiff_t stride;
    gfx16_layout layout;
};

struct CodeSpace {
    uint8_t *low, *high;
    ptrdiff_t stride;
};

// Each sink: room() for rows [first, first + count) (row 0 at the top),
// filled by the caller, then put() with the same block; finish() when every
// row has been put. Rooms of blocks of their own may be filled and put at
// once, except in a sequential sink (a BMP into a pipe), which takes its
// blocks one at a time from the last row up, each just above the one
// before. Without a block the sink's own is used. Every call returns "" or
// the reason.
class PictureSink {
public:
    virtual ~PictureSink() = default;
    bool sequential = false;
    std::string name;  // for messages
    virtual std::string room(int first, int count, PixelSpace *out, Block *block = nullptr) = 0;
    virtual std::string put(Block *block = nullptr) = 0;
    virtual std::string finish() = 0;
};

class CarrierSink {
public:
    virtual ~CarrierSink() = default;
    bool sequential = false;
    std::string name;
    virtual std::string room(int first, int count, CodeSpace *out, Block *block = nullptr) = 0;
    virtual std::string put(Block *block = nullptr) = 0;
    virtual std::string finish() = 0;
};

// Sinks for a picture and for a carrier of w x h pixels, into an output
// that has been opened.
std::string picture_sink(FileFormat format, OutputFile &out, int w, int h, std::unique_ptr<PictureSink> *sink);
std::string carrier_sink(FileFormat format, OutputFile &out, int w, int h, std::unique_ptr<CarrierSink> *sink);

#endif
