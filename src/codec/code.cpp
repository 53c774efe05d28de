#include "codec/code.h"

#include "codec/colour.h"

void code_to_hsv(uint16_t code, float *h, float *s, float *v)
{
    *h = hue_angle(code_hue(code));
    *s = (float)((double)code_saturation(code) / 8.0);
    *v = (float)(code_value(code) * 2);
}

void decode_code(uint16_t code, uint8_t rgb[3])
{
    float h, s, v, r, g, b;
    code_to_hsv(code, &h, &s, &v);
    HSVtoRGB(h, s, v, &r, &g, &b);
    rgb[0] = (uint8_t)trunc_to_int(r);
    rgb[1] = (uint8_t)trunc_to_int(g);
    rgb[2] = (uint8_t)trunc_to_int(b);
}
