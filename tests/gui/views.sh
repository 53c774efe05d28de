#!/bin/bash
# A picture larger than the screen, in both programs: the fitted first view
# against an area average (numpy, views.py) of the picture and of
# gfx16conv's preview or decoded picture, within a level; then the keys,
# each view against the pictures' own pixels or their means, and the
# window's title after each.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

[ -x "$build/gfx16conv" ] || fail "$build/gfx16conv is not built"
views() { "$python" "$top/tests/gui/views.py" "$@"; }
start_xvfb

dir=$work/run
mkdir -p "$dir"
"$python" "$top/scripts/make-sample.py" --photo --size 1500x1000 "$dir/big.bmp"
(cd "$dir" && "$build/gfx16conv" encode big.bmp carrier.bmp preview.bmp && "$build/gfx16conv" decode carrier.bmp decoded.bmp) ||
    fail "gfx16conv"

# Polls screenshots until the program's screen is the expected one, every
# channel within the tolerance.
wait_view() {
    local expected=$1 tolerance=$2 what=$3 report deadline=$((SECONDS + timeout_s))
    while :; do
        screenshot "$work/shot.png"
        crop "$work/shot.png" "$work/screen.png" 1024 768 0 0
        report=$(views compare "$work/screen.png" 0 0 "$expected" "$tolerance") && return 0
        [ "$SECONDS" -lt "$deadline" ] || break
        sleep 0.2
    done
    cp "$work/shot.png" "$work/failed-screen.png"
    fail "$what: $report"
}

title() { xdotool getwindowname "$(xdotool search --name '^gfx16' | head -n 1)"; }

# Each step: the keys (xdotool's names), the view the screen must then show
# (views.py), the pictures in the panes from the left, the tolerance, and
# what the title must hold. 1500 x 1000 fits a pane of 512 x 768 at
# 512 x 341 and the screen at 1024 x 683. An arrow moves by a quarter of a
# pane; zooming keeps the point at the panes' centre; the view stops at the
# picture's edges.
encode_steps=(
    "|fit:512x341|preview.bmp big.bmp|1|gfx16-encode: big.bmp, 1500x1000, fitted 34.1%, preview|picture; keys: arrows +/- 1 F Tab, space quits"
    "1 Right Right Down|0,256,192|preview.bmp big.bmp|0|, 100%, preview|picture;"
    "Tab|0,256,192|big.bmp preview.bmp|0|, 100%, picture|preview;"
    "Tab plus|1,384,384|preview.bmp big.bmp|0|, 200%, preview|picture;"
    "minus minus|-1,0,0|preview.bmp big.bmp|1|, 50%,"
    "f|fit:512x341|preview.bmp big.bmp|1|, fitted 34.1%,"
)
decode_steps=(
    "|fit:1024x683|decoded.bmp|1|gfx16: output.bmp, 1500x1000, fitted 68.3%; keys: arrows +/- 1 F, space quits"
    "1 Right Right Down Down|0,476,232|decoded.bmp|0|, 100%;"
    "Tab Left|0,220,232|decoded.bmp|0|, 100%;"
    "minus|-1,0,0|decoded.bmp|1|, 50%;"
)

run_steps() {
    local program=$1 panes=$2 keys view pictures tolerance wanted n=0 got
    shift 2
    for step in "$@"; do
        IFS='|' read -r keys view pictures tolerance wanted <<<"$step"
        n=$((n + 1))
        # shellcheck disable=SC2086 # keys and pictures are words
        [ -z "$keys" ] || xdotool key --delay 50 $keys
        # shellcheck disable=SC2086
        (cd "$dir" && views expect "$work/expected.png" "$panes" "$view" $pictures)
        wait_view "$work/expected.png" "$tolerance" "$program, step $n (keys '$keys')"
        got=$(title)
        case $got in
        *"$wanted"*) ;;
        *) fail "$program, step $n (keys '$keys'): the title is \"$got\", expected it to hold \"$wanted\"" ;;
        esac
        ok "$program, keys '$keys': the screen shows $pictures at $view (within $tolerance), the title \"$got\""
    done
}

start_in "$dir" encode "$build/gfx16-encode" big.bmp
wait_for "output.bmp" test -e "$dir/output.bmp"
wait_screen_window "$pid" "$dir/encode.err"
run_steps gfx16-encode 2 "${encode_steps[@]}"
cmp "$dir/carrier.bmp" "$dir/output.bmp" || fail "encode: output.bmp differs from gfx16conv's carrier"
ok "encode: output.bmp is gfx16conv's carrier of the whole picture"
xdotool key space
wait_exit "$pid"
expect_status 0 "encode"

start_in "$dir" decode "$build/gfx16"
wait_screen_window "$pid" "$dir/decode.err"
run_steps gfx16 1 "${decode_steps[@]}"
xdotool key space
wait_exit "$pid"
expect_status 0 "decode"
ok "both end at a tap of the space bar"
