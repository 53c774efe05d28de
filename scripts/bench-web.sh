#!/bin/bash
# The page's speed on a 12-megapixel photo in headless Chromium, beside
# gfx16conv's on the same file, and the ratio (bench/web_bench.mjs). Not a
# test: the figures depend on the machine and on what else runs on it.
# The photo is a mosaic of scikit-image's sample photographs, 4000 x 3000,
# saved as a JPEG of quality 90.
#   scripts/bench-web.sh [RUNS]     (default 3; BUILD_DIR: another build folder than build/)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
runs=${1:-3}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target gfx16conv web -j"$(nproc)" >/dev/null
photo=$build/bench-web/photo.jpg
if [ ! -f "$photo" ]; then
    mkdir -p "$(dirname "$photo")"
    /usr/bin/python3 - "$photo" <<'PY'
import sys
import numpy as np
import skimage.data
from PIL import Image
from skimage.transform import resize

# Twelve tiles of 1000 x 1000, each a photograph's middle square scaled up.
names = ['astronaut', 'coffee', 'chelsea', 'rocket', 'hubble_deep_field', 'immunohistochemistry',
         'retina', 'stereo_motorcycle', 'colorwheel', 'cat', 'coffee', 'astronaut']
mosaic = np.zeros((3000, 4000, 3), np.uint8)
for k, name in enumerate(names):
    photo = getattr(skimage.data, name)()
    photo = photo[0] if isinstance(photo, tuple) else photo
    h, w = photo.shape[:2]
    side = min(h, w)
    square = photo[(h - side) // 2:(h + side) // 2, (w - side) // 2:(w + side) // 2, :3]
    tile = resize(square, (1000, 1000), order=3, anti_aliasing=True)
    y, x = divmod(k, 4)
    mosaic[1000 * y:1000 * (y + 1), 1000 * x:1000 * (x + 1)] = (tile * 255).round().clip(0, 255).astype(np.uint8)
Image.fromarray(mosaic).save(sys.argv[1], quality=90)
PY
fi
modules=$(bash tests/web/node-modules.sh "$build" .)
node bench/web_bench.mjs "$build/web" "$modules" "$build/gfx16conv" "$photo" "$runs"
