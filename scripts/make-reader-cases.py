#!/usr/bin/python3
"""Writes the picture files that the readers' tests load: every layout a
valid BMP may take, TGA and PCX files, JPEGs of many scans, damaged and
hostile files, and a seed corpus for the fuzzer.

    make-reader-cases.py DIR            cases and DIR/cases.txt
    make-reader-cases.py --seeds DIR    the valid cases only, as fuzzer seeds

All of them are built here from a few small pictures, so nothing of unknown
origin ever enters the repository. DIR/cases.txt lists them, one a line:

    valid FILE REF24 [REF8]   FILE must give the pixels of the plain 24-bit
                              REF24 and, if paletted, the palette indices of
                              the plain 8-bit REF8
    bad FILE REASON           FILE must be refused with exactly REASON

The pictures are 13 x 7: odd, so that every row needs padding. A paletted
picture is drawn from its palette, so that its 24-bit twin is exact; a
16-bit picture uses only the 8-bit channels that a 5- or 6-bit level stands
for.
"""

import os
import struct
import sys

W, H = 13, 7


# ---- pictures ---------------------------------------------------------------

def colour_picture():
    """Full 8-bit channels; (0, 0) is (131, 58, 12), which 6-bit palettes spoil."""
    return [[((x * 37 + y * 91 + 131) % 256, (x * 11 + y * 53 + 58) % 256,
              (x * 71 + y * 29 + 12) % 256) for x in range(W)] for y in range(H)]


def expand(level, bits):
    """The 8-bit channel that a `bits`-bit level stands for: the level's
    share of the full scale, rounded to the nearest (the full scale is odd,
    so no share ends in a half)."""
    return round(level * 255 / ((1 << bits) - 1))


def picture_16(green_bits):
    return [[(expand((x * 7 + y * 3) % 32, 5), expand((x * 5 + y * 11) % (1 << green_bits), green_bits),
              expand((x * 3 + y * 13 + 17) % 32, 5)) for x in range(W)] for y in range(H)]


PALETTE = [((i * 37 + 131) % 256, (i * 91 + 58) % 256, (i * 53 + 12) % 256) for i in range(256)]


def index_picture(colours):
    return [[(x * 19 + y * 7 + x * y) % colours for x in range(W)] for y in range(H)]


def index_picture_with_hole(colours):
    """Index 0 over a block that an RLE delta can skip, and at row ends."""
    pic = index_picture(colours)
    for y in range(H):
        for x in range(W):
            if (2 <= y <= 4 and 3 <= x <= 8) or (y == 5 and x >= 9):
                pic[y][x] = 0
            elif pic[y][x] == 0:
                pic[y][x] = 1
    return pic


def colours_of(indices, palette):
    return [[palette[i] for i in row] for row in indices]


# ---- file layout ------------------------------------------------------------

def pack_row(values, bpp):
    out = bytearray()
    if bpp in (1, 2, 4):
        per = 8 // bpp
        for i in range(0, len(values), per):
            byte = 0
            for j, v in enumerate(values[i:i + per]):
                byte |= v << (8 - bpp * (j + 1))
            out.append(byte)
    elif bpp == 8:
        out += bytes(values)
    elif bpp == 16:
        for v in values:
            out += struct.pack("<H", v)
    elif bpp == 24:
        for r, g, b in values:
            out += bytes((b, g, r))
    elif bpp == 32:
        for v in values:
            out += struct.pack("<I", v)
    return bytes(out) + b"\0" * (-len(out) % 4)


def pixel_rows(rows, bpp, top_down):
    order = rows if top_down else rows[::-1]
    return b"".join(pack_row(r, bpp) for r in order)


def place(rgb, masks):
    """A colour put into bit fields, from the top bits of each channel."""
    word = 0
    for channel, mask in zip(rgb, masks):
        if not mask:
            continue
        shift = (mask & -mask).bit_length() - 1
        width = (mask >> shift).bit_length()
        word |= (channel >> (8 - width)) << shift if width <= 8 else (channel << (width - 8)) << shift
    return word


def bmp(width, height, bpp, data, header=40, compression=0, palette=None, colours_used=None,
        masks=None, top_down=False, gap=b"", planes=1, size_image=None):
    """A whole file. `masks` (3 or 4 words) go inside a header of 52 bytes or
    more (the fourth from 56), and after a 40-byte one; compression 6's
    fourth follows a 52-byte one. 12 is OS/2 1.x's header, 16 and 64 OS/2
    2.x's."""
    pal = b""
    if palette is not None:
        entry = (lambda c: bytes((c[2], c[1], c[0]))) if header == 12 else \
                (lambda c: bytes((c[2], c[1], c[0], 0)))
        pal = b"".join(entry(c) for c in palette)
    stored_height = -height if top_down else height
    if header == 12:
        info = struct.pack("<IHHHH", 12, width & 0xffff, stored_height & 0xffff, planes, bpp)
    elif header == 16:
        info = struct.pack("<IiiHH", 16, width, stored_height, planes, bpp)
    elif header == 64:
        if colours_used is None:
            colours_used = len(palette) if palette is not None and len(palette) != 1 << bpp else 0
        info = struct.pack("<IiiHHIIiiII", header, width, stored_height, planes, bpp, compression,
                           len(data), 2835, 2835, colours_used, 0)
        # OS/2's own: units, reserved, recording, rendering, two sizes, the
        # colour encoding and an identifier of the application's.
        info += struct.pack("<HHHHIIII", 0, 0, 0, 0, 0, 0, 0, 0x61707031)
    else:
        if colours_used is None:
            colours_used = len(palette) if palette is not None and len(palette) != 1 << bpp else 0
        info = struct.pack("<IiiHHIIiiII", header, width, stored_height, planes, bpp, compression,
                           len(data) if size_image is None else size_image, 2835, 2835,
                           colours_used, 0)
        words = list(masks or [])
        if header >= 52:
            inside = 4 if header >= 56 else 3
            info += struct.pack("<%dI" % inside, *(words + [0, 0, 0, 0])[:inside])
            # The alpha mask of compression 6 follows a header without room for it.
            words = words[inside:] if compression == 6 else []
        if header >= 108:
            info += b"sRGB"[::-1] + b"\0" * (header - 56 - 4)
            if header == 124:
                info = info[:108] + struct.pack("<IIII", 4, 0, 0, 0)
        info += struct.pack("<%dI" % len(words), *words)
    offset = 14 + len(info) + len(pal) + len(gap)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    return head + info + pal + gap + data


