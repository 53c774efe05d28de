#include "programs/gfx16conv/metrics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "codec/threads.h"

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

bool comparable(const Picture &a, const Picture &b)
{
    return a.w >= 1 && a.h >= 1 && a.w == b.w && a.h == b.h &&
           a.rgb.size() == (size_t)a.w * a.h * 3 && b.rgb.size() == a.rgb.size();
}

// Runs work(first_row, end_row) on consecutive slices of rows, one slice per
// thread the limit allows. A slice whose thread cannot be started runs here
// instead; an exception in any (not enough memory) is thrown here once all
// have ended.
template <class Work>
void split_rows(int rows, const Work &work)
{
    if (rows < 1)
        return;
    const unsigned parts = std::min({codec_threads(), most_threads, (unsigned)rows});
    run_shares(parts, [&](unsigned p) {
        work((int)((int64_t)rows * p / parts), (int)((int64_t)rows * (p + 1) / parts));
    });
}

// Each row's sum is kept apart and the rows are added in order, so that the
// result does not depend on how many threads there were.
double add_in_order(const std::vector<double> &row_sums)
{
    double total = 0;
    for (double s : row_sums)
        total += s;
    return total;
}

// ---- Colour ----------------------------------------------------------------

// The IEC 61966-2-1 transfer curve for each 8-bit level.
struct LinearTable {
    double level[256];
    LinearTable()
    {
        for (int i = 0; i < 256; i++) {
            double c = i / 255.0;
            level[i] = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        }
    }
};

const double *linear_levels()
{
    static const LinearTable table;  // built once, thread-safe since C++11
    return table.level;
}

// Cube root of the t of CIELAB (0.0088 .. 1.1) to within 1e-14 (relative),
// in a third of the time of std::cbrt: dividing the bits of a double by 3
// divides its exponent by 3, and the constant added puts back two thirds of
// the exponent's bias (a little less, to centre the error), which gives the
// root to within 3.3%; two Halley steps, each of which triples the number of
// right digits, do the rest.
double cube_root(double t)
{
    uint64_t bits;
    memcpy(&bits, &t, sizeof bits);
    bits = bits / 3 + 0x2A9F7893782DA1CEull;
    double y;
    memcpy(&y, &bits, sizeof y);
    for (int step = 0; step < 2; step++) {
        double y3 = y * y * y;
        y *= (y3 + 2 * t) / (2 * y3 + t);
    }
    return y;
}

double lab_f(double t)
{
    const double delta = 6.0 / 29.0;
    return t > delta * delta * delta ? cube_root(t) : t / (3 * delta * delta) + 4.0 / 29.0;
}

// std::pow is several times slower than this.
double pow7(double x)
{
    double x2 = x * x;
    return x2 * x2 * x2 * x;
}

const double pi = 3.14159265358979323846;
const double cos30 = 0.86602540378443864676, sin30 = 0.5;
const double cos6 = 0.99452189536827333692, sin6 = 0.10452846326765347140;
const double cos63 = 0.45399049973954679156, sin63 = 0.89100652418836786236;
double radians(double degrees) { return degrees * (pi / 180); }

// CIEDE2000 between pixels, for one thread. Pictures repeat colours, and
// pairs of colours, a great deal: the last results are kept by colour (Lab)
// and by pair (CIEDE2000, some 90 ns), each in a table indexed by a hash of
// the key, where a new entry replaces the old one.
class PixelDifferences {
public:
    PixelDifferences() : labs(1 << lab_bits, LabEntry{no_colour, {0, 0, 0}}), pairs(1 << pair_bits, PairEntry{no_pair, 0}) {}

