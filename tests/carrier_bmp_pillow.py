#!/usr/bin/python3
"""gfx16_carrier_from_bmp against Pillow, on every reader case that
scripts/make-reader-cases.py writes (CASES_DIR/cases.txt): the shared
library called through ctypes, as any program that loads it would.

    carrier_bmp_pillow.py LIBGFX16 CASES_DIR

- A valid paletted BMP gives the palette indices that Pillow reads from the
  same file (its twin REF8, a plain 8-bit BMP, where Pillow does not read
  the layout), and its size.
- Any other valid file (true colour, or not a BMP) is GFX16_EFORMAT.
- A bad file is GFX16_EFORMAT, and leaves the buffer as it was; those
  refused only for the programs' pixel limit are read, as far as their size.
"""

import ctypes
import os
import sys

from PIL import Image

OK, EINVAL, EFORMAT = 0, -1, -3
MARK = 0xA5

# Pillow 9.4 (Debian 12) reads the two bytes of an RLE delta twice, and so
# loses the rest of these streams; their twins stand in for them.
PILLOW_MISREADS = {"pal8-rle-delta.bmp", "pal4-rle-delta.bmp", "rle8-no-ops.bmp"}


def main(argv):
    lib = ctypes.CDLL(argv[1])
    lib.gfx16_carrier_from_bmp.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t,
                                           ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    folder = argv[2]
    failures = []
    compared = {"file": 0, "twin": 0}

    def read(name, capacity):
        data = open(os.path.join(folder, name), "rb").read()
        out = ctypes.create_string_buffer(bytes([MARK]) * capacity, capacity)
        w, h = ctypes.c_int(-7), ctypes.c_int(-7)
        status = lib.gfx16_carrier_from_bmp(data, len(data), out if capacity else None, capacity,
                                            ctypes.byref(w), ctypes.byref(h))
        return status, w.value, h.value, out.raw

    def pillow_indices(name):
        with Image.open(os.path.join(folder, name)) as image:
            image.load()
            return image.size, image.mode, image.tobytes()

    for line in open(os.path.join(folder, "cases.txt")):
        kind, name, *rest = line.split(maxsplit=2 if line.startswith("bad") else 3)
        status, w, h, _ = read(name, 0)
        if kind == "bad":
            reason = rest[0].strip()
            if name.endswith(".bmp") and "more than the limit" in reason:
                if status != EINVAL or w * h < 1 << 24:
                    failures.append("%s: %d, %d x %d: its size, not the pixel limit" % (name, status, w, h))
                continue
            if status == EINVAL:  # headers good: the pixels must be refused
                status, w, h, out = read(name, w * h)
                if out != bytes([MARK]) * len(out):
                    failures.append("%s: refused, but written" % name)
            if status != EFORMAT:
                failures.append("%s (%s): %d, not GFX16_EFORMAT" % (name, reason, status))
            continue
        twin = rest[1] if len(rest) > 1 else None
        if twin is None:
            if status != EFORMAT:
                failures.append("%s: %d for a file that is no paletted BMP" % (name, status))
            continue
        if status != EINVAL:
            failures.append("%s: %d for the size alone, not GFX16_EINVAL" % (name, status))
            continue
        status, w, h, out = read(name, w * h)
        mode = None
        if name not in PILLOW_MISREADS:
            try:
                size, mode, want = pillow_indices(name)
                source = "file"
            except Exception:
                pass
        if mode != "P":
            size, mode, want = pillow_indices(twin.strip())
            source = "twin"
        if status != OK or (w, h) != size or out != want:
            failures.append("%s: %d, %d x %d, other indices than Pillow's reading of the %s" %
                            (name, status, w, h, source))
        compared[source] += 1

    for f in failures:
        print("FAIL:", f)
    print("%d read as Pillow reads them, %d as Pillow reads their twins; %d failures" %
          (compared["file"], compared["twin"], len(failures)))
    # Most layouts must be Pillow's reading of the file itself.
    if compared["file"] < 25:
        print("FAIL: too few files compared with Pillow's reading of the same file")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
