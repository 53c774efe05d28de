#include "bmpread.h"

#include <allegro.h>

#include <SDL_error.h>
#include <SDL_pixels.h>
#include <SDL_rwops.h>
#include <SDL_surface.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int max_side = 32768;

// The longest header we read (BITMAPV5HEADER) and the three masks that may
// follow a 40-byte one.
const size_t file_header_size = 14;
const size_t max_head = file_header_size + 124 + 12;

enum { BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3 };

char last_error[256];
uint64_t pixel_limit;

const char *fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(last_error, sizeof last_error, format, args);
    va_end(args);
    return last_error;
}

uint64_t default_pixel_limit()
{
    long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0)
        return (uint64_t)max_side * max_side;
    return (uint64_t)pages * (uint64_t)page_size / (2 * 4);
}

uint32_t u16(const uint8_t *p) { return p[0] | p[1] << 8; }
uint32_t u32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

// What the checks learn about a file, all of it validated.
struct Layout {
    int width, height;
    bool top_down;
    int bpp;
    int compression;
    uint32_t masks[4];             // red, green, blue, alpha (alpha may be 0)
    uint64_t palette_at;           // file offset of the palette
    int entry_size;                // 3 (OS/2) or 4 bytes a palette entry
    int colours;                   // palette entries; 0 for true colour
    uint64_t offset;               // of the pixel data
    uint64_t end;                  // bytes of the file the decoder needs
};

bool is_run(uint32_t mask)
{
    uint32_t low = mask & -mask;
    return ((mask + low) & mask) == 0;
}

const char *check_masks(Layout *l)
{
    const uint32_t *m = l->masks;
    if (!m[0] || !m[1] || !m[2])
        return "bit fields are zero or overlap";
    for (int i = 0; i < 4; i++)
        for (int j = i + 1; j < 4; j++)
            if (m[i] & m[j])
                return "bit fields are zero or overlap";
    for (int i = 0; i < 4; i++) {
        if (l->bpp == 16 && m[i] >> 16)
            return "bit fields do not fit the pixel";
        if (m[i] && !is_run(m[i]))
            return "bit fields are not runs of bits";
    }
    // The decoder handles the layouts it has a pixel format for (every
    // ordering of 8-8-8(-8), 5-5-5(-1), 5-6-5, 4-4-4(-4), 2-10-10-10).
    if (SDL_MasksToPixelFormatEnum(l->bpp, m[0], m[1], m[2], m[3]) == SDL_PIXELFORMAT_UNKNOWN)
        return "unsupported bit fields";
    return NULL;
}

