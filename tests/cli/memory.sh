#!/usr/bin/env bash
# gfx16conv when memory runs out (a limit on its address space, ulimit -v):
# status 1 and a line that says "not enough memory", whichever thread met
# the limit, and no output or temporary left behind.
# Usage: memory.sh BUILD_DIR
set -u
conv="$1/gfx16conv"
python=/usr/bin/python3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

failed=0
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

# 4900 x 4900 pixels of noise (72 MB): the nearest-code search needs memory
# for most of its cells, and the rows are read a slice at a time by several
# workers.
"$python" - <<'EOF' || exit 1
import os, struct
w = h = 4900
data = os.urandom(w * h * 3)  # rows of 14700 bytes: no padding
head = struct.pack("<2sIHHIIiiHHIIiiII", b"BM", 54 + len(data), 0, 0, 54, 40, w, h, 1, 24, 0, len(data),
                   2835, 2835, 0, 0)
open("noise.bmp", "wb").write(head + data)
EOF

# limit in KiB | arguments
cases=(
    "40000|encode --best noise.bmp carrier.bmp"
    "60000|encode --best noise.bmp carrier.bmp"
    "80000|encode --best noise.bmp carrier.bmp preview.png"
    "80000|encode --best --dither noise.bmp carrier.png"
    "60000|encode --out-dir out --jobs 2 --best noise.bmp other.bmp"
)
mkdir out
ln -s noise.bmp other.bmp
for c in "${cases[@]}"; do
    IFS='|' read -r limit args <<<"$c"
    # shellcheck disable=SC2086
    (ulimit -v "$limit" && exec "$conv" $args) >out.txt 2>err.txt
    status=$?
    what="ulimit -v $limit, gfx16conv $args"
    [ $status = 1 ] || fail "$what: status $status, expected 1: $(cat err.txt)"
    grep -q "not enough memory" err.txt || fail "$what: said \"$(cat err.txt)\""
    left=$(ls -A | grep -v -x -e noise.bmp -e other.bmp -e out.txt -e err.txt -e out; ls -A out)
    [ -z "$left" ] || fail "$what: left behind: $left"
    find . out -mindepth 1 -maxdepth 1 ! -name noise.bmp ! -name other.bmp ! -name out -exec rm -f {} +
done

[ $failed = 0 ] && echo "memory: ${#cases[@]} cases passed"
[ $failed = 0 ]
