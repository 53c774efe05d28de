#!/bin/bash
# The page's test in Debian's Chromium (page.mjs).
#   page.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
modules=$(bash "$src/tests/web/node-modules.sh" "$build" "$src")
mkdir -p "$build/tests/web"
node "$src/tests/web/page.mjs" "$build/web" "$build/gfx16conv" "$modules" "$build/tests/web"
