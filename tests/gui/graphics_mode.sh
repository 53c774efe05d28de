#!/bin/bash
# A graphics mode that cannot be set. Allegro's plain X11 window driver works
# on any screen Xvfb offers (8-bit, 16-bit, tiny), so the test makes Allegro
# use its DGA 2.0 driver through a configuration file in $HOME: Xvfb has no
# DGA extension, and set_gfx_mode fails as on a display without the mode.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

start_xvfb
printf '[graphics]\ngfx_card = DGA2\n' >"$HOME/.allegrorc"
"$python" "$top/scripts/make-sample.py" --size 64x48 "$work/test5.bmp"
"$build/gfx16conv" encode "$work/test5.bmp" "$work/output.bmp" || fail "gfx16conv encode"
cp "$work/output.bmp" "$work/before.bmp"
message="Unable to set any graphic mode"

for program in gfx16 gfx16-encode; do
    start_in "$work" "$program" "$build/$program"
    wait_message_box "$pid"
    case $box_text in
    "$message"$'\n'?*) ;;
    *) fail "$program: the message box says \"$box_text\", expected \"$message\" and the reason" ;;
    esac
    expect_text "$work/$program.err" "gfx16: $message" "$program"
    dismiss_message_box
    wait_exit "$pid"
    expect_status 1 "$program"
    cmp -s "$work/before.bmp" "$work/output.bmp" || fail "$program changed output.bmp"
    ok "$program: \"$(echo "$box_text" | tr '\n' ' ')\", status 1"
done
