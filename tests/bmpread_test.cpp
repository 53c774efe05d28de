// The BMP reader on the files of scripts/make-bmp-cases.py (in BMP_CASES_DIR,
// listed in its cases.txt) and on the fuzzer's finds (REGRESSIONS_DIR).
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bmpread.h"
#include "test_support.h"

namespace {

const std::string cases_dir = BMP_CASES_DIR;

struct Case {
    std::string kind, file, ref24, ref8, reason;
};

std::vector<Case> read_cases()
{
    std::vector<Case> cases;
    std::ifstream list(cases_dir + "/cases.txt");
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream words(line);
        Case c;
        words >> c.kind >> c.file;
        if (c.kind == "valid") {
            words >> c.ref24 >> c.ref8;
        } else {
            std::getline(words >> std::ws, c.reason);
        }
        cases.push_back(c);
    }
    return cases;
}

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

std::string path_of(const std::string &name) { return cases_dir + "/" + name; }

// Loads with the given conversion and current depth, as the two modes do.
BITMAP *load(const std::string &name, int conversion, int depth, RGB *pal = NULL)
{
    start_allegro();
    set_color_conversion(conversion);
    set_color_depth(depth);
    BITMAP *b = load_bmp_checked(path_of(name).c_str(), pal);
    set_color_depth(32);
    return b;
}

// The pixels of a bitmap as 0xRRGGBB (true colour) or indices (8 bits).
std::vector<uint32_t> pixels(BITMAP *b)
{
    std::vector<uint32_t> out;
    int depth = bitmap_color_depth(b);
    for (int y = 0; y < b->h; y++)
        for (int x = 0; x < b->w; x++) {
            int c = getpixel(b, x, y);
            out.push_back(depth == 8 ? (uint32_t)c
                                     : (uint32_t)(getr_depth(depth, c) << 16 | getg_depth(depth, c) << 8 |
                                                  getb_depth(depth, c)));
        }
    return out;
}

TEST(BmpReader, CasesAreThere)
{
    std::vector<Case> cases = read_cases();
    int valid = 0, bad = 0;
    for (const Case &c : cases)
        (c.kind == "valid" ? valid : bad)++;
    EXPECT_GE(valid, 60);
    EXPECT_GE(bad, 50);
}

// The plain files that every case is compared with read the same through
// the library's own BMP loader, which reads them right (40-byte header,
// bottom-up, no compression, no conversion).
TEST(BmpReader, ReferencesAgreeWithTheLibrarysLoader)
{
    start_allegro();
    DIR *dir = opendir(cases_dir.c_str());
    ASSERT_NE(dir, nullptr);
    int checked = 0;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("ref-", 0) != 0)
            continue;
        SCOPED_TRACE(name);
        bool paletted = name.rfind("ref-idx", 0) == 0;
        // The library leaves the entries beyond a short palette as they were.
        PALETTE ours = {}, theirs = {};
        BITMAP *a = load(name, COLORCONV_NONE, paletted ? 8 : 24, ours);
        set_color_conversion(COLORCONV_NONE);
        set_color_depth(paletted ? 8 : 24);
        BITMAP *b = load_bmp(path_of(name).c_str(), theirs);
        set_color_depth(32);
        ASSERT_NE(a, nullptr) << bmp_reader_error();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(bitmap_color_depth(a), paletted ? 8 : 24);
        EXPECT_EQ(bitmap_color_depth(b), bitmap_color_depth(a));
        EXPECT_EQ(pixels(a), pixels(b));
        for (int i = 0; paletted && i < PAL_SIZE; i++) {
            EXPECT_TRUE(ours[i].r == theirs[i].r && ours[i].g == theirs[i].g && ours[i].b == theirs[i].b)
                << "palette entry " << i;
        }
        destroy_bitmap(a);
        destroy_bitmap(b);
        checked++;
    }
    closedir(dir);
    EXPECT_GE(checked, 10);
}

