#!/usr/bin/env bash
# gfx16conv between streams: a FIFO whose writer pauses part way is read to
# its end, and a top-down carrier of several slices decodes into a pipe
# (whose BMP must go out bottom row first) as it decodes into a file.
# Usage: streams.sh BUILD_DIR
set -u
conv="$1/gfx16conv"
python=/usr/bin/python3
# shellcheck source=tests/cli/lib.sh
. "$(dirname "$0")/lib.sh"

# A 24-bit picture, and a top-down 8-bit carrier of 2048 x 600 rows: more
# than one slice of rows (2 MiB of them) either way.
"$python" - <<'PY' || exit 1
import struct
w, h = 2048, 600
def bmp(name, bits, rows, top_down, palette=b""):
    stride = (w * bits // 8 + 3) & ~3
    offset = 54 + len(palette)
    with open(name, "wb") as f:
        f.write(struct.pack("<2sIHHI", b"BM", offset + stride * len(rows), 0, 0, offset))
        f.write(struct.pack("<IiiHHIIiiII", 40, w, -len(rows) if top_down else len(rows), 1, bits, 0,
                            stride * len(rows), 2835, 2835, len(palette) // 4, 0))
        f.write(palette)
        for row in (rows if top_down else rows[::-1]):
            f.write(row + bytes(stride - len(row)))
pixels = [bytes((x * 7 + y * 3 ^ x * y >> 6) & 255 for x in range(3 * w)) for y in range(h // 4)]
bmp("picture.bmp", 24, pixels, False)
codes = [bytes((x * 13 + y * 7 + (x * y >> 5)) & 255 for x in range(w)) for y in range(h)]
bmp("carrier.bmp", 8, codes, True, bytes(range(256)) * 4)
PY

check "a top-down carrier decodes into a file" "$conv" decode carrier.bmp decoded.bmp
check "...and into a pipe" bash -c "'$conv' decode carrier.bmp - | cat >piped.bmp"
check "...the same picture" same decoded.bmp piped.bmp

"$conv" encode picture.bmp carrier-from-file.bmp || exit 1
mkfifo fifo
# The writer stops for a second after the first kilobyte: the reader must
# wait for the rest, not take the pause for an error or an end.
{ head -c 1024 picture.bmp; sleep 1; tail -c +1025 picture.bmp; } >fifo &
check "a FIFO whose writer pauses" "$conv" encode fifo carrier-from-fifo.bmp
wait
check "...gives the carrier the file gives" same carrier-from-file.bmp carrier-from-fifo.bmp

finish
