#!/bin/bash
# Installs what is missing, builds, and shows the program on your display:
# first encode mode on a picture (the source on the right, the preview of
# its encoding on the left), then decode mode on the carrier that encode
# mode wrote. Both work in build/run/.
#
#   scripts/run.sh            the bundled sample picture
#   scripts/run.sh PICTURE    your own picture, in any format gfx16conv reads
#                             (BMP, PNG, JPEG, WebP, TGA, PCX), read where it
#                             is and never changed
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
picture=${1:-}
[ -z "$picture" ] || [ -r "$picture" ] || { echo "run.sh: cannot read $picture" >&2; exit 1; }
[ -z "$picture" ] || picture=$(realpath "$picture")

scripts/build.sh

run=$build/run
mkdir -p "$run"
if [ -n "$picture" ]; then
    "$build/gfx16conv" info "$picture"
else
    /usr/bin/python3 scripts/make-sample.py "$run/test5.bmp"
fi
if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh: DISPLAY is not set; run it in a desktop session." >&2
    echo "(scripts/test.sh runs the programs without a display, in Xvfb.)" >&2
    exit 1
fi
cd "$run"

echo
echo "Encode mode: the picture is on the right, the preview of its encoding on the"
echo "left, both scaled down when they do not fit; the carrier goes to"
echo "$run/output.bmp. Arrows pan, + and - zoom, 1 shows actual size, F the whole"
echo "picture, Tab swaps the two sides (the window's title says so too)."
echo "Press the space bar in the gfx16 window to go on."
if [ -n "$picture" ]; then ../gfx16-encode "$picture"; else ../gfx16-encode; fi

echo
echo "Decode mode: the picture rebuilt from $run/output.bmp."
echo "The same keys; press the space bar in the gfx16 window to end."
../gfx16