    double operator()(const uint8_t *p, const uint8_t *q)
    {
        uint32_t cp = colour(p), cq = colour(q);
        if (cp == cq)
            return 0;
        uint64_t key = (uint64_t)cp << 24 | cq;
        PairEntry &pair = pairs[(key * 0x9E3779B97F4A7C15ull) >> (64 - pair_bits)];
        if (pair.key != key) {
            // Copied: the two colours may share an entry of the Lab table.
            double lab_p[3], lab_q[3];
            memcpy(lab_p, lab_of(cp), sizeof lab_p);
            memcpy(lab_q, lab_of(cq), sizeof lab_q);
            pair.key = key;
            pair.de = ciede2000(lab_p, lab_q);
        }
        return pair.de;
    }

private:
    static constexpr int lab_bits = 12, pair_bits = 14;
    static constexpr uint32_t no_colour = ~(uint32_t)0;
    static constexpr uint64_t no_pair = ~(uint64_t)0;
    struct LabEntry {
        uint32_t colour;
        double lab[3];
    };
    struct PairEntry {
        uint64_t key;
        double de;
    };
    std::vector<LabEntry> labs;
    std::vector<PairEntry> pairs;

    static uint32_t colour(const uint8_t *p) { return (uint32_t)p[0] << 16 | p[1] << 8 | p[2]; }

    const double *lab_of(uint32_t c)
    {
        LabEntry &entry = labs[(c * 0x9E3779B97F4A7C15ull) >> (64 - lab_bits)];
        if (entry.colour != c) {
            entry.colour = c;
            srgb_to_lab(c >> 16, c >> 8 & 255, c & 255, entry.lab);
        }
        return entry.lab;
    }
};

// ---- SSIM --------------------------------------------------------------------

const int ssim_window = 11;

// The Gaussian of sigma 1.5 over 2 * radius + 1 taps, scaled to sum to 1;
// weight[k] is the weight at distance k from the centre.
void ssim_weights(int radius, double weight[])
{
    double sum = 0;
    for (int k = -radius; k <= radius; k++)
        sum += std::exp(-0.5 / (1.5 * 1.5) * k * k);
    for (int k = 0; k <= radius; k++)
        weight[k] = std::exp(-0.5 / (1.5 * 1.5) * k * k) / sum;
}

// The radius of the window along a side of n pixels (see metrics.h).
int ssim_radius(int n) { return n >= ssim_window ? ssim_window / 2 : (n - 1) / 2; }

// Weighted sums over a window of a, b, a^2 + b^2 and ab. SSIM needs the two
// variances only added up, so a^2 and b^2 share one sum.
struct Moments {
    double a, b, sq, ab;
};

