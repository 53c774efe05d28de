#include "view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

Image copy_pixels(const Pixels &from)
{
    Image copy;
    copy.w = from.w;
    copy.h = from.h;
    copy.px.resize(size_t(from.w) * from.h);
    for (int y = 0; y < from.h; y++)
        memcpy(&copy.px[size_t(y) * from.w], from.row(y), size_t(from.w) * 4);
    return copy;
}

static uint32_t lane(uint32_t pixel, int i)
{
    return (pixel >> (8 * i)) & 0xff;
}

// Sums of weighted bytes, in four lanes a pixel, divided by `total` with
// rounding to the nearest level.
static uint32_t mean_pixel(const uint64_t *sums, uint64_t total)
{
    uint32_t pixel = 0;
    for (int i = 0; i < 4; i++)
        pixel |= uint32_t((sums[i] + total / 2) / total) << (8 * i);
    return pixel;
}

// Everything is counted in whole units: a source pixel is `out` units long
// and an output pixel `in` units, so each shares whole units with the few
// it overlaps, and the means are exact fractions.
struct Share {
    int source;
    uint32_t units;
};

static std::vector<Share> shares(int in, int out, std::vector<int> *first)
{
    std::vector<Share> list;
    first->assign(out + 1, 0);
    for (int o = 0; o < out; o++) {
        (*first)[o] = int(list.size());
        int64_t lo = int64_t(o) * in, hi = lo + in;
        int source = int(lo / out);
        while (lo < hi) {
            int64_t end = int64_t(source + 1) * out;
            int64_t part = std::min(hi, end) - lo;
            list.push_back({source, uint32_t(part)});
            lo += part;
            if (lo == end)
                source++;
        }
    }
    (*first)[out] = int(list.size());
    return list;
}

Image area_average(const Pixels &from, int w, int h)
{
    Image to;
    to.w = w;
    to.h = h;
    to.px.resize(size_t(w) * h);
    std::vector<int> first;
    const std::vector<Share> across = shares(from.w, w, &first);
    std::vector<uint64_t> row(size_t(w) * 4), sums(size_t(w) * 4, 0);
    const uint64_t total = uint64_t(from.w) * uint64_t(from.h);
    int y_out = 0;
    for (int y = 0; y < from.h; y++) {
        const uint32_t *src = from.row(y);
        std::fill(row.begin(), row.end(), 0);
        for (int x = 0; x < w; x++) {
            uint64_t *r = &row[size_t(x) * 4];
            for (int s = first[x]; s < first[x + 1]; s++) {
                const uint32_t p = src[across[s].source], units = across[s].units;
                for (int i = 0; i < 4; i++)
                    r[i] += uint64_t(units) * lane(p, i);
            }
        }
        // Row y spans units [y h, (y + 1) h) of the output rows, h units each
        // of `from.h`: it ends at most one output row and starts another.
        int64_t lo = int64_t(y) * h, hi = lo + h;
        while (lo < hi) {
            const int64_t end = int64_t(y_out + 1) * from.h;
            const int64_t part = std::min(hi, end) - lo;
            for (size_t i = 0; i < sums.size(); i++)
                sums[i] += uint64_t(part) * row[i];
            lo += part;
            if (lo == end) {
                uint32_t *dst = &to.px[size_t(y_out) * w];
                for (int x = 0; x < w; x++)
                    dst[x] = mean_pixel(&sums[size_t(x) * 4], total);
                std::fill(sums.begin(), sums.end(), 0);
                y_out++;
            }
        }
    }
    return to;
}

namespace {

// Each row of a level, as the sums of the pixels under it, goes into the
// next level's running sums, which become a row of means (and a row of the
// level after) once two rows are in: every level comes from the picture's
// own pixels in one pass, with no rounding in between.
struct Halver {
    int w, h;
    std::vector<Image> &out;
    std::vector<std::vector<uint64_t>> sums;
    std::vector<int> rows_in;

    Halver(int w_, int h_, std::vector<Image> &out_) : w(w_), h(h_), out(out_), rows_in(out_.size(), 0)
    {
        for (Image &level : out)
            sums.emplace_back(size_t(level.w) * 4, 0);
    }

