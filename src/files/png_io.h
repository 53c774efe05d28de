// libpng's plain API as the PNG reader and writer use it. libpng reports
// errors by longjmp to the last setjmp, so every call that may fail is made
// from a function that sets its own and holds nothing that needs
// destroying; the message is kept for the reason.
#ifndef GFX16_FILES_PNG_IO_H
#define GFX16_FILES_PNG_IO_H

#include <png.h>

#include <cstdio>

struct PngIo {
    const uint8_t *data;  // reading
    size_t size, at;
    FILE *file;  // writing
    int write_errno;
    char message[200];
};

inline void on_png_error(png_structp png, png_const_charp message)
{
    PngIo *io = (PngIo *)png_get_error_ptr(png);
    snprintf(io->message, sizeof io->message, "%s", message);
    png_longjmp(png, 1);
}

inline void on_png_warning(png_structp, png_const_charp) {}

#endif
