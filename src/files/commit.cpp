#include "files/output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "files/signals.h"

Error commit_outputs(OutputFile *const outputs[], size_t count, const OutputFile **failed)
{
    std::vector<OutputFile *> files;
    for (size_t i = 0; i < count; i++)
        if (outputs[i] && outputs[i]->temporary)
            files.push_back(outputs[i]);
    const OutputFile *unused;
    if (!failed)
        failed = &unused;
    *failed = nullptr;
    if (files.size() < 2) {
        Error why = files.empty() ? Error() : files[0]->commit();
        if (why)
            *failed = files[0];
        return why;
    }

    // Each name's old file is kept under a hidden link until every rename
    // is done; where there is none, the new file is removed again on a
    // failure. A file that cannot be linked (a file system without links)
    // is renamed last, where nothing needs putting back after it.
    struct Kept {
        OutputFile *file;
        std::string link;  // "" when there was no old file, or no link could be made
        std::atomic<OutputUndo *> *undo;
    };
    std::atomic<int> committed{0};
    std::vector<Kept> order, unkept;
    std::string why;  // the reason of a failure, or ""
    for (OutputFile *f : files) {
        struct stat st;
        if (fstat(f->descriptor, &st) != 0) {
            why = strerror(errno);
            *failed = f;
            break;
        }
        Kept k = {f, "", nullptr};
        bool lost;
        {
            SignalSafeSection section;
            int error = 0;
            for (int tries = 0; tries < 100; tries++) {
                std::string name = f->hidden_link_name();
                if (link(f->path.c_str(), name.c_str()) == 0) {
                    k.link = name;
                    break;
                }
                error = errno;
                if (error != EEXIST)
                    break;
            }
            OutputUndo *u = nullptr;
            if (!k.link.empty())
                u = make_undo(OutputUndo::restore_old, k.link, f->path);
            else if (error == ENOENT && (u = make_undo(OutputUndo::remove_new, "", f->path))) {
                u->dev = st.st_dev;
                u->ino = st.st_ino;
            }
            if (u) {
                u->committed = &committed;
                k.undo = remember(u);
                if (!k.undo)
                    delete u;
            }
            lost = (!k.link.empty() || error == ENOENT) && !k.undo;
            if (lost && !k.link.empty())
                unlink(k.link.c_str());
        }
        if (lost) {
            why = strerror(ENOMEM);
            *failed = f;
            break;
        }
        (k.undo ? order : unkept).push_back(k);
    }
    order.insert(order.end(), unkept.begin(), unkept.end());

    size_t renamed = 0;
    if (why.empty()) {
        for (; renamed < order.size(); renamed++) {
            OutputFile *f = order[renamed].file;
            if (rename(f->temp_path.c_str(), f->path.c_str()) != 0) {
                why = strerror(errno);
                *failed = f;
                break;
            }
            f->forget_temporary();
            f->temporary = false;
            ::close(f->descriptor);
            f->descriptor = -1;
        }
    }
    if (why.empty()) {
        committed.store(1);
    } else {
        // Back as it was: the old files over the new ones, the new ones
        // without an old one removed.
        for (size_t i = 0; i < renamed; i++) {
            Kept &k = order[i];
            if (!k.link.empty() && rename(k.link.c_str(), k.file->path.c_str()) != 0) {
                why += "; " + k.file->given + " could not be put back: the old file is " + k.link;
                k.link.clear();
            } else if (k.link.empty() && k.undo) {
                undo(*k.undo->load());
            }
        }
    }
    for (Kept &k : order) {
        if (k.undo)
            forget(k.undo);
        if (!k.link.empty())
            unlink(k.link.c_str());
    }
    return why.empty() ? Error() : unwritable(why);
}
