#!/bin/bash
# The page's test in Debian's Chromium (page.mjs), with puppeteer-core from
# npm installed into the build folder as package-lock.json pins it (again
# only when the lock file changes; it downloads no browser).
#   page.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
modules=$build/tests/web-node
if ! cmp -s "$src/tests/web/package-lock.json" "$modules/package-lock.json" 2>/dev/null; then
    rm -rf "$modules"
    mkdir -p "$modules"
    cp "$src/tests/web/package.json" "$src/tests/web/package-lock.json" "$modules/"
    (cd "$modules" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
fi
mkdir -p "$build/tests/web"
node "$src/tests/web/page.mjs" "$build/web" "$build/gfx16conv" "$modules/node_modules" "$build/tests/web"
