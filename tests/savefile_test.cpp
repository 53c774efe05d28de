// Saving: the quick BMP writer gives the library's bytes, and a failed save
// leaves the old file as it was and no temporary file behind.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "savefile.h"
#include "test_support.h"

namespace {

std::vector<char> file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> folder_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    return names;
}

class SaveFile : public testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        start_allegro();
        char name[] = "/tmp/gfx16-save-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override
    {
        for (const std::string &name : folder_entries(dir))
            unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
};

TEST_F(SaveFile, QuickWriterGivesTheLibrarysBytes)
{
    PALETTE grey;
    for (int i = 0; i < 256; i++)
        grey[i] = RGB{(unsigned char)(i / 4), (unsigned char)(63 - i / 4), (unsigned char)(i % 64), 0};
    const int depths[] = {8, 32};
    const RGB *palettes[] = {NULL, default_palette, grey};
    for (int depth : depths)
        for (int w = 1; w <= 6; w++)
            for (const RGB *pal : palettes) {
                SCOPED_TRACE(testing::Message() << depth << " bits, width " << w);
                BITMAP *image = create_bitmap_ex(depth, w, 3);
                Lcg rng((uint64_t)w * depth);
                for (int y = 0; y < 3; y++)
                    for (int x = 0; x < w; x++)
                        putpixel(image, x, y, (int)(depth == 8 ? rng.next() & 255 : rng.next() & 0xffffff));
                std::string mine = dir + "/mine.bmp", theirs = dir + "/theirs.bmp";
                ASSERT_EQ(save_bmp_quickly(mine.c_str(), image, pal), 0);
                ASSERT_EQ(save_bmp(theirs.c_str(), image, pal), 0);
                EXPECT_EQ(file_bytes(mine), file_bytes(theirs));
                destroy_bitmap(image);
            }
}

// Writes part of a file, then fails, as a save on a full disk would.
int failing_saver(const char *path, BITMAP *, const RGB *)
{
    std::ofstream(path) << "half a picture";
    return -1;
}

TEST_F(SaveFile, FailedSaveKeepsTheOldFileAndLeavesNoTemporary)
{
    std::string path = dir + "/output.bmp";
    std::ofstream(path) << "the old carrier";
    BITMAP *image = create_bitmap_ex(8, 4, 4);
    clear_bitmap(image);

    EXPECT_EQ(save_bitmap_atomic(path.c_str(), image, NULL, failing_saver), -1);
    std::vector<char> old = file_bytes(path);
    EXPECT_EQ(std::string(old.begin(), old.end()), "the old carrier");
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"output.bmp"});

    EXPECT_EQ(save_bitmap_atomic((dir + "/no such folder/x.bmp").c_str(), image, NULL, NULL), -1);

    EXPECT_EQ(save_bitmap_atomic(path.c_str(), image, NULL, save_bmp_quickly), 0);
    EXPECT_EQ(file_bytes(path).size(), 14u + 40 + 1024 + 16);
    EXPECT_EQ(folder_entries(dir), std::vector<std::string>{"output.bmp"});
    destroy_bitmap(image);
}

}  // namespace
