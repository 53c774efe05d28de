#!/bin/bash
# Whole programs, side by side in one run: gfx16conv beside ImageMagick's
# convert on photo-like 24-bit BMPs, wall time, CPU time and peak memory,
# medians of RUNS runs.
#
#   scripts/bench-whole.sh
#
# RUNS (default 7) runs of each command; BIG (default 16384) the side of the
# picture whose peak memory is measured besides 4096 (0 to skip it);
# BUILD_DIR (default build-bench); CONVERT (default /usr/bin/convert). Needs
# GNU time (/usr/bin/time, Debian package "time") and taskset.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}
RUNS=${RUNS:-7}
BIG=${BIG:-16384}
JOBS=$(nproc 2>/dev/null || echo 2)
CONVERT=${CONVERT:-/usr/bin/convert}
TIME=/usr/bin/time
[ -x "$TIME" ] || { echo "$0: $TIME missing (apt-get install time)" >&2; exit 1; }
[ -x "$CONVERT" ] || { echo "$0: ImageMagick's convert missing" >&2; exit 1; }

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target gfx16bench gfx16conv -j "$JOBS" >/dev/null
CONV=$BUILD_DIR/gfx16conv
BENCH=$BUILD_DIR/bench/gfx16bench

work=$(mktemp -d "${TMPDIR:-/tmp}/gfx16-whole.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

"$BENCH" --write-bmp "$work/in.bmp" --size 4096
"$BENCH" --write-bmp "$work/small.bmp" --size 256

# Runs a command RUNS times under GNU time; prints "wall_s cpu_s peak_kB",
# the median of each. The wall time is taken to the millisecond around it
# (GNU time's %e has 10 ms steps); its CPU time is user + system.
measure() {
    : >"$work/samples"
    local i=0 t0 t1
    while [ "$i" -lt "$RUNS" ]; do
        t0=$(date +%s%N)
        if ! "$TIME" -f '%U %S %M' -o "$work/one" "$@" >/dev/null 2>"$work/err"; then
            echo "$0: failed: $*" >&2
            cat "$work/err" >&2
            exit 1
        fi
        t1=$(date +%s%N)
        echo "$(((t1 - t0) / 1000000)) $(tail -n 1 "$work/one")" |
            awk '{ printf "%.3f %.3f %d\n", $1 / 1000, $2 + $3, $4 }' >>"$work/samples"
        i=$((i + 1))
    done
    local middle=$(((RUNS + 1) / 2))
    echo "$(cut -d' ' -f1 "$work/samples" | sort -n | sed -n "${middle}p")" \
         "$(cut -d' ' -f2 "$work/samples" | sort -n | sed -n "${middle}p")" \
         "$(cut -d' ' -f3 "$work/samples" | sort -n | sed -n "${middle}p")"
}

# The files must be what was asked for, or the times mean nothing.
expect_file() {
    case $(file -b "$1") in
        *"$2"*) ;;
        *) echo "$0: $1 is not $2: $(file -b "$1")" >&2; exit 1 ;;
    esac
}

echo "whole programs on photo-like 24-bit BMPs; median of $RUNS runs"
echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;" \
     "$("$CONVERT" -version | sed -n 's/^Version: \(ImageMagick [^ ]*\).*/\1/p')"
echo
printf '%-58s %8s %8s %9s\n' "" "wall s" "CPU s" "peak MB"
row() { printf '%-58s %8.3f %8.3f %9.1f\n' "$1" "$2" "$3" "$(echo "$4" | awk '{ print $1 / 1024 }')"; }
declare -A result
run() {  # run KEY DESCRIPTION COMMAND...
    local key=$1 what=$2
    shift 2
    result[$key]=$(measure "$@")
    # shellcheck disable=SC2086
    row "$what" ${result[$key]}
}

run enc "gfx16conv encode IN.bmp C.bmp (4096)" "$CONV" encode "$work/in.bmp" "$work/carrier.bmp"
run im_enc "convert IN.bmp -define bmp:subtype=RGB565 OUT.bmp" \
    "$CONVERT" "$work/in.bmp" -define bmp:subtype=RGB565 "$work/rgb565.bmp"
