#include "files/sink.h"

#include <strings.h>

#include <new>
#include <vector>

#include "files/bmp.h"
#include "files/png.h"
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

// BMP rows straight into the file: a picture's (24 bits, one file row an
// item) or a carrier's (8 bits, two). The header goes first; blocks then go
// to their place, or one after another from the bottom of a bottom-up file
// for a stream.
class BmpSink : public RowSink {
public:
    BmpSink(OutputFile &to, int w, int item_count, int rows_an_item)
        : out(to), items(item_count), stride(bmp_stride(w, rows_an_item == 1 ? 24 : 8)),
          header_size(bmp_header_size(rows_an_item == 1 ? 24 : 8)), next(header_size)
    {
        rows_per_item = rows_an_item;
        sequential = !out.seekable();
        bmp_header(w, items * rows_per_item, rows_per_item == 1 ? 24 : 8, header);
    }

    Error start() { return out.seekable() ? out.write_at(0, header, header_size) : out.write(header, header_size); }

    Error room(int first, int count, Rows *space, Block *block) override
    {
        Block &b = block ? *block : own;
        b.first = first;
        b.count = count;
        // Zeroed when made, so that the padding the codec never writes is 0:
        // a row's padding lies at the same place in every block.
        size_t size = (size_t)((uint64_t)count * rows_per_item * stride);
        if (b.bytes.size() < size)
            b.bytes.assign(size, 0);
        // Bottom-up: the block's first item's row, and a carrier item's row
        // of low bytes, 2y, lies below the row after it.
        space->first = b.bytes.data() + size - stride;
        space->step = -(ptrdiff_t)(rows_per_item * stride);
        space->high = -(ptrdiff_t)stride;
        space->layout = gfx16_bgr;
        return Error();
    }

    Error put(Block *block) override
    {
        const Block &b = block ? *block : own;
        uint64_t at = header_size + (uint64_t)(items - b.first - b.count) * rows_per_item * stride;
        size_t size = (size_t)((uint64_t)b.count * rows_per_item * stride);
        if (out.seekable())
            return out.write_at(at, b.bytes.data(), size);
        if (at != next)
            return unwritable("rows out of order for a stream");
        next += size;
        return out.write(b.bytes.data(), size);
    }

    Error finish() override { return out.finish(); }

private:
    OutputFile &out;
    int items;
    uint64_t stride;
    size_t header_size;
    uint8_t header[bmp_header_most];
    uint64_t next;
    Block own;
};

// Items held whole, top row first, and written at the end by a writer of
// the format: a picture's pixels (3 bytes each, red first) or a carrier's
// bytes.
typedef Error (*WholeWriter)(FILE *f, int w, int rows, const uint8_t *bytes);

class HeldSink : public RowSink {
public:
    HeldSink(OutputFile &to, WholeWriter write, int width, int items, int rows_an_item)
        : out(to), writer(write), w(width), row_bytes(rows_an_item == 1 ? 3 * width : width),
          file_rows(items * rows_an_item), bytes((size_t)row_bytes * file_rows)
    {
        rows_per_item = rows_an_item;
    }

    Error room(int first, int, Rows *space, Block *) override
    {
        space->first = bytes.data() + (size_t)first * rows_per_item * row_bytes;
        space->step = (ptrdiff_t)rows_per_item * row_bytes;
        space->high = row_bytes;
        space->layout = gfx16_rgb;
        return Error();
    }

    Error put(Block *) override { return Error(); }

    Error finish() override
    {
        FILE *f = out.stream();
        if (!f)
            return unwritable("cannot write the file");
        if (Error e = writer(f, w, file_rows, bytes.data()))
            return e;
        return out.finish();
    }

private:
    OutputFile &out;
    WholeWriter writer;
    int w, row_bytes, file_rows;
    std::vector<uint8_t> bytes;
};

} // namespace

Error open_sink(FileFormat format, int rows_per_item, OutputFile &out, int w, int h, std::unique_ptr<RowSink> *sink)
{
    try {
        if (format == FileFormat::bmp) {
            auto bmp = std::make_unique<BmpSink>(out, w, h, rows_per_item);
            if (Error e = bmp->start())
                return e;
            *sink = std::move(bmp);
            return Error();
        }
        WholeWriter writer = rows_per_item == 2         ? write_png_carrier
                             : format == FileFormat::png ? write_png_picture
                             : format == FileFormat::tga ? write_tga
                                                         : write_pcx;
        *sink = std::make_unique<HeldSink>(out, writer, w, h, rows_per_item);
        return Error();
    } catch (const std::bad_alloc &) {
        return Error(Error::out_of_memory);
    }
}
