#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "tests/test_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testutil::Bytes;
using testutil::Le16;
using testutil::Le32;
using testutil::LoadedImage;
using testutil::ScratchDir;

namespace {

// Working rows given directly: a 24-bit bottom-up source converts to itself.
testutil::ImagePtr Working(int32_t width, int32_t height, const Bytes& rows) {
    auto image = LoadedImage(width, height, 24, false, rows);
    ConvertToRGB24(*image);
    return image;
}

struct Saved {
    int result;
    std::string err;
    Bytes file;
};

Saved Save(const BMPImage& image, const ScratchDir& dir, int bits) {
    const std::string path = dir / "out.bmp";
    CaptureStderr();
    const int result = SaveBMP(image, path.c_str(), bits);
    return {result, GetCapturedStderr(), testutil::ReadFile(path)};
}

void ExpectHeaders(const Bytes& f, uint32_t width, uint32_t height, uint32_t bits,
                   uint32_t imageBytes) {
    const uint32_t headerBytes = bits == 16 ? 66 : 54;
    ASSERT_EQ(f.size(), headerBytes + imageBytes);
    EXPECT_EQ(Le16(f, 0), 0x4D42u);
    EXPECT_EQ(Le32(f, 2), headerBytes + imageBytes);
    EXPECT_EQ(Le32(f, 6), 0u);  // both reserved fields
    EXPECT_EQ(Le32(f, 10), headerBytes);
    EXPECT_EQ(Le32(f, 14), headerBytes - 14);
    EXPECT_EQ(Le32(f, 18), width);
    EXPECT_EQ(Le32(f, 22), height);
    EXPECT_EQ(Le16(f, 26), 1u);
    EXPECT_EQ(Le16(f, 28), bits);
    EXPECT_EQ(Le32(f, 30), bits == 16 ? 3u : 0u);
    EXPECT_EQ(Le32(f, 34), imageBytes);
    for (size_t at = 38; at < 54; at += 4) EXPECT_EQ(Le32(f, at), 0u) << at;
    if (bits == 16) {
        EXPECT_EQ(Le32(f, 54), 0xF800u);
        EXPECT_EQ(Le32(f, 58), 0x07E0u);
        EXPECT_EQ(Le32(f, 62), 0x001Fu);
    }
}

}  // namespace

TEST(SaveBMP, Writes24BitRowsAsTheyAre) {
    ScratchDir dir;
    auto one = Working(1, 1, {0x10, 0x20, 0x30, 0});
    const Saved s = Save(*one, dir, 24);
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.err, "");
    ExpectHeaders(s.file, 1, 1, 24, 4);
    EXPECT_EQ(Bytes(s.file.begin() + 54, s.file.end()), (Bytes{0x10, 0x20, 0x30, 0}));
}

TEST(SaveBMP, Writes16BitRowsWithMasksAndPadding) {
    ScratchDir dir;
    // 3 x 2: white; blue 8, green 4, red 8; black on the bottom row, then the top row's three.
    Bytes rows = {0xFF, 0xFF, 0xFF, 8,    4,    8,    0,    0,    0,    0, 0, 0,
                  0x07, 0x03, 0xFF, 0xF8, 0xFC, 0x00, 0x12, 0x34, 0x56, 0, 0, 0};
    const Saved s = Save(*Working(3, 2, rows), dir, 16);
    EXPECT_EQ(s.result, 1);
    ExpectHeaders(s.file, 3, 2, 16, 16);
    // Truncation, not rounding: 0x07 >> 3 is 0, 0x03 >> 2 is 0.
    const Bytes pixels = {0xFF, 0xFF, 0x21, 0x08, 0x00, 0x00, 0, 0,
                          0x00, 0xF8, 0xFF, 0x07, 0xA2, 0x51, 0, 0};
    EXPECT_EQ(Bytes(s.file.begin() + 66, s.file.end()), pixels);
}

TEST(SaveBMP, Writes32BitRowsWithOpaqueFourthByte) {
    ScratchDir dir;
    Bytes rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    const Saved s = Save(*Working(2, 2, rows), dir, 32);
    ExpectHeaders(s.file, 2, 2, 32, 16);
    EXPECT_EQ(Bytes(s.file.begin() + 54, s.file.end()),
              (Bytes{1, 2, 3, 0xFF, 4, 5, 6, 0xFF, 7, 8, 9, 0xFF, 10, 11, 12, 0xFF}));
}

TEST(SaveBMP, PadsOnePixel16BitRows) {
    ScratchDir dir;
    const Saved s = Save(*Working(1, 2, {0, 0, 0xFF, 0, 0xFF, 0, 0, 0}), dir, 16);
    EXPECT_EQ(Bytes(s.file.begin() + 66, s.file.end()), (Bytes{0, 0xF8, 0, 0, 0x1F, 0, 0, 0}));
}

TEST(SaveBMP, EmptyPictureIsHeadersAlone) {
    ScratchDir dir;
    for (auto dims : {std::pair{0, 2}, std::pair{2, 0}}) {
        auto image = Working(dims.first, dims.second, {});
        for (int bits : {16, 24, 32}) {
            const Saved s = Save(*image, dir, bits);
            EXPECT_EQ(s.result, 1);
            ExpectHeaders(s.file, uint32_t(dims.first), uint32_t(dims.second), uint32_t(bits), 0);
        }
    }
}