// Every valid layout gives the pixels of its plain 24-bit twin at 32 bits
// with conversion on, and a paletted one the palette indices of its plain
// 8-bit twin with conversion off.
TEST(BmpReader, ValidFilesLoadExactly)
{
    for (const Case &c : read_cases()) {
        if (c.kind != "valid")
            continue;
        SCOPED_TRACE(c.file);
        BITMAP *got = load(c.file, COLORCONV_TOTAL, 32);
        ASSERT_NE(got, nullptr) << bmp_reader_error();
        EXPECT_STREQ(bmp_reader_error(), "");
        BITMAP *want = load(c.ref24, COLORCONV_TOTAL, 32);
        ASSERT_NE(want, nullptr);
        EXPECT_EQ(bitmap_color_depth(got), 32);
        EXPECT_EQ(got->w, want->w);
        EXPECT_EQ(got->h, want->h);
        EXPECT_EQ(pixels(got), pixels(want));
        destroy_bitmap(got);
        destroy_bitmap(want);

        PALETTE pal, want_pal;
        got = load(c.file, COLORCONV_NONE, 8, pal);
        ASSERT_NE(got, nullptr) << bmp_reader_error();
        if (c.ref8.empty()) {
            EXPECT_NE(bitmap_color_depth(got), 8);
        } else {
            want = load(c.ref8, COLORCONV_NONE, 8, want_pal);
            ASSERT_NE(want, nullptr);
            EXPECT_EQ(bitmap_color_depth(got), 8);
            EXPECT_EQ(pixels(got), pixels(want));
            for (int i = 0; i < PAL_SIZE; i++)
                EXPECT_TRUE(pal[i].r == want_pal[i].r && pal[i].g == want_pal[i].g && pal[i].b == want_pal[i].b)
                    << "palette entry " << i;
            destroy_bitmap(want);
        }
        destroy_bitmap(got);
    }
}

// Without conversion a true-colour file keeps its depth: 24 bits for a
// 24-bit file, 32 for 16 and 32 bits; so the driver can tell it is no carrier.
TEST(BmpReader, DepthWithoutConversion)
{
    const struct {
        const char *file;
        int depth;
    } cases[] = {{"rgb24-h40.bmp", 24}, {"rgb32.bmp", 32}, {"rgb16-bf565-h40.bmp", 32},
                 {"pal1-h40.bmp", 8},   {"pal4-rle.bmp", 8}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        BITMAP *b = load(c.file, COLORCONV_NONE, 8);
        ASSERT_NE(b, nullptr) << bmp_reader_error();
        EXPECT_EQ(bitmap_color_depth(b), c.depth);
        destroy_bitmap(b);
    }
}

// Palette colours keep all 8 bits: the library's own conversion of an 8-bit
// picture goes through 6-bit palette entries.
TEST(BmpReader, PaletteColoursKeepEightBits)
{
    BITMAP *b = load("pal8-h40.bmp", COLORCONV_TOTAL, 32);
    ASSERT_NE(b, nullptr) << bmp_reader_error();
    int c = getpixel(b, 0, 0);
    EXPECT_EQ(getr32(c), 131);
    EXPECT_EQ(getg32(c), 58);
    EXPECT_EQ(getb32(c), 12);
    destroy_bitmap(b);
}

// Every damaged or hostile file is refused with its reason, from a file and
// from memory, in both modes.
TEST(BmpReader, BadFilesAreRefusedWithTheirReason)
{
    for (const Case &c : read_cases()) {
        if (c.kind != "bad")
            continue;
        SCOPED_TRACE(c.file);
        for (int mode = 0; mode < 2; mode++) {
            BITMAP *b = load(c.file, mode ? COLORCONV_NONE : COLORCONV_TOTAL, mode ? 8 : 32);
            EXPECT_EQ(b, nullptr);
            EXPECT_EQ(bmp_reader_error(), c.reason);
        }
        std::vector<uint8_t> bytes = read_file(path_of(c.file));
        EXPECT_EQ(load_bmp_checked_memory(bytes.data(), bytes.size(), NULL), nullptr);
        EXPECT_EQ(bmp_reader_error(), c.reason);
    }
}

