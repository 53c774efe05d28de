#!/bin/bash
# Builds the library, the unit tests and gfx16conv with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option GFX16_SANITIZE) and runs the unit
# tests, the readers' tests, every generated reader case and the fuzzer's
# finds through them. Any sanitizer report stops the run with a failure.
#   scripts/test-sanitizers.sh [BUILD_DIR]     (BUILD_DIR: build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}

cmake -S . -B "$build" -DGFX16_SANITIZE=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target unit_tests view_test readers_test formats_test gfx16conv reader_cases -j"$(nproc)"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

for t in unit_tests view_test readers_test formats_test; do
    echo "== $t"
    "$build/tests/$t" --gtest_brief=1
done
echo "== gfx16conv on every generated case"
bash tests/reader_cases_cli.sh "$build/gfx16conv" "$PWD/$build/tests/reader-cases"
echo "== gfx16conv on the fuzzer's finds, and a round trip through every writer"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in tests/regressions/*; do
    [ "$(basename "$f")" = README ] && continue
    status=0
    "$build/gfx16conv" encode "$f" "$work/out.bmp" 2>/dev/null || status=$?
    [ $status -le 1 ] || { echo "gfx16conv ended with $status on $f" >&2; exit 1; }
    status=0
    "$build/gfx16conv" decode "$f" "$work/out.bmp" 2>/dev/null || status=$?
    [ $status -le 1 ] || { echo "gfx16conv ended with $status on $f" >&2; exit 1; }
done
cases=$build/tests/reader-cases
"$build/gfx16conv" encode "$cases/pal8-rle-delta.bmp" "$work/carrier.bmp" "$work/preview.png"
"$build/gfx16conv" encode --best "$cases/tga-rle24.tga" "$work/carrier.png"
for ext in bmp png tga pcx; do
    "$build/gfx16conv" decode "$work/carrier.png" "$work/picture.$ext"
done
"$build/gfx16conv" compare --diff "$work/diff.png" "$cases/tga-rle24.tga" "$work/picture.pcx" >/dev/null
"$build/gfx16conv" info "$work/carrier.bmp" "$work/picture.tga" >/dev/null
echo "sanitizers: all clean"
