#!/bin/bash
# Builds the readers' fuzzer with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs it for SECONDS: any bytes, loaded as a
# picture and as a carrier by the readers the programs choose by content
# (BMP, PNG, JPEG, WebP, TGA, PCX). Its seeds: every valid case of
# scripts/make-reader-cases.py --seeds, the PNG, JPEG and WebP files of
# tests/formats_pillow.py, and the earlier finds in tests/regressions/. The
# corpus it grows stays in BUILD_DIR. Anything it finds is copied into
# tests/regressions/ (commit it: the unit tests load every file there) and
# the script fails.
#   scripts/fuzz.sh SECONDS [BUILD_DIR]     (BUILD_DIR: build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [BUILD_DIR]}
build=${2:-build-fuzz}

cmake -S . -B "$build" -DGFX16_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target readers_fuzz -j"$(nproc)"

corpus=$build/fuzz-corpus
finds=$build/fuzz-finds
rm -rf "$corpus/seeds" "$finds"
mkdir -p "$corpus/grown" "$finds" "$corpus/seeds"
/usr/bin/python3 scripts/make-reader-cases.py --seeds "$corpus/seeds"
/usr/bin/python3 tests/formats_pillow.py make "$corpus/formats" >/dev/null
find "$corpus/formats" -type f \( -name '*.png' -o -name '*.jpg' -o -name '*.webp' \) -size -8k \
    -exec cp {} "$corpus/seeds/" \;
rm -rf "$corpus/formats"

status=0
"$build/tests/fuzz/readers_fuzz" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$finds/" \
    "$corpus/grown" "$corpus/seeds" tests/regressions || status=$?

if [ -n "$(ls -A "$finds")" ]; then
    cp "$finds"/* tests/regressions/
    echo "fuzz.sh: the fuzzer found inputs that fail; copied to tests/regressions/:" >&2
    ls "$finds" >&2
    exit 1
fi
exit $status
