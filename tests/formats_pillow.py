#!/usr/bin/python3
"""Reference files for tests/formats_test.cpp, made with Pillow and ImageMagick.

  formats_pillow.py make DIR      writes the cases and DIR/cases.txt
  formats_pillow.py decode IN OUT decodes IN with Pillow: OUT gets the pixels as
                                  PPM (RGB) or PGM (palette indices, grey);
                                  OUT.pal the palette of a palette file

cases.txt has a line per case, tab-separated: the reader (png, jpeg, webp,
carrier), the file, and either the file holding the expected result (PPM
pixels, or PGM carrier bytes) or "refuse" and a few words the reason must hold.

The expected pixels are Pillow's, with transparency composited over black as
(c * a + 127) // 255 and JPEGs turned by ImageOps.exif_transpose; except for
16-bit PNGs, which Pillow cuts to their high byte: there the expected values
are the file's 16-bit samples rounded, v * 255 / 65535 to nearest; and for
the one file with gAMA 1.0, which Pillow does not convert for display.
"""
import io
import os
import random
import struct
import subprocess
import sys
import warnings
import zlib

from PIL import Image, ImageOps

W, H = 61, 43  # odd, and no multiple of a JPEG block or MCU


def photo(seed):
    """A picture with smooth gradients, texture, edges and saturated patches."""
    rnd = random.Random(seed)
    pixels = bytearray()
    for y in range(H):
        for x in range(W):
            r = 255 * x // (W - 1)
            g = 255 * y // (H - 1)
            b = (x * y * 3 + 40) % 256
            if (x // 9 + y // 7) % 3 == 0:  # flat saturated blocks with hard edges
                r, g, b = (230, 20, 40) if x % 2 else (20, 40, 220)
            noise = rnd.randint(-12, 12)
            pixels += bytes(max(0, min(255, c + noise)) for c in (r, g, b))
    return Image.frombytes("RGB", (W, H), bytes(pixels))


def alpha_plane():
    """Every alpha from 0 to 255, with fully clear and fully opaque runs."""
    values = bytearray()
    for y in range(H):
        for x in range(W):
            values.append(0 if x < 3 else 255 if x > W - 4 else (x * 37 + y * 11) % 256)
    return Image.frombytes("L", (W, H), bytes(values))


def over_black(im):
    """Pillow's pixels composited over black, in the program's integers."""
    rgba = im.convert("RGBA").tobytes()
    out = bytearray()
    for i in range(0, len(rgba), 4):
        a = rgba[i + 3]
        out += bytes((c * a + 127) // 255 for c in rgba[i:i + 3])
    return Image.frombytes("RGB", im.size, bytes(out))


def write_pnm(path, im):
    kind = {"RGB": b"P6", "L": b"P5"}[im.mode]
    with open(path, "wb") as f:
        f.write(b"%s\n%d %d\n255\n" % (kind, im.size[0], im.size[1]) + im.tobytes())


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def with_gamma_one(png):
    """The PNG with a gAMA chunk of 1.0 (linear light) after its IHDR."""
    ihdr_end = 8 + 8 + 13 + 4
    return png[:ihdr_end] + png_chunk(b"gAMA", struct.pack(">I", 100000)) + png[ihdr_end:]


def gamma_from_linear(v):
    """8-bit linear light to 8 bits for a display of gamma 2.2, which is how
    libpng takes sRGB when it converts 8-bit data (not the exact sRGB curve:
    that differs by up to 8 levels in the darks)."""
    return int(255 * (v / 255) ** (1 / 2.2) + 0.5)


def exif_block(orientation, big_endian=False, damage=None):
    """An EXIF block (after "Exif\\0\\0") with the orientation tag in IFD0
    among two other tags, damaged if asked."""
    e = ">" if big_endian else "<"
    tags = [(0x010F, 2, 4, b"Cam\0"), (0x0112, 3, 1, struct.pack(e + "HH", orientation, 0)),
            (0x0131, 2, 4, b"gfx\0")]
    if damage == "long-type":
        tags[1] = (0x0112, 4, 1, struct.pack(e + "I", orientation))
    ifd = struct.pack(e + "H", len(tags))
    for tag, kind, count, value in tags:
        ifd += struct.pack(e + "HHI", tag, kind, count) + value
    ifd += struct.pack(e + "I", 0)
    head = (b"MM\0*" if big_endian else b"II*\0") + struct.pack(e + "I", 8)
    if damage == "ifd-beyond-end":
        head = head[:4] + struct.pack(e + "I", 4000)
    block = head + ifd
    if damage == "cut-in-first-entry":
        block = block[:8 + 2 + 6]
    if damage == "cut-after-orientation":
        block = block[:8 + 2 + 24]
    return b"Exif\0\0" + block


def pillow_upright(path):
    with Image.open(path) as im:
        return ImageOps.exif_transpose(im).convert("RGB")


def magick(*args):
    subprocess.run(["convert", *args], check=True)


def rounded16(samples16):
    """16-bit big-endian samples to 8 bits, rounded."""
    count = len(samples16) // 2
    values = struct.unpack(">%dH" % count, samples16)
    return bytes((v * 255 + 32767) // 65535 for v in values)


def make(out):
    warnings.simplefilter("ignore")  # Pillow's notes on the damaged EXIF blocks
    os.makedirs(out, exist_ok=True)
    cases = []

    def case(reader, name, im_or_bytes, expected, save=None):
        path = os.path.join(out, name)
        if save:
            save(path)
        elif isinstance(im_or_bytes, bytes):
            with open(path, "wb") as f:
                f.write(im_or_bytes)
        if isinstance(expected, str):  # "refuse\twords"
            cases.append((reader, name, expected))
            return
        ref = name + ".ref." + ("ppm" if expected.mode == "RGB" else "pgm")
        write_pnm(os.path.join(out, ref), expected)
        cases.append((reader, name, ref))

    def pillow_case(reader, name, im, **options):
        path = os.path.join(out, name)
        im.save(path, **options)
        with Image.open(path) as back:
            case(reader, name, None, over_black(back))

    rgb = photo(1)
    rgba = rgb.copy()
    rgba.putalpha(alpha_plane())
    grey = rgb.convert("L")
    grey_alpha = Image.merge("LA", (grey, alpha_plane()))
    palette = rgb.quantize(200)

    # PNG, as Pillow writes it.
    pillow_case("png", "rgb.png", rgb)
    pillow_case("png", "rgba.png", rgba)
    pillow_case("png", "grey.png", grey)
    pillow_case("png", "grey-alpha.png", grey_alpha)
    pillow_case("png", "palette.png", palette)
    pillow_case("png", "palette-4bit.png", rgb.quantize(16), bits=4)
    pillow_case("png", "bilevel.png", grey.convert("1"))
    pillow_case("png", "palette-trns.png", palette, transparency=bytes((i * 5) % 256 for i in range(200)))
    pillow_case("png", "grey-trns.png", grey, transparency=grey.getpixel((10, 10)))
    pillow_case("png", "rgb-trns.png", rgb, transparency=rgb.getpixel((10, 10)))

    # PNG, as ImageMagick writes it: interlaced, and 16 bits a channel. For
    # 16 bits the expected values come from the samples given to it.
    magick(os.path.join(out, "rgb.png"), "-interlace", "PNG", "PNG24:" + os.path.join(out, "interlaced.png"))
    case("png", "interlaced.png", None, rgb)
    magick(os.path.join(out, "rgba.png"), "-interlace", "PNG", "PNG8:" + os.path.join(out, "interlaced-palette.png"))
    with Image.open(os.path.join(out, "interlaced-palette.png")) as back:
        case("png", "interlaced-palette.png", None, over_black(back))
    rnd = random.Random(16)
    # (Without gAMA, a 16-bit file is read as sRGB, not as linear light.)
    for name, channels, kind in (("rgb16.png", 3, "PNG48"), ("rgba16.png", 4, "PNG64"), ("grey16.png", 1, "PNG"),
                                 ("rgb16-no-gamma.png", 3, "PNG48")):
        samples = bytes(rnd.randrange(256) for _ in range(W * H * channels * 2))
        raw = os.path.join(out, name + ".raw")
        with open(raw, "wb") as f:
            f.write(samples)
        layout = {1: "gray", 3: "rgb", 4: "rgba"}[channels]
        extra = ["-define", "png:color-type=0"] if channels == 1 else []
        if "no-gamma" in name:
            extra = ["-define", "png:exclude-chunk=gAMA,cHRM,sRGB,bKGD"]
        magick("-size", "%dx%d" % (W, H), "-depth", "16", "-endian", "MSB", layout + ":" + raw, *extra, "-define",
               "png:bit-depth=16", kind + ":" + os.path.join(out, name))
        os.remove(raw)
        eight = rounded16(samples)
        mode = {1: "L", 3: "RGB", 4: "RGBA"}[channels]
        case("png", name, None, over_black(Image.frombytes(mode, (W, H), eight)))
    # gAMA 1.0: the values are linear light, and come out in sRGB.
    buffer = io.BytesIO()
    rgb.save(buffer, "PNG")
    linear = rgb.point(gamma_from_linear)
    case("png", "gamma-linear.png", with_gamma_one(buffer.getvalue()), linear)

    # JPEG: each kind, as stored and with every orientation.
    kinds = {
        "420": (rgb, dict(quality=90, subsampling=2)),
        "444": (rgb, dict(quality=90, subsampling=0)),
        "progressive": (rgb, dict(quality=85, subsampling=2, progressive=True)),
        "grey": (grey, dict(quality=90)),
    }
    for kind, (im, options) in kinds.items():
        for orientation in range(0, 9):
            name = "%s-o%d.jpg" % (kind, orientation)
            extra = dict(exif=exif_block(orientation)) if orientation else {}
            im.save(os.path.join(out, name), **options, **extra)
            case("jpeg", name, None, pillow_upright(os.path.join(out, name)))
    pillow_case("jpeg", "422.jpg", rgb, quality=80, subsampling=1)
    for name, exif in (("exif-big-endian.jpg", exif_block(6, big_endian=True)),
                       ("exif-big-endian-cut.jpg", exif_block(8, True, "cut-after-orientation")),
                       ("exif-long-type.jpg", exif_block(6, damage="long-type")),
                       ("exif-ifd-beyond-end.jpg", exif_block(6, damage="ifd-beyond-end")),
                       ("exif-cut-in-entry.jpg", exif_block(6, damage="cut-in-first-entry")),
                       ("exif-orientation-9.jpg", exif_block(9))):
        rgb.save(os.path.join(out, name), quality=90, exif=exif)
        case("jpeg", name, None, pillow_upright(os.path.join(out, name)))
    magick(os.path.join(out, "rgb.png"), "-quality", "80", "-sampling-factor", "2x1", "-interlace", "JPEG",
           os.path.join(out, "magick-progressive.jpg"))
    case("jpeg", "magick-progressive.jpg", None, pillow_upright(os.path.join(out, "magick-progressive.jpg")))
    rgb.convert("CMYK").save(os.path.join(out, "cmyk.jpg"), quality=90)
    case("jpeg", "cmyk.jpg", None, "refuse\tCMYK")
    magick(os.path.join(out, "rgb.png"), "-colorspace", "CMYK", os.path.join(out, "magick-cmyk.jpg"))
    case("jpeg", "magick-cmyk.jpg", None, "refuse\tCMYK")

    # WebP.
    pillow_case("webp", "lossy.webp", rgb, quality=80)
    pillow_case("webp", "lossless.webp", rgb, lossless=True)
    pillow_case("webp", "lossy-alpha.webp", rgba, quality=80)
    pillow_case("webp", "lossless-alpha.webp", rgba, lossless=True)
    magick(os.path.join(out, "rgb.png"), "-quality", "70", os.path.join(out, "magick.webp"))
    with Image.open(os.path.join(out, "magick.webp")) as back:
        case("webp", "magick.webp", None, back.convert("RGB"))
    rgb.save(os.path.join(out, "animated.webp"), save_all=True, append_images=[grey.convert("RGB")], duration=100)
    case("webp", "animated.webp", None, "refuse\tanimated")

    # Carriers: the bytes given are the bytes expected, whatever the palette
    # or gAMA say.
    rnd = random.Random(8)
    indices = Image.frombytes("L", (W, 2 * H), bytes(rnd.randrange(256) for _ in range(W * 2 * H)))
    as_palette = Image.frombytes("P", indices.size, indices.tobytes())
    as_palette.putpalette(bytes(rnd.randrange(256) for _ in range(768)))
    as_palette.save(os.path.join(out, "carrier-palette.png"))
    case("carrier", "carrier-palette.png", None, indices)
    indices.save(os.path.join(out, "carrier-grey.png"))
    case("carrier", "carrier-grey.png", None, indices)
    buffer = io.BytesIO()
    indices.save(buffer, "PNG")
    case("carrier", "carrier-grey-gamma.png", with_gamma_one(buffer.getvalue()), indices)
    magick(os.path.join(out, "carrier-grey.png"), "-interlace", "PNG", "-define", "png:color-type=0", "-define",
           "png:bit-depth=8", os.path.join(out, "carrier-interlaced.png"))
    case("carrier", "carrier-interlaced.png", None, indices)
    odd = Image.frombytes("L", (7, 5), bytes(range(35)))
    odd.save(os.path.join(out, "carrier-odd.png"))
    case("carrier", "carrier-odd.png", None, odd)
    for name in ("rgb.png", "rgba.png", "grey-alpha.png", "grey16.png", "palette-4bit.png", "bilevel.png"):
        case("carrier", name, None, "refuse\tnot a carrier")

    with open(os.path.join(out, "cases.txt"), "w") as f:
        for c in cases:
            f.write("\t".join(c) + "\n")


def decode(path, out):
    with Image.open(path) as im:
        im.load()
        if im.mode == "P":
            with open(out + ".pal", "wb") as f:
                f.write(bytes(im.getpalette()))
            write_pnm(out, Image.frombytes("L", im.size, im.tobytes()))
        elif im.mode == "L":
            write_pnm(out, im)
        else:
            write_pnm(out, im.convert("RGB"))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "make":
        make(sys.argv[2])
    elif len(sys.argv) == 4 and sys.argv[1] == "decode":
        decode(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