// Checks everything the headers say, against the size of the file, and
// sets l->end. `p` holds the first `n` bytes of the file (all of it, or at
// least max_head bytes).
const char *check_headers(const uint8_t *p, size_t n, uint64_t file_size, Layout *l)
{
    if (n < 2 || p[0] != 'B' || p[1] != 'M')
        return "not a BMP file";
    if (n < file_header_size + 4)
        return "file too short for its headers";
    l->offset = u32(p + 10);
    uint32_t header = u32(p + 14);
    if (header != 12 && header != 40 && header != 52 && header != 56 && header != 108 && header != 124)
        return "unknown info header size";
    if (n < file_header_size + header)
        return "file too short for its headers";
    const uint8_t *h = p + file_header_size;

    int64_t width, height;
    uint32_t planes, size_image = 0, colours_used = 0;
    if (header == 12) {
        // OS/2: unsigned 16-bit sizes, always bottom-up, never compressed.
        width = u16(h + 4);
        height = u16(h + 6);
        planes = u16(h + 8);
        l->bpp = (int)u16(h + 10);
        l->compression = BI_RGB;
    } else {
        width = (int32_t)u32(h + 4);
        height = (int32_t)u32(h + 8);
        planes = u16(h + 12);
        l->bpp = (int)u16(h + 14);
        uint32_t compression = u32(h + 16);
        l->compression = compression > 3 ? -1 : (int)compression;
        size_image = u32(h + 20);
        colours_used = u32(h + 32);
    }
    if (planes != 1)
        return "planes field is not 1";
    if (width == 0 || height == 0)
        return "width or height is 0";
    if (width < 0)
        return "negative width";
    l->top_down = height < 0;
    if (height < 0)
        height = -height;
    if (width > max_side || height > max_side)
        return "picture larger than 32768 pixels a side";
    l->width = (int)width;
    l->height = (int)height;
    uint64_t pixels = (uint64_t)width * (uint64_t)height;
    if (pixels > (pixel_limit ? pixel_limit : default_pixel_limit()))
        return "picture too large for this machine's memory";

    int bpp = l->bpp;
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        return "unsupported bits per pixel";
    switch (l->compression) {
    case BI_RGB:
        break;
    case BI_RLE8:
    case BI_RLE4:
        if (bpp != (l->compression == BI_RLE8 ? 8 : 4))
            return "compression does not fit the bits per pixel";
        if (l->top_down)
            return "top-down picture cannot be compressed";
        break;
    case BI_BITFIELDS:
        if (bpp != 16 && bpp != 32)
            return "compression does not fit the bits per pixel";
        break;
    default:
        return "unsupported compression";
    }

    // Bit fields: inside a header of 52 bytes or more (alpha from 56), or
    // three words after a 40-byte one.
    uint64_t headers_end = file_header_size + header;
    memset(l->masks, 0, sizeof l->masks);
    if (l->compression == BI_BITFIELDS) {
        const uint8_t *m = h + 40;
        if (header == 40) {
            headers_end += 12;
            if (n < headers_end)
                return "file too short for its headers";
        }
        for (int i = 0; i < (header >= 56 ? 4 : 3); i++)
            l->masks[i] = u32(m + 4 * i);
        if (const char *why = check_masks(l))
            return why;
    }

    l->colours = 0;
    l->entry_size = header == 12 ? 3 : 4;
    l->palette_at = headers_end;
    if (bpp <= 8) {
        uint32_t most = 1u << bpp;
        if (colours_used > most)
            return "colour count out of range";
        if (colours_used) {
            l->colours = (int)colours_used;
        } else {
            // No count: a full palette, or as much of one as the pixel data
            // leaves room for (some writers store only the colours they use).
            uint64_t room = l->offset > headers_end ? (l->offset - headers_end) / l->entry_size : 0;
            l->colours = (int)(room < most ? room : most);
            if (l->colours == 0)
                return "pixel data offset inside the headers or palette";
        }
        headers_end += (uint64_t)l->colours * l->entry_size;
        if (file_size < headers_end)
            return "file too short for its palette";
    }
    if (l->offset < headers_end)
        return "pixel data offset inside the headers or palette";
    if (l->offset >= file_size)
        return "pixel data shorter than the header says";

    if (l->compression == BI_RLE8 || l->compression == BI_RLE4) {
        if (size_image && l->offset + size_image > file_size)
            return "pixel data shorter than the header says";
        // The longest stream that means anything: a delta or a run of one
        // for every pixel, an end-of-line for every row. The rest is never
        // read.
        uint64_t longest = 4 * pixels + 2 * (uint64_t)height + 2;
        l->end = file_size - l->offset < longest ? file_size : l->offset + longest;
    } else {
        uint64_t stride = ((uint64_t)width * bpp + 31) / 32 * 4;
        l->end = l->offset + stride * (uint64_t)height;
        if (l->end > file_size)
            return "pixel data shorter than the header says";
    }
    return NULL;
}

