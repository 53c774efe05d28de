// Picture quality numbers against answers from elsewhere: Sharma, Wu and
// Dalal's published CIEDE2000 pairs, scikit-image (through
// metrics_reference.py) and cases worked by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "programs/gfx16conv/metrics.h"
#include "test_support.h"

namespace {

// ---- Published CIEDE2000 data ----------------------------------------------

struct LabPair {
    double lab1[3], lab2[3];
    double expected;  // to 4 decimals
};

// All 34 pairs of Sharma, Wu and Dalal (2005), table 1.
const LabPair sharma_pairs[] = {
    {{50.0000, 2.6772, -79.7751}, {50.0000, 0.0000, -82.7485}, 2.0425},
    {{50.0000, 3.1571, -77.2803}, {50.0000, 0.0000, -82.7485}, 2.8615},
    {{50.0000, 2.8361, -74.0200}, {50.0000, 0.0000, -82.7485}, 3.4412},
    {{50.0000, -1.3802, -84.2814}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, -1.1848, -84.8006}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, -0.9009, -85.5211}, {50.0000, 0.0000, -82.7485}, 1.0000},
    {{50.0000, 0.0000, 0.0000}, {50.0000, -1.0000, 2.0000}, 2.3669},
    {{50.0000, -1.0000, 2.0000}, {50.0000, 0.0000, 0.0000}, 2.3669},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0009}, 7.1792},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0010}, 7.1792},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0011}, 7.2195},
    {{50.0000, 2.4900, -0.0010}, {50.0000, -2.4900, 0.0012}, 7.2195},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0009, -2.4900}, 4.8045},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0010, -2.4900}, 4.8045},
    {{50.0000, -0.0010, 2.4900}, {50.0000, 0.0011, -2.4900}, 4.7461},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 0.0000, -2.5000}, 4.3065},
    {{50.0000, 2.5000, 0.0000}, {73.0000, 25.0000, -18.0000}, 27.1492},
    {{50.0000, 2.5000, 0.0000}, {61.0000, -5.0000, 29.0000}, 22.8977},
    {{50.0000, 2.5000, 0.0000}, {56.0000, -27.0000, -3.0000}, 31.9030},
    {{50.0000, 2.5000, 0.0000}, {58.0000, 24.0000, 15.0000}, 19.4535},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.1736, 0.5854}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.2972, 0.0000}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 1.8634, 0.5757}, 1.0000},
    {{50.0000, 2.5000, 0.0000}, {50.0000, 3.2592, 0.3350}, 1.0000},
    {{60.2574, -34.0099, 36.2677}, {60.4626, -34.1751, 39.4387}, 1.2644},
    {{63.0109, -31.0961, -5.8663}, {62.8187, -29.7946, -4.0864}, 1.2630},
    {{61.2901, 3.7196, -5.3901}, {61.4292, 2.2480, -4.9620}, 1.8731},
    {{35.0831, -44.1164, 3.7933}, {35.0232, -40.0716, 1.5901}, 1.8645},
    {{22.7233, 20.0904, -46.6940}, {23.0331, 14.9730, -42.5619}, 2.0373},
    {{36.4612, 47.8580, 18.3852}, {36.2715, 50.5065, 21.2231}, 1.4146},
    {{90.8027, -2.0831, 1.4410}, {91.1528, -1.6435, 0.0447}, 1.4441},
    {{90.9257, -0.5406, -0.9208}, {88.6381, -0.8985, -0.7239}, 1.5381},
    {{6.7747, -0.2908, -2.4247}, {5.8714, -0.0985, -2.2286}, 0.6377},
    {{2.0776, 0.0795, -1.1350}, {0.9033, -0.0636, -0.5514}, 0.9082},
};

TEST(Ciede2000, SharmaWuDalalPairs)
{
    for (size_t i = 0; i < sizeof sharma_pairs / sizeof sharma_pairs[0]; i++) {
        const LabPair &p = sharma_pairs[i];
        SCOPED_TRACE(testing::Message() << "pair " << i + 1);
        EXPECT_NEAR(ciede2000(p.lab1, p.lab2), p.expected, 0.5e-4);
        EXPECT_NEAR(ciede2000(p.lab2, p.lab1), p.expected, 0.5e-4);  // the formula is symmetric
    }
}

// ---- Hand-worked cases --------------------------------------------------------

Picture noise_picture(int w, int h, uint64_t seed)
{
    Picture p;
    p.w = w;
    p.h = h;
    Lcg lcg(seed);
    for (int i = 0; i < w * h * 3; i++)
        p.rgb.push_back((uint8_t)lcg.next());
    return p;
}

