#!/bin/bash
# Installs what is missing, builds, and runs every test: the unit tests and
# the GUI tests, which start their own X server (no display needed). Extra
# arguments go to ctest, e.g. scripts/test.sh -R gui_. BUILD_DIR picks
# another build folder than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

scripts/build.sh
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