def rle(rows, bpp, delta=None):
    """RLE8 or RLE4 of rows of indices (top row first): runs of equal
    pixels, absolute runs for the rest, an end-of-line per row and the
    end-of-picture mark. `delta` = (x, y, dx, dy) skips a block of index 0
    starting at column x of row y (rows counted from the top); with it, an
    end-of-line also skips the zeros that end a row."""
    out = bytearray()
    for y in range(len(rows) - 1, -1, -1):
        row = rows[y]
        x = 0
        while x < len(row):
            if delta and not any(row[x:]):
                break  # the end-of-line leaves the rest of the row at index 0
            if delta and (x, y) == (delta[0], delta[1]):
                out += bytes((0, 2, delta[2], delta[3]))
                x += delta[2]
                # The delta moves up by dy rows (towards the top): finish this
                # row there, on the row above; this test only moves up 0 rows.
                assert delta[3] == 0
                continue
            # one run of one index (RLE8) or of an alternating pair (RLE4)
            n = 1
            while x + n < len(row) and row[x + n] == row[x] and n < 255:
                n += 1
            if n >= 3 or x + n == len(row) or (delta and (x + n, y) == delta[:2]):
                if bpp == 8:
                    out += bytes((n, row[x]))
                else:
                    out += bytes((n, row[x] << 4 | row[x]))
                x += n
                continue
            # absolute run up to the next repeat, the delta or the end of the row
            end = x
            while end < len(row) and not (end + 2 < len(row) and row[end] == row[end + 1] == row[end + 2]) \
                    and not (delta and (end, y) == delta[:2]) and end - x < 254:
                end += 1
            if end - x < 3:
                for v in row[x:end]:
                    out += bytes((1, v << 4 | v if bpp == 4 else v))
            else:
                vals = row[x:end]
                out += bytes((0, len(vals)))
                if bpp == 8:
                    packed = bytes(vals)
                else:
                    packed = bytes((vals[i] << 4 | (vals[i + 1] if i + 1 < len(vals) else 0))
                                   for i in range(0, len(vals), 2))
                out += packed + b"\0" * (len(packed) % 2)
            x = end
        out += b"\0\0"
    out[-2:] = b"\0\1"
    return bytes(out)


NOT_A_PICTURE = "not a picture file this program reads: it is none of BMP, PNG, JPEG, WebP, TGA and PCX"
DEFAULT_MAX_PIXELS = 128 << 20


def too_many_pixels(n):
    """The refusal of gfx16conv's default pixel limit."""
    return "picture of %d pixels, more than the limit of %d (raise it with --max-pixels)" % (n, DEFAULT_MAX_PIXELS)


def rle_padded(rows):
    """RLE8 as ImageMagick writes it for a width that is not a multiple of
    4: the row's padding bytes as pixels of a run past the row's end."""
    out = bytearray()
    for row in rows[::-1]:
        for v in row:
            out += bytes((1, v))
        out += bytes((-len(row) % 4 or 4, 0)) + b"\0\0"
    out[-2:] = b"\0\1"
    return bytes(out)


def rgb_rows(pic):
    return [list(row) for row in pic]


def word_rows(pic, masks):
    return [[place(c, masks) for c in row] for row in pic]



# ---- bit fields in every placement -----------------------------------------

def field_levels(widths):
    """A picture of levels for channels of the given widths, spread over each
    channel's range, and its colours."""
    levels = [[tuple((x * (7 + 4 * c) + y * (3 + 5 * c) + 17 * c) * 40503 % (1 << widths[c]) for c in range(3))
               for x in range(W)] for y in range(H)]
    colours = [[tuple(expand(l[c], widths[c]) for c in range(3)) for l in row] for row in levels]
    return levels, colours


def field_cases(ref24):
    """16- and 32-bit files whose red, green and blue fields lie in every
    order, at the bottom of the word or above a gap (an alpha field fills the
    gap in a 56-byte header)."""
    out = []
    # Between them, fields of every width from 1 to 16 bits.
    layouts = [(16, (5, 5, 5), (0, 1)), (16, (5, 6, 5), (0,)), (16, (6, 5, 5), (0,)), (16, (5, 5, 6), (0,)),
               (16, (4, 4, 4), (0, 4)), (32, (8, 8, 8), (0, 4, 8)), (32, (10, 10, 10), (0, 2)),
               (16, (1, 6, 9), (0,)), (32, (16, 12, 3), (0,)), (32, (2, 13, 7), (0,)), (32, (11, 14, 7), (0,)),
               (32, (15, 15, 2), (0,))]
    orders = [(0, 1, 2), (0, 2, 1), (1, 0, 2), (1, 2, 0), (2, 0, 1), (2, 1, 0)]
    for bpp, widths, starts in layouts:
        levels, colours = field_levels(widths)
        ref_name = "ref-fields-%d-%d-%d.bmp" % widths
        ref24(ref_name, colours)
        for start in starts:
            for order in orders:
                masks = [0, 0, 0]
                bit = start
                for c in order:  # from the lowest bit up
                    masks[c] = ((1 << widths[c]) - 1) << bit
                    bit += widths[c]
                gap = (((1 << bpp) - 1) ^ (masks[0] | masks[1] | masks[2]))
                gap_is_run = gap and ((gap + (gap & -gap)) & gap) == 0
                header = 56 if gap_is_run and start else 40
                alpha = gap if header == 56 else 0
                words = [[sum(l[c] << (masks[c] & -masks[c]).bit_length() - 1 for c in range(3)) | alpha
                          for l in row] for row in levels]
                name = "fields%d-%s-%s-at%d.bmp" % (bpp, "".join(str(w) for w in widths),
                                                    "".join("rgb"[c] for c in order[::-1]), start)
                out.append((name, bmp(W, H, bpp, pixel_rows(words, bpp, False), header=header, compression=3,
                                      masks=masks + [alpha] if header == 56 else masks), "valid", (ref_name, None)))
    return out


