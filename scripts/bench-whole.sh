#!/bin/bash
# gfx16conv as a whole program beside the I/O floor (bench/io_floor: the
# same reading and writing with no pixel work), side by side in one run, on
# a 4096 x 4096 mosaic of the photographs Debian ships (make-mosaic.py):
# wall time, CPU time and peak memory, medians of RUNS runs taken in turn
# (floor, encode, --best, decode, floor for decoding, then again), so that
# the load of the machine falls on all of them alike.
#
#   scripts/bench-whole.sh
#
# RUNS (default 11); BIG (default 16384) the side of the mosaic whose peak
# memory is measured besides 4096 (0 to skip it); BUILD_DIR (default
# build-bench). Needs GNU time (/usr/bin/time), python3-pil, python3-skimage
# and opencv-doc (the photographs), libqoi-dev (gfx16bench).
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}
RUNS=${RUNS:-11}
BIG=${BIG:-16384}
JOBS=$(nproc 2>/dev/null || echo 2)
TIME=/usr/bin/time
PYTHON=/usr/bin/python3  # Debian's, with python3-pil
[ -x "$TIME" ] || { echo "$0: $TIME missing (apt-get install time)" >&2; exit 1; }

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target gfx16bench gfx16conv io_floor -j "$JOBS" >/dev/null
CONV=$BUILD_DIR/gfx16conv
FLOOR=$BUILD_DIR/bench/io_floor
BENCH=$BUILD_DIR/bench/gfx16bench

work=$(mktemp -d "${TMPDIR:-/tmp}/gfx16-whole.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# One run of a command under GNU time, appended to $work/KEY as
# "wall_s cpu_s peak_kB"; the wall time to the millisecond around it (GNU
# time's %e has 10 ms steps), the CPU time user + system.
once() {  # once KEY COMMAND...
    local key=$1 t0 t1
    shift
    t0=$(date +%s%N)
    if ! "$TIME" -f '%U %S %M' -o "$work/one" "$@" >/dev/null 2>"$work/err"; then
        echo "$0: failed: $*" >&2
        cat "$work/err" >&2
        exit 1
    fi
    t1=$(date +%s%N)
    echo "$(((t1 - t0) / 1000000)) $(tail -n 1 "$work/one")" |
        awk '{ printf "%.3f %.3f %d\n", $1 / 1000, $2 + $3, $4 }' >>"$work/$key"
}

# The medians of each column of $work/KEY.
median() {
    local n middle
    n=$(wc -l <"$work/$1")
    middle=$(((n + 1) / 2))
    echo "$(cut -d' ' -f1 "$work/$1" | sort -n | sed -n "${middle}p")" \
         "$(cut -d' ' -f2 "$work/$1" | sort -n | sed -n "${middle}p")" \
         "$(cut -d' ' -f3 "$work/$1" | sort -n | sed -n "${middle}p")"
}

# The files must be what was asked for, or the times mean nothing.
expect_file() {
    case $(file -b "$1") in
        *"$2"*) ;;
        *) echo "$0: $1 is not $2: $(file -b "$1")" >&2; exit 1 ;;
    esac
}

row() { printf '%-52s %8.3f %8.3f %9.1f\n' "$1" "$2" "$3" "$(echo "$4" | awk '{ print $1 / 1024 }')"; }

"$PYTHON" scripts/make-mosaic.py "$work/in.bmp" --size 4096x4096
"$CONV" encode "$work/in.bmp" "$work/carrier.bmp"
carrier_bytes=$(stat -c %s "$work/carrier.bmp")
picture_bytes=$(stat -c %s "$work/in.bmp")

echo "gfx16conv beside the I/O floor on a 4096 x 4096 mosaic of Debian's photographs; median of $RUNS runs"
echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;" \
     "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
i=0
while [ "$i" -lt "$RUNS" ]; do
    once floor_enc "$FLOOR" "$work/in.bmp" "$work/floor.bmp" "$carrier_bytes"
    once enc "$CONV" encode "$work/in.bmp" "$work/carrier.bmp"
    once best "$CONV" encode --best "$work/in.bmp" "$work/best.bmp"
    once floor_dec "$FLOOR" "$work/carrier.bmp" "$work/floor.bmp" "$picture_bytes"
    once dec "$CONV" decode "$work/carrier.bmp" "$work/out.bmp"
    i=$((i + 1))