// Any file cut short anywhere is refused: every needed byte is checked for.
TEST(BmpReader, EveryTruncationIsRefused)
{
    start_allegro();
    set_color_conversion(COLORCONV_TOTAL);
    for (const char *name : {"rgb24-h40.bmp", "rgb16-bf565-h124.bmp", "rgb32-bf-argb-h56.bmp", "pal1-h12.bmp",
                             "pal4-short.bmp", "pal8-rle-delta.bmp", "pal4-rle.bmp"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = read_file(path_of(name));
        ASSERT_FALSE(bytes.empty());
        BITMAP *whole = load_bmp_checked_memory(bytes.data(), bytes.size(), NULL);
        ASSERT_NE(whole, nullptr) << bmp_reader_error();
        destroy_bitmap(whole);
        for (size_t n = 0; n < bytes.size(); n++) {
            std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
            BITMAP *b = load_bmp_checked_memory(cut.data(), cut.size(), NULL);
            EXPECT_EQ(b, nullptr) << "loaded from the first " << n << " bytes";
            EXPECT_STRNE(bmp_reader_error(), "");
            if (b)
                destroy_bitmap(b);
        }
    }
}

TEST(BmpReader, PixelLimit)
{
    bmp_reader_set_pixel_limit(13 * 7 - 1);
    BITMAP *b = load("rgb24-h40.bmp", COLORCONV_TOTAL, 32);
    EXPECT_EQ(b, nullptr);
    EXPECT_STREQ(bmp_reader_error(), "picture too large for this machine's memory");
    bmp_reader_set_pixel_limit(13 * 7);
    b = load("rgb24-h40.bmp", COLORCONV_TOTAL, 32);
    EXPECT_NE(b, nullptr) << bmp_reader_error();
    if (b)
        destroy_bitmap(b);
    bmp_reader_set_pixel_limit(0);
}

// A carrier as save_bitmap writes it comes back through the reader with
// every byte, as the decoder needs.
TEST(BmpReader, CarrierKeepsEveryByte)
{
    start_allegro();
    for (int w : {1, 3, 256, 257}) {
        SCOPED_TRACE(w);
        BITMAP *carrier = create_bitmap_ex(8, w, 6);
        ASSERT_NE(carrier, nullptr);
        Lcg random(w);
        for (int y = 0; y < carrier->h; y++)
            for (int x = 0; x < w; x++)
                carrier->line[y][x] = y < 2 ? (uint8_t)(x + 256 * y / 2) : (uint8_t)random.next();
        std::string path = testing::TempDir() + "carrier.bmp";
        ASSERT_EQ(save_bitmap(path.c_str(), carrier, default_palette), 0);

        set_color_conversion(COLORCONV_NONE);
        set_color_depth(8);
        BITMAP *back = load_picture(path.c_str(), NULL);
        set_color_depth(32);
        ASSERT_NE(back, nullptr) << bmp_reader_error();
        EXPECT_EQ(bitmap_color_depth(back), 8);
        EXPECT_EQ(pixels(back), pixels(carrier));
        destroy_bitmap(back);
        destroy_bitmap(carrier);
        remove(path.c_str());
    }
}

// load_picture leaves other formats to the library, and then reports no
// reason of its own.
TEST(BmpReader, OtherFormatsGoToTheLibrary)
{
    start_allegro();
    BITMAP *b = create_bitmap_ex(24, 5, 4);
    clear_to_color(b, makecol24(10, 200, 30));
    std::string path = testing::TempDir() + "picture.pcx";
    ASSERT_EQ(save_bitmap(path.c_str(), b, NULL), 0);
    load("bpp-7.bmp", COLORCONV_TOTAL, 32);
    ASSERT_STRNE(bmp_reader_error(), "");
    set_color_conversion(COLORCONV_TOTAL);
    BITMAP *back = load_picture(path.c_str(), NULL);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(bmp_reader_error(), "");
    EXPECT_EQ(getpixel(back, 4, 3), makecol32(10, 200, 30));
    destroy_bitmap(back);
    destroy_bitmap(b);
    remove(path.c_str());
}

// The fuzzer's finds: each one is now either refused with a reason or
// loaded whole, in both modes, and nothing goes wrong on the way (the
// sanitizer build checks that part).
TEST(BmpReader, FuzzerFinds)
{
    start_allegro();
    DIR *dir = opendir(REGRESSIONS_DIR);
    ASSERT_NE(dir, nullptr);
    int seen = 0;
    while (dirent *e = readdir(dir)) {
        std::string name = e->d_name;
        if (name[0] == '.' || name.find("README") == 0)
            continue;
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = read_file(std::string(REGRESSIONS_DIR) + "/" + name);
        for (int mode = 0; mode < 2; mode++) {
            set_color_conversion(mode ? COLORCONV_NONE : COLORCONV_TOTAL);
            set_color_depth(mode ? 8 : 32);
            BITMAP *b = load_bmp_checked_memory(bytes.data(), bytes.size(), NULL);
            set_color_depth(32);
            if (b) {
                EXPECT_GT(b->w, 0);
                EXPECT_GT(b->h, 0);
                destroy_bitmap(b);
            } else {
                EXPECT_STRNE(bmp_reader_error(), "");
            }
        }
        seen++;
    }
    closedir(dir);
    if (!seen)
        GTEST_SKIP() << "no fuzzer finds kept yet";
}

}  // namespace
