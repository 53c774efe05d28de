// The EXIF orientation of a JPEG, and a picture turned as it says (as
// Pillow's ImageOps.exif_transpose does).
#ifndef GFX16_FILES_EXIF_H
#define GFX16_FILES_EXIF_H

#include <cstddef>
#include <cstdint>

#include "files/picture.h"

// The tag 0x0112 in IFD0 of the first APP1 "Exif" segment (a SHORT, or a
// LONG, which Pillow takes too): 1 (as it stands) to 8; 1 when there is
// none, or when the segment is damaged: every offset is checked against the
// segment.
int jpeg_orientation(const uint8_t *data, size_t size);

// Turns the picture as the orientation says.
Error apply_orientation(Picture *p, int orientation);

#endif
