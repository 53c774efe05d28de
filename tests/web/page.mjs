// The page in Debian's Chromium, headless, served on 127.0.0.1 by this
// test: pictures and carriers fed through the file inputs, what the page
// offers for download checked against gfx16conv's files of the same
// inputs, its numbers against gfx16conv compare, bad files against their
// reasons, and the comparison view's screen pixels against gfx16conv's
// preview and the picture.
//   node page.mjs WEB_DIR GFX16CONV NODE_MODULES OUT_DIR
// OUT_DIR receives the screenshot of the comparison view (comparison.png).
import { execFileSync } from 'child_process';
import { createHash } from 'crypto';
import fs from 'fs';
import os from 'os';
import path from 'path';

import { launchChromium, servePage } from './chromium.mjs';

const [webDir, gfx16conv, nodeModules, outDir] = process.argv.slice(2);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'gfx16-web-'));
const downloads = path.join(work, 'downloads');
fs.mkdirSync(downloads);
const file = (name) => path.join(work, name);

let failed = 0;
function check(ok, what, detail = '') {
    console.log(ok ? `ok - ${what}` : `FAIL: ${what}${detail ? `: ${detail}` : ''}`);
    if (!ok) failed++;
    return ok;
}

const conv = (...args) => execFileSync(gfx16conv, args, { encoding: 'utf8' });
const python = (code, ...args) => execFileSync('/usr/bin/python3', ['-c', code, ...args], { maxBuffer: 1 << 28 });
const sha256 = (name) => createHash('sha256').update(fs.readFileSync(name)).digest('hex');
// A picture's pixels as Pillow reads them: [w, h, RGB bytes].
function pixels(name) {
    const out = python('import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert("RGB"); '
                       + 'sys.stdout.buffer.write(b"%d %d\\n" % im.size + im.tobytes())', name);
    const end = out.indexOf(10);
    const [w, h] = out.subarray(0, end).toString().split(' ').map(Number);
    return { w, h, rgb: out.subarray(end + 1) };
}

// ---- The inputs ----------------------------------------------------------------

const sourceDir = path.resolve(path.dirname(new URL(import.meta.url).pathname), '../..');
const makeSample = (...args) => execFileSync('/usr/bin/python3', [path.join(sourceDir, 'scripts/make-sample.py'), ...args]);
makeSample(file('sample.bmp'));
makeSample('--photo', '--size', '333x251', file('photo.bmp'));
python(`
import struct, sys
import numpy as np
from PIL import Image
d = sys.argv[1]
photo = Image.open(d + '/photo.bmp')
photo.save(d + '/photo.png')
photo.save(d + '/photo.webp', lossless=True)
photo.convert('P', palette=Image.ADAPTIVE).save(d + '/photo.gif')
Image.open(d + '/photo.gif').convert('RGB').save(d + '/gif.png')
photo.save(d + '/photo.jpg', quality=90)
y, x = np.mgrid[0:61, 0:97]
rgba = np.dstack([x * 2 % 256, y * 4 % 256, (x + y) % 256, (x * 5 + y * 3) % 256]).astype(np.uint8)
Image.fromarray(rgba, 'RGBA').save(d + '/alpha.png')
open(d + '/notes.txt', 'w').write('not a picture\\n' * 40)
open(d + '/broken.png', 'wb').write(bytes([137, 80, 78, 71, 13, 10, 26, 10]) + bytes(range(256)) * 4)
# Headers alone, of pictures too large to be decoded.
Image.new('L', (1, 1)).save(d + '/wide.png')
wide = bytearray(open(d + '/wide.png', 'rb').read())
wide[16:24] = struct.pack('>II', 40000, 10)
open(d + '/wide.png', 'wb').write(wide)
open(d + '/huge.bmp', 'wb').write(b'BM' + struct.pack('<IHHI', 54, 0, 0, 54)
                                  + struct.pack('<IiiHHIIiiII', 40, 20000, 20000, 1, 24, 0, 0, 0, 0, 0, 0))
`, work);

// ---- The page, served here ------------------------------------------------------

const { url, server } = await servePage(webDir);
const browser = await launchChromium(nodeModules, path.join(work, 'profile'));
const context = await browser.createBrowserContext({ downloadBehavior: { policy: 'allow', downloadPath: downloads } });
const page = await context.newPage();
await page.setViewport({ width: 1280, height: 900 });
const pageErrors = [];
page.on('pageerror', (error) => pageErrors.push(error.message));
await page.goto(url);

const text = (id) => page.$eval(`#${id}`, (e) => e.textContent);

// Feeds a file to an input and waits for the link `link` to a new file, or
// for a reason in #message. Returns the reason, or '' and the link's
// download name.
async function feed(input, name, link) {
    const before = await page.$eval(`#${link}`, (a) => a.href).catch(() => '');
    await (await page.$(`#${input}`)).uploadFile(name);
    await page.waitForFunction((link, before) => {
        const a = document.getElementById(link);
        return document.getElementById('message').textContent || (a && a.href !== before);
    }, { timeout: 120000 }, link, before);
    return { reason: await text('message'), download: await page.$eval(`#${link}`, (a) => a.download).catch(() => '') };
}

