"""The Python module gfx16 against answers it does not make itself: the
reference results of an independent implementation of the format
(GFX16_GOLDEN_DIR), the files gfx16conv writes (GFX16CONV) as Pillow reads
them, and the library's own reasons for refusing, read through ctypes
(GFX16_LIBRARY)."""
import ctypes
import functools
import hashlib
import io
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from PIL import Image

import gfx16

GOLDEN = os.environ["GFX16_GOLDEN_DIR"]
TABLE = np.fromfile(os.path.join(GOLDEN, "decoded-codes.rgb"), np.uint8).reshape(65536, 3)
LIBRARY = ctypes.CDLL(os.environ["GFX16_LIBRARY"])
LIBRARY.gfx16_strerror.restype = ctypes.c_char_p
EINVAL, ENOMEM, EFORMAT = -1, -2, -3


def reason(code):
    return LIBRARY.gfx16_strerror(code).decode()


def digest(array):
    return hashlib.sha256(np.ascontiguousarray(array).tobytes()).hexdigest()


def golden_digests():
    with open(os.path.join(GOLDEN, "SHA256SUMS.txt")) as sums:
        return {(name, kind): sha for name, kind, sha in (line.split() for line in sums if line.strip())}


def every_colour(shuffled):
    """Picture E (every 24-bit colour in order) or S (scattered), 4096 x 4096."""
    y, x = np.mgrid[0:4096, 0:4096].astype(np.uint64)
    if shuffled:
        c = ((4096 * y + x) * 2654435761) & 0xFFFFFF
        channels = (c >> 16, (c >> 8) & 255, c & 255)
    else:
        channels = (x % 256, y % 256, x // 256 + 16 * (y // 256))
    return np.stack(channels, axis=-1).astype(np.uint8)


def codes(carrier):
    return carrier[0::2].astype(np.intp) + 256 * carrier[1::2]


def photo(h=37, w=61):
    """Gradients and noise, odd sizes: both row parities and a lone last column."""
    y, x = np.mgrid[0:h, 0:w]
    noise = np.random.default_rng(7).integers(0, 48, (h, w, 3))
    smooth = np.stack([x * 255 // w, y * 255 // h, (x + y) * 127 // (w + h) + 64], axis=-1)
    return np.clip(smooth + noise - 24, 0, 255).astype(np.uint8)


@pytest.mark.parametrize("name, shuffled", [("every-colour", False), ("shuffled", True)])
def test_encoder_gives_the_reference_carrier_and_preview(name, shuffled):
    carrier, preview = gfx16.encode(every_colour(shuffled), preview=True)
    assert carrier.shape == (8192, 4096) and carrier.dtype == np.uint8
    assert digest(carrier) == golden_digests()[name, "carrier"]
    assert digest(preview) == golden_digests()[name, "preview"]


def test_every_code_decodes_to_its_reference_colour():
    x = np.arange(256, dtype=np.uint8)
    carrier = np.empty((512, 256), np.uint8)
    carrier[0::2] = x  # picture pixel (x, y) holds code 256 y + x
    carrier[1::2] = x[:, None]
    assert digest(gfx16.decode(carrier)) == golden_digests()["all-codes", "decoded"]
    assert np.array_equal([gfx16.decode_code(k) for k in range(65536)], TABLE)


@pytest.mark.parametrize("options", [[], ["--best"], ["--best", "--dither"]])
def test_encoders_as_gfx16conv_writes_them(tmp_path, options):
    rgb = photo()
    Image.fromarray(rgb).save(tmp_path / "picture.png")
    subprocess.run([os.environ["GFX16CONV"], "encode", *options, tmp_path / "picture.png",
                    tmp_path / "carrier.bmp", tmp_path / "preview.png"], check=True)
    best, dither = "--best" in options, "--dither" in options
    carrier, preview = gfx16.encode(rgb, best=best, dither=dither, preview=True)
    written = (tmp_path / "carrier.bmp").read_bytes()
    assert np.array_equal(np.asarray(Image.open(tmp_path / "carrier.bmp")), carrier)
    assert np.array_equal(np.asarray(Image.open(tmp_path / "preview.png")), preview)
    assert gfx16.carrier_to_bmp(carrier) == written
    assert np.array_equal(gfx16.carrier_from_bmp(written), carrier)
    if best:  # the preview of the searches is the decoded carrier
        assert np.array_equal(preview, TABLE[codes(carrier)])


@pytest.mark.parametrize("mode, size", [("P", (7, 5)), ("L", (1, 2)), ("1", (13, 4))])
def test_carrier_from_pillows_bmp(tmp_path, mode, size):
    indices = np.random.default_rng(3).integers(0, 2 if mode == "1" else 256, size[::-1]).astype(np.uint8)
    image = Image.fromarray(indices * 255 if mode == "1" else indices).convert(mode)
    image.save(tmp_path / "carrier.bmp")
    got = gfx16.carrier_from_bmp(bytearray((tmp_path / "carrier.bmp").read_bytes()))
    assert np.array_equal(got, np.asarray(Image.open(tmp_path / "carrier.bmp")).astype(np.uint8))


RGB = photo(4, 6)
CARRIER = gfx16.encode(RGB)
BMP = gfx16.carrier_to_bmp(CARRIER)


def rgb_bmp():
    out = io.BytesIO()
    Image.fromarray(RGB).save(out, "BMP")
    return out.getvalue()


# (call, argument, exception, what the message must say)
REFUSED = [
    ("encode", RGB[..., 0], ValueError, "not a 4 x 6 array of uint8"),
    ("encode", RGB[None], ValueError, "not a 1 x 4 x 6 x 3 array of uint8"),
    ("encode", np.zeros((4, 6, 4), np.uint8), ValueError, "not a 4 x 6 x 4 array of uint8"),
    ("encode", RGB.astype(np.float32) / 255, ValueError, "float32"),
    ("encode", RGB.astype(np.uint16), ValueError, "uint16"),
    ("encode", RGB.astype(np.int8), ValueError, "int8"),
    ("encode", RGB > 127, ValueError, "bool"),
    ("encode", np.array(7, np.uint8), ValueError, "0-dimensional"),
    ("encode", np.zeros((0, 6, 3), np.uint8), ValueError, reason(EINVAL)),
    ("encode", np.zeros((4, 0, 3), np.uint8), ValueError, reason(EINVAL)),
    ("encode", RGB.tolist(), TypeError, "not list"),
    ("decode", RGB, ValueError, "not a 4 x 6 x 3 array of uint8"),
    ("decode", CARRIER.astype(np.int16), ValueError, "int16"),
    ("decode", CARRIER[:1], ValueError, reason(EINVAL)),
    ("decode", bytes(CARRIER), TypeError, "not bytes"),
    ("carrier_to_bmp", RGB, ValueError, "not a 4 x 6 x 3 array of uint8"),
    ("carrier_to_bmp", CARRIER.astype(np.float64), ValueError, "float64"),
    ("carrier_from_bmp", b"", ValueError, reason(EFORMAT)),
    ("carrier_from_bmp", BMP[:len(BMP) // 2], ValueError, reason(EFORMAT)),
    ("carrier_from_bmp", b"BM" + bytes(200), ValueError, reason(EFORMAT)),
    ("carrier_from_bmp", rgb_bmp(), ValueError, reason(EFORMAT)),
    ("carrier_from_bmp", "carrier.bmp", TypeError, "not str"),
    ("carrier_from_bmp", memoryview(BMP)[::2], TypeError, "memoryview"),
    ("decode_code", -1, ValueError, "0 to 65535"),
    ("decode_code", 65536, ValueError, "0 to 65535"),
]


@pytest.mark.parametrize("call, argument, error, message", REFUSED,
                         ids=[f"{case[0]}-{i}" for i, case in enumerate(REFUSED)])
def test_refused_with_a_reason(call, argument, error, message):
    before = np.copy(argument) if isinstance(argument, np.ndarray) else None
    with pytest.raises(error) as raised:
        getattr(gfx16, call)(argument)
    assert message in str(raised.value)
    if before is not None:
        assert np.array_equal(argument, before)


def test_dither_goes_with_best():
    with pytest.raises(ValueError, match="dither goes with best"):
        gfx16.encode(RGB, dither=True)


# Arrays laid out otherwise in memory are copied, and give what their
# contiguous copies give.
BIG = photo(9, 14)
LAID_OUT = [BIG[::-1], BIG[:, ::2], BIG[..., ::-1], np.asfortranarray(BIG), BIG[1:8, 3:11]]


@pytest.mark.parametrize("rgb", LAID_OUT, ids=["rows-reversed", "every-other-column", "channels-reversed",
                                               "fortran-order", "window"])
def test_arrays_laid_out_otherwise_are_copied(rgb):
    assert np.array_equal(gfx16.encode(rgb), gfx16.encode(np.ascontiguousarray(rgb)))
    carrier = gfx16.encode(rgb)[:, ::-1]
    assert np.array_equal(gfx16.decode(carrier), gfx16.decode(np.ascontiguousarray(carrier)))
    assert gfx16.carrier_to_bmp(carrier) == gfx16.carrier_to_bmp(np.ascontiguousarray(carrier))


OUT_OF_MEMORY = """
import resource
import numpy as np
import gfx16
rgb = np.zeros((2048, 2048, 3), np.uint8)
gfx16.encode(rgb[:8, :8], best=True, dither=True)  # the search's tables, made once
size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize"))
limit = size + rgb.size * 2 // 3 + (4 << 20)  # the carrier and a little more
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    gfx16.encode(rgb, best=True, dither=True)
except MemoryError as e:
    print("MemoryError:", e)
"""


def test_out_of_memory_raises_memory_error_with_the_librarys_reason():
    """Room in the address space for the carrier, not for the 2 bytes a
    pixel that the dithering search needs besides."""
    run = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "MemoryError: " + reason(ENOMEM)


def test_version_is_the_projects():
    assert gfx16.__version__ == os.environ["GFX16_VERSION"]


@functools.lru_cache
def large():
    """A picture, a carrier and its BMP large enough that another thread
    wakes up while the library works on them."""
    carrier = np.zeros((8192, 4096), np.uint8)
    return every_colour(True)[:2048], carrier, gfx16.carrier_to_bmp(carrier)


WORK = {
    "encode": lambda picture, carrier, bmp: gfx16.encode(picture, preview=True),
    "encode best": lambda picture, carrier, bmp: gfx16.encode(picture[:512], best=True),
    "decode": lambda picture, carrier, bmp: gfx16.decode(carrier),
    "carrier_to_bmp": lambda picture, carrier, bmp: gfx16.carrier_to_bmp(carrier),
    "carrier_from_bmp": lambda picture, carrier, bmp: gfx16.carrier_from_bmp(bmp),
}


@pytest.mark.parametrize("call", WORK)
def test_work_releases_the_gil(call):
    """With a switch interval too long to ever expire, the main thread runs
    again while another is inside the library only if the call released the
    GIL; if it kept it, the other thread finishes first, every time."""
    arguments = large()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        for _ in range(3):
            finished = []
            thread = threading.Thread(target=lambda: finished.append(WORK[call](*arguments)))
            thread.start()
            ran_meanwhile = not finished
            thread.join()
            if ran_meanwhile:
                break
    finally:
        sys.setswitchinterval(interval)
    assert ran_meanwhile
