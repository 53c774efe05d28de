#!/usr/bin/env bash
# gfx16conv from the outside: its calls, its errors and exit statuses, and
# that a failed call leaves no file behind or changed.
# Usage: gfx16conv.sh BUILD_DIR SOURCE_DIR
set -u
conv="$1/gfx16conv"
src="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...: the command must succeed
    local what="$1"; shift
    if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
# run EXPECTED_STATUS ARGS...: runs gfx16conv, keeps stdout and stderr
run() {
    local expected="$1"; shift
    "$conv" "$@" >out.txt 2>err.txt
    local status=$?
    [ "$status" -eq "$expected" ] || { echo "gfx16conv $*: status $status, expected $expected"; cat err.txt; return 1; }
}
no_files_but() {  # the folder holds exactly the files named
    [ "$(ls -A | grep -v -e '^out.txt$' -e '^err.txt$' | sort | tr '\n' ' ')" = "$(printf '%s\n' "$@" | sort | tr '\n' ' ')" ] ||
        { echo "folder holds: $(ls -A | tr '\n' ' ')"; return 1; }
}

/usr/bin/python3 "$src/scripts/make-sample.py" --size 101x37 picture.bmp || exit 1
convert -size 8x8 xc:none -type Palette BMP3:empty8.bmp 2>/dev/null

# Calls that work.
check "--help" run 0 --help
check "--help prints the usage" grep -q "gfx16conv encode INPUT CARRIER" out.txt
check "--version" run 0 --version
check "--version prints the version" grep -Eq "^gfx16conv [0-9]+\.[0-9]+" out.txt
check "encode" run 0 encode picture.bmp carrier.bmp preview.bmp
check "carrier is an 8-bit BMP of w x 2h" \
    [ "$(identify -format '%m %w %h %z %r' carrier.bmp)" = "BMP3 101 74 8 PseudoClass sRGB " ]
check "preview has the picture's size" [ "$(identify -format '%w %h' preview.bmp)" = "101 37" ]
check "decode" run 0 decode carrier.bmp decoded.bmp
check "decoded picture has the picture's size" [ "$(identify -format '%w %h' decoded.bmp)" = "101 37" ]
check "encode without a preview gives the same carrier" run 0 encode picture.bmp carrier2.bmp
check "same carrier" cmp -s carrier.bmp carrier2.bmp
check "decode to TGA" run 0 decode carrier.bmp decoded.tga
# ImageMagick leaves a bottom-up TGA upside down unless told to orient it.
check "TGA holds the same pixels" \
    [ "$(convert decoded.tga -auto-orient png:- | compare -metric AE decoded.bmp - null: 2>&1)" = "0" ]
check "TGA is opaque" [ "$(identify -format "%[opaque]" decoded.tga | tr A-Z a-z)" = "true" ]
check "preview to PCX" run 0 encode picture.bmp carrier3.bmp preview.pcx
check "PCX holds the same pixels" [ "$(compare -metric AE preview.bmp preview.pcx null: 2>&1)" = "0" ]
check "a decoded picture re-encodes" run 0 encode decoded.bmp carrier4.bmp
rm -f carrier2.bmp carrier3.bmp carrier4.bmp decoded.tga preview.pcx

# Bad usage: status 2 and the usage line.
for args in "" "encode" "encode picture.bmp" "decode carrier.bmp" "decode a b c" "encode a b c d" "frobnicate a b" "--help x"; do
    # shellcheck disable=SC2086
    check "usage: '$args'" run 2 $args
    check "usage line for '$args'" grep -q "^usage: gfx16conv" err.txt
done

# Errors: status 1, one line naming the file, nothing written.
mkdir old && cp carrier.bmp old/ && cp decoded.bmp old/
expect_error() {  # expect_error FILE_NAMED ARGS...
    local named="$1"; shift
    run 1 "$@" && [ "$(wc -l <err.txt)" -eq 1 ] && grep -q "^gfx16conv: $named: " err.txt ||
        { echo "stderr: $(cat err.txt)"; return 1; }
}
check "missing input" expect_error nothing.bmp encode nothing.bmp new.bmp
check "input that is no picture" expect_error err.txt encode err.txt new.bmp
check "unknown preview format" expect_error new.png encode picture.bmp new.bmp new.png
check "unknown output format" expect_error new.png decode carrier.bmp new.png
check "missing carrier" expect_error nothing.bmp decode nothing.bmp new.bmp
check "a 24-bit picture is no carrier" expect_error picture.bmp decode picture.bmp new.bmp
check "unwritable output" expect_error "no/such/folder/new.bmp" decode carrier.bmp no/such/folder/new.bmp
check "nothing written by the failed calls" no_files_but carrier.bmp decoded.bmp old picture.bmp preview.bmp empty8.bmp

# A save that fails part way (a file-size limit; permission bits do not stop
# root) leaves the old file as it was and no temporary file.

check "...fails with status 1" [ "$(bash -c "trap '' XFSZ; ulimit -f 2; '$conv' decode carrier.bmp decoded.bmp 2>/dev/null; echo \$?")" = 1 ]
check "...keeps the old output" cmp -s decoded.bmp old/decoded.bmp
check "...and the old carrier" bash -c "trap '' XFSZ; ulimit -f 2; '$conv' encode picture.bmp carrier.bmp 2>/dev/null; [ \$? = 1 ] && cmp -s carrier.bmp old/carrier.bmp"
check "...leaves no temporary file" no_files_but carrier.bmp decoded.bmp old picture.bmp preview.bmp empty8.bmp

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
