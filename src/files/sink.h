// Writing carriers and pictures into an OutputFile, a block of items at a
// time. Formats, by the name's extension (any case):
//
//   written   .bmp                        .png                   .tga  .pcx
//   carrier   8-bit BMP (any other name)  8-bit paletted PNG     -     -
//   picture   24-bit BMP ("-" too)        24-bit PNG             24-bit TGA, PCX
//
// A BMP goes out as its rows come, straight into the file; the other
// formats are held whole and written at the end.
#ifndef GFX16_FILES_SINK_H
#define GFX16_FILES_SINK_H

#include <memory>
#include <string>

#include "files/output.h"
#include "files/rows.h"

enum class FileFormat { bmp, png, tga, pcx };

// The format of a picture written under `name`; false for an extension
// that is none of the four.
bool picture_format_for(const std::string &name, FileFormat *format);
// A carrier is a PNG when its name ends in ".png", else a BMP.
FileFormat carrier_format_for(const std::string &name);

// A sink for w x h items of rows_per_item rows (1: a picture, 2: a
// carrier) into an output that has been opened.
Error open_sink(FileFormat format, int rows_per_item, OutputFile &out, int w, int h, std::unique_ptr<RowSink> *sink);

#endif
