#!/usr/bin/python3
"""Writes a sample picture for gfx16 as a 24-bit BMP.

The default picture is a chart of what the packed HSV code does with colour:
a hue wheel (hue by angle, saturation by radius) on black, a hue-by-value
field running from white through the pure hues to black, a smooth and a
stepped grey ramp, and patches of the six pure hues, pure black and pure
white. 480 x 360 leaves room for the source beside the preview on a
1024 x 768 screen.

--photo draws a landscape with a face instead: a sky gradient with clouds, a
sun, hills, skin tones and soft noise, the kind of smooth picture on which
the encoder's dither and brightness correction show.

The result depends only on the options (the noise comes from a seeded
generator), so two runs give the same bytes.
"""

import argparse
import colorsys
import math
import random
import struct
import sys


def write_bmp(path, width, height, pixel):
    """Writes a bottom-up 24-bit BMP; pixel(x, y) gives (r, g, b), y = 0 at the top."""
    stride = (width * 3 + 3) & ~3
    pad = b"\0" * (stride - width * 3)
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b = pixel(x, y)
            row += bytes((b, g, r))
        rows.append(bytes(row) + pad)
    data = b"".join(rows)
    offset = 14 + 40
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data),
                       2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(header + info + data)


def channel(v):
    """0..1 (or beyond) to a byte, clamped."""
    return max(0, min(255, int(round(v * 255))))


def hsv_bytes(h, s, v):
    r, g, b = colorsys.hsv_to_rgb(h % 1.0, s, v)
    return channel(r), channel(g), channel(b)