// Walks an RLE stream as the decoder will and makes sure that it draws
// nothing outside the picture and no colour outside the palette, and that
// it ends with its end mark. Skipped pixels keep index 0.
const char *check_rle(const uint8_t *p, uint64_t size, const Layout &l)
{
    bool rle4 = l.compression == BI_RLE4;
    uint64_t i = 0;
    int64_t x = 0, y = 0;  // y counts rows from the bottom
    for (;;) {
        if (size - i < 2)
            return "RLE data ends before its end mark";
        int count = p[i], code = p[i + 1];
        i += 2;
        if (count) {
            if (y >= l.height || x + count > l.width)
                return "RLE run leaves the picture";
            int first = rle4 ? code >> 4 : code, second = rle4 ? code & 15 : code;
            if (first >= l.colours || (count > 1 && second >= l.colours))
                return "palette index beyond the palette";
            x += count;
        } else if (code == 0) {
            x = 0;
            if (y < l.height)
                y++;
        } else if (code == 1) {
            return NULL;
        } else if (code == 2) {
            if (size - i < 2)
                return "RLE data ends before its end mark";
            x += p[i];
            y += p[i + 1];
            i += 2;
            if (x > l.width || y >= l.height)
                return "RLE delta leaves the picture";
        } else {
            uint64_t bytes = rle4 ? (code + 1) / 2 : code;
            bytes += bytes & 1;
            if (size - i < bytes)
                return "RLE data ends before its end mark";
            if (y >= l.height || x + code > l.width)
                return "RLE run leaves the picture";
            for (int k = 0; k < code; k++) {
                int index = rle4 ? (p[i + k / 2] >> (k & 1 ? 0 : 4)) & 15 : p[i + k];
                if (index >= l.colours)
                    return "palette index beyond the palette";
            }
            x += code;
            i += bytes;
        }
    }
}

// Every index of uncompressed paletted pixels must have a colour.
const char *check_indices(const uint8_t *p, const Layout &l)
{
    if (l.colours >= 1 << l.bpp)
        return NULL;
    uint64_t stride = ((uint64_t)l.width * l.bpp + 31) / 32 * 4;
    for (int y = 0; y < l.height; y++, p += stride)
        for (int x = 0; x < l.width; x++) {
            int index = l.bpp == 8 ? p[x]
                                   : (p[x * l.bpp / 8] >> (8 - l.bpp - (x * l.bpp) % 8)) & ((1 << l.bpp) - 1);
            if (index >= l.colours)
                return "palette index beyond the palette";
        }
    return NULL;
}

const char *check_body(const uint8_t *file, const Layout &l)
{
    if (l.compression == BI_RLE8 || l.compression == BI_RLE4)
        return check_rle(file + l.offset, l.end - l.offset, l);
    if (l.bpp <= 8)
        return check_indices(file + l.offset, l);
    return NULL;
}

int conversion_flag(int from, int to)
{
    struct Pair {
        int from, to, flag;
    };
    static const Pair pairs[] = {
        {8, 15, COLORCONV_8_TO_15},   {8, 16, COLORCONV_8_TO_16},   {8, 24, COLORCONV_8_TO_24},
        {8, 32, COLORCONV_8_TO_32},   {24, 15, COLORCONV_24_TO_15}, {24, 16, COLORCONV_24_TO_16},
        {24, 32, COLORCONV_24_TO_32}, {32, 15, COLORCONV_32_TO_15}, {32, 16, COLORCONV_32_TO_16},
        {32, 24, COLORCONV_32_TO_24},
    };
    for (const Pair &p : pairs)
        if (p.from == from && p.to == to)
            return p.flag;
    return 0;
}

// The depth the bitmap gets: the file's own (8, 24 or 32), or the current
// depth when the colour conversion asks for it.
int target_depth(const Layout &l)
{
    int natural = l.bpp <= 8 ? 8 : l.bpp == 24 ? 24 : 32;
    int current = get_color_depth();
    if (current != natural && (get_color_conversion() & conversion_flag(natural, current)))
        return current;
    return natural;
}

void put(BITMAP *b, int depth, int x, int y, int r, int g, int bl)
{
    if (depth == 32)
        ((uint32_t *)b->line[y])[x] = (uint32_t)makecol32(r, g, bl);
    else
        putpixel(b, x, y, makecol_depth(depth, r, g, bl));
}

