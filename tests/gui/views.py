#!/usr/bin/python3
"""What the desktop program's screen must show, worked out with numpy.

  views.py expect OUT.png PANES VIEW PICTURE...   the 1024 x 768 screen
  views.py compare SHOT.png X Y EXPECTED.png TOL  the screen at (X, Y) of a
                                                  screenshot within TOL levels

VIEW is fit:WxH (every picture scaled to W x H by an area average, side by
side from the left) or ZOOM,X,Y (2^ZOOM screen pixels a picture pixel, pane
i at 1024 / PANES * i showing the picture from its pixel (X, Y)). The
pictures come in the order of the panes, left first.
"""
import sys

import numpy as np
from PIL import Image

SCREEN_W, SCREEN_H = 1024, 768


def load(name):
    return np.asarray(Image.open(name).convert("RGB"), dtype=np.float64)


def means(pic, edges, axis):
    """Along one axis, the mean of pic between each two edges (real numbers):
    the picture as a function constant over each pixel, integrated through
    its running sums."""
    a = np.moveaxis(pic, axis, 0)
    n = a.shape[0]
    sums = np.concatenate([np.zeros((1,) + a.shape[1:]), np.cumsum(a, axis=0)])
    i = np.minimum(np.floor(edges).astype(int), n - 1)
    frac = (edges - i).reshape((-1,) + (1,) * (a.ndim - 1))
    integral = sums[i] + frac * a[i]
    widths = np.diff(edges).reshape((-1,) + (1,) * (a.ndim - 1))
    return np.moveaxis((integral[1:] - integral[:-1]) / widths, 0, axis)


def area_average(pic, w, h):
    """Each pixel of w x h the mean of the picture over the rectangle it covers."""
    across = means(pic, np.arange(w + 1) * (pic.shape[1] / w), 1)
    return means(across, np.arange(h + 1) * (pic.shape[0] / h), 0)


def block_means(pic, k):
    """Means of blocks of 2^k x 2^k, of what the picture holds at its edges."""
    for axis in (0, 1):
        n = pic.shape[axis]
        edges = np.minimum(np.arange(((n + (1 << k) - 1) >> k) + 1) << k, n).astype(np.float64)
        pic = means(pic, edges, axis)
    return pic


def expect(out, panes, view, pictures):
    screen = np.zeros((SCREEN_H, SCREEN_W, 3))
    pane_w = SCREEN_W // panes
    for i, name in enumerate(pictures):
        pic = load(name)
        if view.startswith("fit:"):
            w, h = map(int, view[4:].split("x"))
            shown = pic if (w, h) == (pic.shape[1], pic.shape[0]) else area_average(pic, w, h)
            screen[:h, i * w:(i + 1) * w] = shown
            continue
        zoom, x, y = map(int, view.split(","))
        if zoom >= 0:
            region = pic[y:y + (SCREEN_H >> zoom), x:x + (pane_w >> zoom)]
            region = region.repeat(1 << zoom, axis=0).repeat(1 << zoom, axis=1)
        else:
            k = -zoom
            region = block_means(pic, k)[y >> k:(y >> k) + SCREEN_H, x >> k:(x >> k) + pane_w]
        screen[:region.shape[0], i * pane_w:i * pane_w + region.shape[1]] = region
    Image.fromarray(np.rint(screen).astype(np.uint8)).save(out)


def compare(shot, x, y, expected, tolerance):
    want = load(expected)
    got = load(shot)[y:y + want.shape[0], x:x + want.shape[1]]
    diff = np.abs(got - want).max(axis=2)
    over = int((diff > tolerance).sum())
    if over:
        at = np.argwhere(diff > tolerance)[0]
        print(f"{over} pixels off by more than {tolerance} (at most {int(diff.max())}); "
              f"first at x={at[1]} y={at[0]}: {got[at[0], at[1]]} for {want[at[0], at[1]]}")
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1] == "expect":
        expect(sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:])
    elif sys.argv[1] == "compare":
        sys.exit(compare(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], float(sys.argv[6])))
    else:
        sys.exit(__doc__)
