#include "files/describe.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "files/bmp.h"
#include "files/detect.h"
#include "files/load.h"

Error describe_file(Input &in, const PictureLimits &limits, FileFacts *out)
{
    try {
        std::vector<uint8_t> head;
        if (Error e = read_head(in, format_head_size, &head))
            return e;
        if (!strcmp(picture_format(head.data(), head.size()), "BMP")) {
            if (Error e = read_head(in, bmp_head_size, &head))
                return e;
            const uint64_t size = in.regular || in.all_read ? input_size(in) : UINT64_MAX;
            BmpInfo info;
            if (Error e = bmp_read_header(head.data(), head.size(), size, 2 * PictureLimits::max_side, false, &info))
                return e;
            Error rule = bmp_carrier_rule(info);
            out->format = "BMP";
            out->w = info.width;
            out->h = info.height;
            out->carrier_w = rule ? 0 : info.width;
            out->carrier_h = rule ? 0 : info.height / 2;
            out->not_a_carrier = rule.detail;
            return rule ? check_picture_size((uint64_t)info.width, (uint64_t)info.height, limits)
                        : check_carrier_size((uint64_t)info.width, (uint64_t)info.height, limits);
        }
        std::unique_ptr<RowSource> source;
        Error e = open_carrier(in, limits, &source);
        if (!e) {
            out->format = source->format;
            out->w = source->w;
            out->h = source->file_rows;
            out->carrier_w = source->w;
            out->carrier_h = source->h;
            return Error();
        }
        if (e.kind != Error::not_a_carrier)
            return e;
        out->not_a_carrier = e.detail;
        e = open_picture(in, limits, &source);
        if (!e) {
            out->format = source->format;
            out->w = source->w;
            out->h = source->h;
        }
        return e;
    } catch (const std::bad_alloc &) {
        return unreadable("not enough memory");
    }
}
