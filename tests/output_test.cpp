// Writing files: the carrier and picture BMPs are the bytes Allegro's own
// save_bmp writes, into a file or a stream; and what an output name may be
// (a new file, an old one, a protected one, a link, a FIFO, a device, a
// folder, a long name) gives what a careful file tool gives.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "files/output.h"
#include "files/sink.h"
#include "test_support.h"

namespace {

std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> folder_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

class Output : public testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        char name[] = "/tmp/gfx16-output-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0); }
    std::string at(const std::string &name) const { return dir + "/" + name; }
};

// Writes `text` to `name` through an OutputFile: "" or the first reason.
std::string write_through(const std::string &name, const std::string &text, bool force = false, bool fail = false)
{
    OutputFile out;
    Error e = out.prepare(name.c_str(), force);
    if (!e)
        e = out.open();
    if (!e)
        e = out.write(text.data(), text.size());
    if (fail)
        return "failed on purpose";  // the destructor removes what was written
    if (!e)
        e = out.finish();
    if (!e)
        e = out.commit();
    return e.text();
}

// A carrier w x 2h and a 24-bit picture through the sinks give save_bmp's
// bytes for the same images, written to a file or into a stream.
TEST_F(Output, BmpBytesAreAllegros)
{
    start_allegro();
    for (int w = 1; w <= 6; w++)
        for (bool carrier : {true, false})
            for (bool stream : {false, true}) {
                SCOPED_TRACE(testing::Message() << "width " << w << (carrier ? " carrier" : " picture")
                                                << (stream ? " into a FIFO" : ""));
                const int h = 3;
                BITMAP *image = create_bitmap_ex(carrier ? 8 : 32, w, carrier ? 2 * h : h);
                Lcg rng((uint64_t)w * 7 + carrier);
                for (int y = 0; y < image->h; y++)
                    for (int x = 0; x < w; x++)
                        putpixel(image, x, y, (int)(carrier ? rng.next() & 255 : rng.next() & 0xffffff));
                ASSERT_EQ(save_bmp(at("theirs.bmp").c_str(), image, default_palette), 0);

                std::string mine = at(stream ? "fifo" : "mine.bmp"), got;
                std::thread reader;
                if (stream) {
                    unlink(mine.c_str());
                    ASSERT_EQ(mkfifo(mine.c_str(), 0600), 0);
                    reader = std::thread([&] { got = file_text(mine); });
                }
                OutputFile out;
                ASSERT_FALSE(out.prepare(mine.c_str(), false));
                ASSERT_FALSE(out.open());
                EXPECT_EQ(out.seekable(), !stream);
                const int per = carrier ? 2 : 1;
                std::unique_ptr<RowSink> sink;
                ASSERT_FALSE(open_sink(FileFormat::bmp, per, out, w, h, &sink));
                // Two blocks of items, bottom block first as a stream needs.
                for (int first : {h - 1, 0}) {
                    int count = first ? 1 : h - 1;
                    Rows room;
                    ASSERT_FALSE(sink->room(first, count, &room));
                    for (int k = 0; k < count; k++)
                        for (int x = 0; x < w; x++) {
                            uint8_t *p = room.first + k * room.step + x * (carrier ? 1 : room.layout.bytes_per_pixel);
                            if (carrier) {
                                p[0] = image->line[2 * (first + k)][x];
                                p[room.high] = image->line[2 * (first + k) + 1][x];
                                continue;
                            }
                            int c = getpixel(image, x, first + k);
                            p[room.layout.red] = (uint8_t)getr32(c);
                            p[room.layout.green] = (uint8_t)getg32(c);
                            p[room.layout.blue] = (uint8_t)getb32(c);
                        }
                    ASSERT_FALSE(sink->put());
                }
                ASSERT_FALSE(sink->finish());
                ASSERT_FALSE(out.commit());
                out.discard();  // closes the stream's end
                if (stream)
                    reader.join();
                else
                    got = file_text(mine);
                EXPECT_EQ(got, file_text(at("theirs.bmp")));
                destroy_bitmap(image);
            }
}

