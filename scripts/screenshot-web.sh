#!/bin/bash
# The picture of the page in README: the photo-like sample encoded by the
# format's encoder, its preview left of the split line and the picture right
# of it at 2:1, in headless Chromium.
#   scripts/screenshot-web.sh [OUT.png]     (default doc/web-page.png)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-doc/web-page.png}")
build=${BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target web >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 scripts/make-sample.py --photo --size 1024x768 "$work/photo.bmp"
modules=$(bash tests/web/node-modules.sh "$build" .)
node - "$build/web" "$modules" "$work" "$out" <<'JS'
const [webDir, modules, work, out] = process.argv.slice(2);
const { launchChromium, servePage } = await import(`${process.cwd()}/tests/web/chromium.mjs`);
const { url, server } = await servePage(webDir);
const browser = await launchChromium(modules, `${work}/profile`);
const page = await browser.newPage();
await page.setViewport({ width: 1280, height: 860 });
await page.goto(url);
await page.waitForSelector('html[data-ready]');
await (await page.$('#picture')).uploadFile(`${work}/photo.bmp`);
await page.waitForFunction(() => document.getElementById('status').dataset.measuredMs, { timeout: 60000 });
await page.click('[data-zoom="2"]');
await page.mouse.move(0, 0);
await page.screenshot({ path: out });
await browser.close();
server.close();
JS
echo "screenshot-web: $out"
