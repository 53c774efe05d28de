#!/bin/bash
# Builds the Debian packages (libgfx16-1, libgfx16-dev, gfx16, python3-gfx16)
# into OUT_DIR (default BUILD_DIR/packages) and checks them with lintian:
# an error fails, warnings are shown.
#   scripts/package.sh [--built] [OUT_DIR]
# BUILD_DIR as for build.sh. --built packs the build as it stands, without
# configuring or building it again (the tests do, from ctest).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
built=0
if [ "${1:-}" = --built ]; then
    built=1
    shift
fi
out=$(realpath -m "${1:-$build/packages}")

if [ "$built" = 0 ]; then
    scripts/install-deps.sh
    cmake -S . -B "$build" -DGFX16_PYTHON=ON
    cmake --build "$build" -j "$(nproc)"
fi
mkdir -p "$out"
rm -rf "$out/_CPack_Packages"
rm -f "$out"/{libgfx16-1,libgfx16-dev,gfx16,python3-gfx16}_*.deb
if ! cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    exit 1
fi
rm -rf "$out/_CPack_Packages" "$out/cpack.log"
status=0
lintian --fail-on error "$out"/*.deb >"$out/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$out/lintian.log" || true
rm "$out/lintian.log"
[ "$status" = 0 ] || { echo "package.sh: lintian found errors" >&2; exit 1; }
ls "$out"/*.deb
