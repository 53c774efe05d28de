// PNG files of 8-bit samples: the chunks around the rows, and the rows
// compressed and inflated by the browser's own zlib (CompressionStream,
// DecompressionStream). The rows are filtered and unfiltered by the codec's
// module (web_png_filter, web_png_unfilter). A carrier's indices must come
// out as they were stored, which the browser's decoder, giving colours,
// cannot do.

export class Refusal extends Error {}

const signature = Uint8Array.of(137, 80, 78, 71, 13, 10, 26, 10);

const crcTable = new Int32Array(256).map((_, n) => {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c;
});

function crc32(bytes) {
    let crc = -1;
    for (let i = 0; i < bytes.length; i++) crc = crcTable[(crc ^ bytes[i]) & 255] ^ (crc >>> 8);
    return ~crc >>> 0;
}

function chunk(type, data) {
    const bytes = new Uint8Array(12 + data.length);
    const view = new DataView(bytes.buffer);
    view.setUint32(0, data.length);
    for (let i = 0; i < 4; i++) bytes[4 + i] = type.charCodeAt(i);
    bytes.set(data, 8);
    view.setUint32(8 + data.length, crc32(bytes.subarray(4, 8 + data.length)));
    return bytes;
}

// A PNG file as a Blob: w x h pixels of 8-bit samples, of colour type 2
// (RGB) or 3 (with `palette`, 256 RGB entries), whose filtered rows are
// `rows`.
export async function pngFile({ w, h, colourType, interlaced, palette = null, rows }) {
    const header = new Uint8Array(13);
    const view = new DataView(header.buffer);
    view.setUint32(0, w);
    view.setUint32(4, h);
    header.set([8, colourType, 0, 0, interlaced ? 1 : 0], 8);
    const stream = new Blob([rows]).stream().pipeThrough(new CompressionStream('deflate'));
    const data = new Uint8Array(await new Response(stream).arrayBuffer());
    const parts = [signature, chunk('IHDR', header)];
    if (palette) parts.push(chunk('PLTE', palette));
    const most = 1 << 20;
    for (let i = 0; i < data.length; i += most) parts.push(chunk('IDAT', data.subarray(i, i + most)));
    parts.push(chunk('IEND', new Uint8Array(0)));
    return new Blob(parts, { type: 'image/png' });
}

// Inflates zlib data into exactly `size` bytes. What comes after them is
// ignored, as libpng does, and never held: a small file cannot make the
// page fill its memory.
async function inflate(parts, size) {
    const rows = new Uint8Array(size);
    const reader = new Blob(parts).stream().pipeThrough(new DecompressionStream('deflate')).getReader();
    let got = 0;
    try {
        while (got < size) {
            const { done, value } = await reader.read();
            if (done) break;
            const take = Math.min(value.length, size - got);
            rows.set(value.subarray(0, take), got);
            got += take;
        }
    } catch {
        throw new Refusal('damaged PNG: bad compressed data');
    }
    reader.cancel().catch(() => {});
    if (got < size) throw new Refusal('damaged PNG: not enough image data');
    return rows;
}

const colourTypes = { 0: 'grey', 2: 'RGB', 3: 'palette', 4: 'grey+alpha', 6: 'RGBA' };

// A carrier stored as a PNG of 8-bit palette indices or 8-bit grey, from
// the file's bytes: its size and its filtered rows, inflated. refused(w, h)
// gives the reason a carrier of that size is refused, or null;
// rowsSize(w, h, interlaced) the size of its rows. Both are asked before
// anything is inflated.
export async function readPngCarrier(file, { refused, rowsSize }) {
    if (file.length < 8 || signature.some((b, i) => file[i] !== b)) throw new Refusal('not a PNG file');
    const view = new DataView(file.buffer, file.byteOffset, file.length);
    const idat = [];
    let header = null;
    for (let at = 8; ; ) {
        if (at + 12 > file.length) throw new Refusal('truncated file');
        const length = view.getUint32(at);
        const type = String.fromCharCode(...file.subarray(at + 4, at + 8));
        if (length > file.length - at - 12) throw new Refusal('truncated file');
        const data = file.subarray(at + 8, at + 8 + length);
        // Ancillary chunks (a lower-case first letter) may be damaged:
        // nothing of them is used.
        if (type.charCodeAt(0) < 97 && crc32(file.subarray(at + 4, at + 8 + length)) !== view.getUint32(at + 8 + length))
            throw new Refusal(`damaged PNG: ${type}: CRC error`);
        if (!header && type !== 'IHDR') throw new Refusal('damaged PNG: no IHDR first');
        if (type === 'IHDR') {
            if (header || length !== 13) throw new Refusal('damaged PNG: bad IHDR');
            header = data;
        } else if (type === 'IDAT') idat.push(data);
        else if (type === 'IEND') break;
        at += 12 + length;
    }
    const fields = new DataView(header.buffer, header.byteOffset, 13);
    const w = fields.getUint32(0), h = fields.getUint32(4);
    const [depth, colourType, compression, filtering, interlace] = header.subarray(8);
    if (compression !== 0 || filtering !== 0 || interlace > 1 || !(colourType in colourTypes))
        throw new Refusal('damaged PNG: bad IHDR');
    if (depth !== 8 || (colourType !== 0 && colourType !== 3))
        throw new Refusal(`not a carrier: ${depth}-bit ${colourTypes[colourType]} PNG, not 8-bit palette or 8-bit grey`);
    const why = refused(w, h);
    if (why) throw new Refusal(why);
    if (h < 2) throw new Refusal('not a carrier: 1 row, not 2 or more');
    if (!idat.length) throw new Refusal('damaged PNG: no image data');
    const interlaced = interlace === 1;
    return { w, h, interlaced, rows: await inflate(idat, rowsSize(w, h, interlaced)) };
}
