// The PNG, JPEG and WebP readers and the PNG writers, against Pillow: the
// files and the pixels expected of them come from tests/formats_pillow.py,
// run afresh for each test process (it needs Pillow and ImageMagick).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "codec/carrier_palette.h"
#include "files/exif.h"
#include "files/jpeg.h"
#include "files/png.h"
#include "files/webp.h"
#include "test_support.h"

namespace {

std::string cases_dir;

class PillowCases : public testing::Environment {
    void SetUp() override
    {
        char dir[] = "/tmp/gfx16-formats-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        cases_dir = dir;
        std::string make = std::string(GFX16_PYTHON " " FORMATS_PILLOW " make ") + dir;
        ASSERT_EQ(system(make.c_str()), 0) << make;
    }
    void TearDown() override
    {
        if (!cases_dir.empty()) {
            EXPECT_EQ(system(("rm -rf " + cases_dir).c_str()), 0);
        }
    }
};
testing::Environment *const pillow_cases = testing::AddGlobalTestEnvironment(new PillowCases);

std::string path_of(const std::string &name) { return cases_dir + "/" + name; }

std::vector<uint8_t> read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// A binary PPM or PGM as Pillow or the script wrote it.
struct Pnm {
    int w = 0, h = 0;
    std::vector<uint8_t> bytes;
};

Pnm read_pnm(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::string kind;
    int maxval;
    Pnm p;
    f >> kind >> p.w >> p.h >> maxval;
    f.get();
    p.bytes.assign(std::istreambuf_iterator<char>(f), {});
    EXPECT_EQ(p.bytes.size(), (size_t)p.w * p.h * (kind == "P6" ? 3 : 1)) << path;
    return p;
}

// Pillow's reading of a file written here.
Pnm pillow_decode(const std::string &file)
{
    std::string out = file + ".pillow.pnm";
    std::string command = std::string(GFX16_PYTHON " " FORMATS_PILLOW " decode ") + file + " " + out;
    EXPECT_EQ(system(command.c_str()), 0) << command;
    return read_pnm(out);
}

struct Case {
    std::string reader, file, expected, reason;
};

std::vector<Case> read_cases()
{
    std::vector<Case> cases;
    std::ifstream list(path_of("cases.txt"));
    std::string line;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        Case c;
        std::getline(fields, c.reader, '\t');
        std::getline(fields, c.file, '\t');
        std::getline(fields, c.expected, '\t');
        if (c.expected == "refuse")
            std::getline(fields, c.reason);
        cases.push_back(c);
    }
    return cases;
}

// Any reader, with its result as width, height and bytes.
struct Result {
    std::string why;
    int w = 0, h = 0;
    std::vector<uint8_t> bytes;
};

Result read_with(const std::string &reader, const std::vector<uint8_t> &file,
                 const PictureLimits &limits = {})
{
    Result r;
    Picture p;
    p.w = p.h = -1;  // a failed read must empty these
    p.rgb.assign(5, 1);
    if (reader == "carrier") {
        r.bytes.assign(5, 1);
        r.why = read_png_carrier(file.data(), file.size(), limits, &r.w, &r.h, &r.bytes).text();
        return r;
    }
    if (reader == "png")
        r.why = read_png(file.data(), file.size(), limits, &p).text();
    else if (reader == "jpeg")
        r.why = read_jpeg(file.data(), file.size(), limits, &p).text();
    else
        r.why = read_webp(file.data(), file.size(), limits, &p).text();
    r.w = p.w;
    r.h = p.h;
    r.bytes = p.rgb;
    return r;
}

// How many bytes differ, and where the first one is.
std::string differences(const std::vector<uint8_t> &got, const std::vector<uint8_t> &expected)
{
    size_t count = 0, first = 0;
    for (size_t i = 0; i < got.size() && i < expected.size(); i++)
        if (got[i] != expected[i] && count++ == 0)
            first = i;
    if (!count && got.size() == expected.size())
        return "";
    std::ostringstream text;
    text << count << " bytes differ, the first at " << first << " (sizes " << got.size() << ", "
         << expected.size() << ")";
    return text.str();
}

