#!/bin/bash
# Installs what is missing, builds, and shows the program on your display:
# first encode mode on a picture (the source on the right, the preview of
# its encoding on the left), then decode mode on the carrier that encode
# mode wrote. Both work in build/run/.
#
#   scripts/run.sh            the bundled sample picture
#   scripts/run.sh PICTURE    your own picture, in any format gfx16conv reads
#                             (BMP, PNG, JPEG, WebP, TGA, PCX); it is copied,
#                             never changed
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
picture=${1:-}
[ -z "$picture" ] || [ -r "$picture" ] || { echo "run.sh: cannot read $picture" >&2; exit 1; }
[ -z "$picture" ] || picture=$(realpath "$picture")

scripts/build.sh

run=$build/run
mkdir -p "$run"
rm -f "$run/test5.bmp" "$run/output.bmp"
if [ -n "$picture" ]; then
    # The program reads test5.bmp by its content, whatever the format.
    cp -- "$picture" "$run/test5.bmp"
    "$build/gfx16conv" info "$run/test5.bmp"
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
echo "left (a screen of 1024 x 768 shows the top-left of larger pictures); the"
echo "carrier goes to $run/output.bmp."
echo "Press the space bar in the gfx16 window to go on."
../gfx16-encode

echo
echo "Decode mode: the picture rebuilt from $run/output.bmp."
echo "Press the space bar in the gfx16 window to end."
../gfx16
