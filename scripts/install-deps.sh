#!/bin/bash
# Installs the Debian packages that gfx16 needs to build, run and test (Debian
# 12). Packages already there are left alone; when all are there, nothing is
# fetched, so a second run is quick.
set -euo pipefail

packages=(
    build-essential cmake pkg-config # the build
    liballegro4-dev                  # the desktop program: screen, keyboard
    libpng-dev zlib1g-dev            # reading and writing PNG
    libturbojpeg0-dev                # reading JPEG
    libwebp-dev                      # reading WebP
    googletest libgtest-dev          # unit tests
    xvfb xdotool x11-apps            # GUI tests: X server, keys, screenshots (xwd)
    x11-utils                        # xmessage, Allegro's message box under X11
    imagemagick python3 python3-pil  # picture checks, the sample picture
    python3-numpy python3-skimage    # reference quality numbers for the tests
    libqoi-dev time valgrind         # benchmarks (QOI beside the codec; callgrind)
    opencv-doc                       # benchmarks: two of the photographs of the mosaic
    clang libclang-rt-14-dev         # sanitizer and fuzzing builds
    dpkg-dev file lintian            # Debian packages: dpkg-shlibdeps, checked by lintian
    pybind11-dev python3-dev         # the Python module
    python3-pytest                   # its tests
    emscripten node-acorn            # the page: C++ to WebAssembly (its optimizer needs acorn)
    chromium nodejs                  # the page's tests: the browser they drive, and Node to drive it
)
# npm, which installs the page's test tools (tests/web/package-lock.json),
# unless the installed Node.js brings its own (NodeSource's does, and
# conflicts with Debian's npm).
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ "${#missing[@]}" -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages are installed"
    exit 0
fi

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