TEST(SrgbToLab, BlackAndWhite)
{
    double lab[3];
    srgb_to_lab(0, 0, 0, lab);
    EXPECT_NEAR(lab[0], 0, 1e-12);
    EXPECT_NEAR(lab[1], 0, 1e-12);
    EXPECT_NEAR(lab[2], 0, 1e-12);
    srgb_to_lab(255, 255, 255, lab);
    EXPECT_NEAR(lab[0], 100, 1e-9);
    // The matrix's white and the D65 white differ in the fifth digit.
    EXPECT_NEAR(lab[1], 0, 0.01);
    EXPECT_NEAR(lab[2], 0, 0.01);
}

TEST(Quality, IdenticalPictures)
{
    Picture a = noise_picture(23, 17, 5);
    Quality q = compare_pictures(a, a);
    EXPECT_EQ(q.psnr_db, INFINITY);
    EXPECT_DOUBLE_EQ(q.ssim, 1);
    EXPECT_EQ(q.ciede2000, 0);
    Picture diff = difference_picture(a, a);
    ASSERT_EQ(diff.w, 23);
    ASSERT_EQ(diff.h, 17);
    EXPECT_EQ(diff.rgb, std::vector<uint8_t>(23 * 17 * 3, 0));
}

TEST(Quality, OffsetOfOneInOneChannel)
{
    Picture a = noise_picture(40, 30, 9), b = a;
    for (size_t i = 1; i < b.rgb.size(); i += 3)  // green
        b.rgb[i] = a.rgb[i] < 255 ? a.rgb[i] + 1 : a.rgb[i] - 1;
    // MSE 1/3
    EXPECT_NEAR(picture_psnr(a, b), 10 * std::log10(3 * 255.0 * 255.0), 1e-12);
    EXPECT_LT(picture_ssim(a, b), 1);
    EXPECT_GT(picture_ssim(a, b), 0.99);
    EXPECT_GT(picture_mean_ciede2000(a, b), 0);
}

// One pixel: the window holds one sample, both variances are 0, and SSIM is
// the mean term (2xy + C1) / (x^2 + y^2 + C1) alone.
TEST(Quality, OnePixelSsim)
{
    Picture a, b;
    a.w = a.h = b.w = b.h = 1;
    a.rgb = {100, 0, 255};
    b.rgb = {110, 0, 0};
    const double c1 = 6.5025;
    double expected = ((2 * 100 * 110 + c1) / (100 * 100 + 110 * 110 + c1) + 1 + c1 / (255 * 255 + c1)) / 3;
    EXPECT_NEAR(picture_ssim(a, b), expected, 1e-15);
}

TEST(Quality, PicturesThatCannotBeCompared)
{
    Picture a = noise_picture(8, 6, 1), wider = noise_picture(9, 6, 1), empty, short_data = a;
    short_data.rgb.pop_back();
    const Picture *cases[][2] = {{&a, &wider}, {&wider, &a}, {&empty, &empty}, {&a, &short_data}};
    for (auto &c : cases) {
        Quality q = compare_pictures(*c[0], *c[1]);
        EXPECT_TRUE(std::isnan(q.psnr_db));
        EXPECT_TRUE(std::isnan(q.ssim));
        EXPECT_TRUE(std::isnan(q.ciede2000));
        Picture diff = difference_picture(*c[0], *c[1]);
        EXPECT_EQ(diff.w, 0);
        EXPECT_EQ(diff.h, 0);
        EXPECT_TRUE(diff.rgb.empty());
    }
}

// ---- scikit-image ---------------------------------------------------------------

bool write_ppm(const std::string &path, const Picture &p)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    fprintf(f, "P6\n%d %d\n255\n", p.w, p.h);
    bool ok = fwrite(p.rgb.data(), 1, p.rgb.size(), f) == p.rgb.size();
    return fclose(f) == 0 && ok;
}

// A file of its own for this process: ctest may run the tests side by side.
std::string temporary_path(const std::string &name)
{
    return testing::TempDir() + "metrics_test_" + std::to_string(getpid()) + "_" + name;
}

// Runs metrics_reference.py with these arguments and gives its output; ""
// when scikit-image is missing.
std::string run_reference(const std::string &arguments)
{
    std::string command = GFX16_PYTHON " " METRICS_REFERENCE " " + arguments;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return "";
    }
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int status = pclose(pipe);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3)
        return "";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return output;
}

// The same on pictures, written to files first.
std::string run_reference(const std::string &mode, const std::vector<Picture> &pictures)
{
    std::string arguments = mode;
    std::vector<std::string> paths;
    for (size_t i = 0; i < pictures.size(); i++) {
        paths.push_back(temporary_path(std::to_string(i) + ".ppm"));
        EXPECT_TRUE(write_ppm(paths.back(), pictures[i])) << paths.back();
        arguments += " " + paths.back();
    }
    std::string output = run_reference(arguments);
    for (const std::string &path : paths)
        remove(path.c_str());
    return output;
}

