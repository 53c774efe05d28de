#include "files/save.h"

#include <strings.h>

#include <new>
#include <vector>

#include "files/bmp.h"
#include "files/png.h"
#include "files/picture.h"
#include "files/tgapcx.h"

bool picture_format_for(const std::string &name, FileFormat *format)
{
    if (name == "-") {
        *format = FileFormat::bmp;
        return true;
    }
    size_t dot = name.find_last_of("./");
    const char *ext = dot == std::string::npos || name[dot] == '/' ? "" : name.c_str() + dot;
    static const struct {
        const char *ext;
        FileFormat format;
    } known[] = {{".bmp", FileFormat::bmp}, {".png", FileFormat::png}, {".tga", FileFormat::tga}, {".pcx", FileFormat::pcx}};
    for (const auto &k : known)
        if (!strcasecmp(ext, k.ext)) {
            *format = k.format;
            return true;
        }
    return false;
}

FileFormat carrier_format_for(const std::string &name)
{
    FileFormat f;
    return picture_format_for(name, &f) && f == FileFormat::png ? FileFormat::png : FileFormat::bmp;
}

namespace {

// BMP rows straight into the file: a picture's (one file row an item) or a
// carrier's (two). The header goes first; blocks then go to their place,
// or one after another from the bottom of a bottom-up file for a stream.
class BmpRowsOut {
public:
    BmpRowsOut(OutputFile &out, int w, int items, int bpp, int per) : out(out), items(items), per(per)
    {
        stride = bmp_stride(w, bpp);
        header = bmp_header(w, items * per, bpp);
        next = header.size();
    }

    std::string start() { return out.seekable() ? out.write_at(0, header.data(), header.size()) : out.write(header.data(), header.size()); }

    // The block for items [first, first + count): its first item's first
    // row and the step to the next item's.
    uint8_t *room(int first, int count, ptrdiff_t *step, Block *block)
    {
        Block &b = block ? *block : own;
        b.first = first;
        b.count = count;
        // Zeroed when made, so that the padding the codec never writes is 0:
        // a row's padding lies at the same place in every block.
        size_t size = (size_t)((uint64_t)count * per * stride);
        if (b.bytes.size() < size)
            b.bytes.assign(size, 0);
        *step = -(ptrdiff_t)(per * stride);
        return b.bytes.data() + size - stride;
    }

    std::string put(Block *block)
    {
        const Block &b = block ? *block : own;
        uint64_t at = header.size() + (uint64_t)(items - b.first - b.count) * per * stride;
        size_t size = (size_t)((uint64_t)b.count * per * stride);
        if (out.seekable())
            return out.write_at(at, b.bytes.data(), size);
        if (at != next)
            return "rows out of order for a stream";
        next += size;
        return out.write(b.bytes.data(), size);
    }

    uint64_t row_stride() const { return stride; }

private:
    OutputFile &out;
    int items, per;
    uint64_t stride, next = 0;
    std::vector<uint8_t> header;
    Block own;
};

class BmpPictureSink : public PictureSink {
public:
    BmpPictureSink(OutputFile &out, int w, int h) : out(out), rows(out, w, h, 24, 1) { sequential = !out.seekable(); }
    std::string start() { return rows.start(); }
    std::string room(int first, int count, PixelSpace *space, Block *block) override
    {
        space->first = rows.room(first, count, &space->stride, block);
        space->layout = gfx16_bgr;
        return "";
    }
    std::string put(Block *block) override { return rows.put(block); }
    std::string finish() override { return out.finish(); }

private:
    OutputFile &out;
    BmpRowsOut rows;
};

class BmpCarrierSink : public CarrierSink {
public:
    BmpCarrierSink(OutputFile &out, int w, int h) : out(out), rows(out, w, h, 8, 2) { sequential = !out.seekable(); }
    std::string start() { return rows.start(); }
    std::string room(int first, int count, CodeSpace *space, Block *block) override
    {
        // Row 2y of the carrier lies below row 2y + 1 in a bottom-up file.
        space->low = rows.room(first, count, &space->stride, block);
        space->high = space->low - rows.row_stride();
        return "";
    }
    std::string put(Block *block) override { return rows.put(block); }
    std::string finish() override { return out.finish(); }

private:
    OutputFile &out;
    BmpRowsOut rows;
};

// A picture held whole and written at the end.
class HeldPictureSink : public PictureSink {
public:
    HeldPictureSink(OutputFile &out, FileFormat format, int w, int h) : out(out), format(format)
    {
        picture.w = w;
        picture.h = h;
        picture.rgb.resize((size_t)w * h * 3);
    }
    std::string room(int first, int, PixelSpace *space, Block *) override
    {
        space->first = picture.rgb.data() + (size_t)first * picture.w * 3;
        space->stride = (ptrdiff_t)picture.w * 3;
        space->layout = gfx16_rgb;
        return "";
    }
    std::string put(Block *) override { return ""; }
    std::string finish() override
    {
        FILE *f = out.stream();
        if (!f)
            return "cannot write the file";
        std::string why = format == FileFormat::png ? write_png_picture(f, picture)
                          : format == FileFormat::tga ? write_tga(f, picture)
                                                      : write_pcx(f, picture);
        return why.empty() ? out.finish() : why;
    }

private:
    OutputFile &out;
    FileFormat format;
    Picture picture;
};

class PngCarrierSink : public CarrierSink {
public:
    PngCarrierSink(OutputFile &out, int w, int h) : out(out), w(w), h(h), indices((size_t)w * 2 * h) {}
    std::string room(int first, int, CodeSpace *space, Block *) override
    {
        space->low = indices.data() + (size_t)2 * first * w;
        space->high = space->low + w;
        space->stride = (ptrdiff_t)2 * w;
        return "";
    }
    std::string put(Block *) override { return ""; }
    std::string finish() override
    {
        FILE *f = out.stream();
        if (!f)
            return "cannot write the file";
        std::string why = write_png_carrier(f, w, 2 * h, indices.data());
        return why.empty() ? out.finish() : why;
    }

private:
    OutputFile &out;
    int w, h;
    std::vector<uint8_t> indices;
};

} // namespace

namespace {

// A BMP sink, whose header goes out at once, or one that holds the rows.
template <class Sink, class Bmp, class MakeHeld>
std::string make_sink(FileFormat format, OutputFile &out, int w, int h, std::unique_ptr<Sink> *sink,
                      MakeHeld make_held)
{
    try {
        if (format != FileFormat::bmp) {
            *sink = make_held();
            return "";
        }
        auto bmp = std::make_unique<Bmp>(out, w, h);
        std::string why = bmp->start();
        if (why.empty())
            *sink = std::move(bmp);
        return why;
    } catch (const std::bad_alloc &) {
        return "not enough memory";
    }
}

} // namespace

std::string picture_sink(FileFormat format, OutputFile &out, int w, int h, std::unique_ptr<PictureSink> *sink)
{
    return make_sink<PictureSink, BmpPictureSink>(
        format, out, w, h, sink, [&] { return std::make_unique<HeldPictureSink>(out, format, w, h); });
}

std::string carrier_sink(FileFormat format, OutputFile &out, int w, int h, std::unique_ptr<CarrierSink> *sink)
{
    return make_sink<CarrierSink, BmpCarrierSink>(format, out, w, h, sink,
                                                  [&] { return std::make_unique<PngCarrierSink>(out, w, h); });
}