// Makes the bitmap from the decoded surface (top row first).
BITMAP *to_bitmap(SDL_Surface *s, const Layout &l, const uint8_t (*colours)[3], RGB *pal)
{
    int depth = target_depth(l);
    BITMAP *b = create_bitmap_ex(depth, l.width, l.height);
    if (!b) {
        fail("not enough memory");
        return NULL;
    }
    const uint8_t *rows = (const uint8_t *)s->pixels;
    if (l.bpp <= 8) {
        for (int y = 0; y < l.height; y++) {
            const uint8_t *row = rows + (size_t)y * s->pitch;
            if (depth == 8) {
                memcpy(b->line[y], row, l.width);
                continue;
            }
            for (int x = 0; x < l.width; x++) {
                const uint8_t *c = colours[row[x]];
                put(b, depth, x, y, c[0], c[1], c[2]);
            }
        }
        if (pal)
            for (int i = 0; i < PAL_SIZE; i++) {
                pal[i].r = colours[i][0] >> 2;
                pal[i].g = colours[i][1] >> 2;
                pal[i].b = colours[i][2] >> 2;
                pal[i].filler = 0;
            }
        return b;
    }
    int size = s->format->BytesPerPixel;
    const SDL_PixelFormat *f = s->format;
    if (depth == 32 && (size == 3 || size == 4) && f->Rloss == 0 && f->Gloss == 0 && f->Bloss == 0) {
        // Channels of 8 bits, the common case: SDL_GetRGB would give the
        // fields as they stand, so take them straight from the bytes.
        for (int y = 0; y < l.height; y++) {
            const uint8_t *p = rows + (size_t)y * s->pitch;
            uint32_t *out = (uint32_t *)b->line[y];
            for (int x = 0; x < l.width; x++, p += size) {
                uint32_t value = p[0] | p[1] << 8 | p[2] << 16 | (size == 4 ? (uint32_t)p[3] << 24 : 0);
                out[x] = (uint32_t)makecol32((value & f->Rmask) >> f->Rshift, (value & f->Gmask) >> f->Gshift,
                                             (value & f->Bmask) >> f->Bshift);
            }
        }
        if (pal)
            generate_332_palette(pal);
        return b;
    }
    // Pixel by pixel through SDL_GetRGB, which scales a field of n bits to
    // the full 0..255: SDL's converting blits do not always (5-6-5 green
    // tops out at 254).
    for (int y = 0; y < l.height; y++) {
        const uint8_t *p = rows + (size_t)y * s->pitch;
        for (int x = 0; x < l.width; x++, p += size) {
            Uint32 value = 0;
            memcpy(&value, p, size);
            Uint8 r, g, bl;
            SDL_GetRGB(value, s->format, &r, &g, &bl);
            put(b, depth, x, y, r, g, bl);
        }
    }
    if (pal)
        generate_332_palette(pal);
    return b;
}

// The bytes already read and checked, as a stream for the decoder. SDL's own
// memory stream takes an int size, too small for the largest pictures.
struct Bytes {
    const uint8_t *data;
    Sint64 size, at;
};

Bytes *bytes_of(SDL_RWops *rw) { return (Bytes *)rw->hidden.unknown.data1; }

Sint64 bytes_size(SDL_RWops *rw) { return bytes_of(rw)->size; }

Sint64 bytes_seek(SDL_RWops *rw, Sint64 offset, int whence)
{
    Bytes *b = bytes_of(rw);
    Sint64 base = whence == RW_SEEK_SET ? 0 : whence == RW_SEEK_CUR ? b->at : b->size;
    if (offset < -base || offset > b->size - base)
        return SDL_SetError("seek outside the file");
    b->at = base + offset;
    return b->at;
}

size_t bytes_read(SDL_RWops *rw, void *to, size_t size, size_t count)
{
    Bytes *b = bytes_of(rw);
    if (size == 0)
        return 0;
    size_t left = (size_t)(b->size - b->at), whole = left / size < count ? left / size : count;
    memcpy(to, b->data + b->at, whole * size);
    b->at += (Sint64)(whole * size);
    return whole;
}

size_t bytes_write(SDL_RWops *, const void *, size_t, size_t)
{
    SDL_SetError("the stream is read-only");
    return 0;
}