void expect_refused(const Result &r, const std::string &what)
{
    EXPECT_FALSE(r.why.empty()) << what << ": read without complaint";
    EXPECT_EQ(r.w, 0) << what;
    EXPECT_EQ(r.h, 0) << what;
    EXPECT_TRUE(r.bytes.empty()) << what;
}

TEST(Formats, EveryFileGivesWhatPillowGives)
{
    std::vector<Case> cases = read_cases();
    ASSERT_GE(cases.size(), 80u);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reader + " " + c.file);
        Result r = read_with(c.reader, read_file(path_of(c.file)));
        if (!c.reason.empty()) {
            expect_refused(r, c.file);
            EXPECT_NE(r.why.find(c.reason), std::string::npos) << r.why;
            continue;
        }
        Pnm expected = read_pnm(path_of(c.expected));
        ASSERT_EQ(r.why, "");
        EXPECT_EQ(r.w, expected.w);
        EXPECT_EQ(r.h, expected.h);
        EXPECT_EQ(differences(r.bytes, expected.bytes), "");
    }
}

TEST(Formats, SizeLimitIsCheckedFirst)
{
    PictureLimits small;
    small.max_pixels = 10;
    for (const Case &c : read_cases()) {
        if (!c.reason.empty())
            continue;
        SCOPED_TRACE(c.file);
        Pnm expected = read_pnm(path_of(c.expected));
        // A carrier is judged by the picture it holds, half as high (an odd
        // last row is no part of it).
        uint64_t pixels = (uint64_t)expected.w * (c.reader == "carrier" ? expected.h / 2 : expected.h);
        Result r = read_with(c.reader, read_file(path_of(c.file)), small);
        expect_refused(r, c.file);
        EXPECT_EQ(r.why, "picture of " + std::to_string(pixels) + " pixels, more than the limit of 10");
    }
}

// ---- Damaged files ------------------------------------------------------------

