// The desktop program's screen after its work is done: the view of its
// pictures (view.h) on Allegro's screen, the window's title, and the keys,
// until the space bar.
#ifndef GFX16_PROGRAMS_VIEWER_H
#define GFX16_PROGRAMS_VIEWER_H

#include <string>

#include "programs/gfx16/view.h"

struct BITMAP;

struct Viewer {
    std::string program, file;  // for the window's title
    Frame frame;
    Shown pictures[2];
    View view;
    BITMAP *canvas = nullptr;  // each view is drawn here whole, then copied to the screen
};

// Starts a viewer of `panes` pictures of w x h, named in the title by the
// program and the file. When they must be scaled to fit, Allegro's screen
// is closed to drawing until viewer_show, so that the codec's full-size copy
// of a corner does not come before the fitted view.
void viewer_start(Viewer &viewer, const char *program, const std::string &file, int panes, int w, int h);

// Puts the picture in `b` in pane `pane` (0 at the left): `b` itself, or
// with `copy` a copy of it (the encoder overwrites its source with the
// preview). Throws std::bad_alloc when memory runs out.
void viewer_add(Viewer &viewer, int pane, BITMAP *b, bool copy);

// Draws the view on the screen and names it in the window's title. Throws
// std::bad_alloc when memory runs out.
void viewer_show(Viewer &viewer);

// Shows the first view and follows the keys until the space bar is pressed.
void viewer_run(Viewer &viewer);

#endif
