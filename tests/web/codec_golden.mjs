// The page's codec, the WebAssembly module alone under Node, against the
// reference results of an independent implementation (golden/README.md):
// the colour of every code, and the carriers and previews of the format's
// encoder for the two pictures that hold every 24-bit colour.
//   node codec_golden.mjs WEB_DIR GOLDEN_DIR
import { createHash } from 'crypto';
import fs from 'fs';
import path from 'path';

const [webDir, goldenDir] = process.argv.slice(2);
const { Codec, compileCodec } = await import(path.resolve(webDir, 'codec.js'));
const codec = new Codec(await compileCodec(fs.readFileSync(path.join(webDir, 'gfx16.wasm'))));
const c = codec.call;

const golden = new Map(fs.readFileSync(path.join(goldenDir, 'SHA256SUMS.txt'), 'utf8').trim().split('\n')
    .map((line) => line.split(' ')).map(([name, kind, digest]) => [`${name} ${kind}`, digest]));
let failed = 0;
function digestIs(what, bytes) {
    const got = createHash('sha256').update(bytes).digest('hex');
    const ok = got === golden.get(what);
    console.log(ok ? `ok - ${what}: the reference digest` : `FAIL: ${what}: SHA-256 ${got}, the reference is ${golden.get(what)}`);
    if (!ok) failed++;
}

// Every code: the 256 x 512 carrier whose picture pixel (x, y) holds code
// 256y + x decodes to the table of decoded-codes.rgb, code by code.
const d = c.web_decoding_new(256, 512);
const carrier = codec.bytes(c.web_decoding_carrier(d), 256 * 512);
for (let y = 0; y < 256; y++) {
    carrier.fill(y, (2 * y + 1) * 256, (2 * y + 2) * 256);
    for (let x = 0; x < 256; x++) carrier[2 * y * 256 + x] = x;
}
c.web_decode(d);
const decoded = codec.copy(c.web_decoding_decoded(d), 256 * 256 * 3);
digestIs('all-codes decoded', decoded);
const table = fs.readFileSync(path.join(goldenDir, 'decoded-codes.rgb'));
const wrong = decoded.findIndex((v, i) => v !== table[i]);
console.log(wrong < 0 ? 'ok - every code decodes to its colour in decoded-codes.rgb'
                      : `FAIL: code ${Math.floor(wrong / 3)} decodes to another colour than decoded-codes.rgb`);
if (wrong >= 0) failed++;
c.web_decoding_free(d);

// Pictures E and S, given as a canvas gives them (RGBA, opaque).
const side = 4096;
for (const [name, colour] of [
    ['every-colour', (x, y) => [x % 256, y % 256, (x >> 8) + 16 * (y >> 8)]],
    ['shuffled', (x, y) => {
        const v = Math.imul(side * y + x, 2654435761) & 0xffffff;  // the low 24 bits of the product
        return [v >> 16, (v >> 8) & 255, v & 255];
    }],
]) {
    const e = c.web_encoding_new(side, side);
    const rgba = codec.bytes(c.web_encoding_pixels(e), side * side * 4);
    for (let y = 0, i = 0; y < side; y++)
        for (let x = 0; x < side; x++, i += 4) {
            rgba.set(colour(x, y), i);
            rgba[i + 3] = 255;
        }
    c.web_encode(e, 0);
    digestIs(`${name} carrier`, codec.bytes(c.web_encoding_carrier(e), side * side * 2));
    const shown = codec.bytes(c.web_encoding_shown(e), side * side * 4), preview = new Uint8Array(side * side * 3);
    for (let i = 0, j = 0; i < shown.length; i += 4, j += 3) preview.set(shown.subarray(i, i + 3), j);
    digestIs(`${name} preview`, preview);
    c.web_encoding_free(e);
}
console.log(failed ? `${failed} failed` : 'all passed');
process.exit(failed ? 1 : 0);
