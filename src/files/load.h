// Loading what both programs load: a source picture, and a carrier with the
// carrier rule applied. The reader is chosen by the file's content
// (detect.h), not its name.
//
// A carrier is a paletted BMP (1, 2, 4 or 8 bits; the indices are the bytes)
// or an 8-bit paletted or grey PNG, at least 2 rows high; an odd last row
// is ignored. Anything else is refused from its header, before its pixels
// are read, as Error::not_a_carrier.
#ifndef GFX16_FILES_LOAD_H
#define GFX16_FILES_LOAD_H

#include <memory>

#include "files/bmp.h"
#include "files/input.h"
#include "files/picture.h"
#include "files/rows.h"

// A picture (one row an item) or a carrier (two rows an item) to read.
// The reasons: "not a picture file this program reads: ...", a reader's, or
// the size limit broken.
Error open_picture(Input &in, const PictureLimits &limits, std::unique_ptr<RowSource> *out);
Error open_carrier(Input &in, const PictureLimits &limits, std::unique_ptr<RowSource> *out);

// Reads the whole picture of `source` into `picture`, for a caller that
// needs it again after encoding, and makes `source` read from there:
// `picture` must outlive it. A picture held in memory already is moved,
// not copied.
Error hold_picture(std::unique_ptr<RowSource> *source, Picture *picture);

// Why a BMP of these headers holds no codes (not paletted, or one row), or
// none.
Error bmp_carrier_rule(const BmpInfo &info);

#endif
