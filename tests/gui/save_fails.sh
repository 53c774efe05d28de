#!/bin/bash
# Encode mode when output.bmp cannot be written (a file-size limit below the
# carrier's size; CI runs as root, so permissions would not stop it): the
# message with the system's reason, status 1, the old output.bmp untouched and
# no temporary file left. The program itself sees to it that the limit is a
# failed write rather than the signal that would kill it.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

start_xvfb
message="Cannot save output.bmp: File too large"

for old in "an old carrier" "no old carrier"; do
    dir=$work/${old// /-}
    mkdir -p "$dir"
    # 320 x 240 makes a carrier of 150 KiB, well above the limit of 16 KiB.
    "$python" "$top/scripts/make-sample.py" --photo --size 320x240 "$dir/test5.bmp"
    if [ "$old" = "an old carrier" ]; then
        "$python" "$top/scripts/make-sample.py" --size 32x24 "$dir/small.bmp"
        "$build/gfx16conv" encode "$dir/small.bmp" "$dir/output.bmp" || fail "gfx16conv encode"
        cp "$dir/output.bmp" "$dir/before.bmp"
    fi

    start_in "$dir" encode bash -c 'ulimit -f 16; exec "$0"' "$build/gfx16-encode"
    wait_message_box "$pid"
    [ "$box_text" = "$message" ] || fail "$old: the message box says \"$box_text\", expected \"$message\""
    expect_text "$dir/encode.err" "gfx16: $message" "$old"
    dismiss_message_box
    wait_exit "$pid"
    expect_status 1 "$old"
    if [ "$old" = "an old carrier" ]; then
        cmp "$dir/before.bmp" "$dir/output.bmp" || fail "$old: output.bmp was changed"
    else
        [ ! -e "$dir/output.bmp" ] || fail "$old: a partial output.bmp was left"
    fi
    leftovers=$(files_in "$dir" | grep '^\.output\.bmp\.' || true)
    [ -z "$leftovers" ] || fail "$old: temporary files left: $leftovers"
    ok "save fails, $old: \"$message\", status 1, output.bmp as before, no temporary file"
done