    // Row `y` of level k (0: the picture), `row_w` pixels of four lanes.
    void push(size_t k, const uint64_t *row, int row_w, int y, bool last)
    {
        uint64_t *s = sums[k].data();
        for (int x = 0; x < row_w; x++)
            for (int i = 0; i < 4; i++)
                s[(x >> 1) * 4 + i] += row[x * 4 + i];
        if (++rows_in[k] < 2 && !last)
            return;
        Image &level = out[k];
        const int y_out = y >> 1, block = 2 << k;
        const int64_t block_h = std::min(block, h - y_out * block);
        uint32_t *dst = &level.px[size_t(y_out) * level.w];
        for (int x = 0; x < level.w; x++) {
            const int64_t block_w = std::min(block, w - x * block);
            dst[x] = mean_pixel(s + x * 4, uint64_t(block_w * block_h));
        }
        if (k + 1 < out.size())
            push(k + 1, s, level.w, y_out, y_out == level.h - 1);
        std::fill(sums[k].begin(), sums[k].end(), 0);
        rows_in[k] = 0;
    }
};

}  // namespace

std::vector<Image> halvings(const Pixels &from, int count)
{
    std::vector<Image> out(count);
    for (int k = 1; k <= count; k++) {
        Image &level = out[k - 1];
        level.w = int((int64_t(from.w) + (int64_t(1) << k) - 1) >> k);
        level.h = int((int64_t(from.h) + (int64_t(1) << k) - 1) >> k);
        level.px.resize(size_t(level.w) * level.h);
    }
    if (count == 0)
        return out;
    Halver halver(from.w, from.h, out);
    std::vector<uint64_t> row(size_t(from.w) * 4);
    for (int y = 0; y < from.h; y++) {
        const uint32_t *src = from.row(y);
        for (int x = 0; x < from.w; x++)
            for (int i = 0; i < 4; i++)
                row[size_t(x) * 4 + i] = lane(src[x], i);
        halver.push(0, row.data(), from.w, y, y == from.h - 1);
    }
    return out;
}

bool fits(const Frame &frame)
{
    return frame.w <= frame.pane_w() && frame.h <= frame.screen_h;
}

Size fitted_size(const Frame &frame)
{
    if (fits(frame))
        return {frame.w, frame.h};
    const int64_t w = frame.w, h = frame.h, pane_w = frame.pane_w(), pane_h = frame.screen_h;
    // The side that is the tighter fit fills the pane; the other follows,
    // rounded to the nearest pixel.
    if (w * pane_h >= h * pane_w)
        return {int(pane_w), int(std::max<int64_t>(1, (2 * h * pane_w + w) / (2 * w)))};
    return {int(std::max<int64_t>(1, (2 * w * pane_h + h) / (2 * h))), int(pane_h)};
}

int smallest_zoom(const Frame &frame)
{
    int k = 0;
    while (((int64_t(frame.w) + (int64_t(1) << k) - 1) >> k) > frame.pane_w() ||
           ((int64_t(frame.h) + (int64_t(1) << k) - 1) >> k) > frame.screen_h)
        k++;
    return -k;
}

Action action_for_key(int key)
{
    switch (key) {
    case key_left: return Action::left;
    case key_right: return Action::right;
    case key_up: return Action::up;
    case key_down: return Action::down;
    case '+': case '=': return Action::zoom_in;
    case '-': return Action::zoom_out;
    case '1': return Action::actual_size;
    case 'f': case 'F': return Action::fit;
    case '\t': return Action::swap;
    case ' ': return Action::quit;
    default: return Action::none;
    }
}

// How many picture pixels a pane shows across and down at `zoom`.
static int64_t shown_across(const Frame &frame, int zoom)
{
    return zoom >= 0 ? frame.pane_w() >> zoom : int64_t(frame.pane_w()) << -zoom;
}

static int64_t shown_down(const Frame &frame, int zoom)
{
    return zoom >= 0 ? frame.screen_h >> zoom : int64_t(frame.screen_h) << -zoom;
}

// Below actual size a pane starts at a whole pixel of its scaled copy, and
// the last position shows the copy's last pixel at the pane's edge.
static long clamp_position(long at, int64_t picture, int64_t shown, int zoom)
{
    const int k = zoom < 0 ? -zoom : 0;
    const int64_t copy = (picture + (int64_t(1) << k) - 1) >> k;
    const int64_t last = std::max<int64_t>(0, copy - (shown >> k));
    const int64_t cell = std::clamp<int64_t>(at >> k, 0, last);
    return long(cell << k);
}

static void clamp_view(View &view, const Frame &frame)
{
    view.x = clamp_position(view.x, frame.w, shown_across(frame, view.zoom), view.zoom);
    view.y = clamp_position(view.y, frame.h, shown_down(frame, view.zoom), view.zoom);
}

static void zoom_to(View &view, int zoom, const Frame &frame)
{
    int64_t centre_x, centre_y;
    if (view.fitted) {
        centre_x = frame.w / 2;
        centre_y = frame.h / 2;
    } else {
        centre_x = view.x + shown_across(frame, view.zoom) / 2;
        centre_y = view.y + shown_down(frame, view.zoom) / 2;
    }
    view.fitted = false;
    view.zoom = zoom;
    view.x = long(centre_x - shown_across(frame, zoom) / 2);
    view.y = long(centre_y - shown_down(frame, zoom) / 2);
    clamp_view(view, frame);
}

