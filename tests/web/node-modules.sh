#!/bin/bash
# Installs puppeteer-core from npm, as tests/web/package-lock.json pins it,
# into BUILD_DIR/tests/web-node (again only when the lock file changes), and
# prints the folder of its node_modules.
#   node-modules.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
modules=$build/tests/web-node
if ! cmp -s "$src/tests/web/package-lock.json" "$modules/package-lock.json" 2>/dev/null; then
    rm -rf "$modules"
    mkdir -p "$modules"
    cp "$src/tests/web/package.json" "$src/tests/web/package-lock.json" "$modules/"
    (cd "$modules" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >&2)
fi
echo "$modules/node_modules"