def chart(width, height):
    cx, cy = 0.225 * width, 0.31 * height
    radius = max(1.0, min(0.2 * width, 0.29 * height))
    top = int(0.62 * height)
    ramp_end = int(0.72 * height)
    steps_end = int(0.82 * height)
    field_x = int(0.45 * width)
    patches = [(255, 0, 0), (255, 255, 0), (0, 255, 0), (0, 255, 255),
               (0, 0, 255), (255, 0, 255), (0, 0, 0), (255, 255, 255)]

    def pixel(x, y):
        if y < top:
            if x < field_x:
                dx, dy = x + 0.5 - cx, y + 0.5 - cy
                d = math.hypot(dx, dy)
                if d > radius:
                    return 0, 0, 0
                return hsv_bytes(math.atan2(-dy, dx) / (2 * math.pi), d / radius, 1.0)
            hue = (x - field_x) / max(1, width - field_x)
            t = y / max(1, top - 1)  # 0 at the top, 1 at the bottom
            if t < 0.5:
                return hsv_bytes(hue, t * 2, 1.0)  # white to the pure hue
            return hsv_bytes(hue, 1.0, (1 - t) * 2)  # the pure hue to black
        if y < ramp_end:
            g = channel(x / max(1, width - 1))
            return g, g, g
        if y < steps_end:
            g = channel((x * 16 // width) / 15)
            return g, g, g
        return patches[x * len(patches) // width]

    return pixel


class ValueNoise:
    """Smooth noise in -1..1: random values on a grid, eased between the nodes."""

    def __init__(self, rng, cell, width, height):
        self.cell = cell
        self.cols = int(width / cell) + 2
        rows = int(height / cell) + 2
        self.grid = [rng.uniform(-1, 1) for _ in range(self.cols * rows)]

    def at(self, x, y):
        gx, gy = x / self.cell, y / self.cell
        ix, iy = int(gx), int(gy)
        fx, fy = gx - ix, gy - iy
        fx, fy = fx * fx * (3 - 2 * fx), fy * fy * (3 - 2 * fy)
        g, c = self.grid, self.cols
        a = g[iy * c + ix] + (g[iy * c + ix + 1] - g[iy * c + ix]) * fx
        b = g[(iy + 1) * c + ix] + (g[(iy + 1) * c + ix + 1] - g[(iy + 1) * c + ix]) * fx
        return a + (b - a) * fy


def mix(a, b, t):
    t = max(0.0, min(1.0, t))
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def photo(width, height, seed):
    rng = random.Random(seed)
    scale = min(width, height)
    clouds = ValueNoise(rng, max(2.0, scale / 5), width, height)
    texture = ValueNoise(rng, max(2.0, scale / 30), width, height)
    grain = [rng.gauss(0, 1.5) for _ in range(width * height)]
    horizon = 0.55 * height
    sun_x, sun_y, sun_r = 0.2 * width, 0.18 * height, 0.07 * scale
    face_x, face_y = 0.7 * width, 0.62 * height
    face_rx, face_ry = 0.13 * scale, 0.17 * scale
    phase1, phase2 = rng.uniform(0, 6.28), rng.uniform(0, 6.28)

    def hill(x, base, amp, freq, phase):
        return base - amp * math.sin(freq * x / width * 2 * math.pi + phase)

    def pixel(x, y):
        # Sky: deep blue above, pale near the horizon, with soft clouds.
        col = mix((38, 88, 168), (196, 218, 236), y / horizon)
        c = clouds.at(x, y) * 0.5 + 0.5
        col = mix(col, (246, 246, 250), (c - 0.55) * 2.5 * (1 - y / horizon))
        d = math.hypot(x - sun_x, y - sun_y)
        if d < sun_r:
            col = mix((255, 250, 220), (255, 214, 120), d / sun_r)
        else:
            col = mix(col, (255, 236, 170), 0.6 * math.exp(-(d - sun_r) / (0.6 * sun_r)))
        # Two hills, the nearer one darker and greener.
        far = hill(x, 0.6 * height, 0.06 * height, 1.3, phase1)
        near = hill(x, 0.78 * height, 0.08 * height, 0.8, phase2)
        t = texture.at(x, y)
        if y >= near:
            col = mix((70, 128, 46), (30, 72, 26), (y - near) / (height - near + 1))
            col = tuple(v * (1 + 0.12 * t) for v in col)
        elif y >= far:
            col = mix((120, 150, 110), (84, 118, 70), (y - far) / (near - far + 1))
            col = tuple(v * (1 + 0.06 * t) for v in col)
        # A face: skin lit from the upper left, darker towards its edge, hair above.
        ex, ey = (x - face_x) / face_rx, (y - face_y) / face_ry
        e = ex * ex + ey * ey
        if e < 1:
            if ey < -0.45 and e > 0.35:
                col = mix((92, 58, 34), (52, 30, 18), (ex + 1) / 2)
            else:
                light = 0.5 - 0.35 * ex - 0.25 * ey
                col = mix((150, 96, 70), (236, 188, 156), light + 0.3 * (1 - e))
                col = mix(col, (214, 120, 110), 0.35 * max(0.0, 1 - 12 * ((abs(ex) - 0.45) ** 2 + (ey - 0.25) ** 2)))
        g = grain[y * width + x]
        return tuple(max(0, min(255, int(round(v + g)))) for v in col)

    return pixel


def size(text):
    try:
        w, h = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError("expected WIDTHxHEIGHT, e.g. 480x360")
    if w < 1 or h < 1 or w > 16384 or h > 16384:
        raise argparse.ArgumentTypeError("width and height must be 1 to 16384")
    return w, h


def main(argv):
    parser = argparse.ArgumentParser(description="Write a 24-bit BMP sample picture for gfx16.")
    parser.add_argument("output", help="BMP file to write")
    parser.add_argument("--size", type=size, default=(480, 360), metavar="WxH",
                        help="picture size (default 480x360)")
    parser.add_argument("--photo", action="store_true",
                        help="a photo-like landscape with a face instead of the colour chart")
    parser.add_argument("--seed", type=int, default=16, help="noise seed for --photo (default 16)")
    args = parser.parse_args(argv)
    width, height = args.size
    pixel = photo(width, height, args.seed) if args.photo else chart(width, height)
    write_bmp(args.output, width, height, pixel)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