# ---- TGA and PCX ------------------------------------------------------------

def tga(width, height, image_type, bits, data, colour_map=b"", map_bits=0, map_first=0, map_length=0,
        descriptor=0, image_id=b""):
    head = struct.pack("<BBBHHBHHHHBB", len(image_id), 1 if map_bits else 0, image_type, map_first, map_length,
                       map_bits, 0, 0, width, height, bits, descriptor)
    return head + image_id + colour_map + data


def tga_rle(pixels, bytes_per_pixel, cross_rows=True):
    """Run-length packets over pixel values (bytes each), runs of equal
    values as run packets, the rest as raw packets."""
    out = bytearray()
    i = 0
    while i < len(pixels):
        n = 1
        while i + n < len(pixels) and pixels[i + n] == pixels[i] and n < 128:
            n += 1
        if n >= 2:
            out += bytes((0x80 | (n - 1),)) + pixels[i]
            i += n
            continue
        end = i
        while end < len(pixels) and end - i < 128 and not (end + 1 < len(pixels) and pixels[end] == pixels[end + 1]):
            end += 1
        out += bytes((end - i - 1,)) + b"".join(pixels[i:end])
        i = end
    return bytes(out)


def tga_cases(colour, ref24):
    out = []

    def add(name, data, ref):
        out.append((name, data, "valid", (ref, None)))

    def bgr(c):
        return bytes((c[2], c[1], c[0]))

    top_rows = [c for row in colour for c in row]
    bottom_rows = [c for row in colour[::-1] for c in row]
    add("tga-rgb24.tga", tga(W, H, 2, 24, b"".join(bgr(c) for c in bottom_rows)), "ref-colour.bmp")
    add("tga-rgb24-topdown.tga", tga(W, H, 2, 24, b"".join(bgr(c) for c in top_rows), descriptor=0x20),
        "ref-colour.bmp")
    add("tga-rgb32.tga", tga(W, H, 2, 32, b"".join(bgr(c) + bytes((x % 256,)) for x, c in enumerate(bottom_rows)),
                             descriptor=8), "ref-colour.bmp")
    add("tga-rgb24-id.tga", tga(W, H, 2, 24, b"".join(bgr(c) for c in bottom_rows), image_id=b"made by a test" * 3),
        "ref-colour.bmp")
    add("tga-rle24.tga", tga(W, H, 10, 24, tga_rle([bgr(c) for c in bottom_rows], 3)), "ref-colour.bmp")
    pic555 = picture_16(5)
    level = lambda v: (v * 31 + 127) // 255  # the 5-bit level that expand() made v from
    words = [struct.pack("<H", level(c[0]) << 10 | level(c[1]) << 5 | level(c[2])) for row in pic555[::-1] for c in row]
    add("tga-rgb16.tga", tga(W, H, 2, 16, b"".join(words)), "ref-555.bmp")
    grey = [[(v, v, v) for v in ((x * 19 + y * 31) % 256 for x in range(W))] for y in range(H)]
    ref24("ref-grey.bmp", grey)
    greys = [bytes((c[0],)) for row in grey[::-1] for c in row]
    add("tga-grey.tga", tga(W, H, 3, 8, b"".join(greys)), "ref-grey.bmp")
    add("tga-rle-grey.tga", tga(W, H, 11, 8, tga_rle(greys, 1)), "ref-grey.bmp")
    idx = index_picture(256)
    cmap = b"".join(bgr(c) for c in PALETTE)
    indices = [bytes((i,)) for row in idx[::-1] for i in row]
    add("tga-mapped.tga", tga(W, H, 1, 8, b"".join(indices), cmap, 24, 0, 256), "ref-pal256.bmp")
    add("tga-rle-mapped.tga", tga(W, H, 9, 8, tga_rle(indices, 1), cmap, 24, 0, 256), "ref-pal256.bmp")

    plain = tga(W, H, 2, 24, b"".join(bgr(c) for c in bottom_rows))
    rle = tga(W, H, 10, 24, tga_rle([bgr(c) for c in bottom_rows], 3))
    out.append(("tga-cut.tga", plain[:200], "bad", "pixel data shorter than the header says"))
    out.append(("tga-rle-cut.tga", rle[:-5], "bad", "pixel data shorter than the header says"))
    out.append(("tga-65535x65535.tga", tga(65535, 65535, 2, 32, bytes(16000)), "bad",
                "picture larger than 32768 pixels a side"))
    out.append(("tga-30000x30000.tga", tga(30000, 30000, 10, 32, bytes(16000)), "bad",
                "picture of 900000000 pixels, more than the limit of %d (raise it with --max-pixels)"
                % DEFAULT_MAX_PIXELS))
    out.append(("tga-index-beyond-map.tga", tga(W, H, 1, 8, b"".join(indices), cmap[:3 * 200], 24, 0, 200), "bad",
                "palette index beyond the palette"))
    return out


def pcx(width, height, planes, rows_data, palette=None):
    row_bytes = width + width % 2
    head = struct.pack("<BBBBHHHHHH", 0x0A, 5, 1, 8, 0, 0, width - 1, height - 1, 72, 72)
    head += b"\0" * 48 + b"\0" + bytes((planes,)) + struct.pack("<HH", row_bytes, 1)
    head += b"\0" * (128 - len(head))
    tail = b"\x0c" + b"".join(bytes(c) for c in palette) if palette else b""
    return head + rows_data + tail