// Clicks a link and waits for its file.
async function download(link) {
    const name = path.join(downloads, await page.$eval(`#${link}`, (a) => a.download));
    fs.rmSync(name, { force: true });
    await page.click(`#${link}`);
    for (let t = 0; t < 600 && !(fs.existsSync(name) && !fs.existsSync(`${name}.crdownload`)); t++)
        await new Promise((r) => setTimeout(r, 100));
    return name;
}

// ---- Encoding ------------------------------------------------------------------

const encoderOptions = { default: [], best: ['--best'], dither: ['--best', '--dither'] };
// gfx16conv reads no GIF: it is given Pillow's PNG of the same pixels.
const encodings = [
    ['sample.bmp', 'default'],
    ['photo.png', 'best'],
    ['photo.webp', 'dither'],
    ['photo.gif', 'default', 'gif.png'],
    ['alpha.png', 'best'],
    ['photo.jpg', 'default'],
];
for (const [input, encoder, reference = input] of encodings) {
    const what = `${input}, ${encoder}`;
    await page.select('#encoder', encoder);
    const { reason } = await feed('picture', file(input), 'carrier-png');
    if (!check(!reason, `${what}: encoded`, reason)) continue;
    const theirs = file(`${input}.carrier.bmp`), theirsDecoded = file(`${input}.decoded.bmp`);
    conv('encode', ...encoderOptions[encoder], file(reference), theirs);
    conv('decode', theirs, theirsDecoded);

    const bmp = await download('carrier-bmp');
    check(sha256(bmp) === sha256(theirs), `${what}: the BMP carrier is gfx16conv's, byte for byte`);
    const png = await download('carrier-png');
    if (input === 'photo.png') {
        fs.copyFileSync(png, file('page.carrier.png'));
        fs.copyFileSync(bmp, file('page.carrier.bmp'));
    }
    const oursDecoded = file(`${input}.ours.decoded.bmp`);
    conv('decode', png, oursDecoded);
    check(sha256(oursDecoded) === sha256(theirsDecoded), `${what}: the PNG carrier holds gfx16conv's codes`);

    await page.waitForFunction(() => ['psnr', 'ssim', 'ciede2000'].every((id) => /\d/.test(document.getElementById(id).textContent)),
                               { timeout: 120000 });
    const numbers = conv('compare', file(reference), theirsDecoded);
    const shown = `PSNR ${await text('psnr')} dB\nSSIM ${await text('ssim')}\nCIEDE2000 ${await text('ciede2000')}\n`;
    check(shown === numbers, `${what}: the numbers of gfx16conv compare`, `page ${JSON.stringify(shown)}, gfx16conv ${JSON.stringify(numbers)}`);
}

// ---- The comparison view -------------------------------------------------------
// The sample, encoded by the format's encoder: left of the split line the
// screen shows gfx16conv's preview, right of it the picture. At the fitted
// scale each picture pixel is looked at in its middle; at 8:1 in the first
// screen pixel of its square, which a smoothed picture would blend with its
// neighbours. Last, the picture dragged by the mouse and the line dragged to
// a third of the view.

await page.select('#encoder', 'default');
await feed('picture', file('sample.bmp'), 'carrier-png');
conv('encode', file('sample.bmp'), file('sample.carrier.bmp'), file('sample.preview.bmp'));
const preview = pixels(file('sample.preview.bmp')), picture = pixels(file('sample.bmp'));
const viewBox = () => page.evaluate(() => {
    const box = document.getElementById('view').getBoundingClientRect();
    const [x, y, scale] = document.querySelector('.stage').style.transform.match(/-?[\d.]+/g).map(Number);
    return { left: box.left, top: box.top, width: box.width, height: box.height, x, y, scale,
             line: parseFloat(document.querySelector('.split').style.left) };
});
async function drag(fromX, fromY, toX, toY) {
    await page.mouse.move(fromX, fromY);
    await page.mouse.down();
    await page.mouse.move(toX, toY, { steps: 5 });
    await page.mouse.up();
}
const views = [
    ['fit', 0.5, () => page.click('[data-zoom="fit"]')],
    ['8', 1 / 16, () => page.click('[data-zoom="8"]')],
    ['8, moved', 1 / 16, async () => {
        const v = await viewBox();
        await drag(v.left + v.width * 0.75, v.top + v.height / 2, v.left + v.width * 0.75 - 150, v.top + v.height / 2 - 90);
        const moved = await viewBox();
        check(moved.x === v.x - 150 && moved.y === v.y - 90, 'the picture follows the mouse', JSON.stringify([v, moved]));
        await drag(v.left + v.line, v.top + v.height / 2, v.left + v.width / 3, v.top + v.height / 2);
        const split = await viewBox();
        check(Math.abs(split.line - v.width / 3) <= 1, 'the split line follows the mouse', JSON.stringify(split));
    }],
];
for (const [zoom, inset, set] of views) {
    await set();
    await page.mouse.move(0, 0);
    const shot = path.join(outDir, `comparison-${zoom.replace(/\W+/g, '-')}.png`);
    await page.screenshot({ path: shot });
    const screen = pixels(shot);
    const view = await viewBox();
    let wrong = 0, seen = 0, left = 0;
    for (let py = 0; py < picture.h; py++) {
        for (let px = 0; px < picture.w; px++) {
            const vx = view.x + (px + inset) * view.scale, vy = view.y + (py + inset) * view.scale;
            // Not under the line's grip, the labels or the view's edges,
            // nor the picture's last row or column, which a scale that is
            // not whole leaves short of a whole screen pixel.
            if (Math.abs(vx - view.line) < 20 || vy < 40 || vx < 0 || vy < 0 || vx >= view.width || vy >= view.height
                || px === picture.w - 1 || py === picture.h - 1) continue;
            const sx = Math.floor(view.left + vx), sy = Math.floor(view.top + vy);
            if (sx >= screen.w || sy >= screen.h) continue;
            const want = (vx < view.line ? preview : picture).rgb.subarray((py * picture.w + px) * 3, (py * picture.w + px) * 3 + 3);
            const got = screen.rgb.subarray((sy * screen.w + sx) * 3, (sy * screen.w + sx) * 3 + 3);
            seen++;
            if (vx < view.line) left++;
            if (want.some((v, c) => v !== got[c])) wrong++;
        }
    }
    check(seen > 1000 && left > 100 && seen - left > 100 && wrong === 0,
          `the view at ${zoom}: preview left of the line, picture right of it`,
          `${wrong} of ${seen} pixels differ; ${left} left of the line`);
}
fs.copyFileSync(path.join(outDir, 'comparison-fit.png'), path.join(outDir, 'comparison.png'));