run enc1 "the same gfx16conv encode on one core" taskset -c 0 "$CONV" encode "$work/in.bmp" "$work/carrier.bmp"
run im_enc1 "the same convert on one core" \
    taskset -c 0 "$CONVERT" "$work/in.bmp" -define bmp:subtype=RGB565 "$work/rgb565.bmp"
run dec "gfx16conv decode C.bmp OUT.bmp (4096)" "$CONV" decode "$work/carrier.bmp" "$work/out.bmp"
run im_dec "convert C.bmp OUT.bmp" "$CONVERT" "$work/carrier.bmp" "$work/im-out.bmp"
run best "gfx16conv encode --best IN.bmp C.bmp (4096)" "$CONV" encode --best "$work/in.bmp" "$work/best.bmp"
run small "gfx16conv encode (256 x 256)" "$CONV" encode "$work/small.bmp" "$work/small-carrier.bmp"
run im_small "convert, RGB565 (256 x 256)" \
    "$CONVERT" "$work/small.bmp" -define bmp:subtype=RGB565 "$work/small-rgb565.bmp"
run small_best "gfx16conv encode --best (256 x 256)" "$CONV" encode --best "$work/small.bmp" "$work/small-best.bmp"
expect_file "$work/carrier.bmp" "4096 x 8192 x 8"
expect_file "$work/best.bmp" "4096 x 8192 x 8"
expect_file "$work/rgb565.bmp" "4096 x 4096 x 16"
expect_file "$work/out.bmp" "4096 x 4096 x 24"

if [ "$BIG" -gt 0 ]; then
    rm -f "$work/in.bmp" "$work"/*.bmp
    "$BENCH" --write-bmp "$work/big.bmp" --size "$BIG"
    RUNS=1
    run big_enc "gfx16conv encode ($BIG x $BIG, --max-pixels 0)" \
        "$CONV" encode --max-pixels 0 "$work/big.bmp" "$work/big-carrier.bmp"
    rm -f "$work/big.bmp"
    run big_dec "gfx16conv decode ($BIG x $BIG, --max-pixels 0)" \
        "$CONV" decode --max-pixels 0 "$work/big-carrier.bmp" "$work/big-out.bmp"
    expect_file "$work/big-out.bmp" "$BIG x $BIG x 24"
fi

echo
# shellcheck disable=SC2086
set -- ${result[enc]} ${result[im_enc]} ${result[enc1]} ${result[im_enc1]} ${result[dec]} ${result[im_dec]} \
    ${result[best]} ${result[small]} ${result[im_small]} ${result[small_best]}
echo "$@" "${result[big_enc]:-0 0 0}" "${result[big_dec]:-0 0 0}" | awk '
    function verdict(ok) { return ok ? "PASS" : "MISS" }
    { ew = $1 / $4; ec = $2 / $5; e1 = $7 / $10; dw = $13 / $16; bw = $19 / $1; sw = $22 / $25
      printf "encode 4096: wall %.2f x convert (target <= 0.5) %s; CPU %.2f x (target <= 1.0) %s; one core %.2f x\n",
             ew, verdict(ew <= 0.5), ec, verdict(ec <= 1.0), e1
      printf "decode 4096: wall %.2f x convert (target <= 0.3) %s\n", dw, verdict(dw <= 0.3)
      printf "encode 256: wall %.2f x convert (target <= 1) %s; --best %.3f s (target <= 0.2) %s\n",
             sw, verdict(sw <= 1), $28, verdict($28 <= 0.2)
      printf "encode --best 4096: wall %.2f x the default encode (target <= 1.5) %s; peak %.0f MB (target <= 100) %s\n",
             bw, verdict(bw <= 1.5), $21 / 1024, verdict($21 / 1024 <= 100)
      if ($33 > 0)
          printf "peak memory: 4096 encode %.0f MB, decode %.0f MB; big encode %.0f MB, decode %.0f MB (target <= 32) %s\n",
                 $3 / 1024, $15 / 1024, $33 / 1024, $36 / 1024, verdict($3 / 1024 <= 32 && $33 / 1024 <= 32 && $36 / 1024 <= 32 && $15 / 1024 <= 32)
    }'
