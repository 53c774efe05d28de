// The format of a picture, and its size, from the first bytes of its file,
// so that one too large is refused before the browser decodes it: null for
// a format not known here, no w and h when its header is not within
// `head`. The browser's decoder has the last word, and the size is checked
// again after it.

function ascii(head, at, length) {
    return String.fromCharCode(...head.subarray(at, at + length));
}

function jpegSize(head, view) {
    // Segments up to the first frame header (SOF0..SOF15 but DHT, JPG and
    // DAC, which share the range).
    for (let at = 2; at + 9 <= head.length; ) {
        if (head[at] !== 0xff) return null;
        const marker = head[at + 1];
        if (marker === 0xff) {
            at++;
            continue;
        }
        if (marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc)
            return { w: view.getUint16(at + 7), h: view.getUint16(at + 5) };
        at += 2 + view.getUint16(at + 2);
    }
    return null;
}

function webpSize(head, view) {
    const kind = ascii(head, 12, 4);
    if (kind === 'VP8 ' && head.length >= 30)
        return { w: view.getUint16(26, true) & 0x3fff, h: view.getUint16(28, true) & 0x3fff };
    if (kind === 'VP8L' && head.length >= 25) {
        const bits = view.getUint32(21, true);
        return { w: (bits & 0x3fff) + 1, h: ((bits >>> 14) & 0x3fff) + 1 };
    }
    if (kind === 'VP8X' && head.length >= 30) {
        const w = view.getUint16(24, true) + head[26] * 65536, h = view.getUint16(27, true) + head[29] * 65536;
        return { w: w + 1, h: h + 1 };
    }
    return null;
}

export function pictureHeader(head) {
    const view = new DataView(head.buffer, head.byteOffset, head.length);
    let size = null, format = null;
    if (head.length >= 24 && ascii(head, 1, 3) === 'PNG' && head[0] === 0x89) {
        format = 'PNG';
        if (ascii(head, 12, 4) === 'IHDR') size = { w: view.getUint32(16), h: view.getUint32(20) };
    } else if (head.length >= 10 && (ascii(head, 0, 6) === 'GIF87a' || ascii(head, 0, 6) === 'GIF89a')) {
        format = 'GIF';
        size = { w: view.getUint16(6, true), h: view.getUint16(8, true) };
    } else if (head.length >= 26 && ascii(head, 0, 2) === 'BM') {
        format = 'BMP';
        size = view.getUint32(14, true) === 12
            ? { w: view.getUint16(18, true), h: view.getUint16(20, true) }
            : { w: Math.abs(view.getInt32(18, true)), h: Math.abs(view.getInt32(22, true)) };
    } else if (head.length >= 3 && head[0] === 0xff && head[1] === 0xd8 && head[2] === 0xff) {
        format = 'JPEG';
        size = jpegSize(head, view);
    } else if (head.length >= 16 && ascii(head, 0, 4) === 'RIFF' && ascii(head, 8, 4) === 'WEBP') {
        format = 'WebP';
        size = webpSize(head, view);
    }
    return format ? { format, ...size } : null;
}
