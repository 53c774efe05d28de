#include "programs/gfx16/bitmap_codec.h"

#include <allegro.h>

BITMAP *bmp;
BITMAP *bmp2;

// Each channel a whole byte at the place its shift gives, on this
// little-endian machine.
gfx16_layout allegro_layout(void)
{
    return {4, _rgb_r_shift_32 / 8, _rgb_g_shift_32 / 8, _rgb_b_shift_32 / 8};
}

// Rows of a memory bitmap are evenly spaced.
ptrdiff_t bitmap_stride(BITMAP *b)
{
    return b->h > 1 ? b->line[1] - b->line[0] : 0;
}

int encode_picture(BITMAP *picture, BITMAP *carrier)
{
    if (!picture || !carrier || bitmap_color_depth(picture) != 32 || bitmap_color_depth(carrier) != 8 ||
        !is_memory_bitmap(picture) || !is_memory_bitmap(carrier) || carrier->w != picture->w ||
        carrier->h != 2 * picture->h)
        return -1;
    const gfx16_layout layout = allegro_layout();
    return gfx16_encode_rows(picture->line[0], bitmap_stride(picture), &layout, picture->w, 0, picture->h,
                             carrier->line[0], carrier->line[1], 2 * bitmap_stride(carrier), picture->line[0],
                             bitmap_stride(picture), &layout);
}

int decode_picture(BITMAP *carrier, BITMAP *picture)
{
    if (!picture || !carrier || bitmap_color_depth(picture) != 32 || bitmap_color_depth(carrier) != 8 ||
        !is_memory_bitmap(picture) || !is_memory_bitmap(carrier) || picture->w != carrier->w ||
        picture->h != carrier->h / 2 || picture->h < 1)
        return -1;
    const gfx16_layout layout = allegro_layout();
    return gfx16_decode_rows(carrier->line[0], carrier->line[1], 2 * bitmap_stride(carrier), carrier->w, picture->h,
                             picture->line[0], bitmap_stride(picture), &layout);
}

void recolour_gfx(void)
{
    encode_picture(bmp, bmp2);
    blit(bmp, screen, 0, 0, 0, 0, bmp->w, bmp->h);
}

void convert_gfx(void)
{
    decode_picture(bmp, bmp2);
    blit(bmp2, screen, 0, 0, 0, 0, bmp2->w, bmp2->h);
}