def pcx_runs(data):
    out = bytearray()
    i = 0
    while i < len(data):
        n = 1
        while i + n < len(data) and data[i + n] == data[i] and n < 63:
            n += 1
        if n > 1 or data[i] >= 0xC0:
            out += bytes((0xC0 | n, data[i]))
        else:
            out.append(data[i])
        i += n
    return bytes(out)


def pcx_cases(colour):
    out = []
    row_bytes = W + W % 2
    planes3 = b"".join(bytes(c[p] for c in row) + b"\0" * (row_bytes - W) for row in colour for p in range(3))
    planes4 = b"".join(bytes(c[p] if p < 3 else 200 for c in row) + b"\0" * (row_bytes - W)
                       for row in colour for p in range(4))
    idx = index_picture(256)
    indices = b"".join(bytes(row) + b"\0" * (row_bytes - W) for row in idx)
    out.append(("pcx-rgb24.pcx", pcx(W, H, 3, pcx_runs(planes3)), "valid", ("ref-colour.bmp", None)))
    # Runs that go on from one plane's row into the next: some writers do.
    whole = bytearray()
    for i in range(0, len(planes3), 40):
        whole += pcx_runs(planes3[i:i + 40])
    out.append(("pcx-rgb24-long-runs.pcx", pcx(W, H, 3, bytes(whole)), "valid", ("ref-colour.bmp", None)))
    out.append(("pcx-rgba.pcx", pcx(W, H, 4, pcx_runs(planes4)), "valid", ("ref-colour.bmp", None)))
    out.append(("pcx-pal8.pcx", pcx(W, H, 1, pcx_runs(indices), PALETTE), "valid", ("ref-pal256.bmp", None)))
    good = pcx(W, H, 3, pcx_runs(planes3))
    out.append(("pcx-cut.pcx", good[:-20], "bad", "pixel data shorter than the header says"))
    out.append(("pcx-no-palette.pcx", pcx(W, H, 1, pcx_runs(indices)), "bad", "PCX palette missing"))
    huge = bytearray(pcx(W, H, 1, pcx_runs(indices), PALETTE))
    struct.pack_into("<HH", huge, 8, 65535, 65535)
    out.append(("pcx-65536x65536.pcx", bytes(huge), "bad", "picture larger than 32768 pixels a side"))
    mono = bytearray(good)
    mono[3] = 1
    out.append(("pcx-1bit.pcx", bytes(mono), "bad",
                "unsupported PCX layout (only 8-bit paletted and 24-bit pictures are read)"))
    return out


# ---- JPEGs of many scans ----------------------------------------------------

def jpeg_segment(marker, body):
    return bytes((0xFF, marker)) + struct.pack(">H", len(body) + 2) + body


