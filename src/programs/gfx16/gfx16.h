// gfx16: shows a picture through the packed HSV codec.
//
// Built in decode mode it reads the carrier "output.bmp" (or the file named
// as its argument) and shows the picture it holds; built in encode mode
// (GFX16_MODE=0) it reads "test5.bmp" (or the file named), shows it beside a
// preview of its encoding and writes the carrier to "output.bmp". Either way
// it then shows the pictures as the keys ask until the space bar.
#ifndef GFX16_PROGRAMS_GFX16_H
#define GFX16_PROGRAMS_GFX16_H

// 0: encode mode, 1: decode mode. Any other value runs neither mode and goes
// straight to the wait.
#ifndef GFX16_MODE
#define GFX16_MODE 1
#endif

#ifdef _WIN32
#define GFX16_INPUT_NAME "c:/Quill_dev/tech/test5.bmp"
#else
#define GFX16_INPUT_NAME "test5.bmp"
#endif
#define GFX16_CARRIER_NAME "output.bmp"

enum { GFX16_SCREEN_W = 1024, GFX16_SCREEN_H = 768 };

#endif
