#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "tests/test_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testutil::Bytes;
using testutil::EmptyImage;
using testutil::ScratchDir;

namespace {

struct ReadOutcome {
    int result;
    std::string err;
};

ReadOutcome Read(BMPImage& image, const ScratchDir& dir, const Bytes& file) {
    const std::string path = dir / "in.bmp";
    testutil::WriteFile(path, file);
    CaptureStderr();
    const int result = ReadBMP(image, path.c_str());
    return {result, GetCapturedStderr()};
}

synth::Fields Fields(int32_t width, int32_t height, uint16_t bits) {
    synth::Fields f;
    f.width = width;
    f.height = height;
    f.bits = bits;
    return f;
}

// Expects a refusal with `message` that leaves nothing allocated.
void ExpectRefused(const Bytes& file, const std::string& message) {
    ScratchDir dir;
    auto image = EmptyImage();
    const ReadOutcome r = Read(*image, dir, file);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(image->pixels, nullptr);
    EXPECT_EQ(image->rgb24, nullptr);
}

}  // namespace

TEST(ReadBMP, LoadsHeaderFactsRowsAndZeroedWorkingBuffer) {
    ScratchDir dir;
    const Bytes rows = {1,  2,  3, 4, 5,  6,  0,  0,  7,  8,  9, 10,
                        11, 12, 0, 0, 13, 14, 15, 16, 17, 18, 0, 0};
    for (int32_t biHeight : {3, -3}) {
        auto image = EmptyImage();
        const ReadOutcome r = Read(*image, dir, synth::Make(Fields(2, biHeight, 24), {}, rows));
        ASSERT_EQ(r.result, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(image->width, 2);
        EXPECT_EQ(image->height, 3);
        EXPECT_EQ(image->topDown, biHeight < 0);
        EXPECT_EQ(image->bitCount, 24);
        EXPECT_EQ(image->stride, 8u);
        EXPECT_EQ(Bytes(image->pixels, image->pixels + rows.size()), rows);
        EXPECT_EQ(testutil::WorkingRows(*image), Bytes(24, 0));
    }
}

TEST(ReadBMP, TakesRowsFromOffBitsAndIgnoresWhatIsNotUsed) {
    ScratchDir dir;
    synth::Fields f = Fields(1, 1, 16);
    f.type = 0x5858;     // not "BM": read all the same
    f.clrUsed = 7;       // no palette for a 16-bit file
    f.offBits = 54 + 8;  // rows after a gap
    Bytes tail = {0xEE, 0xEE, 0xEE, 0xEE, 0x34, 0x12, 0, 0, 0x99, 0x99};  // gap, row, trailing junk
    auto image = EmptyImage();
    Bytes gap(4, 0xEE);
    ASSERT_EQ(Read(*image, dir, synth::Make(f, gap, tail)).result, 1);
    EXPECT_EQ(Bytes(image->pixels, image->pixels + 4), (Bytes{0x34, 0x12, 0, 0}));
    EXPECT_EQ(image->palette[0].rgbBlue, 0);
}

TEST(ReadBMP, ReadsTheCountedPaletteEntries) {
    ScratchDir dir;
    synth::Fields f = Fields(2, 1, 8);
    f.clrUsed = 2;
    auto image = EmptyImage();
    ASSERT_EQ(Read(*image, dir, synth::Make(f, {1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 0, 0})).result, 1);
    EXPECT_EQ(image->palette[1].rgbBlue, 5);
    EXPECT_EQ(image->palette[1].rgbRed, 7);
    for (int i = 2; i < 256; ++i) EXPECT_EQ(image->palette[i].rgbGreen, 0) << i;

    // A count of 0 means 256 entries: 1,024 bytes from offset 54.
    f.clrUsed = 0;
    Bytes palette(1024);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i / 4);
    auto full = EmptyImage();
    ASSERT_EQ(Read(*full, dir, synth::Make(f, palette, {0, 1, 0, 0})).result, 1);
    EXPECT_EQ(full->palette[255].rgbRed, 255);
    EXPECT_EQ(full->palette[256].rgbRed, 0);
}

TEST(ReadBMP, RefusesMissingAndShortFiles) {
    ScratchDir dir;
    auto image = EmptyImage();
    CaptureStderr();
    EXPECT_EQ(ReadBMP(*image, (dir / "absent.bmp").c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "No such file or directory.\n");
    EXPECT_EQ(image->width, 0);

    const Bytes valid = synth::Make(Fields(3, 2, 24), {}, Bytes(24, 7));
    ExpectRefused(Bytes(valid.begin(), valid.begin() + 53), "Read error.\n");  // short header
    ExpectRefused(Bytes(valid.begin(), valid.end() - 1), "Read error.\n");     // short rows
    ExpectRefused({}, "Read error.\n");

    // An 8-bit file ending inside its palette has no room left for its rows.
    synth::Fields f = Fields(4, 1, 8);
    ExpectRefused(synth::Make(f, Bytes(100, 1), {}), "Read error.\n");
}

TEST(ReadBMP, RefusesDepthsItCannotConvert) {
    for (int bits : {0, 1, 4, 15, 48}) {
        ExpectRefused(synth::Make(Fields(1, 1, uint16_t(bits)), {}, Bytes(8, 0)),
                      "ReadBMP: " + std::to_string(bits) + " bit is not supported.\n");
    }
}

TEST(ReadBMP, RefusesImpossibleSizes) {
    const std::string bad = "ReadBMP: bad image size.\n";
    ExpectRefused(synth::Make(Fields(-1, 1, 24), {}, Bytes(4, 0)), bad);
    ExpectRefused(synth::Make(Fields(1, INT_MIN, 24), {}, Bytes(4, 0)), bad);
    ExpectRefused(synth::Make(Fields(1 << 28, 1, 16), {}, {}), bad);    // width * 16 overflows
    ExpectRefused(synth::Make(Fields(1 << 28, 0, 8), {}, {}), bad);     // fine at 8, not at 24
    ExpectRefused(synth::Make(Fields(65536, 65536, 32), {}, {}), bad);  // height * stride
    // The depth is looked at first.
    ExpectRefused(synth::Make(Fields(-1, 1, 4), {}, {}), "ReadBMP: 4 bit is not supported.\n");
}

TEST(ReadBMP, RefusesPalettesLargerThanTheRecord) {
    synth::Fields f = Fields(1, 1, 8);
    f.clrUsed = 65537;
    ExpectRefused(synth::Make(f, {}, Bytes(4, 0)), "ReadBMP: bad palette size.\n");
    f.clrUsed = 65536;  // the largest it holds; the entries need not all be in the file
    ScratchDir dir;
    auto image = EmptyImage();
    f.offBits = 54;
    EXPECT_EQ(Read(*image, dir, synth::Make(f, {}, {9, 8, 7, 6})).result, 1);
    EXPECT_EQ(image->palette[0].rgbBlue, 9);
    EXPECT_EQ(image->palette[1].rgbBlue, 0);
}

TEST(ReadBMP, RefusesHugeClaimsOfSmallFilesBeforeAllocating) {
    // 30000 x 30000 x 24 bits would take 2.7 GB: the file's length rules it out first.
    Bytes file = synth::Make(Fields(30000, 30000, 24), {}, Bytes(46, 0));
    ASSERT_EQ(file.size(), 100u);
    ExpectRefused(file, "Read error.\n");
}