int bytes_close(SDL_RWops *rw)
{
    SDL_FreeRW(rw);
    return 0;
}

// Plain 24-bit rows, the commonest true-colour file, need no decoder: they
// go straight from the file's bytes into a 32-bit bitmap.
bool is_plain_24(const Layout &l)
{
    return l.compression == 0 && l.bpp == 24 && target_depth(l) == 32;
}

uint64_t plain_24_stride(const Layout &l) { return ((uint64_t)l.width * 3 + 3) & ~(uint64_t)3; }

// Converts `count` rows as they lie in the file, starting with the file's
// row `first` (the bottom row first unless the picture is top-down).
void convert_plain_24(const uint8_t *rows, int first, int count, const Layout &l, BITMAP *b)
{
    const uint64_t stride = plain_24_stride(l);
    for (int i = 0; i < count; i++) {
        int file_row = first + i;
        const uint8_t *p = rows + stride * (uint64_t)i;
        uint32_t *out = (uint32_t *)b->line[l.top_down ? file_row : l.height - 1 - file_row];
        for (int x = 0; x < l.width; x++, p += 3)
            out[x] = (uint32_t)makecol32(p[2], p[1], p[0]);
    }
}

// Decodes a file that has passed every check; `file` holds its first
// l.end bytes. `release`, if given, holds them, and is emptied as soon as
// they have been decoded, before the bitmap is made.
BITMAP *decode(const uint8_t *file, const Layout &l, RGB *pal, std::vector<uint8_t> *release)
{
    // The palette with full 8-bit channels; black beyond a short one.
    uint8_t colours[256][3] = {};
    for (int i = 0; i < l.colours; i++) {
        const uint8_t *e = file + l.palette_at + (uint64_t)i * l.entry_size;
        colours[i][0] = e[2];
        colours[i][1] = e[1];
        colours[i][2] = e[0];
    }

    if (is_plain_24(l)) {
        BITMAP *b = create_bitmap_ex(32, l.width, l.height);
        if (!b) {
            fail("not enough memory");
            return NULL;
        }
        convert_plain_24(file + l.offset, 0, l.height, l, b);
        if (release)
            std::vector<uint8_t>().swap(*release);
        if (pal)
            generate_332_palette(pal);
        return b;
    }

    Bytes stream = {file, (Sint64)l.end, 0};
    SDL_RWops *rw = SDL_AllocRW();
    if (!rw) {
        fail("not enough memory");
        return NULL;
    }
    rw->size = bytes_size;
    rw->seek = bytes_seek;
    rw->read = bytes_read;
    rw->write = bytes_write;
    rw->close = bytes_close;
    rw->hidden.unknown.data1 = &stream;
    SDL_Surface *s = SDL_LoadBMP_RW(rw, 1);
    if (release)
        std::vector<uint8_t>().swap(*release);
    if (!s) {
        fail("cannot decode: %s", SDL_GetError());
        return NULL;
    }
    BITMAP *b = NULL;
    if (s->w != l.width || s->h != l.height || (l.bpp <= 8 && s->format->BitsPerPixel != 8))
        fail("cannot decode: the decoder read the headers otherwise");
    else
        b = to_bitmap(s, l, colours, pal);
    SDL_FreeSurface(s);
    return b;
}

BITMAP *load_checked(const uint8_t *data, size_t size, RGB *pal)
{
    Layout l;
    if (const char *why = check_headers(data, size, size, &l)) {
        fail("%s", why);
        return NULL;
    }
    if (const char *why = check_body(data, l)) {
        fail("%s", why);
        return NULL;
    }
    return decode(data, l, pal, NULL);
}

// Reads `count` bytes at the current place, or says why not.
bool read_all(FILE *f, uint8_t *to, size_t count)
{
    if (fread(to, 1, count, f) == count)
        return true;
    if (ferror(f))
        fail("cannot read the file: %s", strerror(errno));
    else
        fail("cannot read the file: it changed while it was read");
    return false;
}

