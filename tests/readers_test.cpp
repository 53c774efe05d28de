// The readers on the files of scripts/make-reader-cases.py (in CASES_DIR,
// listed in its cases.txt) and on the fuzzer's finds (REGRESSIONS_DIR), as
// the programs load them: by content, through load.h.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "files/load.h"
#include "test_support.h"

namespace {

const std::string cases_dir = CASES_DIR;

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
        if (c.kind == "valid")
            words >> c.ref24 >> c.ref8;
        else
            std::getline(words >> std::ws, c.reason);
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

// gfx16conv's limits, whose reasons the cases give.
PictureLimits converter_limits()
{
    PictureLimits limits;
    limits.max_pixels = 128 << 20;
    limits.set_by = "raise it with --max-pixels";
    return limits;
}

// A picture through open_picture, as 0xRRGGBB.
Error load_picture(Input &in, std::vector<uint32_t> *pixels, const PictureLimits &limits = converter_limits())
{
    std::unique_ptr<RowSource> source;
    Picture whole;
    Error e = open_picture(in, limits, &source);
    if (!e)
        e = hold_picture(&source, &whole);
    for (size_t i = 0; i < whole.rgb.size(); i += 3)
        pixels->push_back((uint32_t)whole.rgb[i] << 16 | whole.rgb[i + 1] << 8 | whole.rgb[i + 2]);
    return e;
}

Error load_picture(const std::string &name, std::vector<uint32_t> *pixels)
{
    Input in;
    Error e = open_input(path_of(name).c_str(), &in);
    return e ? e : load_picture(in, pixels);
}

// A carrier through open_carrier: its w x 2h bytes, row by row.
Error load_carrier(Input &in, std::vector<uint32_t> *bytes)
{
    std::unique_ptr<RowSource> source;
    if (Error e = open_carrier(in, converter_limits(), &source))
        return e;
    for (int y = 0; y < source->h; y++) {
        Rows rows;
        if (Error e = source->rows(y, 1, &rows))
            return e;
        bytes->insert(bytes->end(), rows.first, rows.first + source->w);
        bytes->insert(bytes->end(), rows.first + rows.high, rows.first + rows.high + source->w);
    }
    return Error();
}

// The reference files, plain 24-bit and 8-bit BMPs, through Allegro's own
// BMP loader: a decoder that is not ours.
std::vector<uint32_t> allegro_pixels(const std::string &name, bool indices)
{
    start_allegro();
    set_color_conversion(COLORCONV_NONE);
    set_color_depth(indices ? 8 : 24);
    BITMAP *b = load_bmp(path_of(name).c_str(), NULL);
    set_color_depth(32);
    std::vector<uint32_t> out;
    if (!b)
        return out;
    for (int y = 0; y < b->h; y++)
        for (int x = 0; x < b->w; x++) {
            int c = getpixel(b, x, y);
            out.push_back(indices ? (uint32_t)c : (uint32_t)(getr24(c) << 16 | getg24(c) << 8 | getb24(c)));
        }
    destroy_bitmap(b);
    return out;
}

TEST(Readers, CasesAreThere)
{
    int valid = 0, bad = 0;
    for (const Case &c : read_cases())
        (c.kind == "valid" ? valid : bad)++;
    EXPECT_GE(valid, 150);
    EXPECT_GE(bad, 60);
}

// Every valid layout gives the colours of its plain 24-bit twin and, if
// paletted, as a carrier the indices of its plain 8-bit twin (its first
// 2 x (h / 2) rows: an odd last row is no part of a carrier).
TEST(Readers, ValidFilesLoadExactly)
{
    for (const Case &c : read_cases()) {
        if (c.kind != "valid")
            continue;
        SCOPED_TRACE(c.file);
        std::vector<uint32_t> got, want = allegro_pixels(c.ref24, false);
        ASSERT_FALSE(want.empty()) << c.ref24;
        ASSERT_EQ(load_picture(c.file, &got).text(), "");
        EXPECT_EQ(got, want);

        Input in;
        ASSERT_FALSE(open_input(path_of(c.file).c_str(), &in));
        std::vector<uint32_t> indices;
        Error e = load_carrier(in, &indices);
        if (c.ref8.empty()) {
            EXPECT_EQ(e.kind, Error::not_a_carrier) << e.text();
        } else {
            ASSERT_EQ(e.text(), "");
            std::vector<uint32_t> want8 = allegro_pixels(c.ref8, true);
            want8.resize(indices.size());
            EXPECT_EQ(indices, want8);
        }
    }
}

// Every damaged or hostile file is refused with its reason, from a file and
// from memory; damage in a paletted BMP's pixels (an index beyond its
// palette, a broken RLE stream) refuses it as a carrier too.
TEST(Readers, BadFilesAreRefusedWithTheirReason)
{
    for (const Case &c : read_cases()) {
        if (c.kind != "bad")
            continue;
        SCOPED_TRACE(c.file);
        std::vector<uint32_t> pixels;
        EXPECT_EQ(load_picture(c.file, &pixels).text(), c.reason);
        std::vector<uint8_t> bytes = read_file(path_of(c.file));
        Input in;
        input_from_memory(&in, bytes.data(), bytes.size());
        EXPECT_EQ(load_picture(in, &pixels).text(), c.reason);
        const bool bmp = c.file.size() > 4 && c.file.compare(c.file.size() - 4, 4, ".bmp") == 0;
        if (bmp && (c.reason == "palette index beyond the palette" || c.reason.compare(0, 4, "RLE ") == 0)) {
            Input again;
            ASSERT_FALSE(open_input(path_of(c.file).c_str(), &again));
            EXPECT_EQ(load_carrier(again, &pixels).text(), c.reason);
        }
    }
}

// A file cut short anywhere is refused: every needed byte is checked for.
TEST(Readers, EveryTruncationIsRefused)
{
    for (const char *name : {"rgb24-h40.bmp", "rgb16-bf565-h124.bmp", "rgb32-bf-argb-h56.bmp", "pal1-h12.bmp",
                             "pal4-short.bmp", "pal8-rle-delta.bmp", "pal4-rle.bmp", "rgba16-abf1555.bmp",
                             "pal2-h64.bmp", "tga-rle-mapped.tga", "tga-rgb24.tga", "pcx-rgb24.pcx",
                             "pcx-pal8.pcx"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = read_file(path_of(name));
        ASSERT_FALSE(bytes.empty());
        for (size_t n = 0; n < bytes.size(); n++) {
            Input in;
            input_from_memory(&in, bytes.data(), n);
            std::vector<uint32_t> pixels;
            EXPECT_TRUE(load_picture(in, &pixels)) << "loaded from the first " << n << " bytes";
        }
    }
}

TEST(Readers, PixelLimitNamesItself)
{
    PictureLimits limits;
    limits.set_by = "a test";
    for (uint64_t most : {13 * 7 - 1, 13 * 7}) {
        limits.max_pixels = most;
        Input in;
        ASSERT_FALSE(open_input(path_of("rgb24-h40.bmp").c_str(), &in));
        std::vector<uint32_t> pixels;
        EXPECT_EQ(load_picture(in, &pixels, limits).text(),
                  most < 13 * 7 ? "picture of 91 pixels, more than the limit of 90 (a test)" : "");
    }
}

// A file that cannot be a carrier is refused from its header, before its
// pixels are read: here the pixels are not even there.
TEST(Readers, TrueColourIsNoCarrierByItsHeader)
{
    const struct {
        const char *name, *why;
    } cases[] = {
        {"rgb24-30000x30000.bmp", "not a carrier: 24-bit BMP, not paletted"},
        {"rgb24-cut.bmp", "not a carrier: 24-bit BMP, not paletted"},
        {"tga-rgb24.tga", "not a carrier: TGA picture, not BMP or PNG"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Input in;
        ASSERT_FALSE(open_input(path_of(c.name).c_str(), &in));
        std::vector<uint32_t> bytes;
        EXPECT_EQ(load_carrier(in, &bytes).text(), c.why);
    }
}

// The fuzzer's finds: each one is now either refused with a reason or
// loaded whole, and nothing goes wrong on the way (the sanitizer build
// checks that part).
TEST(Readers, FuzzerFinds)
{
    DIR *dir = opendir(REGRESSIONS_DIR);
    ASSERT_NE(dir, nullptr);
    int seen = 0;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] == '.' || name.find("README") == 0)
            continue;
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = read_file(std::string(REGRESSIONS_DIR) + "/" + name);
        for (int carrier = 0; carrier < 2; carrier++) {
            Input in;
            input_from_memory(&in, bytes.data(), bytes.size());
            std::vector<uint32_t> pixels;
            Error e = carrier ? load_carrier(in, &pixels) : load_picture(in, &pixels);
            EXPECT_TRUE(e || !pixels.empty());
        }
        seen++;
    }
    closedir(dir);
    if (!seen)
        GTEST_SKIP() << "no fuzzer finds kept yet";
}

}  // namespace