done
expect_file "$work/carrier.bmp" "4096 x 8192 x 8"
expect_file "$work/best.bmp" "4096 x 8192 x 8"
expect_file "$work/out.bmp" "4096 x 4096 x 24"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-52s %8s %8s %9s\n' "" "wall s" "CPU s" "peak MB"
declare -A result
for key in floor_enc enc best floor_dec dec; do
    result[$key]=$(median $key)
done
# shellcheck disable=SC2086
{
    row "I/O floor, picture in, carrier's size out" ${result[floor_enc]}
    row "gfx16conv encode" ${result[enc]}
    row "gfx16conv encode --best" ${result[best]}
    row "I/O floor, carrier in, picture's size out" ${result[floor_dec]}
    row "gfx16conv decode" ${result[dec]}
}

big_peaks="0 0 0"
if [ "$BIG" -gt 0 ]; then
    rm -f "$work"/*.bmp
    "$PYTHON" scripts/make-mosaic.py "$work/big.bmp" --size "${BIG}x${BIG}"
    once big_enc "$CONV" encode --max-pixels 0 "$work/big.bmp" "$work/big-carrier.bmp"
    once big_best "$CONV" encode --best --max-pixels 0 "$work/big.bmp" "$work/big-best.bmp"
    rm -f "$work/big.bmp" "$work/big-best.bmp"
    once big_dec "$CONV" decode --max-pixels 0 "$work/big-carrier.bmp" "$work/big-out.bmp"
    expect_file "$work/big-out.bmp" "$BIG x $BIG x 24"
    rm -f "$work"/*.bmp
    # shellcheck disable=SC2086
    {
        row "gfx16conv encode (${BIG} x ${BIG}, one run)" $(median big_enc)
        row "gfx16conv encode --best (${BIG} x ${BIG}, one run)" $(median big_best)
        row "gfx16conv decode (${BIG} x ${BIG}, one run)" $(median big_dec)
    }
    big_peaks="$(median big_enc | cut -d' ' -f3) $(median big_best | cut -d' ' -f3) $(median big_dec | cut -d' ' -f3)"
fi

# The encoder's core on one thread against QOI's, on gfx16bench's picture.
qoi=$("$BENCH" --sizes 4096 --runs 5 | awk '$1 == "4096x4096" {
    n = 0; for (i = 2; i <= NF; i++) if ($i ~ /^[0-9.]+x$/ && ++n == 2) print $i }')

echo
# shellcheck disable=SC2086
echo ${result[floor_enc]} ${result[enc]} ${result[best]} ${result[floor_dec]} ${result[dec]} $big_peaks "$qoi" | awk '
    function verdict(ok) { return ok ? "PASS" : "MISS" }
    { ef = $4 / $1; df = $13 / $10; be = $7 / $4; bc = $8 / $5
      peak = $6; for (i = 3; i <= 15; i += 3) if ($i > peak) peak = $i
      big = $16; if ($17 > big) big = $17; if ($18 > big) big = $18
      printf "encode: %.2f x the I/O floor (target <= 1.3) %s\n", ef, verdict(ef <= 1.3)
      printf "decode: %.2f x the I/O floor (target <= 1.3) %s\n", df, verdict(df <= 1.3)
      printf "encode --best: %.2f x the default encode'"'"'s wall time (target <= 1.5) %s; %.2f x its CPU time\n",
             be, verdict(be <= 1.5), bc
      printf "peak memory: %.1f MB at 4096", peak / 1024
      if (big > 0) printf ", %.1f MB at the big size", big / 1024
      printf " (target <= 32 MiB) %s\n", verdict(peak <= 32768 && big <= 32768)
      printf "encoder core on one thread: %s QOI'"'"'s pixel rate (gfx16bench, 4096 x 4096)\n", $19 }'
