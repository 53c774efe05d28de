// The page's speed on a picture in headless Chromium beside gfx16conv's on
// the same file, for each encoder; not a test. The page's times run from
// the file given to: the preview shown; the link to the BMP carrier; to the
// PNG carrier; the last of the three numbers. gfx16conv's: the carrier
// written as BMP, as PNG, and as PNG with --stats; the ratios set the
// page's last three beside them. The first run of the
// page (its code warmed up on small pictures only) and the best of RUNS;
// gfx16conv's best of RUNS.
//   node web_bench.mjs WEB_DIR NODE_MODULES GFX16CONV PICTURE [RUNS]
import { execFileSync } from 'child_process';
import fs from 'fs';
import os from 'os';
import path from 'path';

import { launchChromium, servePage } from '../tests/web/chromium.mjs';

const [webDir, nodeModules, gfx16conv, picture, runsText = '3'] = process.argv.slice(2);
const runs = Number(runsText);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'gfx16-web-bench-'));
const { url, server } = await servePage(webDir);
const browser = await launchChromium(nodeModules, path.join(work, 'profile'));
const page = await browser.newPage();
await page.setViewport({ width: 1280, height: 900 });
await page.goto(url);
await page.waitForSelector('html[data-ready]');
const size = await (async () => {
    const out = execFileSync(gfx16conv, ['info', picture], { encoding: 'utf8' });
    return out.match(/(\d+) x (\d+)/).slice(1).map(Number);
})();
console.log(`${path.basename(picture)}: ${size[0]} x ${size[1]} (${(size[0] * size[1] / 1e6).toFixed(1)} megapixels), `
            + `${os.cpus().length} cores; seconds`);

const best = (list) => Math.min(...list);
const seconds = (ms) => (ms / 1000).toFixed(2).padStart(6);

// The encoder is set without the change event, by which the page would
// encode the last picture again, alongside this one.
async function pageRun(encoder) {
    await page.$eval('#encoder', (select, value) => { select.value = value; }, encoder);
    await (await page.$('#picture')).uploadFile(picture);
    await page.waitForFunction(() => document.getElementById('status').dataset.measuredMs
                                     || document.getElementById('message').textContent, { timeout: 300000 });
    const message = await page.$eval('#message', (e) => e.textContent);
    if (message) throw new Error(message);
    return page.$eval('#status', (e) => ['encodedMs', 'bmpMs', 'carrierMs', 'measuredMs'].map((k) => Number(e.dataset[k])));
}

function nativeRun(options, output) {
    const start = process.hrtime.bigint();
    execFileSync(gfx16conv, ['encode', ...options, picture, path.join(work, output)], { stdio: 'ignore' });
    return Number(process.hrtime.bigint() - start) / 1e6;
}

console.log('                  page: preview    BMP     PNG  numbers   gfx16conv: BMP    PNG  PNG+stats   page/gfx16conv');
for (const [encoder, options] of [['default', []], ['best', ['--best']], ['dither', ['--best', '--dither']]]) {
    const page = [];
    for (let r = 0; r <= runs; r++) page.push(await pageRun(encoder));
    const first = page.shift();
    const native = [[], [], []];
    for (let r = 0; r < runs; r++) {
        native[0].push(nativeRun(options, 'carrier.bmp'));
        native[1].push(nativeRun(options, 'carrier.png'));
        native[2].push(nativeRun([...options, '--stats'], 'carrier.png'));
    }
    const pageBest = [0, 1, 2, 3].map((i) => best(page.map((p) => p[i])));
    const nativeBest = native.map(best);
    const ratios = pageBest.slice(1).map((p, i) => (p / nativeBest[i]).toFixed(1)).join(' / ');
    console.log(`${encoder.padEnd(8)} first run  ${first.map(seconds).join(' ')}`);
    console.log(`${encoder.padEnd(8)} best of ${runs}  ${pageBest.map(seconds).join(' ')}           `
                + `${nativeBest.map(seconds).join(' ')}     ${ratios}`);
}
await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
