#!/bin/sh
# Whole-program timing on a 4096x4096 24-bit photo-like BMP: gfx16conv beside
# ImageMagick's convert, wall time and peak memory, medians of several runs.
#
#   scripts/bench-whole.sh
#
# RUNS (default 5) runs of each command; SIZE (default 4096); BUILD_DIR
# (default build-bench); CONVERT (default /usr/bin/convert, else convert on
# the PATH). Needs GNU time (/usr/bin/time, Debian package "time").
set -eu

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}
RUNS=${RUNS:-5}
SIZE=${SIZE:-4096}
JOBS=$(nproc 2>/dev/null || echo 2)
if [ -z "${CONVERT:-}" ]; then
    if [ -x /usr/bin/convert ]; then CONVERT=/usr/bin/convert; else CONVERT=convert; fi
fi
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "$0: $TIME missing (apt-get install time)" >&2; exit 1; }
command -v "$CONVERT" >/dev/null || { echo "$0: ImageMagick's convert missing" >&2; exit 1; }

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target gfx16bench gfx16conv -j "$JOBS" >/dev/null
CONV=$BUILD_DIR/gfx16conv
BENCH=$BUILD_DIR/bench/gfx16bench

work=$(mktemp -d "${TMPDIR:-/tmp}/gfx16-whole.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

"$BENCH" --write-bmp "$work/in.bmp" --size "$SIZE"

# Runs a command RUNS times under GNU time; prints "median_seconds median_kB".
# GNU time's %e has 10 ms steps, coarse beside runs of a few tenths of a
# second, so the wall time is taken to the millisecond around it instead
# (time's own start adds well under a millisecond to every command alike).
measure() {
    : >"$work/samples"
    i=0
    while [ "$i" -lt "$RUNS" ]; do
        t0=$(date +%s%N)
        if ! "$TIME" -f '%e %M' -o "$work/one" "$@" >/dev/null 2>"$work/err"; then
            echo "$0: failed: $*" >&2
            cat "$work/err" >&2
            exit 1
        fi
        t1=$(date +%s%N)
        echo "$(((t1 - t0) / 1000000)) $(tail -n 1 "$work/one" | cut -d' ' -f2)" |
            awk '{ printf "%.3f %d\n", $1 / 1000, $2 }' >>"$work/samples"
        i=$((i + 1))
    done
    wall=$(cut -d' ' -f1 "$work/samples" | sort -n | sed -n "$(((RUNS + 1) / 2))p")
    mem=$(cut -d' ' -f2 "$work/samples" | sort -n | sed -n "$(((RUNS + 1) / 2))p")
    echo "$wall $mem"
}

enc=$(measure "$CONV" encode "$work/in.bmp" "$work/carrier.bmp")
im_enc=$(measure "$CONVERT" "$work/in.bmp" -define bmp:subtype=RGB565 "$work/rgb565.bmp")
dec=$(measure "$CONV" decode "$work/carrier.bmp" "$work/out.bmp")
im_dec=$(measure "$CONVERT" "$work/carrier.bmp" "$work/im-out.bmp")

# The files must be what was asked for, or the times mean nothing.
carrier_type=$(file -b "$work/carrier.bmp")
case $carrier_type in
    *"$SIZE x $((2 * SIZE)) x 8"*) ;;
    *) echo "$0: unexpected carrier: $carrier_type" >&2; exit 1 ;;
esac
case $(file -b "$work/rgb565.bmp") in
    *"$SIZE x $SIZE x 16"*) ;;
    *) echo "$0: convert did not write RGB565: $(file -b "$work/rgb565.bmp")" >&2; exit 1 ;;
esac
case $(file -b "$work/out.bmp") in
    *"$SIZE x $SIZE x "*) ;;
    *) echo "$0: unexpected decoded picture: $(file -b "$work/out.bmp")" >&2; exit 1 ;;
esac

echo "whole programs on a ${SIZE}x${SIZE} 24-bit photo-like BMP, median of $RUNS runs"
echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;" \
     "$("$CONVERT" -version | sed -n 's/^Version: \(ImageMagick [^ ]*\).*/\1/p')"
echo
printf '%-46s %9s %9s\n' "" "wall s" "peak MB"
row() { printf '%-46s %9.3f %9.1f\n' "$1" "$2" "$(echo "$3" | awk '{ print $1 / 1024 }')"; }
# shellcheck disable=SC2086
{
    set -- $enc;    row "gfx16conv encode IN.bmp CARRIER.bmp" "$1" "$2"
    set -- $im_enc; row "convert IN.bmp -define bmp:subtype=RGB565 OUT" "$1" "$2"
    set -- $dec;    row "gfx16conv decode CARRIER.bmp OUT.bmp" "$1" "$2"
    set -- $im_dec; row "convert CARRIER.bmp OUT.bmp" "$1" "$2"
}
echo
echo "$enc $im_enc $dec $im_dec" | awk '
    function verdict(ok) { return ok ? "PASS" : "MISS" }
    { ew = $1 / $3; em = $2 / $4; dw = $5 / $7
      printf "encode: wall gfx16conv/convert %.2f (target <= 1) %s; peak memory %.2f (target < 1) %s\n",
             ew, verdict(ew <= 1), em, verdict(em < 1)
      printf "decode: wall gfx16conv/convert %.2f (target <= 1) %s\n", dw, verdict(dw <= 1) }'
