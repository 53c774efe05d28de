// Encoding and decoding from a source into sinks, a slice of rows at a
// time, so that memory does not grow with the picture when both ends are
// files whose rows can be used as they lie (BMP).
#ifndef GFX16_CONVERT_H
#define GFX16_CONVERT_H

#include <string>

#include "files/load.h"
#include "files/save.h"

// The format's own encoder, the nearest code of every pixel, or nearest
// codes with the error diffused (which needs the whole picture at once).
enum class Encoder { format, best, dithered };

// Encodes every row of `source` into `carrier` and, when given, its preview
// into `preview`. "" or the reason, after the name of the file it concerns.
std::string encode_stream(PictureSource &source, CarrierSink &carrier, PictureSink *preview, Encoder encoder);

// Decodes every row of `source` into `picture`.
std::string decode_stream(CarrierSource &source, PictureSink &picture);

#endif