// ---- Decoding ------------------------------------------------------------------

// gfx16conv's carriers (PNG: palette, interlaced, Sub), the page's own
// from the first encoding of the photo, and Pillow's grey copy of
// gfx16conv's PNG (not interlaced, a filter chosen for each row).
conv('encode', '--best', file('photo.png'), file('photo.carrier.png'));
conv('encode', '--best', file('photo.png'), file('photo.carrier.bmp'));
fs.writeFileSync(file('cut.carrier.bmp'), fs.readFileSync(file('photo.carrier.bmp')).subarray(0, 5000));
python(`
import sys
from PIL import Image
Image.open(sys.argv[1] + '/photo.carrier.png').convert('L').save(sys.argv[1] + '/grey.carrier.png')
`, work);
for (const input of ['photo.carrier.png', 'page.carrier.png', 'grey.carrier.png', 'photo.carrier.bmp', 'page.carrier.bmp']) {
    const { reason } = await feed('carrier', file(input), 'decoded-png');
    if (!check(!reason, `${input}: decoded`, reason)) continue;
    const ours = await download('decoded-png');
    conv('decode', file(input), file(`${input}.decoded.bmp`));
    const same = conv('compare', ours, file(`${input}.decoded.bmp`)).startsWith('PSNR inf dB');
    check(same, `${input}: the decoded picture is gfx16conv's`);
}

// ---- Refusals ----------------------------------------------------------------------

const refusals = [
    ['picture', 'notes.txt', /^notes\.txt: not a picture that this browser can read$/],
    ['picture', 'broken.png', /^broken\.png: cannot read the PNG picture/],
    ['picture', 'wide.png', /^wide\.png: picture larger than 32768 pixels a side$/],
    ['picture', 'huge.bmp', /^huge\.bmp: picture of 400000000 pixels, more than the limit of 134217728$/],
    ['carrier', 'notes.txt', /^notes\.txt: not a carrier: not a BMP or PNG file$/],
    ['carrier', 'photo.webp', /^photo\.webp: not a carrier: WebP picture, not BMP or PNG$/],
    ['carrier', 'photo.png', /^photo\.png: not a carrier: 8-bit RGB PNG, not 8-bit palette or 8-bit grey$/],
    ['carrier', 'photo.bmp', /^photo\.bmp: not a carrier: the bytes are no paletted BMP of 2 rows or more, or it is damaged$/],
    ['carrier', 'cut.carrier.bmp', /^cut\.carrier\.bmp: not a carrier: the bytes are no paletted BMP of 2 rows or more, or it is damaged$/],
    ['carrier', 'huge.bmp', /^huge\.bmp: picture of 200000000 pixels, more than the limit of 134217728$/],
];
for (const [input, name, reason] of refusals) {
    const got = await feed(input, file(name), input === 'picture' ? 'carrier-png' : 'decoded-png');
    check(reason.test(got.reason), `${name} as a ${input}: refused with its reason`, JSON.stringify(got.reason));
}
// ...and the page still answers.
await page.select('#encoder', 'best');
check(!(await feed('picture', file('sample.bmp'), 'carrier-png')).reason, 'a picture encoded after the refusals');
check(pageErrors.length === 0, 'no uncaught error in the page', pageErrors.join('; '));

await browser.close();
server.close();
if (!failed) fs.rmSync(work, { recursive: true, force: true });
else console.log(`the files are in ${work}`);
console.log(failed ? `${failed} failed` : 'all passed');
process.exit(failed ? 1 : 0);