def many_scan_jpeg(scans, comment=b""):
    """A grey progressive JPEG of W x H whose coefficients are all 0 (so
    every pixel is 128, the level shift of an all-zero block), in `scans`
    scans (64 to 694): the DC, then each of the 63 AC coefficients in a band
    of its own, as many of them as needed first sent without their lowest
    bits (at most 10) and then refined a bit at a time."""
    assert 64 <= scans <= 1 + 63 * 11
    # Every block is one symbol of the one code "0" (DC: difference 0; AC:
    # end of band; DC refinement: a bit 0), padded with ones.
    blocks = ((W + 7) // 8) * ((H + 7) // 8)
    bits = "0" * blocks + "1" * (-blocks % 8)
    entropy = bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    one_code = bytes((1,) + (0,) * 15) + b"\0"  # one code of length 1, for symbol 0
    out = b"\xff\xd8" + jpeg_segment(0xFE, comment) if comment else b"\xff\xd8"
    out += jpeg_segment(0xDB, b"\0" + b"\1" * 64)
    out += jpeg_segment(0xC2, struct.pack(">BHHB", 8, H, W, 1) + bytes((1, 0x11, 0)))
    out += jpeg_segment(0xC4, b"\x00" + one_code) + jpeg_segment(0xC4, b"\x10" + one_code)

    def scan(first, last, high, low):
        return jpeg_segment(0xDA, bytes((1, 1, 0, first, last, high << 4 | low))) + entropy

    out += scan(0, 0, 0, 0)
    extra = scans - 64
    for k in range(1, 64):
        low = min(10, extra)
        extra -= low
        out += scan(k, k, 0, low) + b"".join(scan(k, k, a, a - 1) for a in range(low, 0, -1))
    return out + b"\xff\xd9"


# ---- the cases --------------------------------------------------------------

def cases():
    """(name, bytes, kind, extra): kind "ref", "valid" (extra: (ref24, ref8))
    or "bad" (extra: reason)."""
    out = []

    def ref(name, data):
        out.append((name, data, "ref", None))

    def valid(name, data, ref24, ref8=None):
        out.append((name, data, "valid", (ref24, ref8)))

    def bad(name, data, reason):
        out.append((name, data, "bad", reason))

    colour = colour_picture()
    pic555, pic565 = picture_16(5), picture_16(6)
    idx8, idx20, idx16, idx5, idx4, idx3, idx2 = (index_picture(n) for n in (256, 20, 16, 5, 4, 3, 2))
    hole8, hole16 = index_picture_with_hole(256), index_picture_with_hole(16)

    def ref24(name, pic):
        ref(name, bmp(W, H, 24, pixel_rows(rgb_rows(pic), 24, False)))

    def ref8(name, idx, colours):
        ref(name, bmp(W, H, 8, pixel_rows(idx, 8, False), palette=PALETTE[:colours]))

    ref24("ref-colour.bmp", colour)
    ref24("ref-555.bmp", pic555)
    ref24("ref-565.bmp", pic565)
    for name, idx, n in (("256", idx8, 256), ("20", idx20, 20), ("16", idx16, 16), ("5", idx5, 5),
                         ("4", idx4, 4), ("3", idx3, 3), ("2", idx2, 2), ("hole256", hole8, 256),
                         ("hole16", hole16, 16)):
        ref24("ref-pal%s.bmp" % name, colours_of(idx, PALETTE[:n]))
        ref8("ref-idx%s.bmp" % name, idx, n)

    # True colour.
    data24 = pixel_rows(rgb_rows(colour), 24, False)
    for header in (12, 16, 40, 52, 56, 64, 108, 124):
        valid("rgb24-h%d.bmp" % header, bmp(W, H, 24, data24, header=header), "ref-colour.bmp")
    valid("rgb24-topdown.bmp", bmp(W, H, 24, pixel_rows(rgb_rows(colour), 24, True), top_down=True),
          "ref-colour.bmp")
    valid("rgb24-gap.bmp", bmp(W, H, 24, data24, gap=b"\xa5" * 10), "ref-colour.bmp")
    valid("rgb24-trailing.bmp", bmp(W, H, 24, data24) + b"\xff" * 33, "ref-colour.bmp")
    # The reader goes by the content, not by the name.
    valid("bmp-named-photo.png", bmp(W, H, 24, data24), "ref-colour.bmp")
    valid("bmp-without-extension", bmp(W, H, 24, data24), "ref-colour.bmp")
    xrgb = (0xff0000, 0xff00, 0xff)
    valid("rgb32.bmp", bmp(W, H, 32, pixel_rows(word_rows(colour, xrgb), 32, False)), "ref-colour.bmp")
    valid("rgb32-topdown.bmp", bmp(W, H, 32, pixel_rows(word_rows(colour, xrgb), 32, True), top_down=True),
          "ref-colour.bmp")
    for header in (40, 52, 56, 108, 124):
        for tag, masks in (("argb", (0xff0000, 0xff00, 0xff, 0xff000000)),
                           ("xbgr", (0xff, 0xff00, 0xff0000, 0)),
                           ("rgbx", (0xff000000, 0xff0000, 0xff00, 0))):
            if header == 40 and tag != "argb":
                masks = masks[:3]
            words = word_rows(colour, masks[:3])
            if len(masks) == 4 and masks[3]:
                words = [[w | 0x80000000 for w in row] for row in words]
            valid("rgb32-bf-%s-h%d.bmp" % (tag, header),
                  bmp(W, H, 32, pixel_rows(words, 32, False), header=header, compression=3,
                      masks=masks[:3] if header == 40 else masks), "ref-colour.bmp")
    m555, m565 = (0x7c00, 0x3e0, 0x1f), (0xf800, 0x7e0, 0x1f)
    valid("rgb16-555.bmp", bmp(W, H, 16, pixel_rows(word_rows(pic555, m555), 16, False)), "ref-555.bmp")
    for header in (40, 56, 124):
        valid("rgb16-bf555-h%d.bmp" % header,
              bmp(W, H, 16, pixel_rows(word_rows(pic555, m555), 16, False), header=header, compression=3,
                  masks=m555), "ref-555.bmp")
        valid("rgb16-bf565-h%d.bmp" % header,
              bmp(W, H, 16, pixel_rows(word_rows(pic565, m565), 16, False), header=header, compression=3,
                  masks=m565), "ref-565.bmp")
    valid("rgb16-565-topdown.bmp",
          bmp(W, H, 16, pixel_rows(word_rows(pic565, m565), 16, True), compression=3, masks=m565,
              top_down=True), "ref-565.bmp")
    # Bit fields with alpha (compression 6): four masks, after a 40-byte
    # header and inside a larger one; the alpha is ignored.
    argb = (0xff0000, 0xff00, 0xff, 0xff000000)
    argb_words = [[w | 0x5a000000 for w in row] for row in word_rows(colour, argb)]
    a1555 = (0x7c00, 0x3e0, 0x1f, 0x8000)
    a1555_words = [[w | 0x8000 for w in row] for row in word_rows(pic555, a1555)]
    for header in (40, 52, 56, 124):
        valid("rgba32-abf-h%d.bmp" % header, bmp(W, H, 32, pixel_rows(argb_words, 32, False), header=header,
                                                  compression=6, masks=argb), "ref-colour.bmp")
    valid("rgba16-abf1555.bmp", bmp(W, H, 16, pixel_rows(a1555_words, 16, False), compression=6, masks=a1555),
          "ref-555.bmp")

    # Paletted.
    for header in (12, 16, 40, 52, 56, 64, 108, 124):
        valid("pal8-h%d.bmp" % header, bmp(W, H, 8, pixel_rows(idx8, 8, False), header=header,
                                            palette=PALETTE), "ref-pal256.bmp", "ref-idx256.bmp")
        valid("pal4-h%d.bmp" % header, bmp(W, H, 4, pixel_rows(idx16, 4, False), header=header,
                                            palette=PALETTE[:16]), "ref-pal16.bmp", "ref-idx16.bmp")
        valid("pal1-h%d.bmp" % header, bmp(W, H, 1, pixel_rows(idx2, 1, False), header=header,
                                            palette=PALETTE[:2]), "ref-pal2.bmp", "ref-idx2.bmp")
        valid("pal2-h%d.bmp" % header, bmp(W, H, 2, pixel_rows(idx4, 2, False), header=header,
                                            palette=PALETTE[:4]), "ref-pal4.bmp", "ref-idx4.bmp")
    valid("pal2-short.bmp", bmp(W, H, 2, pixel_rows(idx3, 2, False), palette=PALETTE[:3]),
          "ref-pal3.bmp", "ref-idx3.bmp")
    valid("pal2-topdown.bmp", bmp(W, H, 2, pixel_rows(idx4, 2, True), palette=PALETTE[:4], top_down=True),
          "ref-pal4.bmp", "ref-idx4.bmp")
    # Palettes longer than 256 entries: the indices reach the first 256, the
    # pixel data's offset says where the pixels are.
    long_palette = PALETTE + [(255 - i, i, 255) for i in range(44)]
    valid("pal8-palette-300.bmp", bmp(W, H, 8, pixel_rows(idx8, 8, False), palette=long_palette,
                                      colours_used=300), "ref-pal256.bmp", "ref-idx256.bmp")
    valid("pal4-palette-300.bmp", bmp(W, H, 4, pixel_rows(idx16, 4, False), palette=long_palette,
                                      colours_used=300), "ref-pal16.bmp", "ref-idx16.bmp")
    valid("pal8-count-past-palette.bmp", bmp(W, H, 8, pixel_rows(idx8, 8, False), palette=PALETTE,
                                             colours_used=0xffffffff), "ref-pal256.bmp", "ref-idx256.bmp")
    valid("pal8-short.bmp", bmp(W, H, 8, pixel_rows(idx20, 8, False), palette=PALETTE[:20]),
          "ref-pal20.bmp", "ref-idx20.bmp")
    valid("pal4-short.bmp", bmp(W, H, 4, pixel_rows(idx5, 4, False), palette=PALETTE[:5]),
          "ref-pal5.bmp", "ref-idx5.bmp")
    # No colour count, and only the colours used before the pixel data.
    valid("pal8-uncounted-short.bmp", bmp(W, H, 8, pixel_rows(idx20, 8, False), palette=PALETTE[:20],
                                          colours_used=0), "ref-pal20.bmp", "ref-idx20.bmp")
    valid("pal4-os2-short.bmp", bmp(W, H, 4, pixel_rows(idx5, 4, False), header=12, palette=PALETTE[:5]),
          "ref-pal5.bmp", "ref-idx5.bmp")
    valid("pal8-topdown.bmp", bmp(W, H, 8, pixel_rows(idx8, 8, True), palette=PALETTE, top_down=True),
          "ref-pal256.bmp", "ref-idx256.bmp")
    valid("pal4-topdown.bmp", bmp(W, H, 4, pixel_rows(idx16, 4, True), palette=PALETTE[:16], top_down=True),
          "ref-pal16.bmp", "ref-idx16.bmp")
    valid("pal1-topdown.bmp", bmp(W, H, 1, pixel_rows(idx2, 1, True), palette=PALETTE[:2], top_down=True),
          "ref-pal2.bmp", "ref-idx2.bmp")
    valid("pal8-gap.bmp", bmp(W, H, 8, pixel_rows(idx8, 8, False), palette=PALETTE, gap=b"\x5a" * 6),
          "ref-pal256.bmp", "ref-idx256.bmp")
    valid("pal8-rle.bmp", bmp(W, H, 8, rle(idx8, 8), compression=1, palette=PALETTE),
          "ref-pal256.bmp", "ref-idx256.bmp")
    valid("pal8-rle-short.bmp", bmp(W, H, 8, rle(idx20, 8), compression=1, palette=PALETTE[:20]),
          "ref-pal20.bmp", "ref-idx20.bmp")
    valid("pal4-rle.bmp", bmp(W, H, 4, rle(idx16, 4), compression=2, palette=PALETTE[:16]),
          "ref-pal16.bmp", "ref-idx16.bmp")
    valid("pal8-rle-delta.bmp", bmp(W, H, 8, rle(hole8, 8, delta=(3, 3, 6, 0)), compression=1,
                                    palette=PALETTE), "ref-palhole256.bmp", "ref-idxhole256.bmp")
    valid("pal4-rle-delta.bmp", bmp(W, H, 4, rle(hole16, 4, delta=(3, 2, 6, 0)), compression=2,
                                    palette=PALETTE[:16]), "ref-palhole16.bmp", "ref-idxhole16.bmp")

    # Damaged and hostile files, each from a valid one.
    plain24 = bmp(W, H, 24, data24)
    plain8 = bmp(W, H, 8, pixel_rows(idx8, 8, False), palette=PALETTE)
    rle8 = bmp(W, H, 8, rle(idx8, 8), compression=1, palette=PALETTE)

    def patch(data, offset, fmt, *values):
        b = bytearray(data)
        struct.pack_into(fmt, b, offset, *values)
        return bytes(b)

    bad("no-signature.bmp", b"XY" + plain24[2:], NOT_A_PICTURE)
    bad("empty.bmp", b"", NOT_A_PICTURE)
    bad("gif.bmp", b"GIF89a" + plain24[6:], "not a picture file this program reads: a GIF picture "
        "(BMP, PNG, JPEG, WebP, TGA and PCX are read)")
    bad("cut-in-file-header.bmp", plain24[:10], "file too short for its headers")
    bad("cut-in-info-header.bmp", plain24[:30], "file too short for its headers")
    bad("header-size-41.bmp", patch(plain24, 14, "<I", 41), "unknown info header size")
    bad("header-size-huge.bmp", patch(plain24, 14, "<I", 0x7fffffff), "unknown info header size")
    bad("planes-2.bmp", patch(plain24, 26, "<H", 2), "planes field is not 1")
    bad("width-0.bmp", patch(plain24, 18, "<i", 0), "width or height is 0")
    bad("height-0.bmp", patch(plain24, 22, "<i", 0), "width or height is 0")
    bad("os2-width-0.bmp", patch(bmp(W, H, 24, data24, header=12), 18, "<H", 0), "width or height is 0")
    bad("width-negative.bmp", patch(plain24, 18, "<i", -W), "negative width")
    bad("height-most-negative.bmp", patch(plain24, 22, "<i", -2 ** 31), "picture larger than 32768 pixels a side")
    bad("width-32769.bmp", patch(plain24, 18, "<i", 32769), "picture larger than 32768 pixels a side")
    bad("rgb24-65536x65536.bmp", patch(patch(plain24, 18, "<i", 65536), 22, "<i", 65536),
        "picture larger than 32768 pixels a side")
    bad("rgb24-30000x30000.bmp", patch(patch(plain24, 18, "<i", 30000), 22, "<i", 30000),
        "pixel data shorter than the header says")
    for bpp in (0, 3, 7, 48):
        bad("bpp-%d.bmp" % bpp, patch(plain24, 28, "<H", bpp), "unsupported bits per pixel")
    # The variants that are named as they are refused.
    bad("bpp-64.bmp", patch(plain24, 28, "<H", 64), "unsupported bits per pixel: 64")
    bad("compression-7.bmp", patch(plain24, 30, "<I", 7), "unsupported compression")
    bad("compression-jpeg.bmp", patch(patch(plain24, 30, "<I", 4), 28, "<H", 0),
        "unsupported compression: embedded JPEG")
    bad("compression-png.bmp", patch(patch(plain24, 30, "<I", 5), 28, "<H", 0),
        "unsupported compression: embedded PNG")
    bad("os2-rle24.bmp", bmp(W, H, 24, data24, header=64, compression=4), "unsupported compression: OS/2 RLE24")
    bad("os2-huffman.bmp", bmp(W, H, 1, pixel_rows(idx2, 1, False), header=64, compression=3,
                               palette=PALETTE[:2]), "unsupported compression: OS/2 Huffman")
    bad("os2-compression-6.bmp", bmp(W, H, 24, data24, header=64, compression=6), "unsupported compression")
    bad("cut-in-os2-header.bmp", bmp(W, H, 24, data24, header=16)[:14 + 12], "file too short for its headers")
    bad("rle8-at-24-bits.bmp", patch(plain24, 30, "<I", 1), "compression does not fit the bits per pixel")
    bad("rle4-at-8-bits.bmp", patch(rle8, 30, "<I", 2), "compression does not fit the bits per pixel")
    bad("bitfields-at-8-bits.bmp", patch(plain8, 30, "<I", 3), "compression does not fit the bits per pixel")
    bad("rle8-topdown.bmp", patch(rle8, 22, "<i", -H), "top-down picture cannot be compressed")
    words565 = pixel_rows(word_rows(pic565, m565), 16, False)
    bad("bitfields-zero.bmp", bmp(W, H, 16, words565, compression=3, masks=(0xf800, 0, 0x1f)),
        "bit fields are zero or overlap")
    bad("bitfields-overlap.bmp", bmp(W, H, 16, words565, compression=3, masks=(0xf800, 0x1fe0, 0x1f)),
        "bit fields are zero or overlap")
    bad("bitfields-alpha-overlap.bmp",
        bmp(W, H, 32, pixel_rows(word_rows(colour, xrgb), 32, False), header=56, compression=3,
            masks=(0xff0000, 0xff00, 0xff, 0xff000080)),
        "bit fields are zero or overlap")
    bad("bitfields-gappy.bmp", bmp(W, H, 16, words565, compression=3, masks=(0xd800, 0x7e0, 0x1f)),
        "bit fields are not runs of bits")
    bad("bitfields-beyond-16-bits.bmp", bmp(W, H, 16, words565, compression=3, masks=(0xf80000, 0x7e0, 0x1f)),
        "bit fields do not fit the pixel")
    bad("bitfields-cut.bmp", bmp(W, H, 16, words565, compression=3, masks=(0xf800, 0x7e0, 0x1f))[:14 + 40 + 6],
        "file too short for its headers")
    bad("palette-cut.bmp", plain8[:14 + 40 + 100], "file too short for its palette")
    bad("palette-300-cut.bmp", bmp(W, H, 8, pixel_rows(idx8, 8, False), palette=long_palette,
                                   colours_used=300)[:14 + 40 + 1000], "file too short for its palette")
    argb_file = bmp(W, H, 32, pixel_rows(argb_words, 32, False), compression=6, masks=argb)
    bad("abf-cut-in-alpha-mask.bmp", argb_file[:14 + 40 + 14], "file too short for its headers")
    bad("abf-alpha-overlap.bmp", patch(argb_file, 14 + 40 + 12, "<I", 0xff000001), "bit fields are zero or overlap")
    bad("abf-at-24-bits.bmp", patch(argb_file, 28, "<H", 24), "compression does not fit the bits per pixel")
    bad("offset-inside-palette.bmp", patch(bmp(W, H, 8, pixel_rows(idx20, 8, False), palette=PALETTE[:20]),
                                           10, "<I", 14 + 40 + 40), "pixel data offset inside the headers or palette")
    bad("offset-inside-headers.bmp", patch(plain24, 10, "<I", 14 + 30), "pixel data offset inside the headers or palette")
    bad("offset-cuts-palette.bmp", patch(plain8, 10, "<I", 14 + 40 + 100), "palette index beyond the palette")
    bad("offset-past-end.bmp", patch(plain24, 10, "<I", len(plain24) + 10), "pixel data shorter than the header says")
    bad("offset-huge.bmp", patch(plain24, 10, "<I", 0xffffffff), "pixel data shorter than the header says")
    bad("rgb24-cut.bmp", plain24[:-1], "pixel data shorter than the header says")
    bad("pal8-cut.bmp", plain8[:-40], "pixel data shorter than the header says")
    bad("pal8-index-beyond-palette.bmp",
        bmp(W, H, 8, pixel_rows([[min(v, 25) for v in row] for row in idx20], 8, False)[:-4] + b"\x19\0\0\0",
            palette=PALETTE[:20]), "palette index beyond the palette")
    bad("pal4-index-beyond-palette.bmp",
        bmp(W, H, 4, pixel_rows(idx16, 4, False), palette=PALETTE[:15]), "palette index beyond the palette")
    bad("pal2-index-beyond-palette.bmp",
        bmp(W, H, 2, pixel_rows(idx4, 2, False), palette=PALETTE[:3]), "palette index beyond the palette")
    bad("pal1-index-beyond-palette.bmp",
        bmp(W, H, 1, pixel_rows(idx2, 1, False), palette=PALETTE[:1]), "palette index beyond the palette")
    bad("rle8-index-beyond-palette.bmp", bmp(W, H, 8, rle(idx20, 8), compression=1, palette=PALETTE[:19]),
        "palette index beyond the palette")
    # Each pixel of a run counts: the second of a run of two is index 9 here,
    # beyond a palette of 5.
    bad("rle4-run-of-2-beyond-palette.bmp", bmp(W, H, 4, bytes((2, 0x19)) + b"\0\1", compression=2,
                                                palette=PALETTE[:5]), "palette index beyond the palette")
    bad("rle4-index-beyond-palette.bmp", bmp(W, H, 4, rle(idx16, 4), compression=2, palette=PALETTE[:10]),
        "palette index beyond the palette")

    def rle_file(stream, bpp=8):
        return bmp(W, H, bpp, stream, compression=1 if bpp == 8 else 2,
                   palette=PALETTE if bpp == 8 else PALETTE[:16])

    row_end = bytes((W, 1, 0, 0))
    bad("rle8-rows-past-top.bmp", rle_file(row_end * H + bytes((1, 1)) + b"\0\1"), "RLE run leaves the picture")
    bad("rle8-delta-past-row.bmp", rle_file(bytes((0, 2, W + 1, 0)) + b"\0\1"), "RLE delta leaves the picture")
    bad("rle8-delta-past-top.bmp", rle_file(bytes((0, 2, 0, H)) + b"\0\1"), "RLE delta leaves the picture")
    bad("rle8-no-end.bmp", rle_file(row_end * H), "RLE data ends before its end mark")
    bad("rle8-cut-in-absolute.bmp", rle_file(bytes((0, 9, 1, 2, 3))), "RLE data ends before its end mark")
    bad("rle8-cut.bmp", rle8[:-7], "pixel data shorter than the header says")
    bad("rle8-cut-no-size.bmp", patch(rle8, 34, "<I", 0)[:-7], "RLE data ends before its end mark")
    bad("rle8-size-past-end.bmp", patch(rle8, 34, "<I", len(rle8)), "pixel data shorter than the header says")

    # Runs past the end of a row are dropped there, as the usual readers do
    # (ImageMagick writes a row's padding as pixels); a file whose runs go
    # past the top row is still refused.
    def bottom_row(values, n, name=None):
        rows = [[0] * W for _ in range(H)]
        rows[H - 1] = [values[x % len(values)] for x in range(W)]
        name = name or "clip%s" % "-".join(map(str, values))
        ref24("ref-pal%s.bmp" % name, colours_of(rows, PALETTE[:n]))
        ref8("ref-idx%s.bmp" % name, rows, n)
        return "ref-pal%s.bmp" % name, "ref-idx%s.bmp" % name

    valid("rle8-run-past-row.bmp", rle_file(bytes((W + 1, 1)) + b"\0\1"), *bottom_row([1], 256))
    valid("rle8-run-past-row-2.bmp", rle_file(bytes((W, 1, 1, 2)) + b"\0\1"), *bottom_row([1], 256))
    valid("rle8-overrun.bmp", rle_file(bytes((255, 7)) * 2000 + b"\0\1"), *bottom_row([7], 256))
    clipped = [1] * 5 + list(range(8))
    valid("rle8-absolute-past-row.bmp", rle_file(bytes((5, 1, 0, 9)) + bytes(range(9)) + b"\0" + b"\0\1"),
          *bottom_row(clipped, 256))
    valid("rle4-run-past-row.bmp", rle_file(bytes((W + 1, 0x12)) + b"\0\1", 4), *bottom_row([1, 2], 16))
    valid("rle4-absolute-past-row.bmp", rle_file(bytes((0, W + 2)) + bytes(8) + b"\0\1", 4),
          *bottom_row([0], 16))
    valid("rle8-padding-as-pixels.bmp", rle_file(rle_padded(idx8)), "ref-pal256.bmp", "ref-idx256.bmp")
    # A delta may land just past a row's last pixel, where the end mark or
    # an end of line follows.
    valid("rle8-delta-to-row-end.bmp", rle_file(bytes((2, 1, 0, 2, W - 2, 0)) + b"\0\1"),
          *bottom_row([1, 1] + [0] * (W - 2), 256, "delta-end"))
    # No-op deltas and end-of-lines beyond the last row: the end mark is
    # what ends a stream, however long it is.
    stream = rle(idx8, 8)
    valid("rle8-no-ops.bmp", rle_file(bytes((0, 2, 0, 0)) * 300 + stream[:-2] + b"\0\0" * 20 + b"\0\1"),
          "ref-pal256.bmp", "ref-idx256.bmp")

    # Hostile sizes: a few bytes that claim a huge picture.
    bomb = bytes((0, 1))
    bad("rle4-32768x32768.bmp", bmp(32768, 32768, 4, bomb, compression=2, palette=PALETTE[:16]),
        too_many_pixels(32768 * 32768))
    bad("rle8-16384x16384.bmp", bmp(16384, 16384, 8, bomb, compression=1, palette=PALETTE),
        too_many_pixels(16384 * 16384))

    # JPEGs of as many scans as are read, and one more; a comment that
    # holds start-of-scan markers is no scan.
    ref24("ref-grey128.bmp", [[(128, 128, 128)] * W for _ in range(H)])
    valid("jpeg-100-scans.jpg", many_scan_jpeg(100, b"\xff\xda\x00\x08" * 20), "ref-grey128.bmp")
    bad("jpeg-101-scans.jpg", many_scan_jpeg(101), "JPEG of 101 scans, more than the limit of 100")

    out += field_cases(ref24)
    out += tga_cases(colour, ref24)
    out += pcx_cases(colour)
    return out


def main(argv):
    seeds = len(argv) == 3 and argv[1] == "--seeds"
    if len(argv) != 2 and not seeds:
        sys.stderr.write("usage: make-bmp-cases.py [--seeds] DIR\n")
        return 2
    folder = argv[-1]
    os.makedirs(folder, exist_ok=True)
    lines = []
    for name, data, kind, extra in cases():
        if seeds and kind == "bad":
            continue
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        if kind == "valid":
            lines.append(" ".join(["valid", name] + [e for e in extra if e]))
        elif kind == "bad":
            lines.append("bad %s %s" % (name, extra))
    if not seeds:
        with open(os.path.join(folder, "cases.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