uint32_t crc32_of(const uint8_t *p, size_t n)
{
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= p[i];
        for (int k = 0; k < 8; k++)
            crc = crc >> 1 ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

void put_big32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

// Offset of the first byte after the marker or chunk name `tag` in `file`.
size_t after(const std::vector<uint8_t> &file, const std::string &tag)
{
    auto at = std::search(file.begin(), file.end(), tag.begin(), tag.end());
    EXPECT_NE(at, file.end()) << tag;
    return (size_t)(at - file.begin()) + tag.size();
}

// The CRC of the first chunk of that name, one bit changed. (A changed
// byte of the data would be found by zlib first.)
void spoil_crc(std::vector<uint8_t> &f, const std::string &chunk)
{
    size_t data = after(f, chunk);
    size_t length = (size_t)f[data - 8] << 24 | f[data - 7] << 16 | f[data - 6] << 8 | f[data - 5];
    f[data + length] ^= 1;
}

// The PNG's IHDR with a new width and height, its CRC made right again.
void set_png_size(std::vector<uint8_t> &f, uint32_t w, uint32_t h)
{
    put_big32(&f[16], w);
    put_big32(&f[20], h);
    put_big32(&f[29], crc32_of(&f[12], 17));
}

// The JPEG's frame header (SOF0, SOF1 or SOF2) with a new width and height.
void set_jpeg_size(std::vector<uint8_t> &f, unsigned w, unsigned h)
{
    for (size_t i = 2; i + 9 < f.size(); i++)
        if (f[i] == 0xFF && (f[i + 1] == 0xC0 || f[i + 1] == 0xC1 || f[i + 1] == 0xC2)) {
            f[i + 5] = (uint8_t)(h >> 8), f[i + 6] = (uint8_t)h;
            f[i + 7] = (uint8_t)(w >> 8), f[i + 8] = (uint8_t)w;
            return;
        }
    ADD_FAILURE() << "no frame header";
}

// A text chunk after IHDR that claims 1.5 GiB, with 20 bytes of it there.
void insert_huge_text(std::vector<uint8_t> &f)
{
    const uint8_t chunk[] = {0x60, 0, 0, 0, 't', 'E', 'X', 't', 'a', 0, 'b'};
    f.insert(f.begin() + 33, chunk, chunk + sizeof chunk);
}

std::vector<uint8_t> garbage_after(const std::vector<uint8_t> &f, size_t keep)
{
    std::vector<uint8_t> out(f.begin(), f.begin() + keep);
    Lcg random(keep);
    for (int i = 0; i < 500; i++)
        out.push_back((uint8_t)random.next());
    return out;
}

struct Damage {
    const char *reader, *file, *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    const char *reason;  // what the reason must hold ("": any reason)
};

TEST(Formats, DamagedFilesAreRefusedWithAReason)
{
    const Damage table[] = {
        {"png", "rgb.png", "CRC of IDAT changed", [](auto &f) { spoil_crc(f, "IDAT"); },
         "bad CRC in chunk IDAT"},
        {"png", "rgb.png", "byte of IDAT changed", [](auto &f) { f[after(f, "IDAT") + 20] ^= 1; }, ""},
        {"png", "rgb.png", "byte of IHDR changed", [](auto &f) { f[20] ^= 1; }, "bad CRC in chunk IHDR"},
        {"png", "rgb.png", "40000 pixels wide", [](auto &f) { set_png_size(f, 40000, 43); },
         "picture larger than 32768 pixels a side"},
        {"png", "rgb.png", "2^31-1 pixels high", [](auto &f) { set_png_size(f, 61, 0x7FFFFFFF); }, ""},
        {"png", "rgb.png", "0 pixels wide", [](auto &f) { set_png_size(f, 0, 43); }, ""},
        {"png", "rgb.png", "twice as high as its data", [](auto &f) { set_png_size(f, 61, 86); }, ""},
        {"png", "rgb.png", "garbage after IHDR", [](auto &f) { f = garbage_after(f, 33); }, ""},
        {"png", "rgb.png", "not a PNG", [](auto &f) { f[1] = 'X'; }, ""},
        {"png", "rgb.png", "text chunk of 1.5 GiB", insert_huge_text, "truncated file"},
        {"carrier", "carrier-grey.png", "text chunk of 1.5 GiB", insert_huge_text, "truncated file"},
        {"carrier", "carrier-palette.png", "CRC of IDAT changed", [](auto &f) { spoil_crc(f, "IDAT"); },
         "bad CRC in chunk IDAT"},
        {"carrier", "carrier-palette.png", "byte of IDAT changed",
         [](auto &f) { f[after(f, "IDAT") + 20] ^= 1; }, ""},
        {"carrier", "carrier-grey.png", "65538 rows", [](auto &f) { set_png_size(f, 61, 65538); },
         "carrier larger than 32768 pixels wide or 65536 high"},
        {"carrier", "carrier-grey.png", "0 rows", [](auto &f) { set_png_size(f, 61, 0); }, ""},
        {"carrier", "carrier-grey.png", "garbage after IHDR", [](auto &f) { f = garbage_after(f, 33); }, ""},
        {"jpeg", "420-o0.jpg", "40000 pixels wide", [](auto &f) { set_jpeg_size(f, 40000, 43); },
         "picture larger than 32768 pixels a side"},
        {"jpeg", "444-o0.jpg", "40000 x 40000", [](auto &f) { set_jpeg_size(f, 40000, 40000); },
         "picture larger than 32768 pixels a side"},
        {"jpeg", "420-o0.jpg", "65535 x 65535", [](auto &f) { set_jpeg_size(f, 65535, 65535); }, ""},
        {"jpeg", "progressive-o0.jpg", "0 rows", [](auto &f) { set_jpeg_size(f, 61, 0); }, ""},
        {"jpeg", "420-o0.jpg", "twice as high as its data", [](auto &f) { set_jpeg_size(f, 61, 86); }, ""},
        {"jpeg", "420-o0.jpg", "end marker inside the scan",
         [](auto &f) { f[f.size() - 300] = 0xFF, f[f.size() - 299] = 0xD9; }, ""},
        {"jpeg", "progressive-o0.jpg", "end marker inside a scan",
         [](auto &f) { f[f.size() - 300] = 0xFF, f[f.size() - 299] = 0xD9; }, ""},
        {"jpeg", "420-o0.jpg", "garbage after the first segment", [](auto &f) { f = garbage_after(f, 20); },
         ""},
        {"jpeg", "420-o0.jpg", "not a JPEG", [](auto &f) { f[1] = 0; }, ""},
        {"webp", "lossless.webp", "garbage after the chunk header", [](auto &f) { f = garbage_after(f, 20); },
         ""},
        {"webp", "lossy.webp", "garbage after the chunk header", [](auto &f) { f = garbage_after(f, 20); },
         ""},
        {"webp", "lossy-alpha.webp", "chunk longer than the file",
         [](auto &f) { f[after(f, "VP8 ")] = 0xFF; }, ""},
        {"webp", "lossless.webp", "not a WebP", [](auto &f) { f[9] = 'X'; }, ""},
    };
    for (const Damage &d : table) {
        std::vector<uint8_t> file = read_file(path_of(d.file));
        d.damage(file);
        Result r = read_with(d.reader, file);
        expect_refused(r, std::string(d.file) + ", " + d.what);
        EXPECT_NE(r.why.find(d.reason), std::string::npos) << d.file << ", " << d.what << ": " << r.why;
    }
}

TEST(Formats, FilesCutShortAreRefusedAtEveryLength)
{
    const struct {
        const char *reader, *file;
    } table[] = {
        {"png", "rgb.png"},
        {"png", "rgba16.png"},
        {"png", "interlaced-palette.png"},
        {"carrier", "carrier-palette.png"},
        {"carrier", "carrier-interlaced.png"},
        {"jpeg", "420-o6.jpg"},
        {"jpeg", "progressive-o3.jpg"},
        {"jpeg", "grey-o0.jpg"},
        {"webp", "lossy.webp"},
        {"webp", "lossless.webp"},
        {"webp", "lossy-alpha.webp"},
    };
    for (const auto &t : table) {
        std::vector<uint8_t> file = read_file(path_of(t.file));
        ASSERT_GT(file.size(), 100u);
        for (size_t length = 0; length < file.size(); length++) {
            std::vector<uint8_t> cut(file.begin(), file.begin() + length);
            Result r = read_with(t.reader, cut);
            expect_refused(r, std::string(t.file) + " cut to " + std::to_string(length) + " bytes");
        }
    }
}

// The orientation is found in an EXIF block cut at every length and in
// segments that claim more bytes than there are: it is 6 exactly when its
// whole IFD entry is there, and nothing is read outside the file.
TEST(Formats, OrientationSurvivesDamagedExif)
{
    // TIFF header, IFD0 at 8 with 2 entries: 0x010F, then 0x0112 = 6 (ends at 34).
    const uint8_t tiff[] = {'I',  'I',  42, 0, 8, 0, 0, 0, 2,   0,            //
                            0x0F, 0x01, 2,  0, 4, 0, 0, 0, 'C', 'a', 'm', 0,  //
                            0x12, 0x01, 3,  0, 1, 0, 0, 0, 6,   0,   0,   0,  //
                            0,    0,    0,  0};
    const size_t orientation_end = 34;
    for (size_t cut = 0; cut <= sizeof tiff; cut++) {
        std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
        jpeg.insert(jpeg.end(), tiff, tiff + cut);
        size_t length = jpeg.size() - 4;
        jpeg[4] = (uint8_t)(length >> 8), jpeg[5] = (uint8_t)length;
        EXPECT_EQ(jpeg_orientation(jpeg.data(), jpeg.size()), cut >= orientation_end ? 6 : 1) << cut;
        // The same segment claiming 1000 bytes more than the file has.
        jpeg[4] = (uint8_t)((length + 1000) >> 8), jpeg[5] = (uint8_t)(length + 1000);
        EXPECT_EQ(jpeg_orientation(jpeg.data(), jpeg.size()), 1) << cut;
        // And cut short as a file, in the middle of the segment.
        for (size_t end = 0; end < jpeg.size(); end += 7)
            EXPECT_EQ(jpeg_orientation(jpeg.data(), end), 1);
    }
}

// ---- Writers --------------------------------------------------------------------

Picture random_picture(int w, int h, uint64_t seed)
{
    Picture p{w, h, std::vector<uint8_t>((size_t)w * h * 3)};
    Lcg random(seed);
    for (uint8_t &c : p.rgb)
        c = (uint8_t)random.next();
    return p;
}

FILE *open_for_writing(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "wb");
    EXPECT_TRUE(f) << path;
    return f;
}