#define SKIP_WITHOUT_SKIMAGE(output)                                                         \
    if ((output).empty())                                                                      \
        GTEST_SKIP() << "scikit-image is missing (Debian: apt-get install python3-skimage)"

// Hues nearly opposite, on either side of 180 degrees apart and with mean
// hues on either side of 0, against scikit-image: the pairs for which
// metrics.cpp takes the mean hue from the angles, through every rule.
TEST(Ciede2000, NearlyOppositeHues)
{
    std::vector<LabPair> pairs;
    for (double h1 : {10.0, 100.0, 170.0, 190.0, 280.0, 350.0})
        for (double apart : {180 - 1e-5, -(180 - 1e-5), 180 - 1e-3, 179.0, 90.0})
            for (double c1 : {0.5, 40.0}) {
                double h2 = (h1 + apart) * (3.14159265358979323846 / 180), c2 = c1 * 1.3;
                double h = h1 * (3.14159265358979323846 / 180);
                pairs.push_back({{50, c1 * std::cos(h), c1 * std::sin(h)}, {56, c2 * std::cos(h2), c2 * std::sin(h2)}, 0});
            }
    std::string path = temporary_path("pairs.txt");
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    for (const LabPair &p : pairs)
        fprintf(f, "%.17g %.17g %.17g %.17g %.17g %.17g\n", p.lab1[0], p.lab1[1], p.lab1[2], p.lab2[0], p.lab2[1],
                p.lab2[2]);
    fclose(f);
    std::string output = run_reference("lab " + path);
    remove(path.c_str());
    SKIP_WITHOUT_SKIMAGE(output);
    std::istringstream lines(output);
    for (const LabPair &p : pairs) {
        double expected;
        ASSERT_TRUE(lines >> expected);
        SCOPED_TRACE(testing::Message() << p.lab1[1] << " " << p.lab1[2] << " / " << p.lab2[1] << " " << p.lab2[2]);
        EXPECT_NEAR(ciede2000(p.lab1, p.lab2), expected, 1e-9 * expected);
    }
}

Picture smooth_picture(int w, int h)
{
    Picture p;
    p.w = w;
    p.h = h;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++)
                p.rgb.push_back((uint8_t)(128 + 120 * std::sin(0.05 * x * (c + 1) + 0.09 * y)));
    return p;
}

// Each sample moved by up to +-amount, kept in 0..255.
Picture perturbed(const Picture &p, int amount, uint64_t seed)
{
    Picture q = p;
    Lcg lcg(seed);
    for (uint8_t &v : q.rgb) {
        int moved = v + (int)(lcg.next() % (2 * amount + 1)) - amount;
        v = (uint8_t)(moved < 0 ? 0 : moved > 255 ? 255 : moved);
    }
    return q;
}

Picture quantised(const Picture &p, int step)
{
    Picture q = p;
    for (uint8_t &v : q.rgb)
        v = (uint8_t)(v / step * step);
    return q;
}

bool close_relative(double x, double y, double tolerance)
{
    if (std::isinf(x) || std::isinf(y))
        return x == y;
    return std::fabs(x - y) <= tolerance * std::fabs(y);
}

TEST(Quality, MatchesScikitImage)
{
    struct Case {
        const char *name;
        Picture a, b;
    };
    Picture smooth = smooth_picture(97, 61), noise = noise_picture(64, 48, 3);
    const Case cases[] = {
        {"noise, slightly moved", noise, perturbed(noise, 6, 4)},
        {"smooth, quantised", smooth, quantised(smooth, 24)},
        {"smooth, moved a lot", smooth, perturbed(smooth, 90, 5)},
        {"unrelated noise", noise_picture(40, 40, 6), noise_picture(40, 40, 7)},
        {"identical", smooth, smooth},
        {"11 x 11, the smallest full window", noise_picture(11, 11, 8), noise_picture(11, 11, 9)},
        // several blocks of the vertical pass and several threads
        {"700 x 40", smooth_picture(700, 40), perturbed(smooth_picture(700, 40), 12, 10)},
        // sides under 11: the window cut to fit
        {"30 x 7", noise_picture(30, 7, 11), perturbed(noise_picture(30, 7, 11), 30, 12)},
        {"4 x 25", noise_picture(4, 25, 13), perturbed(noise_picture(4, 25, 13), 30, 14)},
        {"10 x 10", noise_picture(10, 10, 15), perturbed(noise_picture(10, 10, 15), 30, 16)},
        {"2 x 2", noise_picture(2, 2, 17), noise_picture(2, 2, 18)},
        {"50 x 1", noise_picture(50, 1, 19), perturbed(noise_picture(50, 1, 19), 30, 20)},
        {"1 x 1", noise_picture(1, 1, 21), noise_picture(1, 1, 22)},
    };
    std::vector<Picture> pictures;
    for (const Case &c : cases) {
        pictures.push_back(c.a);
        pictures.push_back(c.b);
    }
    std::string output = run_reference("compare", pictures);
    SKIP_WITHOUT_SKIMAGE(output);
    std::istringstream lines(output);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string psnr_text, ssim, de;
        ASSERT_TRUE(lines >> psnr_text >> ssim >> de);
        double psnr = std::strtod(psnr_text.c_str(), nullptr);  // "inf" too
        Quality q = compare_pictures(c.a, c.b);
        EXPECT_PRED3(close_relative, q.psnr_db, psnr, 1e-6);
        EXPECT_PRED3(close_relative, q.ssim, std::stod(ssim), 1e-6);
        EXPECT_NEAR(q.ciede2000, std::stod(de), 1e-4);
    }
}

