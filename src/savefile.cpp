#include "savefile.h"

#include <allegro.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int save_bitmap_atomic(const char *path, BITMAP *image, const RGB *pal, image_saver save)
{
    // The temporary name keeps the extension, by which save_bitmap picks the
    // format. The leading dot keeps it out of the way in a listing.
    std::string dir, base = path;
    size_t slash = base.find_last_of('/');
    if (slash != std::string::npos) {
        dir = base.substr(0, slash + 1);
        base = base.substr(slash + 1);
    }
    size_t dot = base.find_last_of('.');
    std::string ext = dot == std::string::npos ? "" : base.substr(dot);
    std::string tmp = dir + "." + base + ".XXXXXX" + ext;

    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkstemps(name.data(), (int)ext.size());
    if (fd < 0)
        return -1;
    // mkstemps makes the file private; give it the mode any new file gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);

    // The library reports a failed write only through errno, and only while
    // errno was clear before.
    errno = 0;
    int failed = (save ? save : save_bitmap)(name.data(), image, pal) != 0 || errno != 0;
    struct stat st;
    if (!failed)
        failed = stat(name.data(), &st) != 0 || st.st_size == 0;
    // No fsync: the rename already guarantees that no process ever sees a
    // partial file under the name, and a crash of the whole machine is the
    // file system's to handle (ext4 flushes a file renamed over another).
    if (!failed)
        failed = rename(name.data(), path) != 0;
    if (failed) {
        int saved = errno;
        unlink(name.data());
        errno = saved;
        return -1;
    }
    return 0;
}

static void put16(uint8_t *p, unsigned v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

static void put32(uint8_t *p, uint32_t v)
{
    put16(p, v & 0xffff);
    put16(p + 2, v >> 16);
}

static bool write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        data += done;
        size -= (size_t)done;
    }
    return true;
}

int save_bmp_quickly(const char *path, BITMAP *image, const RGB *pal)
{
    int depth = bitmap_color_depth(image);
    if ((depth != 8 && depth != 32) || !is_memory_bitmap(image))
        return save_bmp(path, image, pal);

    const int w = image->w, h = image->h;
    const int bytes = depth == 8 ? 1 : 3;
    const uint32_t stride = ((uint32_t)w * bytes + 3) & ~3u;
    const uint32_t palette_size = depth == 8 ? 256 * 4 : 0;
    const uint32_t offset = 14 + 40 + palette_size;
    const uint32_t image_size = stride * (uint32_t)h;

    uint8_t header[14 + 40 + 256 * 4] = {'B', 'M'};
    put32(header + 2, offset + image_size);
    put32(header + 10, offset);
    put32(header + 14, 40);
    put32(header + 18, (uint32_t)w);
    put32(header + 22, (uint32_t)h);
    put16(header + 26, 1);
    put16(header + 28, bytes * 8);
    put32(header + 34, image_size);
    put32(header + 38, 0xB12);  // 72 dots per inch
    put32(header + 42, 0xB12);
    if (depth == 8) {
        PALETTE current;
        if (!pal) {
            get_palette(current);
            pal = current;
        }
        put32(header + 46, 256);
        put32(header + 50, 256);
        for (int i = 0; i < 256; i++) {
            uint8_t *entry = header + 54 + 4 * i;
            entry[0] = (uint8_t)_rgb_scale_6[pal[i].b];
            entry[1] = (uint8_t)_rgb_scale_6[pal[i].g];
            entry[2] = (uint8_t)_rgb_scale_6[pal[i].r];
        }
    }

    // Not opened with O_TRUNC but cut to size at the end: ext4 flushes a
    // file truncated to nothing when it is closed, which costs more than the
    // writing itself.
    int fd = open(path, O_WRONLY | O_CREAT, 0666);
    if (fd < 0)
        return -1;
    // Rows are gathered into large writes: one system call per row of a few
    // kilobytes would cost more than the rows.
    std::vector<uint8_t> chunk;
    chunk.reserve(std::max<size_t>(1 << 20, offset + stride));
    chunk.assign(header, header + offset);
    bool ok = true;
    for (int y = h - 1; y >= 0 && ok; y--) {   // bottom-up
        size_t at = chunk.size();
        chunk.resize(at + stride, 0);
        uint8_t *row = chunk.data() + at;
        if (depth == 8) {
            memcpy(row, image->line[y], (size_t)w);
        } else {
            const uint32_t *pixels = (const uint32_t *)image->line[y];
            for (int x = 0; x < w; x++) {
                row[3 * x] = (uint8_t)getb32((int)pixels[x]);
                row[3 * x + 1] = (uint8_t)getg32((int)pixels[x]);
                row[3 * x + 2] = (uint8_t)getr32((int)pixels[x]);
            }
        }
        if (y == 0 || chunk.size() + stride > chunk.capacity()) {
            ok = write_all(fd, chunk.data(), chunk.size());
            chunk.clear();
        }
    }
    if (ok)
        ok = ftruncate(fd, (off_t)offset + image_size) == 0;
    if (close(fd) != 0)
        ok = false;
    return ok ? 0 : -1;
}
