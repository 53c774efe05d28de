// Writing files: the outputs of a call are opened, given sinks, filled,
// finished and committed together, all or none. Each output is prepared
// (OutputFile::prepare) first, by the caller, before anything is read.
#ifndef GFX16_FILES_WRITE_H
#define GFX16_FILES_WRITE_H

#include <functional>

#include "files/output.h"
#include "files/rows.h"
#include "files/sink.h"

// One output of a call: a prepared file, its format, and whether it holds
// a carrier (two rows an item) or a picture.
struct FileToWrite {
    OutputFile *file;
    FileFormat format;
    bool carrier;
};

// Writes `count` outputs of w x h items: opens each and makes its sink,
// has fill(sinks) fill them, finishes them and commits them together. An
// error from the outputs concerns output i as Error::file i + 1; fill's
// own errors say which file they concern themselves.
Error write_files(const FileToWrite files[], int count, int w, int h,
                  const std::function<Error(RowSink *const sinks[])> &fill);

// A whole file in one go: prepares `name` (see OutputFile::prepare), then
// writes the w x h items held in `from`.
Error write_file(const char *name, bool force, FileFormat format, bool carrier, int w, int h, const Rows &from);

#endif
