// The page's work, off its main thread: pictures decoded by the browser and
// encoded, carriers read and decoded, the files to download made, and the
// quality numbers measured. Each message is a job; jobs run one at a time,
// in order, and answer with messages that carry their id.
import { Codec, compileCodec, OutOfMemory } from './codec.js';
import { pictureHeader } from './headers.js';
import { pngFile, readPngCarrier, Refusal } from './png.js';

// Compiled and warmed up (Codec.warmUp) while the user chooses a file.
const compiled = compileCodec(new URL('gfx16.wasm', import.meta.url)).then((module) => {
    new Codec(module).warmUp();
    return module;
});
compiled.then(async () => postMessage({ kind: 'ready', version: (await theCodec()).version() }));
let codec = null;

// The instance, made anew after a job that failed: it may have left objects
// half made in the module's memory.
async function theCodec() {
    if (!codec) codec = new Codec(await compiled);
    return codec;
}

const encoders = { default: 0, best: 1, dither: 2 };
const measures = { psnr: 0, ssim: 1, ciede2000: 2 };
const outOfMemory = -2;  // GFX16_ENOMEM

// A codec status that is not 0, as the reason it gives.
function failed(c, status) {
    return status === outOfMemory ? new OutOfMemory() : new Refusal(c.strerror(status));
}

// Enough of a file for any header that says the picture's size.
const headBytes = 1 << 20;

function refuseIf(reason) {
    if (reason) throw new Refusal(reason);
}

// A bitmap of the RGBA pixels at `pointer` in the codec's memory, taken
// before the next call into the codec can move them.
function bitmapOf(c, pointer, w, h) {
    const pixels = new Uint8ClampedArray(c.call.memory.buffer, pointer, w * h * 4);
    return createImageBitmap(new ImageData(pixels, w, h));
}

// A PNG of the carrier (w x h bytes) at `pointer`, as gfx16conv writes it,
// or of a picture (w x h RGB pixels).
async function pngOf(c, pointer, w, h, carrier) {
    const channels = carrier ? 1 : 3, interlaced = carrier ? 1 : 0;
    const size = c.call.web_png_data_size(w, h, channels, interlaced);
    const at = c.call.web_alloc(size);
    if (!at) throw new OutOfMemory();
    // Sub suits a carrier's codes, Paeth a picture's colours.
    c.call.web_png_filter(pointer, w, h, channels, interlaced, carrier ? 1 : 4, at);
    const rows = c.copy(at, size);
    c.call.web_free(at);
    return pngFile({ w, h, colourType: carrier ? 3 : 2, interlaced, palette: carrier ? c.carrierPalette() : null, rows });
}

function number(c, e, name) {
    const value = c.call.web_measure(e, measures[name]);
    return { kind: 'number', name, value, text: c.numberText(value, measures[name]) };
}

async function encode({ file, encoder }, post) {
    const c = await theCodec();
    const header = pictureHeader(new Uint8Array(await file.slice(0, headBytes).arrayBuffer()));
    if (header && header.w !== undefined) refuseIf(c.pictureRefused(header.w, header.h));
    post({ kind: 'status', text: 'reading the picture…' });
    let bitmap;
    try {
        // Colour profiles are not applied, as gfx16conv applies none.
        bitmap = await createImageBitmap(file, { colorSpaceConversion: 'none' });
    } catch {
        throw new Refusal(header ? `cannot read the ${header.format} picture: it is damaged, or of a kind this browser cannot read`
                                 : 'not a picture that this browser can read');
    }
    const w = bitmap.width, h = bitmap.height;
    refuseIf(c.pictureRefused(w, h));
    // Drawn over opaque black, as gfx16conv composites transparent pixels.
    const canvas = new OffscreenCanvas(w, h);
    const context = canvas.getContext('2d', { alpha: false, willReadFrequently: true });
    context.drawImage(bitmap, 0, 0);
    bitmap.close();
    const rgba = context.getImageData(0, 0, w, h).data;

    post({ kind: 'status', text: 'encoding…' });
    const e = c.call.web_encoding_new(w, h);
    c.bytes(c.call.web_encoding_pixels(e), rgba.length).set(rgba);
    const status = c.call.web_encode(e, encoders[encoder]);
    if (status !== 0) throw failed(c, status);
    const picture = canvas.transferToImageBitmap();
    const preview = await bitmapOf(c, c.call.web_encoding_shown(e), w, h);
    post({ kind: 'encoded', w, h, picture, preview }, [picture, preview]);

    // SSIM, the slowest number, and PSNR are measured by the other worker
    // meanwhile.
    const carrier = c.copy(c.call.web_encoding_carrier(e), w * 2 * h).buffer;
    post({ kind: 'compare', w, h, rgba: rgba.buffer, carrier }, [rgba.buffer, carrier]);
    const bmpStatus = c.call.web_encoding_bmp(e);
    if (bmpStatus !== 0) throw failed(c, bmpStatus);
    const bmp = new Blob([c.bytes(c.call.web_encoding_bmp_bytes(e), c.call.web_encoding_bmp_size(e))], { type: 'image/bmp' });
    c.call.web_encoding_bmp_free(e);
    post({ kind: 'carrierBmp', bmp });
    const png = await pngOf(c, c.call.web_encoding_carrier(e), w, 2 * h, true);
    post({ kind: 'carrierPng', png });
    post(number(c, e, 'ciede2000'));
    c.call.web_encoding_free(e);
}