// Sums of the SSIM map over the valid positions of output rows [first, end),
// one sum per row. The window is separable: a vertical pass gives, for every
// sample of the picture row (channels interleaved, so a channel's neighbours
// are 3 samples apart), the moments over the window's rows; a horizontal
// pass over those gives the window's moments.
void ssim_rows(const Picture &a, const Picture &b, int first, int end, std::vector<double> &row_sums)
{
    const int ry = ssim_radius(a.h), rx = ssim_radius(a.w);
    double wy[ssim_window / 2 + 1], wx[ssim_window / 2 + 1];
    ssim_weights(ry, wy);
    ssim_weights(rx, wx);
    const double c1 = (0.01 * 255) * (0.01 * 255), c2 = (0.03 * 255) * (0.03 * 255);
    const size_t samples = (size_t)a.w * 3;
    // The vertical pass goes a block of samples at a time, one pair of rows
    // after the other: going down all 2 * 11 rows for each sample instead
    // thrashes the cache when the row length is a multiple of 4096.
    const size_t block = 512;
    std::vector<Moments> column(samples), window(block);

    for (int y = first; y < end; y++) {
        const uint8_t *centre_a = &a.rgb[(y + ry) * samples], *centre_b = &b.rgb[(y + ry) * samples];
        for (size_t start = 0; start < samples; start += block) {
            size_t stop = start + block < samples ? start + block : samples;
            for (size_t i = start; i < stop; i++) {
                int pa = centre_a[i], pb = centre_b[i];
                column[i].a = wy[0] * pa;
                column[i].b = wy[0] * pb;
                column[i].sq = wy[0] * (pa * pa + pb * pb);
                column[i].ab = wy[0] * (pa * pb);
            }
            // The window is symmetric: the two rows at distance k share a
            // weight, and their integer sums are exact.
            for (int k = 1; k <= ry; k++) {
                const uint8_t *above_a = centre_a - k * samples, *below_a = centre_a + k * samples;
                const uint8_t *above_b = centre_b - k * samples, *below_b = centre_b + k * samples;
                for (size_t i = start; i < stop; i++) {
                    int a0 = above_a[i], a1 = below_a[i], b0 = above_b[i], b1 = below_b[i];
                    column[i].a += wy[k] * (a0 + a1);
                    column[i].b += wy[k] * (b0 + b1);
                    column[i].sq += wy[k] * (a0 * a0 + a1 * a1 + b0 * b0 + b1 * b1);
                    column[i].ab += wy[k] * (a0 * b0 + a1 * b1);
                }
            }
        }

        // The horizontal pass, likewise a block and a distance at a time:
        // loops this plain the compiler does two sums at a time (a and b, sq
        // and ab), and the block stays in the cache.
        double row_sum = 0;
        for (size_t start = 3 * rx; start < samples - 3 * rx; start += block) {
            size_t count = start + block < samples - 3 * rx ? block : samples - 3 * rx - start;
            const Moments *centre = &column[start];
            for (size_t i = 0; i < count; i++) {
                window[i].a = wx[0] * centre[i].a;
                window[i].b = wx[0] * centre[i].b;
                window[i].sq = wx[0] * centre[i].sq;
                window[i].ab = wx[0] * centre[i].ab;
            }
            for (int k = 1; k <= rx; k++) {
                const Moments *left = centre - 3 * k, *right = centre + 3 * k;
                for (size_t i = 0; i < count; i++) {
                    window[i].a += wx[k] * (left[i].a + right[i].a);
                    window[i].b += wx[k] * (left[i].b + right[i].b);
                    window[i].sq += wx[k] * (left[i].sq + right[i].sq);
                    window[i].ab += wx[k] * (left[i].ab + right[i].ab);
                }
            }
            for (size_t i = 0; i < count; i++) {
                const Moments &m = window[i];
                double mu_sq = m.a * m.a + m.b * m.b, mu_ab = m.a * m.b;
                row_sum += ((2 * mu_ab + c1) * (2 * (m.ab - mu_ab) + c2)) / ((mu_sq + c1) * (m.sq - mu_sq + c2));
            }
        }
        row_sums[y] = row_sum;
    }
}

// What CIEDE2000 needs of the two hues: the mean hue h' (degrees), its
// cosine and sine, and 2 sin(dh' / 2), dh' being the hue difference.
struct HueTerms {
    double mean, cos_mean, sin_mean, unit_dh;
};

// Sharma, Wu and Dalal's rules on the hue angles, as they give them.
void hue_terms_from_angles(double a1p, double b1, double c1p, double a2p, double b2, double c2p, HueTerms &hue)
{
    // atan2(-0.0, -x) is -180 degrees: the hue of a colour with no chroma is
    // set to 0 outright.
    double h1p = c1p == 0 ? 0 : std::atan2(b1, a1p) * (180 / pi);
    double h2p = c2p == 0 ? 0 : std::atan2(b2, a2p) * (180 / pi);
    if (h1p < 0)
        h1p += 360;
    if (h2p < 0)
        h2p += 360;
    double dhp = 0;
    hue.mean = h1p + h2p;
    if (c1p * c2p != 0) {
        dhp = h2p - h1p;
        if (dhp > 180)
            dhp -= 360;
        else if (dhp < -180)
            dhp += 360;
        if (std::fabs(h1p - h2p) <= 180)
            hue.mean = (h1p + h2p) / 2;
        else if (h1p + h2p < 360)
            hue.mean = (h1p + h2p + 360) / 2;
        else
            hue.mean = (h1p + h2p - 360) / 2;
    }
    hue.unit_dh = 2 * std::sin(radians(dhp / 2));
    hue.cos_mean = std::cos(radians(hue.mean));
    hue.sin_mean = std::sin(radians(hue.mean));
}

