#!/bin/sh
# Builds gfx16bench (Release) and runs it: the codec's cores beside QOI.
#
#   scripts/bench.sh [gfx16bench options, e.g. --sizes 512,2048 --runs 3]
#   scripts/bench.sh --callgrind encode|decode [--size N] [--cold]
#
# --callgrind runs one call of a core under valgrind's callgrind (512x512 by
# default, tables built beforehand unless --cold) from a build with debug
# lines, and prints where the instructions go.
# BUILD_DIR (default build-bench) is the build directory; the callgrind build
# goes to BUILD_DIR-prof.
set -eu

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-bench}
JOBS=$(nproc 2>/dev/null || echo 2)

if [ "${1:-}" = "--callgrind" ]; then
    shift
    [ $# -ge 1 ] || { echo "usage: $0 --callgrind encode|decode [--size N] [--cold]" >&2; exit 2; }
    core=$1
    shift
    prof_dir=$BUILD_DIR-prof
    # Same optimisation as the Release build, plus line tables for the annotation.
    # The annotation shows the sources as they were built: keep a copy, and
    # build again if they change while building.
    snap=$prof_dir/built-sources
    cmake -S . -B "$prof_dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g >/dev/null
    for attempt in 1 2 3; do
        rm -rf "$snap" && mkdir -p "$snap" && cp -pr src "$snap/"
        cmake --build "$prof_dir" --target gfx16bench -j "$JOBS" >/dev/null
        if diff -rq "$snap/src" src >/dev/null 2>&1; then break; fi
        [ "$attempt" -lt 3 ] || echo "warning: src/ keeps changing; lines may not match the code" >&2
    done
    out=$(cd "$prof_dir" && pwd)/callgrind.$core.out
    rm -f "$out"
    # Instrumentation starts and stops around the one timed call.
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$out" \
        "$prof_dir/bench/gfx16bench" --profile "$core" "$@" 2>&1 | grep -E 'refs|gfx16bench' || true
    [ -s "$out" ] || { echo "$0: callgrind wrote no profile" >&2; exit 1; }
    echo
    echo "== instructions by function (self) =="
    callgrind_annotate --inclusive=no --auto=no "$out" | sed -n '/file:function/,/^$/p' | head -25
    echo "== instructions by line of src/codec/ (lines above 0.5%) =="
    # Point the profile at the copy of the sources it was built from.
    sed "s|$PWD/src/|$(cd "$snap" && pwd)/src/|g" "$out" >"$out.built"
    (cd "$snap" && callgrind_annotate --inclusive=no --auto=yes "$out.built") |
        awk '/^-- (Auto|User)-annotated source:/ { on = /src\/codec\//; if (on) print; next }
             on && !/events annotated/ && match($0, /\( *[0-9.]+%\)/) {
                 if (substr($0, RSTART + 1, RLENGTH - 3) + 0 >= 0.5) print }'
    echo
    echo "full data: $out (callgrind_annotate $out)"
    exit 0
fi

cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD_DIR" --target gfx16bench -j "$JOBS" >/dev/null
exec "$BUILD_DIR/bench/gfx16bench" "$@"
