// Several files, each converted into the output folder: their outputs
// named, clashes refused before anything is written, the files shared out
// among workers, a line for each done and a count at the end.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <optional>

#include "codec/threads.h"
#include "files/output.h"
#include "gfx16/codec.h"
#include "programs/gfx16conv/gfx16conv.h"

namespace {

std::string base_name(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string without_extension(const std::string &name)
{
    size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// One file of a batch: its outputs, and why it is not converted, if so.
struct BatchFile {
    const char *input;
    std::vector<std::string> outputs;  // the carrier or decoded picture first, then the preview
    std::string refused;
};

std::vector<BatchFile> plan_batch(bool encode, const std::vector<const char *> &files, const std::string &dir,
                                  const Options &o)
{
    const char *ext = o.png ? ".png" : ".bmp";
    std::vector<BatchFile> batch;
    for (const char *file : files) {
        std::string name = without_extension(base_name(file));
        BatchFile b = {file, {}, ""};
        if (encode) {
            b.outputs.push_back(dir + name + ".carrier" + ext);
            if (o.preview)
                b.outputs.push_back(dir + name + ".preview" + ext);
        } else {
            if (name.size() > 8 && name.compare(name.size() - 8, 8, ".carrier") == 0)
                name.resize(name.size() - 8);
            b.outputs.push_back(dir + name + ".decoded" + ext);
        }
        batch.push_back(b);
    }
    return batch;
}

std::string file_key(dev_t dev, ino_t ino)
{
    return "file " + std::to_string((uint64_t)dev) + " " + std::to_string((uint64_t)ino);
}

// "a", "a and b", "a, b and c"; past three names, how many more.
std::string listed(const std::vector<std::string> &names)
{
    const size_t shown = names.size() > 3 ? 3 : names.size();
    std::string text;
    for (size_t i = 0; i < shown; i++)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    if (shown < names.size())
        text += " and " + std::to_string(names.size() - shown) + " others";
    return text;
}

// Refuses every file whose output another file of the batch would also
// write (which one is left would depend on which finished last), or whose
// output would replace another file of the batch. Two names are one output
// when the file system takes them to one file: the same name in the same
// folder, once links are followed, or one file that is there already.
void refuse_clashes(std::vector<BatchFile> &batch, const Options &o)
{
    struct Output {
        size_t file;
        const std::string *name;
    };
    std::map<std::string, std::vector<Output>> outputs;  // by what they lead to
    std::vector<std::vector<const std::vector<Output> *>> leads(batch.size());
    for (size_t i = 0; i < batch.size(); i++)
        for (const std::string &name : batch[i].outputs) {
            OutputFile out;
            out.prepare(name.c_str(), o.force);
            std::vector<std::string> keys = {"name " + out.where()};
            if (out.exists())
                keys.push_back(file_key(out.dev(), out.ino()));
            for (const std::string &key : keys) {
                std::vector<Output> &same = outputs[key];
                same.push_back({i, &name});
                leads[i].push_back(&same);  // std::map keeps its elements where they are
            }
        }
    // Each file of several that write one output is refused, naming the
    // others.
    for (size_t i = 0; i < batch.size(); i++) {
        std::vector<size_t> others;
        const std::string *shared = nullptr;
        for (const std::vector<Output> *same : leads[i]) {
            const size_t before = others.size();
            const std::string *mine = nullptr;
            for (const Output &out : *same) {
                if (out.file == i)
                    mine = out.name;
                else
                    others.push_back(out.file);
            }
            if (!shared && others.size() > before)
                shared = mine;
        }
        if (others.empty())
            continue;
        std::sort(others.begin(), others.end());
        others.erase(std::unique(others.begin(), others.end()), others.end());
        std::vector<std::string> names;
        for (size_t j : others)
            names.push_back(batch[j].input);
        batch[i].refused = "not converted: " + *shared + " is also the output of " + listed(names);
    }
    // An output that is another file's input.
    for (size_t j = 0; j < batch.size(); j++) {
        // Named as the outputs are, whether it is there or not: a missing
        // input must not be made by another file while the batch runs.
        OutputFile as_output;
        as_output.prepare(batch[j].input, true);
        std::vector<std::string> keys = {"name " + as_output.where()};
        struct stat st;
        if (stat(batch[j].input, &st) == 0)
            keys.push_back(file_key(st.st_dev, st.st_ino));
        for (const std::string &key : keys) {
            auto found = outputs.find(key);
            if (found == outputs.end())
                continue;
            for (const Output &out : found->second)
                if (out.file != j && batch[out.file].refused.empty())
                    batch[out.file].refused =
                        "not converted: " + *out.name + " is " + batch[j].input + ", another file of this run";
        }
    }
}

} // namespace

int convert_files(bool encode, const std::vector<const char *> &files, const Options &o)
{
    // The folder is made when missing (its parent must be there), with the
    // permissions of any new folder.
    struct stat st;
    if (stat(o.out_dir, &st) != 0 && errno == ENOENT && mkdir(o.out_dir, 0777) != 0 && errno != EEXIST)
        return report(o.out_dir, std::string("cannot make the folder: ") + strerror(errno));
    if (stat(o.out_dir, &st) != 0 || !S_ISDIR(st.st_mode))
        return report(o.out_dir, "not a folder");
    const std::string dir = std::string(o.out_dir) + (o.out_dir[strlen(o.out_dir) - 1] == '/' ? "" : "/");

    std::vector<BatchFile> batch = plan_batch(encode, files, dir, o);
    refuse_clashes(batch, o);
    std::vector<size_t> todo;
    for (size_t i = 0; i < batch.size(); i++) {
        if (batch[i].refused.empty())
            todo.push_back(i);
        else
            report(batch[i].input, batch[i].refused);
    }

    // --jobs sets the limit on threads, which the files then share; without
    // it, one a core.
    if (o.jobs)
        gfx16_set_threads((int)std::min<unsigned>(o.jobs, INT_MAX));
    const unsigned jobs = std::max(1u, std::min<unsigned>(codec_threads(), (unsigned)todo.size()));
    std::atomic<size_t> next{0};
    // The refused files count as done, and failed, from the start.
    size_t done = batch.size() - todo.size(), failed = done;
    auto worker = [&] {
        // The cores go to the files; each file's codec then works on its own.
        std::optional<CodecOnThisThread> one_thread;
        if (jobs > 1)
            one_thread.emplace();
        for (size_t k; (k = next++) < todo.size();) {
            const BatchFile &b = batch[todo[k]];
            Quality quality;
            int status;
            try {
                if (encode)
                    status = encode_file(b.input, b.outputs[0].c_str(), o.preview ? b.outputs[1].c_str() : nullptr, o,
                                         o.stats ? &quality : nullptr);
                else
                    status = decode_file(b.input, b.outputs[0].c_str(), o);
            } catch (const std::bad_alloc &) {
                status = report(b.input, "not enough memory");
            }
            std::lock_guard<std::mutex> hold(print_lock);
            done++;
            if (status) {
                failed++;
            } else if (!o.quiet || o.stats) {
                printf("[%zu/%zu] %s -> %s\n", done, batch.size(), b.input, b.outputs[0].c_str());
                if (o.stats)
                    print_quality(stdout, quality, "  ");
                fflush(stdout);
            }
        }
    };
    // A worker that cannot even report a failure (no memory for its words)
    // ends; the others go on with the rest.
    run_shares(jobs, [&](unsigned) {
        try {
            worker();
        } catch (...) {
            failed++;
            fputs("gfx16conv: not enough memory\n", stderr);
        }
    });
    if (!o.quiet)
        printf("%zu succeeded, %zu failed\n", batch.size() - failed, failed);
    return failed ? 1 : 0;
}
