#!/bin/bash
# The picture at the top of README: encode mode on the sample picture, the
# preview of its encoding at the left and the source at the right, as the
# program shows them, taken from a real X server (Xvfb) with xwd.
#   scripts/screenshot.sh [OUT.png]     (default doc/encode-mode.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-doc/encode-mode.png}")
build=${BUILD_DIR:-build}
scripts/build.sh >/dev/null

work=$(mktemp -d)
xvfb=
trap '[ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null; rm -rf "$work"' EXIT
/usr/bin/python3 scripts/make-sample.py "$work/test5.bmp"
read -r w h < <(identify -format '%w %h\n' "$work/test5.bmp")

Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp 9>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 100); do grep -q '^[0-9]' "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$work/display")
export HOME=$work  # no Allegro configuration of the user's
(cd "$work" && exec "$OLDPWD/$build/gfx16-encode") &
program=$!
# The carrier is saved once the screen shows both pictures.
for _ in $(seq 300); do [ -e "$work/output.bmp" ] && break; sleep 0.1; done
sleep 0.5
xwd -root -silent | convert xwd:- -crop "$((2 * w))x${h}+0+0" +repage "png:$out"
xdotool keydown space
wait "$program"
xdotool keyup space
echo "wrote $out ($((2 * w)) x $h)"