TEST(Formats, WrittenPicturesReadBackTheSame)
{
    Pnm photo = read_pnm(path_of("420-o6.jpg.ref.ppm"));
    std::vector<Picture> pictures = {Picture{photo.w, photo.h, photo.bytes}, random_picture(1, 1, 1),
                                     random_picture(300, 7, 2), random_picture(3, 200, 3)};
    for (size_t i = 0; i < pictures.size(); i++) {
        const Picture &p = pictures[i];
        std::string path = path_of("written-" + std::to_string(i) + ".png");
        FILE *f = open_for_writing(path);
        EXPECT_FALSE(write_png_picture(f, p.w, p.h, p.rgb.data()));
        fclose(f);
        Pnm pillow = pillow_decode(path);
        EXPECT_EQ(pillow.w, p.w);
        EXPECT_EQ(pillow.h, p.h);
        EXPECT_EQ(differences(pillow.bytes, p.rgb), "") << path;
        Result own = read_with("png", read_file(path));
        EXPECT_EQ(own.why, "");
        EXPECT_EQ(differences(own.bytes, p.rgb), "") << path;
    }
}

TEST(Formats, WrittenCarriersReadBackTheSame)
{
    const struct {
        int w, h;
    } sizes[] = {{61, 86}, {1, 1}, {1, 2}, {300, 7}, {9, 9}, {1024, 64}};
    const std::vector<uint8_t> palette(&carrier_palette[0][0], &carrier_palette[0][0] + 768);
    for (const auto &s : sizes) {
        std::vector<uint8_t> indices = random_picture(s.w, s.h, s.w * 1000 + s.h).rgb;
        indices.resize((size_t)s.w * s.h);
        std::string path = path_of("carrier-" + std::to_string(s.w) + "x" + std::to_string(s.h) + ".png");
        FILE *f = open_for_writing(path);
        EXPECT_FALSE(write_png_carrier(f, s.w, s.h, indices.data()));
        fclose(f);
        Pnm pillow = pillow_decode(path);
        EXPECT_EQ(pillow.w, s.w);
        EXPECT_EQ(pillow.h, s.h);
        EXPECT_EQ(differences(pillow.bytes, indices), "") << path;
        EXPECT_EQ(read_file(path + ".pillow.pnm.pal"), palette) << path;
        Result own = read_with("carrier", read_file(path));
        EXPECT_EQ(own.why, "");
        EXPECT_EQ(own.w, s.w);
        EXPECT_EQ(own.h, s.h);
        EXPECT_EQ(differences(own.bytes, indices), "") << path;
    }
}

