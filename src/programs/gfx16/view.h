// What the desktop program shows of its pictures, and how the keys change it.
//
// The screen holds one or two panes: decode mode shows its picture on the
// whole screen, encode mode the preview and the picture side by side. The
// first view, "fitted", shows each picture whole: as it is when it fits its
// pane, else scaled down by an area average, both by the same factor and
// side by side. The other views divide the screen into equal panes that
// show the same region of every picture, at 2^zoom screen pixels a picture
// pixel, from 1 / 2^k (the first power of two at which the whole picture
// fits its pane) up to 8. Views are drawn from copies scaled once, so that
// a key costs the copying of one screenful, whatever the picture's size.
//
// Pure computation over memory: the Allegro side is in viewer.h.
#ifndef GFX16_PROGRAMS_VIEW_H
#define GFX16_PROGRAMS_VIEW_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 32-bit pixels in rows `stride` pixels apart. The four bytes of a pixel
// are averaged each on its own, so any channel order will do.
struct Pixels {
    const uint32_t *data = nullptr;
    ptrdiff_t stride = 0;
    int w = 0, h = 0;
    const uint32_t *row(int y) const { return data + y * stride; }
};

struct Image {
    int w = 0, h = 0;
    std::vector<uint32_t> px;
    Pixels pixels() const { return {px.data(), w, w, h}; }
};

Image copy_pixels(const Pixels &from);

// Scales `from` down to w x h (at most its own size): each pixel the mean
// of the pixels of `from` it covers, those it covers in part weighted by
// the part, rounded to the nearest level.
Image area_average(const Pixels &from, int w, int h);

// `count` copies of `from`, the k-th (from 1) scaled down by 2^k: each pixel
// the mean of a block of 2^k x 2^k, or of what the picture holds of it at
// the right and bottom edges.
std::vector<Image> halvings(const Pixels &from, int count);

// The screen and the pictures on it: `panes` side by side (1 or 2), of
// pictures of w x h.
struct Frame {
    int screen_w = 0, screen_h = 0;
    int panes = 1;
    int w = 0, h = 0;
    int pane_w() const { return screen_w / panes; }
};

// The size of the pictures in the fitted view: their own when they fit
// their panes, else scaled down to fit, keeping the aspect ratio.
struct Size {
    int w, h;
};
Size fitted_size(const Frame &frame);
bool fits(const Frame &frame);

// -k for the first 1 / 2^k at which the whole picture fits its pane; 0 when
// it fits as it is.
int smallest_zoom(const Frame &frame);
enum { largest_zoom = 3 };

struct View {
    bool fitted = true;
    int zoom = 0;           // 2^zoom screen pixels a picture pixel, when not fitted
    long x = 0, y = 0;      // the picture pixel at the top-left corner of every pane
    bool swapped = false;   // the panes' pictures in the other order
};

enum class Action { none, left, right, up, down, zoom_in, zoom_out, actual_size, fit, swap, quit };

// Keys are characters as typed, or these for the arrows.
enum { key_left = 0x100, key_right, key_up, key_down };
Action action_for_key(int key);

// Arrows move every pane by a quarter of its width or height, stopping at
// the picture's right and bottom edges (a picture smaller than its pane
// stays at the pane's top-left corner); in the fitted view, which shows the
// whole picture, they do nothing. Zooming keeps the point at the panes'
// centre (in the fitted view the picture's centre) where it is; from the
// fitted view + goes to the next power of two above it and - to the one at
// or below it.
void apply(View &view, Action action, const Frame &frame);

// One picture with the copies its views are drawn from.
struct Shown {
    Pixels full;
    Image own;                  // the full picture, when it is kept as a copy
    Image fitted;               // unless the picture fits as it is
    std::vector<Image> smaller; // smaller[k - 1]: scaled down by 2^k
};

// Makes the fitted and smaller copies of `full` (which must outlive it).
void prepare_shown(Shown &shown, const Pixels &full, const Frame &frame);

// Draws the view of the pictures (one a pane, in order; `swapped` reverses
// them) into `out`, screen_w x screen_h pixels in rows `stride` apart;
// whatever no picture covers is 0 (black).
void draw_view(const View &view, const Frame &frame, const Shown *const pictures[], uint32_t *out,
               ptrdiff_t stride);

// The zoom as people read it: "fitted 17.1%", "100%", "800%", "12.5%".
std::string zoom_text(const View &view, const Frame &frame);

#endif
