#!/bin/bash
# Without any display both programs say so on stderr and end with status 1,
# not by a crash, and touch no file.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

"$python" "$top/scripts/make-sample.py" --size 64x48 "$work/test5.bmp"
"$build/gfx16conv" encode "$work/test5.bmp" "$work/output.bmp" || fail "gfx16conv encode"
cp "$work/output.bmp" "$work/before.bmp"

for program in gfx16 gfx16-encode; do
    start_in "$work" "$program" env -u DISPLAY "$build/$program"
    wait_exit "$pid"
    expect_status 1 "$program without a display"
    expect_text "$work/$program.err" "gfx16: cannot start Allegro (no display?)" "$program without a display"
    cmp -s "$work/before.bmp" "$work/output.bmp" || fail "$program without a display changed output.bmp"
    ok "$program without a display: the message on stderr, status 1"
done
