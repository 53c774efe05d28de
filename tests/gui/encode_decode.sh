#!/bin/bash
# Encode mode, then decode mode on the carrier it wrote, in a real X server:
# what each shows on its screen must be, pixel for pixel, what gfx16conv
# writes for the same files, and the carrier must be the same bytes.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

[ -x "$build/gfx16conv" ] || fail "$build/gfx16conv is not built"
start_xvfb

# An even size as in normal use, and an odd one for the unpaired last column
# and the lone last row pair.
for size in 320x240 157x93; do
    dir=$work/$size
    mkdir -p "$dir"
    w=${size%x*} h=${size#*x}
    "$python" "$top/scripts/make-sample.py" --photo --size "$size" "$dir/test5.bmp"

    # Encode mode.
    start_in "$dir" encode "$build/gfx16-encode"
    wait_for "output.bmp ($size)" test -e "$dir/output.bmp"
    info=$(identify -format '%m %w %h %r' "$dir/output.bmp")
    case $info in
    "BMP"*" $w $((2 * h)) PseudoClass"*) ;;
    *) fail "output.bmp ($size): identify says '$info', expected an 8-bit BMP of $w x $((2 * h))" ;;
    esac
    bits=$(bmp_bits "$dir/output.bmp")
    [ "$bits" = 8 ] || fail "output.bmp ($size) has $bits bits per pixel"
    ok "encode $size: output.bmp is an 8-bit BMP of $w x $((2 * h))"

    (cd "$dir" && "$build/gfx16conv" encode test5.bmp carrier.bmp preview.bmp) ||
        fail "gfx16conv encode ($size)"
    cmp "$dir/carrier.bmp" "$dir/output.bmp" ||
        fail "encode $size: output.bmp differs from gfx16conv's carrier"
    ok "encode $size: output.bmp is byte-identical to gfx16conv's carrier"

    wait_screen_window "$pid" "$dir/encode.err"
    wait_screen_shows "$dir/test5.bmp" "$w" 0 "encode $size, source"
    ok "encode $size: the source picture is at ($w, 0)"
    wait_screen_shows "$dir/preview.bmp" 0 0 "encode $size, preview"
    ok "encode $size: the preview at (0, 0) is gfx16conv's preview"

    xdotool key a
    for ((i = 0; i < 10; i++)); do
        alive "$pid" || fail "encode $size: a key other than space ended the program"
        sleep 0.1
    done
    ok "encode $size: another key leaves it running"
    # Waiting for the space bar costs next to nothing: over two seconds it
    # takes well under a tenth of a core (a busy loop takes all of one).
    ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
    before=$(ticks)
    sleep 2
    used=$(($(ticks) - before))
    [ "$used" -lt $((2 * $(getconf CLK_TCK) / 10)) ] ||
        fail "encode $size: the wait used $used clock ticks in 2 s"
    ok "encode $size: the wait used $used clock ticks in 2 s"
    press_space_until_exit "$pid"
    expect_status 0 "encode $size"
    ok "encode $size: the space bar ends it with status 0"

    # Decode mode, on the carrier just written.
    (cd "$dir" && "$build/gfx16conv" decode output.bmp decoded.bmp) ||
        fail "gfx16conv decode ($size)"
    start_in "$dir" decode "$build/gfx16"
    wait_screen_window "$pid" "$dir/decode.err"
    wait_screen_shows "$dir/decoded.bmp" 0 0 "decode $size"
    ok "decode $size: the screen at (0, 0) is gfx16conv's decoded picture"
    press_space_until_exit "$pid"
    expect_status 0 "decode $size"
    ok "decode $size: the space bar ends it with status 0"

    psnr=$(compare -metric PSNR "$dir/decoded.bmp" "$dir/test5.bmp" null: 2>&1 || true)
    echo "PSNR of the decoded $size picture against test5.bmp: $psnr dB"
    # Far below this the decoded picture is not the source picture any more
    # (a swapped channel or a shifted row costs far more).
    awk -v p="$psnr" 'BEGIN { exit !(p + 0 >= 25) }' ||
        fail "decode $size: PSNR $psnr dB, the decoded picture hardly resembles the source"
done
