// How far apart two pictures of the same size are: PSNR, SSIM and the mean
// CIEDE2000 colour difference, and a picture of where they differ.
//
// PSNR: the mean squared difference (MSE) over every channel of every pixel,
//   10 log10(255^2 / MSE) dB; identical pictures give +infinity.
//
// SSIM: Wang, Bovik, Sheikh and Simoncelli (2004) on each of R, G and B, the
//   three averaged. Means, variances and covariance are taken with an 11 x 11
//   Gaussian window (sigma 1.5, weights summing to 1; variances divided by the
//   weight sum, not "sample" ones), K1 = 0.01, K2 = 0.03, L = 255, and the
//   SSIM map is averaged over the "valid" positions, where the whole window
//   lies inside the picture. This is scikit-image's structural_similarity(a,
//   b, channel_axis=2, gaussian_weights=True, sigma=1.5,
//   use_sample_covariance=False, data_range=255).
//   Along a side shorter than 11 pixels the window is cut to the largest odd
//   length that fits (n for odd n, n - 1 for even n): the same Gaussian,
//   truncated there and its weights scaled to sum to 1. So a picture 7 pixels
//   high has one row of valid positions and a 1 x 1 picture compares its two
//   pixels alone. Pictures with both sides at least 11 are not affected.
//
// CIEDE2000: each pixel goes from 8-bit sRGB through the IEC 61966-2-1
//   transfer curve to linear RGB, to XYZ by
//     X = 0.412453 R + 0.357580 G + 0.180423 B
//     Y = 0.212671 R + 0.715160 G + 0.072169 B
//     Z = 0.019334 R + 0.119193 G + 0.950227 B
//   and to CIELAB with the D65 white (Xn, Yn, Zn = 0.95047, 1, 1.08883) and
//   the CIE's f(t) = t^(1/3) above (6/29)^3, 841/108 t + 4/29 below (the
//   matrix and white of scikit-image's rgb2lab, which rounds 841/108 to
//   7.787: up to 2e-4 apart in a). The difference is Sharma, Wu and Dalal's
//   CIEDE2000 with kL = kC = kH = 1, and the mean is taken over all pixels.
//
// Difference picture: per-pixel CIEDE2000 on a heat scale. Black where the
//   pixels are equal; red rises from 0 to 255 over dE 0..4, then green over
//   4..8 (red to yellow), then blue over 8..12 (yellow to white); 12 and more
//   is white; levels are rounded up, so a pixel that differs at all is not
//   black. dE 1 is about the smallest difference one can see side by side,
//   so dark red is "barely", yellow "plainly" and white "far apart".
//
// Errors: pictures of different sizes, an empty picture, or one whose rgb
// does not hold w * h * 3 bytes give NaN from the numbers (all three in
// Quality) and an empty picture (w = h = 0) from difference_picture.
//
// The work is split by rows over as many threads as gfx16_set_threads allows.
#ifndef GFX16_PROGRAMS_METRICS_H
#define GFX16_PROGRAMS_METRICS_H

#include "files/picture.h"

struct Quality {
    double psnr_db;
    double ssim;
    double ciede2000;
};

Quality compare_pictures(const Picture &a, const Picture &b);
double picture_psnr(const Picture &a, const Picture &b);
double picture_ssim(const Picture &a, const Picture &b);
double picture_mean_ciede2000(const Picture &a, const Picture &b);
Picture difference_picture(const Picture &a, const Picture &b);

// 8-bit sRGB to CIELAB (L 0..100), D65, as described above.
void srgb_to_lab(int r, int g, int b, double lab[3]);

// CIEDE2000 difference of two CIELAB colours, kL = kC = kH = 1.
double ciede2000(const double lab1[3], const double lab2[3]);

#endif
