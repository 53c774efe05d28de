#include "programs/gfx16/view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "codec/threads.h"

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
// it overlaps, and the means are exact fractions. An output pixel covers
// `count` sources from `first`: the first and last perhaps in part, the
// others whole.
struct Cover {
    int first, count;
    uint32_t first_units, last_units;
};

static std::vector<Cover> covers(int in, int out)
{
    std::vector<Cover> list(out);
    for (int o = 0; o < out; o++) {
        const int64_t lo = int64_t(o) * in, hi = lo + in;
        const int64_t first = lo / out, last = (hi - 1) / out;
        Cover &c = list[o];
        c.first = int(first);
        c.count = int(last - first + 1);
        c.first_units = uint32_t(std::min(hi, (first + 1) * out) - lo);
        c.last_units = uint32_t(hi - last * out);
    }
    return list;
}

Image area_average(const Pixels &from, int w, int h)
{
    Image to;
    to.w = w;
    to.h = h;
    to.px.resize(size_t(w) * h);
    const std::vector<Cover> across = covers(from.w, w);
    std::vector<uint64_t> row(size_t(w) * 4), sums(size_t(w) * 4, 0);
    const uint64_t total = uint64_t(from.w) * uint64_t(from.h);
    int y_out = 0;
    for (int y = 0; y < from.h; y++) {
        const uint32_t *src = from.row(y);
        for (int x = 0; x < w; x++) {
            const Cover &c = across[x];
            uint64_t *r = &row[size_t(x) * 4];
            const uint32_t first = src[c.first];
            if (c.count == 1) {
                for (int i = 0; i < 4; i++)
                    r[i] = uint64_t(c.first_units) * lane(first, i);
                continue;
            }
            const uint32_t last = src[c.first + c.count - 1];
            uint64_t whole[4] = {0, 0, 0, 0};
            for (int s = c.first + 1; s < c.first + c.count - 1; s++)
                for (int i = 0; i < 4; i++)
                    whole[i] += lane(src[s], i);
            for (int i = 0; i < 4; i++)
                r[i] = uint64_t(c.first_units) * lane(first, i) + whole[i] * uint64_t(w) +
                       uint64_t(c.last_units) * lane(last, i);
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

// Each complete row of sums of a level becomes a row of means, and goes
// into the running sums of the next level, which is complete once two rows
// are in: every level comes from the picture's own pixels in one pass,
// with no rounding in between.
struct Halver {
    int w, h;
    std::vector<Image> &out;
    std::vector<std::vector<uint64_t>> sums;  // sums[k]: of the row of level k + 1 being made
    std::vector<int> rows_in;

    Halver(int w_, int h_, std::vector<Image> &out_) : w(w_), h(h_), out(out_), rows_in(out_.size(), 0)
    {
        for (Image &level : out)
            sums.emplace_back(size_t(level.w) * 4, 0);
    }

    // `s` holds the sums of the pixels under row y of out[k], four lanes a
    // pixel.
    void finish(size_t k, const uint64_t *s, int y)
    {
        Image &level = out[k];
        const int block = 2 << k;
        const int64_t block_h = std::min(block, h - y * block);
        uint32_t *dst = &level.px[size_t(y) * level.w];
        // Whole blocks, all but the last of a row, divide by a shift: a
        // division for every byte costs more than all the rest.
        const int whole = block_h == block ? w / block : 0;
        const int shift = 2 * int(k + 1);
        for (int x = 0; x < whole; x++) {
            uint32_t pixel = 0;
            for (int i = 0; i < 4; i++)
                pixel |= uint32_t((s[x * 4 + i] + (uint64_t(1) << (shift - 1))) >> shift) << (8 * i);
            dst[x] = pixel;
        }
        for (int x = whole; x < level.w; x++) {
            const int64_t block_w = std::min(block, w - x * block);
            dst[x] = mean_pixel(s + x * 4, uint64_t(block_w * block_h));
        }
        if (k + 1 < out.size())
            add(k + 1, s, level.w, y, y == level.h - 1);
    }

    // Adds row y of out[k - 1], `row_w` pixels of sums, to out[k]'s.
    void add(size_t k, const uint64_t *row, int row_w, int y, bool last)
    {
        uint64_t *s = sums[k].data();
        for (int x = 0; x < row_w; x++)
            for (int i = 0; i < 4; i++)
                s[(x >> 1) * 4 + i] += row[x * 4 + i];
        if (++rows_in[k] < 2 && !last)
            return;
        finish(k, s, y >> 1);
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
    // The first level, the one with the most pixels, straight from two rows
    // of the picture at a time.
    Halver halver(from.w, from.h, out);
    const int w1 = out[0].w;
    std::vector<uint64_t> row(size_t(w1) * 4);
    for (int y = 0; y < out[0].h; y++) {
        const uint32_t *top = from.row(2 * y), *bottom = 2 * y + 1 < from.h ? from.row(2 * y + 1) : nullptr;
        // Two lanes a word, 16 bits each, hold the sum of four bytes.
        const int squares = bottom ? from.w / 2 : 0;
        for (int x = 0; x < squares; x++) {
            const uint32_t a = top[2 * x], b = top[2 * x + 1], c = bottom[2 * x], d = bottom[2 * x + 1];
            const uint32_t even = (a & 0xff00ff) + (b & 0xff00ff) + (c & 0xff00ff) + (d & 0xff00ff);
            const uint32_t odd = ((a >> 8) & 0xff00ff) + ((b >> 8) & 0xff00ff) + ((c >> 8) & 0xff00ff) +
                                 ((d >> 8) & 0xff00ff);
            uint64_t *r = &row[size_t(x) * 4];
            r[0] = even & 0xffff;
            r[1] = odd & 0xffff;
            r[2] = even >> 16;
            r[3] = odd >> 16;
        }
        for (int x = squares; x < w1; x++) {
            const bool pair = 2 * x + 1 < from.w;
            for (int i = 0; i < 4; i++) {
                uint32_t sum = lane(top[2 * x], i) + (pair ? lane(top[2 * x + 1], i) : 0);
                if (bottom)
                    sum += lane(bottom[2 * x], i) + (pair ? lane(bottom[2 * x + 1], i) : 0);
                row[size_t(x) * 4 + i] = sum;
            }
        }
        halver.finish(0, row.data(), y);
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
    // The two kinds of copy each read the whole picture: side by side on
    // two cores.
    run_shares(2, [&](unsigned share) {
        if (share == 0 && !fits(frame)) {
            const Size size = fitted_size(frame);
            shown.fitted = area_average(full, size.w, size.h);
        }
        if (share == 1)
            shown.smaller = halvings(full, -smallest_zoom(frame));
    });
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
