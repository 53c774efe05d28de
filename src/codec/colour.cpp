#include "codec/colour.h"

#include <cmath>

int32_t trunc_to_int(double x)
{
    if (!(x > -2147483649.0 && x < 2147483648.0))  // NaN fails both tests
        return INT32_MIN;
    return (int32_t)x;
}

void RGBtoHSV(float r, float g, float b, float *h, float *s, float *v)
{
    float min = g < b ? g : b;
    min = r < min ? r : min;
    float max = g > b ? g : b;
    max = r > max ? r : max;

    *v = max;
    float delta = (float)((double)max - (double)min);
    if (max == 0) {
        *s = 0;
        *h = -1;
        return;
    }
    *s = (float)((double)delta / (double)max);

    // A grey above black divides 0 by 0 here and its hue is NaN: callers rely
    // on that rather than on a guard.
    float hue;
    if (r == max)
        hue = (float)(((double)g - (double)b) / (double)delta);
    else if (g == max)
        hue = (float)(2.0 + ((double)b - (double)r) / (double)delta);
    else
        hue = (float)(4.0 + ((double)r - (double)g) / (double)delta);
    hue = (float)((double)hue * 60.0);
    if (hue < 0)
        hue = (float)((double)hue + 360.0);
    *h = hue;
}

void HSVtoRGB(float h, float s, float v, float *r, float *g, float *b)
{
    if (s == 0) {
        *b = v;
        *g = v;
        *r = v;
        return;
    }
    float scaled = (float)((double)h / 60.0);
    int32_t sector = trunc_to_int(std::floor((double)scaled));
    float f = (float)((double)scaled - (double)sector);
    float p = (float)((1.0 - (double)s) * (double)v);
    float q = (float)((1.0 - (double)s * (double)f) * (double)v);
    float t = (float)((1.0 - (1.0 - (double)f) * (double)s) * (double)v);

    // Sectors outside 0..4 (6 and above from a hue of 360, negative from the
    // hue -1 of black) take the magenta row, as the sector table always has.
    switch (sector) {
    case 0: *r = v; *g = t; *b = p; break;
    case 1: *r = q; *g = v; *b = p; break;
    case 2: *r = p; *g = v; *b = t; break;
    case 3: *r = p; *g = q; *b = v; break;
    case 4: *r = t; *g = p; *b = v; break;
    default: *r = v; *g = p; *b = q; break;
    }
}