// The same from the unit hue vectors u1 and u2, with one arc tangent where
// the rules on angles take two and three sines or cosines. Those rules put
// the mean hue on the bisector of the shorter arc from h1' to h2', which is
// the direction of u1 + u2; |u2 - u1| = 2 |sin(dh' / 2)|, and dh' has the
// sign of u1 x u2. False when the hues are (nearly) opposite: the bisector is
// lost in rounding there, and which of the two the rules take depends on the
// angles' last bits.
bool hue_terms_from_vectors(double u1x, double u1y, double u2x, double u2y, HueTerms &hue)
{
    double sum_x = u1x + u2x, sum_y = u1y + u2y;
    double sum = std::sqrt(sum_x * sum_x + sum_y * sum_y);
    if (sum < 1e-6)
        return false;
    hue.cos_mean = sum_x / sum;
    hue.sin_mean = sum_y / sum;
    hue.mean = std::atan2(sum_y, sum_x) * (180 / pi);
    if (hue.mean < 0)
        hue.mean += 360;
    double dx = u2x - u1x, dy = u2y - u1y;
    hue.unit_dh = std::sqrt(dx * dx + dy * dy);
    if (u1x * u2y - u1y * u2x < 0)
        hue.unit_dh = -hue.unit_dh;
    return true;
}

}  // namespace

void srgb_to_lab(int r, int g, int b, double lab[3])
{
    const double *lin = linear_levels();
    double lr = lin[r & 255], lg = lin[g & 255], lb = lin[b & 255];
    double x = 0.412453 * lr + 0.357580 * lg + 0.180423 * lb;
    double y = 0.212671 * lr + 0.715160 * lg + 0.072169 * lb;
    double z = 0.019334 * lr + 0.119193 * lg + 0.950227 * lb;
    double fx = lab_f(x / 0.95047), fy = lab_f(y), fz = lab_f(z / 1.08883);
    lab[0] = 116 * fy - 16;
    lab[1] = 500 * (fx - fy);
    lab[2] = 200 * (fy - fz);
}

// Sharma, Wu and Dalal (2005), with their names; angles in degrees.
double ciede2000(const double lab1[3], const double lab2[3])
{
    const double pow25_7 = 6103515625.0;  // 25^7
    double c1 = std::sqrt(lab1[1] * lab1[1] + lab1[2] * lab1[2]);
    double c2 = std::sqrt(lab2[1] * lab2[1] + lab2[2] * lab2[2]);
    double c_bar = (c1 + c2) / 2, c_bar7 = pow7(c_bar);
    double g = 0.5 * (1 - std::sqrt(c_bar7 / (c_bar7 + pow25_7)));
    double a1p = (1 + g) * lab1[1], a2p = (1 + g) * lab2[1];
    double c1p = std::sqrt(a1p * a1p + lab1[2] * lab1[2]), c2p = std::sqrt(a2p * a2p + lab2[2] * lab2[2]);
    HueTerms hue;
    if (c1p * c2p == 0 || !hue_terms_from_vectors(a1p / c1p, lab1[2] / c1p, a2p / c2p, lab2[2] / c2p, hue))
        hue_terms_from_angles(a1p, lab1[2], c1p, a2p, lab2[2], c2p, hue);
    double d_hp = std::sqrt(c1p * c2p) * hue.unit_dh;

    double dlp = lab2[0] - lab1[0], dcp = c2p - c1p;
    double l_barp = (lab1[0] + lab2[0]) / 2, c_barp = (c1p + c2p) / 2, h_barp = hue.mean;
    // T = 1 - 0.17 cos(h - 30) + 0.24 cos(2h) + 0.32 cos(3h + 6) - 0.20 cos(4h - 63),
    // its four cosines from the cosine and sine of h alone (multiple angles,
    // then the sums of angles).
    double c = hue.cos_mean, s = hue.sin_mean;
    double c2h = 2 * c * c - 1, s2h = 2 * s * c;
    double c3h = c * (4 * c * c - 3), s3h = s * (3 - 4 * s * s);
    double c4h = 2 * c2h * c2h - 1, s4h = 2 * s2h * c2h;
    double t = 1 - 0.17 * (c * cos30 + s * sin30) + 0.24 * c2h + 0.32 * (c3h * cos6 - s3h * sin6) -
               0.20 * (c4h * cos63 + s4h * sin63);
    double d_theta = 30 * std::exp(-((h_barp - 275) / 25) * ((h_barp - 275) / 25));
    double c_barp7 = pow7(c_barp);
    double r_c = 2 * std::sqrt(c_barp7 / (c_barp7 + pow25_7));
    double l50 = (l_barp - 50) * (l_barp - 50);
    double s_l = 1 + 0.015 * l50 / std::sqrt(20 + l50);
    double s_c = 1 + 0.045 * c_barp;
    double s_h = 1 + 0.015 * c_barp * t;
    double r_t = -std::sin(radians(2 * d_theta)) * r_c;

    double l_term = dlp / s_l, c_term = dcp / s_c, h_term = d_hp / s_h;
    return std::sqrt(l_term * l_term + c_term * c_term + h_term * h_term + r_t * c_term * h_term);
}

