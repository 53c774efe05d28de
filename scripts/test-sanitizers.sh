#!/bin/bash
# Builds the library, the unit tests and gfx16conv with AddressSanitizer and
# UndefinedBehaviorSanitizer (CMake option GFX16_SANITIZE) and runs the unit
# tests, every generated BMP case and the fuzzer's finds through them. Any
# sanitizer report stops the run with a failure.
#   scripts/test-sanitizers.sh [BUILD_DIR]     (BUILD_DIR: build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}

cmake -S . -B "$build" -DGFX16_SANITIZE=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target unit_tests bmpread_test gfx16conv bmp_cases -j"$(nproc)"

export ASAN_OPTIONS=abort_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== unit tests"
"$build/tests/unit_tests" --gtest_brief=1
echo "== BMP reader tests"
"$build/tests/bmpread_test" --gtest_brief=1
# gfx16conv, like the two programs, leaves its bitmaps to the library and
# the process exit: leaks are looked for in the tests above only.
export ASAN_OPTIONS=${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}
echo "== gfx16conv on every generated case"
bash tests/bmp_cases_cli.sh "$build/gfx16conv" "$PWD/$build/tests/bmp-cases"
echo "== gfx16conv on the fuzzer's finds, and decoding a carrier"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for f in tests/regressions/*; do
    [ "$(basename "$f")" = README ] && continue
    cp "$f" "$work/find.bmp"
    status=0
    "$build/gfx16conv" encode "$work/find.bmp" "$work/out.bmp" 2>/dev/null || status=$?
    [ $status -le 1 ] || { echo "gfx16conv ended with $status on $f" >&2; exit 1; }
done
"$build/gfx16conv" encode "$build/tests/bmp-cases/pal8-rle-delta.bmp" "$work/carrier.bmp"
"$build/gfx16conv" decode "$work/carrier.bmp" "$work/picture.bmp"
echo "sanitizers: all clean"
