#!/bin/bash
# Builds the BMP reader's fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for SECONDS, from a seed corpus of
# every valid layout (scripts/make-bmp-cases.py --seeds) and the earlier
# finds in tests/regressions/. The corpus it grows stays in BUILD_DIR.
# Anything it finds is copied into tests/regressions/ (commit it: the unit
# tests load every file there) and the script fails.
#   scripts/fuzz.sh SECONDS [BUILD_DIR]     (BUILD_DIR: build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [BUILD_DIR]}
build=${2:-build-fuzz}

cmake -S . -B "$build" -DGFX16_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target bmpread_fuzz -j"$(nproc)"

corpus=$build/fuzz-corpus
finds=$build/fuzz-finds
rm -rf "$corpus/seeds" "$finds"
mkdir -p "$corpus/grown" "$finds"
/usr/bin/python3 scripts/make-bmp-cases.py --seeds "$corpus/seeds"

status=0
"$build/tests/fuzz/bmpread_fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$finds/" \
    "$corpus/grown" "$corpus/seeds" tests/regressions || status=$?

if [ -n "$(ls -A "$finds")" ]; then
    cp "$finds"/* tests/regressions/
    echo "fuzz.sh: the fuzzer found inputs that fail; copied to tests/regressions/:" >&2
    ls "$finds" >&2
    exit 1
fi
exit $status