// Every colour of a 16-level cube against a moved copy, one pixel at a
// time: Lab of both, CIEDE2000, and the difference picture's heat scale
// (metrics.h) at that CIEDE2000.
TEST(Quality, PixelsMatchScikitImage)
{
    Picture cube;
    cube.w = 256;
    cube.h = 16;
    for (int i = 0; i < 16 * 16 * 16; i++) {
        cube.rgb.push_back((uint8_t)(i % 16 * 17));
        cube.rgb.push_back((uint8_t)(i / 16 % 16 * 17));
        cube.rgb.push_back((uint8_t)(i / 256 * 17));
    }
    Picture moved = perturbed(cube, 40, 23);
    // The first pixel unchanged; the second one of the closest pairs of
    // colours there are (dE 0.013).
    const uint8_t first_pixels[2][6] = {{0, 0, 0, 255, 255, 9}, {0, 0, 0, 255, 255, 10}};
    std::copy(first_pixels[0], first_pixels[0] + 6, cube.rgb.begin());
    std::copy(first_pixels[1], first_pixels[1] + 6, moved.rgb.begin());
    std::string output = run_reference("pixels", {cube, moved});
    SKIP_WITHOUT_SKIMAGE(output);

    Picture diff = difference_picture(cube, moved);
    ASSERT_EQ(diff.rgb.size(), cube.rgb.size());
    std::istringstream lines(output);
    for (int i = 0; i < cube.w * cube.h; i++) {
        SCOPED_TRACE(testing::Message() << "pixel " << i);
        double expected[7], lab_a[3], lab_b[3];
        for (double &v : expected)
            ASSERT_TRUE(lines >> v);
        const uint8_t *p = &cube.rgb[3 * i], *q = &moved.rgb[3 * i];
        srgb_to_lab(p[0], p[1], p[2], lab_a);
        srgb_to_lab(q[0], q[1], q[2], lab_b);
        // scikit-image rounds the slope of the CIELAB function's linear part,
        // 841/108, to 7.787: up to 3.3e-7 on f(t), 1.7e-4 on a. Colours
        // whose f(X), f(Y), f(Z) are all on the cube root part must agree
        // to rounding.
        for (int side = 0; side < 2; side++) {
            const double *lab = side ? lab_b : lab_a, *want = &expected[3 * side];
            double fy = (want[0] + 16) / 116, fx = fy + want[1] / 500, fz = fy - want[2] / 200;
            bool all_cube_root = std::fmin(fx, std::fmin(fy, fz)) > 6.0 / 29 + 1e-6;
            for (int c = 0; c < 3; c++)
                EXPECT_NEAR(lab[c], want[c], all_cube_root ? 1e-10 : 2e-4) << "side " << side;
        }
        double de = expected[6];
        EXPECT_NEAR(ciede2000(&expected[0], &expected[3]), de, 1e-9);
        // Red, green and blue rise over dE 0-4, 4-8 and 8-12, rounded up
        // (allowing for the 2e-4 between the two Lab conversions).
        for (int c = 0; c < 3; c++) {
            double level = std::fmin(std::fmax((de - 4 * c) * 255 / 4, 0), 255);
            EXPECT_GE(diff.rgb[3 * i + c], level - 0.02) << "channel " << c << ", dE " << de;
            EXPECT_LT(diff.rgb[3 * i + c], level + 1.02) << "channel " << c << ", dE " << de;
        }
    }
    const uint8_t black[3] = {0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(diff.rgb.begin(), diff.rgb.begin() + 3), std::vector<uint8_t>(black, black + 3));
    EXPECT_GE(diff.rgb[3], 1) << "a pixel that differs is not black";
}

}  // namespace
