#!/bin/bash
# Installs what is missing, builds, makes the sample picture and shows the
# program on your display: first encode mode on the sample (the source on the
# right, the preview of its encoding on the left), then decode mode on the
# carrier that encode mode wrote. Both work in build/run/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

scripts/build.sh

run=$build/run
mkdir -p "$run"
/usr/bin/python3 scripts/make-sample.py "$run/test5.bmp"
if [ -z "${DISPLAY:-}" ]; then
    echo "run.sh: DISPLAY is not set; run it in a desktop session." >&2
    echo "(scripts/test.sh runs the programs without a display, in Xvfb.)" >&2
    exit 1
fi
cd "$run"

echo
echo "Encode mode: the sample is on the right, the preview of its encoding on the"
echo "left; the carrier goes to $run/output.bmp."
echo "Press the space bar in the gfx16 window to go on."
../gfx16-encode

echo
echo "Decode mode: the picture rebuilt from $run/output.bmp."
echo "Press the space bar in the gfx16 window to end."
../gfx16
