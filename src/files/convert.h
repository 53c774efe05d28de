// Encoding and decoding from a source into sinks, a slice of items at a
// time, so that memory does not grow with the picture when both ends are
// files whose rows can be used as they lie (BMP). An error says which file
// it concerns: 0 the source, 1 the first sink, 2 the preview.
#ifndef GFX16_FILES_CONVERT_H
#define GFX16_FILES_CONVERT_H

#include "files/rows.h"

// The format's own encoder, the nearest code of every pixel, or nearest
// codes with the error diffused (which needs the whole picture at once).
enum class Encoder { format, best, dithered };

// Encodes every item of the picture `source` into `carrier` and, when
// given, its preview into `preview`.
Error encode_stream(RowSource &source, RowSink &carrier, RowSink *preview, Encoder encoder);

// Decodes every item of the carrier `source` into `picture`.
Error decode_stream(RowSource &source, RowSink &picture);

#endif
