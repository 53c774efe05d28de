#!/bin/bash
# Builds the page into a folder of static files, build/web by default: the
# codec, with the quality numbers of gfx16conv compare, compiled to
# WebAssembly by Emscripten (gfx16.wasm), beside the page's HTML, stylesheet
# and scripts from web/. Any static server can serve the folder
# (scripts/serve-web.sh).
#   scripts/build-web.sh [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/web}
mkdir -p "$out"

# Debian's emcc runs its JavaScript optimizer with the node on the PATH,
# which may not look where Debian keeps acorn.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}

sources=(web/gfx16_web.cpp
         src/codec/{codec,colour,code,encoder,tables,rows,rows_avx2,simd,threads,nearest,nearest_avx2,nearest_table_none,bmp,carrier_palette}.cpp
         src/files/picture.cpp
         src/programs/gfx16conv/metrics.cpp)
# The codec's colours depend on every rounding: no contraction into fused
# multiply-adds, no fast-math, as in the native build. A module of its own,
# without Emscripten's JavaScript: the page's codec.js gives it the two
# functions it imports.
emcc -std=c++17 -O3 -msimd128 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc "${sources[@]}" \
    --no-entry -sSTANDALONE_WASM -sALLOW_MEMORY_GROWTH -sMAXIMUM_MEMORY=4GB \
    -o "$out/gfx16.part.wasm"
mv "$out/gfx16.part.wasm" "$out/gfx16.wasm"
cp web/index.html web/style.css web/page.js web/viewer.js web/worker.js web/codec.js web/png.js web/headers.js "$out/"
echo "build-web: the page is in $out"
