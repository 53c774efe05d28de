#!/bin/bash
# scripts/make-sample.py: valid 24-bit BMPs of any size (rows padded, stored
# bottom-up, channels in BMP order), the same bytes on every run, and a chart
# that holds what it is for: pure black and white, the six pure hues, every
# grey level.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

make_sample() { "$python" "$top/scripts/make-sample.py" "$@"; }

for args in "--size 480x360" "--size 33x17" "--size 1x1" "--photo --size 320x240" "--photo --size 33x17"; do
    size=${args##* }
    w=${size%x*} h=${size#*x}
    # shellcheck disable=SC2086 # the options are words
    make_sample $args "$work/a.bmp"
    # shellcheck disable=SC2086
    make_sample $args "$work/b.bmp"
    cmp -s "$work/a.bmp" "$work/b.bmp" || fail "$args: two runs differ"
    [ "$(bmp_bits "$work/a.bmp")" = 24 ] || fail "$args: not 24 bits per pixel"
    want=$((54 + (w * 3 + 3) / 4 * 4 * h))
    [ "$(stat -c %s "$work/a.bmp")" = "$want" ] || fail "$args: $(stat -c %s "$work/a.bmp") bytes, expected $want"
    info=$(identify -format '%m %w %h' "$work/a.bmp")
    [ "$info" = "BMP3 $w $h" ] || fail "$args: identify says '$info'"
    ok "$args: a $w x $h 24-bit BMP, the same on every run"
done

make_sample --photo --size 64x48 --seed 1 "$work/a.bmp"
make_sample --photo --size 64x48 --seed 2 "$work/b.bmp"
! cmp -s "$work/a.bmp" "$work/b.bmp" || fail "--seed does not change the photo"
ok "--seed changes the photo"

make_sample "$work/chart.bmp"
"$python" - "$work/chart.bmp" <<'PY' || fail "the chart lacks colours it should show"
import sys
from PIL import Image
im = Image.open(sys.argv[1]).convert("RGB")
w, h = im.size
assert (w, h) == (480, 360), im.size
colours = set(im.getdata())
wanted = {(0, 0, 0), (255, 255, 255), (255, 0, 0), (255, 255, 0), (0, 255, 0),
          (0, 255, 255), (0, 0, 255), (255, 0, 255)}
assert wanted <= colours, wanted - colours
greys = {c for c in colours if c[0] == c[1] == c[2]}
assert len(greys) == 256, len(greys)
# The patches of pure hues run along the bottom edge, red first, white last:
# this fails if rows are stored top-down or channels in the wrong order.
assert im.getpixel((0, h - 1)) == (255, 0, 0), im.getpixel((0, h - 1))
assert im.getpixel((w - 1, h - 1)) == (255, 255, 255)
assert im.getpixel((5 * w // 8 - 1, h - 1)) == (0, 0, 255)
PY
ok "the chart has pure black and white, the six pure hues and all 256 greys"