// A plain 24-bit file read a slice of rows at a time: no copy of the whole
// file in memory, only of the picture.
BITMAP *read_plain_24(FILE *f, const Layout &l, RGB *pal)
{
    BITMAP *b = create_bitmap_ex(32, l.width, l.height);
    if (!b) {
        fail("not enough memory");
        return NULL;
    }
    const uint64_t stride = plain_24_stride(l);
    const int slice = (int)std::max<uint64_t>(1, (1 << 20) / stride);
    std::vector<uint8_t> rows(stride * (uint64_t)std::min(slice, l.height));
    bool ok = fseeko(f, (off_t)l.offset, SEEK_SET) == 0;
    if (!ok)
        fail("cannot read the file: %s", strerror(errno));
    for (int first = 0; ok && first < l.height; first += slice) {
        int count = std::min(slice, l.height - first);
        ok = read_all(f, rows.data(), stride * (uint64_t)count);
        if (ok)
            convert_plain_24(rows.data(), first, count, l, b);
    }
    if (!ok) {
        destroy_bitmap(b);
        return NULL;
    }
    if (pal)
        generate_332_palette(pal);
    return b;
}

}  // namespace

BITMAP *load_bmp_checked_memory(const void *data, size_t size, RGB *pal)
{
    last_error[0] = 0;
    try {
        return load_checked((const uint8_t *)data, size, pal);
    } catch (const std::bad_alloc &) {
        fail("not enough memory");
        return NULL;
    }
}

BITMAP *load_bmp_checked(const char *filename, RGB *pal)
{
    last_error[0] = 0;
    FILE *f = fopen(filename, "rb");
    if (!f) {
        fail("cannot open the file: %s", strerror(errno));
        return NULL;
    }
    BITMAP *result = NULL;
    try {
        struct stat st;
        if (fstat(fileno(f), &st) != 0) {
            fail("cannot read the file: %s", strerror(errno));
        } else if (S_ISDIR(st.st_mode)) {
            fail("cannot read the file: %s", strerror(EISDIR));
        } else if (!S_ISREG(st.st_mode)) {
            fail("cannot read the file: not a regular file");
        } else {
            // The headers first; then only as much of the file as they
            // prove to be needed, and only once they have all been checked.
            uint64_t file_size = (uint64_t)st.st_size;
            std::vector<uint8_t> bytes(file_size < max_head ? file_size : max_head);
            Layout l;
            if (read_all(f, bytes.data(), bytes.size())) {
                if (const char *why = check_headers(bytes.data(), bytes.size(), file_size, &l)) {
                    fail("%s", why);
                } else if ((size_t)l.end != l.end) {
                    fail("not enough memory");
                } else if (is_plain_24(l)) {
                    result = read_plain_24(f, l, pal);
                } else {
                    size_t have = bytes.size();
                    if (l.end > have) {
                        bytes.resize(l.end);
                        if (!read_all(f, bytes.data() + have, l.end - have))
                            bytes.clear();
                    }
                    if (!bytes.empty()) {
                        if (const char *why = check_body(bytes.data(), l))
                            fail("%s", why);
                        else
                            result = decode(bytes.data(), l, pal, &bytes);
                    }
                }
            }
        }
    } catch (const std::bad_alloc &) {
        fail("not enough memory");
    }
    fclose(f);
    return result;
}

const char *bmp_reader_error(void) { return last_error; }

const char *with_load_reason(const char *text)
{
    static char joined[512];
    if (*last_error)
        snprintf(joined, sizeof joined, "%s: %s", text, last_error);
    else
        snprintf(joined, sizeof joined, "%s", text);
    return joined;
}

void bmp_reader_set_pixel_limit(uint64_t max_pixels) { pixel_limit = max_pixels; }

BITMAP *load_picture(const char *filename, RGB *pal)
{
    const char *dot = strrchr(filename, '.');
    if (dot && !strchr(dot, '/') && !strcasecmp(dot, ".bmp"))
        return load_bmp_checked(filename, pal);
    last_error[0] = 0;
    return load_bitmap(filename, pal);
}