void apply(View &view, Action action, const Frame &frame)
{
    const int smallest = smallest_zoom(frame);
    switch (action) {
    case Action::left:
    case Action::right:
    case Action::up:
    case Action::down:
        if (view.fitted)
            return;
        if (action == Action::left || action == Action::right) {
            const long step = long(shown_across(frame, view.zoom) / 4);
            view.x += action == Action::left ? -step : step;
        } else {
            const long step = long(shown_down(frame, view.zoom) / 4);
            view.y += action == Action::up ? -step : step;
        }
        clamp_view(view, frame);
        return;
    case Action::zoom_in:
        if (view.fitted)
            zoom_to(view, smallest + 1, frame);
        else if (view.zoom < largest_zoom)
            zoom_to(view, view.zoom + 1, frame);
        return;
    case Action::zoom_out:
        if (view.fitted)
            zoom_to(view, smallest, frame);
        else if (view.zoom > smallest)
            zoom_to(view, view.zoom - 1, frame);
        return;
    case Action::actual_size:
        view.fitted = false;
        view.zoom = 0;
        view.x = view.y = 0;
        return;
    case Action::fit:
        view.fitted = true;
        view.zoom = 0;
        view.x = view.y = 0;
        return;
    case Action::swap:
        if (frame.panes == 2)
            view.swapped = !view.swapped;
        return;
    case Action::none:
    case Action::quit:
        return;
    }
}

void prepare_shown(Shown &shown, const Pixels &full, const Frame &frame)
{
    shown.full = full;
    if (!fits(frame)) {
        const Size size = fitted_size(frame);
        shown.fitted = area_average(full, size.w, size.h);
    }
    shown.smaller = halvings(full, -smallest_zoom(frame));
}

// Copies `from`, from its pixel (x, y) on, each pixel as `scale` x `scale`
// screen pixels, into the w x h pixels of `out` (already black).
static void put_pixels(const Pixels &from, long x, long y, int scale, uint32_t *out, ptrdiff_t stride, int w, int h)
{
    if (x >= from.w || y >= from.h)
        return;
    const int across = int(std::min<int64_t>(w, int64_t(from.w - x) * scale));
    const int down = int(std::min<int64_t>(h, int64_t(from.h - y) * scale));
    for (int r = 0; r < down; r++) {
        uint32_t *dst = out + r * stride;
        if (r % scale != 0) {
            memcpy(dst, dst - stride, size_t(across) * 4);
            continue;
        }
        const uint32_t *src = from.row(int(y + r / scale)) + x;
        if (scale == 1) {
            memcpy(dst, src, size_t(across) * 4);
            continue;
        }
        for (int c = 0; c < across; c++)
            dst[c] = src[c / scale];
    }
}

void draw_view(const View &view, const Frame &frame, const Shown *const pictures[], uint32_t *out, ptrdiff_t stride)
{
    for (int y = 0; y < frame.screen_h; y++)
        memset(out + y * stride, 0, size_t(frame.screen_w) * 4);
    const Size fitted = fitted_size(frame);
    for (int pane = 0; pane < frame.panes; pane++) {
        const Shown *shown = pictures[view.swapped ? frame.panes - 1 - pane : pane];
        if (!shown)
            continue;
        if (view.fitted) {
            const Pixels from = fits(frame) ? shown->full : shown->fitted.pixels();
            put_pixels(from, 0, 0, 1, out + pane * fitted.w, stride, fitted.w, fitted.h);
        } else if (view.zoom >= 0) {
            put_pixels(shown->full, view.x, view.y, 1 << view.zoom, out + pane * frame.pane_w(), stride,
                       frame.pane_w(), frame.screen_h);
        } else {
            const int k = -view.zoom;
            put_pixels(shown->smaller[k - 1].pixels(), view.x >> k, view.y >> k, 1, out + pane * frame.pane_w(),
                       stride, frame.pane_w(), frame.screen_h);
        }
    }
}

std::string zoom_text(const View &view, const Frame &frame)
{
    char text[32];
    if (view.fitted)
        snprintf(text, sizeof text, "fitted %.3g%%", 100.0 * fitted_size(frame).w / frame.w);
    else
        snprintf(text, sizeof text, "%.3g%%", view.zoom >= 0 ? 100.0 * (1 << view.zoom) : 100.0 / (1 << -view.zoom));
    return text;
}
