#!/bin/bash
# Installs what is missing and builds everything into BUILD_DIR (default
# build/), the Python module too, so that its tests run with the others.
# run.sh and test.sh start with it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}

scripts/install-deps.sh
cmake -S . -B "$build" -DGFX16_PYTHON=ON
cmake --build "$build" -j "$(nproc)"