TEST_F(Output, NewAndOldFilesKeepTheirPermissions)
{
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(write_through(at("new.bmp"), "new"), "");
    struct stat st;
    ASSERT_EQ(stat(at("new.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

    for (mode_t mode : {0600, 0640, 0604, 0755, 06755}) {
        SCOPED_TRACE(mode);
        std::ofstream(at("old.bmp")) << "old";
        chmod(at("old.bmp").c_str(), mode);
        EXPECT_EQ(write_through(at("old.bmp"), "replaced"), "");
        EXPECT_EQ(file_text(at("old.bmp")), "replaced");
        ASSERT_EQ(stat(at("old.bmp").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
    }
}

// Files made by many threads at once all get 0666 less the umask: the umask
// is never set and reset under another thread's feet.
TEST_F(Output, NewFilesFromManyThreads)
{
    mode_t mask = umask(0);
    umask(mask);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 250; i++)
                write_through(at(std::to_string(t) + "-" + std::to_string(i)), "x");
        });
    for (std::thread &t : threads)
        t.join();
    int wrong = 0;
    for (const std::string &name : folder_entries(dir)) {
        struct stat st;
        ASSERT_EQ(stat(at(name).c_str(), &st), 0);
        wrong += (st.st_mode & 0777) != (0666u & ~mask);
    }
    EXPECT_EQ(folder_entries(dir).size(), 2000u);
    EXPECT_EQ(wrong, 0);
}

// The kernel's rule, which root's tests could not see: one class of bits
// applies, the first that fits.
TEST(Writable, ByOwnerGroupAndOthers)
{
    const gid_t groups[] = {20, 30};
    const struct {
        uid_t uid;
        gid_t gid;
        mode_t mode;
        uid_t euid;
        gid_t egid;
        bool expected;
    } cases[] = {
        {1000, 100, 0200, 1000, 100, true},    // the owner, by the owner's bit
        {1000, 100, 0022, 1000, 100, false},   // the owner is not helped by the group's or others' bits
        {1000, 100, 0020, 2000, 100, true},    // a member by the effective group
        {1000, 30, 0020, 2000, 100, true},     // a member by a supplementary group
        {1000, 30, 0202, 2000, 100, false},    // a member is not helped by others' bits
        {1000, 40, 0002, 2000, 100, true},     // anyone else by others' bit
        {1000, 40, 0220, 2000, 100, false},
        {1000, 100, 0444, 0, 0, false},        // root: nobody may write it, so it is protected
        {1000, 100, 0002, 0, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "file " << c.uid << ":" << c.gid << " " << std::oct << c.mode << std::dec
                                        << ", caller " << c.euid << ":" << c.egid);
        EXPECT_EQ(writable(c.uid, c.gid, c.mode, c.euid, c.egid, groups, 2), c.expected);
    }
}

// Two outputs committed together: when the second's rename fails (a folder
// at its name), the first is put back as it was, or removed when it is new.
TEST_F(Output, CommitsBothOrNeither)
{
    for (bool first_old : {false, true})
        for (bool second_old : {false, true})
            for (int failing : {0, 1, 2}) {  // which rename fails; 0: none
                SCOPED_TRACE(testing::Message() << (first_old ? "old" : "new") << " and "
                                                << (second_old ? "old" : "new") << ", failing " << failing);
                ASSERT_EQ(system(("rm -rf " + dir + "/*").c_str()), 0);
                const std::string names[2] = {at("carrier.bmp"), at("preview.bmp")};
                if (first_old)
                    std::ofstream(names[0]) << "old carrier";
                if (second_old)
                    std::ofstream(names[1]) << "old preview";
                OutputFile a, b;
                OutputFile *both[] = {&a, &b};
                const char *texts[] = {"new carrier", "new preview"};
                for (int i = 0; i < 2; i++) {
                    ASSERT_FALSE(both[i]->prepare(names[i].c_str(), false));
                    ASSERT_FALSE(both[i]->open());
                    ASSERT_FALSE(both[i]->write(texts[i], strlen(texts[i])));
                    ASSERT_FALSE(both[i]->finish());
                }
                if (failing) {
                    unlink(names[failing - 1].c_str());
                    ASSERT_EQ(mkdir(names[failing - 1].c_str(), 0755), 0);
                }
                const OutputFile *failed = nullptr;
                std::string why = commit_outputs(both, 2, &failed).text();
                a.discard();
                b.discard();
                if (!failing) {
                    EXPECT_EQ(why, "");
                    EXPECT_EQ(file_text(names[0]), "new carrier");
                    EXPECT_EQ(file_text(names[1]), "new preview");
                    EXPECT_EQ(folder_entries(dir), (std::vector<std::string>{"carrier.bmp", "preview.bmp"}));
                    continue;
                }
                EXPECT_EQ(why, "Is a directory");
                EXPECT_EQ(failed, both[failing - 1]);
                // The carrier as it was before; the preview as it was, or the folder.
                if (failing == 2) {
                    EXPECT_EQ(file_text(names[0]), first_old ? "old carrier" : "");
                }
                if (failing == 1 && second_old) {
                    EXPECT_EQ(file_text(names[1]), "old preview");
                }
                std::vector<std::string> left;
                if (failing == 1 || first_old)
                    left.push_back("carrier.bmp");
                if (failing == 2 || second_old)
                    left.push_back("preview.bmp");
                EXPECT_EQ(folder_entries(dir), left);
            }
}

TEST_F(Output, WriteProtectedNeedsForce)
{
    std::ofstream(at("kept.bmp")) << "kept";
    chmod(at("kept.bmp").c_str(), 0444);
    EXPECT_EQ(write_through(at("kept.bmp"), "replaced"), "is write-protected");
    EXPECT_EQ(file_text(at("kept.bmp")), "kept");
    EXPECT_EQ(write_through(at("kept.bmp"), "replaced", true), "");
    EXPECT_EQ(file_text(at("kept.bmp")), "replaced");
    struct stat st;
    ASSERT_EQ(stat(at("kept.bmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

// A link stays a link; the file it leads to is replaced, in its own folder.
TEST_F(Output, LinksAreFollowed)
{
    ASSERT_EQ(mkdir(at("elsewhere").c_str(), 0755), 0);
    std::ofstream(at("elsewhere/target.bmp")) << "old";
    ASSERT_EQ(symlink("elsewhere/target.bmp", at("link.bmp").c_str()), 0);
    ASSERT_EQ(symlink("link.bmp", at("link2.bmp").c_str()), 0);
    EXPECT_EQ(write_through(at("link2.bmp"), "through two links"), "");
    struct stat st;
    ASSERT_EQ(lstat(at("link.bmp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat(at("link2.bmp").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(file_text(at("elsewhere/target.bmp")), "through two links");
    EXPECT_EQ(folder_entries(at("elsewhere")), std::vector<std::string>{"target.bmp"});

    ASSERT_EQ(symlink("nowhere.bmp", at("dangling.bmp").c_str()), 0);
    EXPECT_EQ(write_through(at("dangling.bmp"), "x"), "is a symbolic link to a file that does not exist");
    EXPECT_NE(access(at("nowhere.bmp").c_str(), F_OK), 0);
}

// What is not a regular file is written through and stays what it was.
TEST_F(Output, DevicesAreWrittenThrough)
{
    EXPECT_EQ(write_through("/dev/null", "nothing"), "");
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    ASSERT_EQ(mkfifo(at("pipe").c_str(), 0600), 0);
    std::string got;
    std::thread reader([&] { got = file_text(at("pipe")); });
    EXPECT_EQ(write_through(at("pipe"), "through the pipe"), "");
    reader.join();
    EXPECT_EQ(got, "through the pipe");
    ASSERT_EQ(lstat(at("pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(Output, NamesThatCannotBeOutputs)
{
    ASSERT_EQ(mkdir(at("folder").c_str(), 0755), 0);
    EXPECT_EQ(write_through(at("folder"), "x"), "is a folder");
    EXPECT_EQ(write_through(at("not-yet/"), "x"), "is a folder");
    EXPECT_EQ(write_through(at("no/such/folder.bmp"), "x"), "No such file or directory");
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"folder"});
}

// The longest name the system allows works: the temporary's name is cut to
// fit beside it.
TEST_F(Output, LongestNames)
{
    std::string name(255 - 4, 'n');
    name += ".bmp";
    EXPECT_EQ(write_through(at(name), "long"), "");
    EXPECT_EQ(file_text(at(name)), "long");
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{name});
}

// A write that fails part way leaves the old file and no temporary.
TEST_F(Output, FailureLeavesTheOldFile)
{
    std::ofstream(at("output.bmp")) << "the old carrier";
    EXPECT_EQ(write_through(at("output.bmp"), "half a carrier", false, true), "failed on purpose");
    EXPECT_EQ(file_text(at("output.bmp")), "the old carrier");
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"output.bmp"});
}

TEST(FileFormats, ByExtension)
{
    const struct {
        const char *name;
        bool known;
        FileFormat picture, carrier;
    } cases[] = {
        {"a.bmp", true, FileFormat::bmp, FileFormat::bmp}, {"a.BMP", true, FileFormat::bmp, FileFormat::bmp},
        {"a.png", true, FileFormat::png, FileFormat::png}, {"dir.png/a.Png", true, FileFormat::png, FileFormat::png},
        {"a.tga", true, FileFormat::tga, FileFormat::bmp}, {"a.pcx", true, FileFormat::pcx, FileFormat::bmp},
        {"-", true, FileFormat::bmp, FileFormat::bmp},     {"a.jpg", false, FileFormat::bmp, FileFormat::bmp},
        {"dir.png/a", false, FileFormat::bmp, FileFormat::bmp},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FileFormat f = FileFormat::bmp;
        EXPECT_EQ(picture_format_for(c.name, &f), c.known);
        if (c.known) {
            EXPECT_EQ(f, c.picture);
        }
        EXPECT_EQ(carrier_format_for(c.name), c.carrier);
    }
}

}  // namespace