TEST(Formats, WriteFailuresSayWhy)
{
    Picture p = random_picture(64, 64, 4);
    FILE *full = fopen("/dev/full", "wb");
    ASSERT_TRUE(full);
    const std::string full_disk = std::string("cannot write the file: ") + strerror(ENOSPC);
    EXPECT_EQ(write_png_picture(full, p.w, p.h, p.rgb.data()).text(), full_disk);
    EXPECT_EQ(write_png_carrier(full, 64, 192, p.rgb.data()).text(), full_disk);
    // Small enough to sit in stdio's buffer until it is flushed.
    EXPECT_EQ(write_png_carrier(full, 1, 1, p.rgb.data()).text(), full_disk);
    fclose(full);

    std::string path = path_of("read-only.png");
    fclose(open_for_writing(path));
    FILE *read_only = fopen(path.c_str(), "rb");
    ASSERT_TRUE(read_only);
    EXPECT_EQ(write_png_picture(read_only, p.w, p.h, p.rgb.data()).text(),
              std::string("cannot write the file: ") + strerror(EBADF));
    fclose(read_only);

    FILE *f = open_for_writing(path_of("refused.png"));
    EXPECT_TRUE(write_png_carrier(f, 0, 10, p.rgb.data()));
    EXPECT_TRUE(write_png_picture(f, 0, 0, nullptr));
    fclose(f);
}

}  // namespace