double picture_psnr(const Picture &a, const Picture &b)
{
    if (!comparable(a, b))
        return not_a_number;
    // Squared differences are summed as integers, exactly: at most
    // 255^2 * 3 * 2^30 < 2^48.
    std::vector<uint64_t> row_sums(a.h);
    split_rows(a.h, [&](int first, int end) {
        for (int y = first; y < end; y++) {
            const uint8_t *p = &a.rgb[(size_t)y * a.w * 3], *q = &b.rgb[(size_t)y * a.w * 3];
            uint64_t sum = 0;
            for (int i = 0; i < a.w * 3; i++) {
                int d = p[i] - q[i];
                sum += (uint32_t)(d * d);
            }
            row_sums[y] = sum;
        }
    });
    uint64_t total = 0;
    for (uint64_t s : row_sums)
        total += s;
    if (total == 0)
        return std::numeric_limits<double>::infinity();
    double mse = (double)total / ((double)a.w * a.h * 3);
    return 10 * std::log10(255.0 * 255.0 / mse);
}

double picture_ssim(const Picture &a, const Picture &b)
{
    if (!comparable(a, b))
        return not_a_number;
    int valid_rows = a.h - 2 * ssim_radius(a.h), valid_columns = a.w - 2 * ssim_radius(a.w);
    std::vector<double> row_sums(valid_rows);
    split_rows(valid_rows, [&](int first, int end) { ssim_rows(a, b, first, end, row_sums); });
    return add_in_order(row_sums) / ((double)valid_rows * valid_columns * 3);
}

double picture_mean_ciede2000(const Picture &a, const Picture &b)
{
    if (!comparable(a, b))
        return not_a_number;
    std::vector<double> row_sums(a.h);
    split_rows(a.h, [&](int first, int end) {
        PixelDifferences difference;
        for (int y = first; y < end; y++) {
            const uint8_t *p = &a.rgb[(size_t)y * a.w * 3], *q = &b.rgb[(size_t)y * a.w * 3];
            double sum = 0;
            for (int x = 0; x < a.w; x++)
                sum += difference(p + 3 * x, q + 3 * x);
            row_sums[y] = sum;
        }
    });
    return add_in_order(row_sums) / ((double)a.w * a.h);
}

Quality compare_pictures(const Picture &a, const Picture &b)
{
    Quality quality;
    quality.psnr_db = picture_psnr(a, b);
    quality.ssim = picture_ssim(a, b);
    quality.ciede2000 = picture_mean_ciede2000(a, b);
    return quality;
}

Picture difference_picture(const Picture &a, const Picture &b)
{
    Picture diff;
    if (!comparable(a, b))
        return diff;
    diff.w = a.w;
    diff.h = a.h;
    diff.rgb.resize(a.rgb.size());
    split_rows(a.h, [&](int first, int end) {
        PixelDifferences difference;
        for (size_t i = (size_t)first * a.w * 3; i < (size_t)end * a.w * 3; i += 3) {
            double de = difference(&a.rgb[i], &b.rgb[i]);
            // Each of red, green, blue in turn rises over 4 units of dE,
            // rounded up so that any difference at all shows.
            for (int c = 0; c < 3; c++) {
                double level = std::ceil((de - 4 * c) * (255.0 / 4));
                diff.rgb[i + c] = level <= 0 ? 0 : level >= 255 ? 255 : (uint8_t)level;
            }
        }
    });
    return diff;
}
