#include "savefile.h"

#include <allegro.h>

#include <cerrno>
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
    if (!failed) {
        // Flush to disk before the rename, so that a crash of the machine
        // cannot leave the new name on an empty file.
        int fd2 = open(name.data(), O_RDONLY);
        failed = fd2 < 0 || fsync(fd2) != 0;
        if (fd2 >= 0)
            close(fd2);
    }
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