TEST(SaveBMP, KeepsEvery16BitWordThroughA16BitSave) {
    ScratchDir dir;
    Bytes words;
    for (uint32_t v = 0; v < 65536; ++v) synth::Put16(words, v);
    synth::Fields f;
    f.width = 256;
    f.height = 256;
    f.bits = 16;
    testutil::WriteFile(dir / "in.bmp", synth::Make(f, {}, words));
    auto image = testutil::EmptyImage();
    ASSERT_EQ(ReadBMP(*image, (dir / "in.bmp").c_str()), 1);
    ConvertToRGB24(*image);
    const Saved s = Save(*image, dir, 16);
    EXPECT_TRUE(Bytes(s.file.begin() + 66, s.file.end()) == words);
}

TEST(SaveBMP, RefusesOtherDepthsWithoutTouchingTheFile) {
    ScratchDir dir;
    auto image = Working(1, 1, {1, 2, 3, 0});
    const std::string path = dir / "out.bmp";
    const Bytes existing = {'k', 'e', 'e', 'p'};
    for (int bits : {8, 15, 20, 33, 0, -24, INT32_MIN}) {
        std::filesystem::remove(path);
        CaptureStderr();
        EXPECT_EQ(SaveBMP(*image, path.c_str(), bits), 0);
        EXPECT_EQ(GetCapturedStderr(),
                  "SaveBMP: " + std::to_string(bits) + " bit is not supported.\n");
        EXPECT_FALSE(std::filesystem::exists(path));
        testutil::WriteFile(path, existing);
        CaptureStderr();
        EXPECT_EQ(SaveBMP(*image, path.c_str(), bits), 0);
        GetCapturedStderr();
        EXPECT_EQ(testutil::ReadFile(path), existing);
    }
}

TEST(SaveBMP, RefusesPicturesTooLargeForTheDepth) {
    // 2^27 pixels a row fit a 24-bit file but not a 32-bit one, whose row would be 2^29 bytes
    // but whose width * 32 bits overflows the 32-bit row rule.
    ScratchDir dir;
    auto image = Working(1 << 27, 0, {});
    const Saved wide = Save(*image, dir, 32);
    EXPECT_EQ(wide.result, 0);
    EXPECT_EQ(wide.err, "SaveBMP: image is too large for a 32 bit file.\n");
    EXPECT_TRUE(wide.file.empty());
    EXPECT_EQ(Save(*image, dir, 24).result, 1);
}

TEST(SaveBMP, ReportsOutputsThatCannotBeWritten) {
    ScratchDir dir;
    auto image = Working(2, 2, Bytes(16, 9));
    for (const std::string& path : {dir / "missing/out.bmp", dir / "", std::string("/dev/full")}) {
        CaptureStderr();
        EXPECT_EQ(SaveBMP(*image, path.c_str(), 24), 0) << path;
        EXPECT_EQ(GetCapturedStderr(), path + ": cannot write bmp file\n");
    }
    EXPECT_TRUE(dir.Entries().empty());
}

TEST(SaveBMP, ReplacesAnExistingFileWholeKeepingItsMode) {
    ScratchDir dir;
    const std::string path = dir / "out.bmp";
    testutil::WriteFile(path, Bytes(1000, 'x'));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    auto image = Working(1, 1, {1, 2, 3, 0});
    EXPECT_EQ(SaveBMP(*image, path.c_str(), 24), 1);
    EXPECT_EQ(testutil::ReadFile(path).size(), 58u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out.bmp"});  // no temporary file left
}

TEST(SaveBMP, WritesThroughALinkToTheFileItNames) {
    ScratchDir dir;
    testutil::WriteFile(dir / "real.bmp", Bytes(3, 'x'));
    std::filesystem::create_symlink("real.bmp", dir / "link.bmp");
    auto image = Working(1, 1, {1, 2, 3, 0});
    EXPECT_EQ(SaveBMP(*image, (dir / "link.bmp").c_str(), 24), 1);
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bmp"));
    EXPECT_EQ(testutil::ReadFile(dir / "real.bmp").size(), 58u);
}

TEST(SaveBMP, WritesDevicesInPlace) {
    auto image = Working(1, 1, {1, 2, 3, 0});
    EXPECT_EQ(SaveBMP(*image, "/dev/null", 32), 1);
}

TEST(SaveBMP, ManyEmptyRowsMakeHeadersAlone) {
    // Found by fuzzing: 150 million rows of width 0, from a 154-byte file.
    ScratchDir dir;
    synth::Fields f;
    f.width = 0;
    f.height = 150000000;
    f.bits = 8;
    testutil::WriteFile(dir / "in.bmp", synth::Make(f, {}, {}));
    auto image = testutil::EmptyImage();
    ASSERT_EQ(ReadBMP(*image, (dir / "in.bmp").c_str()), 1);
    ConvertToRGB24(*image);
    for (int bits : {16, 24, 32}) {
        const Saved s = Save(*image, dir, bits);
        EXPECT_EQ(s.result, 1);
        ExpectHeaders(s.file, 0, 150000000, uint32_t(bits), 0);
    }
}
