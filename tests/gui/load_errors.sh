#!/bin/bash
# Input files that are missing or of the wrong kind: each program says so on
# stderr and in a message box, and once the box is dismissed ends with
# status 1, not by a crash.
# shellcheck source=tests/gui/lib.sh
. "$(dirname "$0")/lib.sh" "$@"

start_xvfb

# Each case: name, program, the function that puts the files in the folder,
# the message.
no_files() { :; }
true_colour_output() { "$python" "$top/scripts/make-sample.py" --size 64x48 output.bmp; }
# 64 greys in one row: ImageMagick writes more than 16 colours as an 8-bit BMP.
one_row_output() {
    convert -size 1x64 gradient: -rotate 90 -type Palette BMP3:output.bmp
    [ "$(bmp_bits output.bmp)" = 8 ] || fail "could not make an 8-bit BMP of one row"
}
truncated_output() {
    "$python" "$top/scripts/make-sample.py" --size 64x48 picture.bmp
    "$build/gfx16conv" encode picture.bmp carrier.bmp
    head -c 2000 carrier.bmp >output.bmp
    rm picture.bmp carrier.bmp
}
text_output() { echo "not a picture" >output.bmp; }
carrier_as_input() { convert -size 16x8 xc:gray50 -type Palette BMP3:output.bmp; }
# An RLE8 BMP of a few bytes that claims 32768 x 16383 pixels.
huge_input() {
    "$python" -c 'import struct, sys
pal = bytes(1024)
info = struct.pack("<IiiHHIIiiII", 40, 32768, 16383, 1, 8, 1, 2, 0, 0, 256, 0)
sys.stdout.buffer.write(struct.pack("<2sIHHI", b"BM", 14 + 40 + 1024 + 2, 0, 0, 14 + 40 + 1024) + info + pal + b"\0\1")' >test5.bmp
}

cases=(
    "no carrier|gfx16|no_files|Cannot load the carrier output.bmp"
    "24-bit carrier|gfx16|true_colour_output|output.bmp is not a carrier: 24-bit BMP, not paletted"
    "carrier of 1 row|gfx16|one_row_output|output.bmp is not a carrier: 1 row, not 2 or more"
    "truncated carrier|gfx16|truncated_output|Cannot load the carrier output.bmp"
    "carrier not a BMP|gfx16|text_output|Cannot load the carrier output.bmp"
    "no input picture|gfx16-encode|carrier_as_input|Cannot load the picture test5.bmp"
    "picture too large|gfx16-encode|huge_input|Cannot load the picture test5.bmp: picture of 536838144 pixels, more than the limit of 134217728 (gfx16conv --max-pixels converts larger ones)"
)

n=0
for c in "${cases[@]}"; do
    IFS='|' read -r what program setup message <<<"$c"
    n=$((n + 1))
    dir=$work/case$n
    mkdir -p "$dir"
    (cd "$dir" && "$setup" && if [ -e output.bmp ]; then cp output.bmp before.bmp; fi)

    start_in "$dir" run "$build/$program"
    wait_message_box "$pid"
    # A file the reader refuses comes with its reason after a colon.
    case $box_text in
    "$message" | "$message: "?*) ;;
    *) fail "$what: the message box says \"$box_text\", expected \"$message\"" ;;
    esac
    expect_text "$dir/run.err" "gfx16: $message" "$what"
    alive "$pid" || fail "$what: the program did not wait for the message box"
    dismiss_message_box
    wait_exit "$pid"
    expect_status 1 "$what"
    # Nothing is written: an output.bmp there before stays as it was.
    if [ -e "$dir/before.bmp" ]; then
        cmp -s "$dir/before.bmp" "$dir/output.bmp" || fail "$what: output.bmp was changed"
    fi
    others=$(files_in "$dir" | grep -v -x -e before.bmp -e output.bmp -e test5.bmp -e run.out -e run.err || true)
    [ -z "$others" ] || fail "$what: files left behind: $others"
    ok "$what: $program shows \"$box_text\" and exits with 1"
done
