#include "files/jpeg.h"

#include <turbojpeg.h>

#include <cstring>

#include "codec/bytes.h"
#include "files/exif.h"

namespace {

// Each scan of a progressive JPEG is another pass over every block of the
// picture, so a small file can ask for hundreds of passes. libjpeg writes
// 10 scans for a colour picture and 6 for a grey one, encoders that search
// for a smaller script (mozjpeg) a few more, never more than a few dozen;
// a sequential JPEG has one, or one a component. A file of more than 100
// is made to cost, not to show a picture.
const unsigned most_jpeg_scans = 100;

// The scans (start-of-scan markers) of a JPEG stream, counted by walking its
// marker segments and skipping each scan's entropy-coded data, where a 0xFF
// byte is followed by 0 (a stuffed byte), a restart marker or more 0xFF
// (fill) and anything else is the next marker. The count stops at the end of
// the image or where the stream is damaged; the decoder finds the damage.
unsigned jpeg_scans(const uint8_t *data, size_t size)
{
    unsigned scans = 0;
    size_t at = 2;
    if (size < at)
        return 0;
    while (size - at >= 2 && data[at] == 0xFF) {
        unsigned marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            at++;
            continue;
        }
        at += 2;
        if (marker == 0xD9)  // end of image
            break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7))  // no segment
            continue;
        if (size - at < 2)
            break;
        size_t length = be16(data + at);
        if (length < 2 || length > size - at)
            break;
        at += length;
        if (marker != 0xDA)
            continue;
        scans++;
        for (;;) {
            const uint8_t *ff = (const uint8_t *)memchr(data + at, 0xFF, size - at);
            if (!ff || ff + 1 == data + size)
                return scans;
            at = ff - data;
            const unsigned next = data[at + 1];
            if (next != 0 && next != 0xFF && (next < 0xD0 || next > 0xD7))
                break;
            at += next == 0xFF ? 1 : 2;
        }
    }
    return scans;
}

Error jpeg_reason(tjhandle decoder)
{
    const char *message = tjGetErrorStr2(decoder);
    if (strstr(message, "Premature end of JPEG file"))
        return unreadable("truncated file");
    return unreadable(library_reason(message));
}

Error read_jpeg_with(tjhandle decoder, const uint8_t *data, size_t size, const PictureLimits &limits,
                           Picture *out)
{
    int w = 0, h = 0, subsampling, colour_space;
    if (tjDecompressHeader3(decoder, data, (unsigned long)size, &w, &h, &subsampling, &colour_space) != 0)
        return jpeg_reason(decoder);
    // TurboJPEG calls it a success, and sets nothing, when the stream ends
    // before a frame header: a tables-only JPEG, or one cut short.
    if (w == 0 && h == 0)
        return unreadable("truncated file, or a JPEG of tables only");
    if (colour_space == TJCS_CMYK || colour_space == TJCS_YCCK)
        return unreadable("CMYK JPEG not supported: its colours need the print profile it was made for");
    Error why = check_picture_size(w, h, limits);
    if (why)
        return why;
    const unsigned scans = jpeg_scans(data, size);
    if (scans > most_jpeg_scans)
        return unreadable("JPEG of " + std::to_string(scans) + " scans, more than the limit of " +
                          std::to_string(most_jpeg_scans));
    why = allocate_pixels(&out->rgb, (size_t)w * h * 3);
    if (why)
        return why;
    // Stop at the first warning: a truncated or corrupt stream would
    // otherwise be decoded to the end as grey. (libjpeg's own limit on scans
    // stands behind ours.)
    const int flags = TJFLAG_ACCURATEDCT | TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    if (tjDecompress2(decoder, data, (unsigned long)size, out->rgb.data(), w, 0, h, TJPF_RGB, flags) != 0)
        return jpeg_reason(decoder);
    out->w = w;
    out->h = h;
    return apply_orientation(out, jpeg_orientation(data, size));
}

}  // namespace

Error read_jpeg(const uint8_t *data, size_t size, const PictureLimits &limits, Picture *out)
{
    *out = Picture();
    if (size == 0)
        return unreadable("empty file");
    tjhandle decoder = tjInitDecompress();
    if (!decoder)
        return unreadable("cannot start the JPEG decoder");
    Error why = read_jpeg_with(decoder, data, size, limits, out);
    tjDestroy(decoder);
    if (why)
        *out = Picture();
    return why;
}
