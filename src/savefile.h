// Saving an image without ever leaving a damaged file behind.
#ifndef GFX16_SAVEFILE_H
#define GFX16_SAVEFILE_H

struct BITMAP;
struct RGB;

typedef int (*image_saver)(const char *path, BITMAP *image, const RGB *pal);

// Saves `image` with `save` (save_bmp, say; NULL: the library's save_bitmap,
// whose format follows the extension of `path`) into a temporary file beside
// `path`, and renames it over `path` only when the whole file was written.
// On failure it returns -1, removes the temporary file and leaves any
// existing `path` as it was.
int save_bitmap_atomic(const char *path, BITMAP *image, const RGB *pal, image_saver save);

// Writes the bytes the library's save_bmp writes (40-byte header; 8-bit
// images with a 256-entry palette, 32-bit ones as 24 bits), a row at a time
// instead of a pixel at a time. Other depths go to save_bmp itself.
int save_bmp_quickly(const char *path, BITMAP *image, const RGB *pal);

#endif
