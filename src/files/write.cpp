#include "files/write.h"

#include <memory>

Error write_files(const FileToWrite files[], int count, int w, int h,
                  const std::function<Error(RowSink *const sinks[])> &fill)
{
    const int most = 2;
    std::unique_ptr<RowSink> owned[most];
    RowSink *sinks[most] = {};
    OutputFile *outputs[most] = {};
    for (int i = 0; i < count && i < most; i++) {
        if (Error e = files[i].file->open())
            return concerning(i + 1, e);
        outputs[i] = files[i].file;
    }
    for (int i = 0; i < count && i < most; i++) {
        const FileToWrite &f = files[i];
        if (Error e = open_sink(f.format, f.carrier ? 2 : 1, *f.file, w, h, &owned[i]))
            return concerning(i + 1, e);
        sinks[i] = owned[i].get();
    }
    if (Error e = fill(sinks))
        return e;
    for (int i = 0; i < count && i < most; i++)
        if (Error e = sinks[i]->finish())
            return concerning(i + 1, e);
    const OutputFile *failed = nullptr;
    Error e = commit_outputs(outputs, most, &failed);
    for (int i = 0; e && i < count; i++)
        if (outputs[i] == failed)
            e.file = i + 1;
    return e;
}

Error write_file(const char *name, bool force, FileFormat format, bool carrier, int w, int h, const Rows &from)
{
    OutputFile out;
    if (Error e = out.prepare(name, force))
        return concerning(1, e);
    const FileToWrite file = {&out, format, carrier};
    return write_files(&file, 1, w, h,
                       [&](RowSink *const sinks[]) { return concerning(1, put_items(*sinks[0], from, w, 0, h)); });
}
