#!/usr/bin/python3
"""Writes a mosaic of the photographs Debian ships as a 24-bit BMP, for timing.

The photographs: scikit-image's astronaut, coffee, chelsea and rocket
(python3-skimage) and OpenCV's fruits and baboon (opencv-doc). Each is cut to
its middle 300 rows (the height of the smallest) and they are laid left to
right in turn, shelf under shelf, until the picture is full; the last of a
shelf and the last shelf are cut at the edges. Every pixel is a pixel of a
photograph, as the camera (and its JPEG) left it.

    make-mosaic.py OUT.bmp [--size 4096x4096]
"""

import argparse
import sys

from PIL import Image

PHOTOGRAPHS = [
    "/usr/lib/python3/dist-packages/skimage/data/astronaut.png",
    "/usr/lib/python3/dist-packages/skimage/data/coffee.png",
    "/usr/lib/python3/dist-packages/skimage/data/chelsea.png",
    "/usr/lib/python3/dist-packages/skimage/data/rocket.jpg",
    "/usr/share/doc/opencv-doc/examples/data/fruits.jpg",
    "/usr/share/doc/opencv-doc/examples/data/baboon.jpg",
]
SHELF = 300


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("out")
    parser.add_argument("--size", default="4096x4096", help="WIDTHxHEIGHT (default 4096x4096)")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))

    tiles = []
    for path in PHOTOGRAPHS:
        try:
            photo = Image.open(path).convert("RGB")
        except OSError as e:
            sys.exit(f"make-mosaic: {e} (apt-get install python3-skimage opencv-doc)")
        top = (photo.height - SHELF) // 2
        tiles.append(photo.crop((0, top, photo.width, top + SHELF)))

    mosaic = Image.new("RGB", (width, height))
    turn = 0
    for y in range(0, height, SHELF):
        x = 0
        while x < width:
            mosaic.paste(tiles[turn % len(tiles)], (x, y))
            x += tiles[turn % len(tiles)].width
            turn += 1
    mosaic.save(args.out, "BMP")


if __name__ == "__main__":
    main()
