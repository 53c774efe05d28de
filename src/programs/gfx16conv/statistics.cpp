// The quality numbers of encode --stats and compare.
#include <cmath>
#include <new>
#include <vector>

#include "gfx16/codec.h"
#include "programs/gfx16conv/gfx16conv.h"

Error measure(const Picture &picture, Encoder encoder, Quality *quality)
{
    try {
        std::vector<uint8_t> codes((size_t)picture.w * 2 * picture.h);
        Picture decoded;
        decoded.w = picture.w;
        decoded.h = picture.h;
        decoded.rgb.resize(picture.rgb.size());
        auto encode = encoder == Encoder::dithered ? gfx16_encode_dithered
                      : encoder == Encoder::best   ? gfx16_encode_best
                                                   : gfx16_encode;
        int status = encode(picture.rgb.data(), picture.w, picture.h, codes.data(), nullptr);
        if (status == 0)
            status = gfx16_decode(codes.data(), picture.w, 2 * picture.h, decoded.rgb.data());
        if (status != 0)
            return Error(status == GFX16_ENOMEM ? Error::codec_out_of_memory : Error::codec_refused);
        *quality = compare_pictures(picture, decoded);
        return Error();
    } catch (const std::bad_alloc &) {
        return Error(Error::out_of_memory);
    }
}

void print_quality(FILE *to, const Quality &q, const char *indent)
{
    if (std::isinf(q.psnr_db))
        fprintf(to, "%sPSNR inf dB (identical)\n", indent);
    else
        fprintf(to, "%sPSNR %.2f dB\n", indent, q.psnr_db);
    fprintf(to, "%sSSIM %.4f\n%sCIEDE2000 %.3f\n", indent, q.ssim, indent, q.ciede2000);
}