// The picture as the encoding worker had it, and its carrier.
async function measure({ w, h, rgba, carrier, names }, post) {
    const c = await theCodec();
    const e = c.call.web_encoding_new(w, h);
    c.bytes(c.call.web_encoding_pixels(e), w * h * 4).set(new Uint8Array(rgba));
    c.bytes(c.call.web_encoding_carrier(e), w * 2 * h).set(new Uint8Array(carrier));
    for (const name of names) post(number(c, e, name));
    c.call.web_encoding_free(e);
}

async function decode({ file }, post) {
    const c = await theCodec();
    const header = pictureHeader(new Uint8Array(await file.slice(0, headBytes).arrayBuffer()));
    if (!header) throw new Refusal('not a carrier: not a BMP or PNG file');
    if (header.format !== 'PNG' && header.format !== 'BMP') throw new Refusal(`not a carrier: ${header.format} picture, not BMP or PNG`);
    if (header.w !== undefined) refuseIf(c.carrierRefused(header.w, header.h));
    post({ kind: 'status', text: 'reading the carrier…' });
    const bytes = new Uint8Array(await file.arrayBuffer());
    const d = header.format === 'BMP' ? bmpCarrier(c, bytes) : await pngCarrier(c, bytes);
    post({ kind: 'status', text: 'decoding…' });
    const w = c.call.web_decoding_width(d), h = c.call.web_decoding_height(d);
    const status = c.call.web_decode(d);
    if (status !== 0) throw failed(c, status);
    const bitmap = await bitmapOf(c, c.call.web_decoding_shown(d), w, h);
    const png = await pngOf(c, c.call.web_decoding_decoded(d), w, h, false);
    c.call.web_decoding_free(d);
    post({ kind: 'decoded', w, h, bitmap, png }, [bitmap]);
}

// A carrier BMP, read by the codec's own reader, as gfx16conv reads it.
function bmpCarrier(c, bytes) {
    const at = c.call.web_alloc(bytes.length);
    if (!at) throw new OutOfMemory();
    c.bytes(at, bytes.length).set(bytes);
    const d = c.call.web_decoding_from_bmp(at, bytes.length);
    c.call.web_free(at);
    if (!d) throw new Refusal(c.refusal());
    return d;
}

// A carrier PNG: its indices inflated and unfiltered here, as the
// browser's decoder would give their colours instead.
async function pngCarrier(c, bytes) {
    const { w, h, interlaced, rows } = await readPngCarrier(bytes, {
        refused: (w, h) => c.carrierRefused(w, h),
        rowsSize: (w, h, interlaced) => c.call.web_png_data_size(w, h, 1, interlaced),
    });
    const d = c.call.web_decoding_new(w, h);
    const at = c.call.web_alloc(rows.length);
    if (!at) throw new OutOfMemory();
    c.bytes(at, rows.length).set(rows);
    if (c.call.web_png_unfilter(at, w, h, interlaced, c.call.web_decoding_carrier(d)) !== 0)
        throw new Refusal('damaged PNG: bad filter type');
    c.call.web_free(at);
    return d;
}

const jobs = { encode, decode, measure };
let queue = Promise.resolve();

onmessage = ({ data }) => {
    const post = (message, transfer = []) => postMessage({ id: data.id, ...message }, transfer);
    queue = queue.then(async () => {
        try {
            await jobs[data.job](data, post);
        } catch (error) {
            codec = null;
            const text = error instanceof Refusal || error instanceof OutOfMemory ? error.message
                         : `failed: ${error.message || error}`;
            post({ kind: 'refused', text });
        }
    });
};
