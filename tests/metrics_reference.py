#!/usr/bin/python3
"""Picture quality numbers from scikit-image, to check gfx16's own against.

  metrics_reference.py compare A.ppm B.ppm [A.ppm B.ppm ...]
      one line per pair: PSNR (dB), SSIM, mean CIEDE2000
  metrics_reference.py pixels A.ppm B.ppm
      one line per pixel, rows top to bottom: L a b of A, L a b of B, CIEDE2000
  metrics_reference.py lab PAIRS.txt
      CIEDE2000 of each line "L a b L a b" of the file, one a line

Pictures are binary PPM (P6, maxval 255). SSIM is scikit-image's
structural_similarity with the Gaussian window; a picture with a side under 11
pixels gets the same sums with the window cut to the largest odd length that
fits along that side (scikit-image refuses such pictures). Exits 3 when
scikit-image is missing, so that the caller can tell it from a failure.
"""

import sys

try:
    import numpy as np
    from scipy.ndimage import correlate1d
    from skimage.color import deltaE_ciede2000, rgb2lab
    from skimage.metrics import peak_signal_noise_ratio, structural_similarity
except ImportError as error:
    print(f"metrics_reference.py: {error}", file=sys.stderr)
    sys.exit(3)


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1  # the single white space after maxval
    assert fields[0] == b"P6" and fields[3] == b"255", path
    w, h = int(fields[1]), int(fields[2])
    return np.frombuffer(data, np.uint8, w * h * 3, pos).reshape(h, w, 3)


def gaussian_taps(radius, sigma=1.5):
    x = np.arange(-radius, radius + 1)
    taps = np.exp(-0.5 / sigma**2 * x**2)
    return taps / taps.sum()


def ssim_cut_window(a, b):
    """The sums of structural_similarity with the window cut to each side."""
    c1, c2 = (0.01 * 255) ** 2, (0.03 * 255) ** 2
    h, w = a.shape[:2]
    ry, rx = [min(5, (n - 1) // 2) for n in (h, w)]
    total = 0.0
    for c in range(3):
        x = a[:, :, c].astype(np.float64)
        y = b[:, :, c].astype(np.float64)

        def window_mean(v):
            v = correlate1d(v, gaussian_taps(ry), axis=0)
            v = correlate1d(v, gaussian_taps(rx), axis=1)
            return v[ry:h - ry, rx:w - rx]

        ux, uy = window_mean(x), window_mean(y)
        vx = window_mean(x * x) - ux * ux
        vy = window_mean(y * y) - uy * uy
        vxy = window_mean(x * y) - ux * uy
        s = ((2 * ux * uy + c1) * (2 * vxy + c2)) / ((ux**2 + uy**2 + c1) * (vx + vy + c2))
        total += s.mean()
    return total / 3


def ssim(a, b):
    if min(a.shape[:2]) < 11:
        return ssim_cut_window(a, b)
    return structural_similarity(a, b, channel_axis=2, gaussian_weights=True, sigma=1.5,
                                 use_sample_covariance=False, data_range=255)


def main():
    mode, paths = sys.argv[1], sys.argv[2:]
    if mode == "compare":
        for i in range(0, len(paths), 2):
            a, b = read_ppm(paths[i]), read_ppm(paths[i + 1])
            with np.errstate(divide="ignore"):
                psnr = peak_signal_noise_ratio(a, b, data_range=255)
            de = deltaE_ciede2000(rgb2lab(a), rgb2lab(b)).mean()
            print(f"{psnr!r} {ssim(a, b)!r} {de!r}")
    elif mode == "pixels":
        a, b = read_ppm(paths[0]), read_ppm(paths[1])
        lab_a, lab_b = rgb2lab(a).reshape(-1, 3), rgb2lab(b).reshape(-1, 3)
        de = deltaE_ciede2000(lab_a, lab_b)
        for la, lb, d in zip(lab_a, lab_b, de):
            print(*(repr(float(v)) for v in (*la, *lb, d)))
    elif mode == "lab":
        pairs = np.loadtxt(paths[0], ndmin=2)
        for d in deltaE_ciede2000(pairs[:, 0:3], pairs[:, 3:6]):
            print(repr(float(d)))
    else:
        sys.exit(f"metrics_reference.py: unknown mode {mode}")


if __name__ == "__main__":
    main()
