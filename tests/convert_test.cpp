#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "tests/test_util.h"

using testutil::Bytes;
using testutil::LoadedImage;
using testutil::WorkingRows;

TEST(ExpansionTables, AreRoundedScalesToEightBits) {
    for (int i = 0; i < 32; ++i) EXPECT_EQ(Expand5To8[i], std::lround(i * 255.0 / 31)) << i;
    for (int i = 0; i < 64; ++i) EXPECT_EQ(Expand6To8[i], std::lround(i * 255.0 / 63)) << i;
    EXPECT_EQ(Expand5To8[3], 25);  // not bit replication, which gives 24
    EXPECT_EQ(Expand6To8[11], 45);
}

TEST(ExpansionTables, TruncateBackToTheirIndex) {
    // What lets a 16-bit file survive a 16-bit save unchanged.
    for (int i = 0; i < 32; ++i) EXPECT_EQ(Expand5To8[i] >> 3, i);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(Expand6To8[i] >> 2, i);
}

TEST(Convert, Widens565Fields) {
    const uint16_t words[] = {0xFFFF, 0xF800, 0x07E0, 0x001F, 0x0821};
    const uint8_t bgr[][3] = {{255, 255, 255}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {8, 4, 8}};
    Bytes pixels;
    for (uint16_t w : words) synth::Put16(pixels, w);
    pixels.resize(12, 0);
    auto image = LoadedImage(5, 1, 16, false, pixels);
    ConvertToRGB24(*image);
    for (int k = 0; k < 5; ++k)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(image->rgb24[3 * k + c], bgr[k][c]) << k << c;
}

TEST(Convert, CopiesBottomUp24BitRowsWithZeroPadding) {
    Bytes pixels(32);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i + 1);
    auto image = LoadedImage(5, 2, 24, false, pixels);  // rows of 15 bytes + 1 padding
    ConvertToRGB24(*image);
    Bytes expected = pixels;
    expected[15] = expected[31] = 0;
    EXPECT_EQ(WorkingRows(*image), expected);
}

TEST(Convert, Ignores32BitFourthByte) {
    const Bytes bgr = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    Bytes p24 = bgr, p32;
    p24.resize(12, 0);
    for (size_t k = 0; k < 3; ++k)
        p32.insert(p32.end(), {bgr[3 * k], bgr[3 * k + 1], bgr[3 * k + 2], uint8_t(0x5A + k)});
    auto a = LoadedImage(3, 1, 24, false, p24);
    auto b = LoadedImage(3, 1, 32, false, p32);
    ConvertToRGB24(*a);
    ConvertToRGB24(*b);
    EXPECT_EQ(WorkingRows(*a), WorkingRows(*b));
    EXPECT_EQ(WorkingRows(*a), p24);
}

TEST(Convert, TurnsTopDownRowsOver) {
    const Bytes top = {10, 11, 12, 0}, bottom = {20, 21, 22, 0};
    Bytes stored = top;  // a top-down file stores the top row first
    stored.insert(stored.end(), bottom.begin(), bottom.end());
    auto image = LoadedImage(1, 2, 24, true, stored);
    ConvertToRGB24(*image);
    Bytes expected = bottom;  // working rows are bottom row first
    expected.insert(expected.end(), top.begin(), top.end());
    EXPECT_EQ(WorkingRows(*image), expected);

    auto bottomUp = LoadedImage(1, 2, 24, false, stored);
    ConvertToRGB24(*bottomUp);
    EXPECT_EQ(WorkingRows(*bottomUp), stored);
}

TEST(Convert, LooksUpPaletteAndMissingEntriesAreBlack) {
    auto image = LoadedImage(3, 1, 8, false, {0, 1, 200, 0});
    image->palette[0] = {1, 2, 3, 99};
    image->palette[1] = {4, 5, 6, 99};
    ConvertToRGB24(*image);
    EXPECT_EQ(WorkingRows(*image), (Bytes{1, 2, 3, 4, 5, 6, 0, 0, 0, 0, 0, 0}));
}

TEST(Convert, EveryDepthAndOrderGivesTheSamePicture) {
    // One pattern stored four ways must decode alike, given the 5-6-5 loss of the 16-bit one.
    const uint32_t w = 7, h = 5;
    Bytes p24(size_t(RowBytes(w, 24)) * h, 0), p32(size_t(w) * 4 * h), p32TopDown(p32.size());
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (uint32_t c = 0; c < 3; ++c) {
                const uint8_t v = uint8_t(x * 31 + y * 7 + c * 50);
                p24[y * RowBytes(w, 24) + 3 * x + c] = v;
                p32[(y * w + x) * 4 + c] = v;
                p32TopDown[((h - 1 - y) * w + x) * 4 + c] = v;
            }
    auto a = LoadedImage(w, h, 24, false, p24);
    auto b = LoadedImage(w, h, 32, false, p32);
    auto c = LoadedImage(w, h, 32, true, p32TopDown);
    ConvertToRGB24(*a);
    ConvertToRGB24(*b);
    ConvertToRGB24(*c);
    EXPECT_EQ(WorkingRows(*a), p24);
    EXPECT_EQ(WorkingRows(*b), p24);
    EXPECT_EQ(WorkingRows(*c), p24);
}

TEST(Convert, EmptyPictureLeavesWorkingBufferAlone) {
    for (auto dims : {std::pair{0, 3}, std::pair{3, 0}}) {
        auto image = LoadedImage(dims.first, dims.second, 24, false, {});
        FreePixels(image->rgb24);
        image->rgb24 = AllocatePixels(16);  // room to see a stray write
        std::fill(image->rgb24, image->rgb24 + 16, 0xAB);
        ConvertToRGB24(*image);
        EXPECT_EQ(Bytes(image->rgb24, image->rgb24 + 16), Bytes(16, 0xAB));
    }
}
