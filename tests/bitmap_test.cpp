// The row rule, the converter and the writer, on images built in memory.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "bitmap/bmp_io.h"
#include "bitmap/pixel_rows.h"
#include "tests/test_util.h"

using namespace testutil;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// CTest runs this suite once more on the portable loops, as it runs by default on the widest.
const int kChosenLoops = [] {
    const char* name = std::getenv("BMPDEPTH_TEST_LOOPS");
    if (name && !UseRowLoops(name)) std::abort();
    return 0;
}();

TEST(RowBytes, PadsRowsToFourBytes) {
    const uint32_t cases[][3] = {{5, 24, 16}, {4, 24, 12}, {3, 24, 12}, {1, 24, 4}, {3, 16, 8},
                                 {2, 16, 4},  {1, 16, 4},  {5, 8, 8},   {0, 24, 0}, {7, 32, 28}};
    for (const auto& c : cases) EXPECT_EQ(RowBytes(c[0], c[1]), c[2]) << c[0] << " x " << c[1];
}

TEST(ImageBytes, RefusesWhatDoesNotFitIn32Bits) {
    uint32_t row = 0, total = 0;
    EXPECT_TRUE(ImageBytes(5, 3, 24, row, total) && row == 16 && total == 48);
    EXPECT_TRUE(ImageBytes(4, 0x3FFFFFFF, 8, row, total) && total == 0xFFFFFFFC);  // the limit
    EXPECT_TRUE(ImageBytes(1 << 27, 0, 24, row, total));
    EXPECT_FALSE(ImageBytes(1 << 27, 0, 32, row, total));  // width * bits is 2^32
    EXPECT_FALSE(ImageBytes(1024, 1 << 20, 32, row, total));
    EXPECT_FALSE(ImageBytes(-1, 1, 24, row, total));
    EXPECT_FALSE(ImageBytes(1, -1, 24, row, total));
}

TEST(ExpansionTables, RoundAndTruncateBackToTheirIndex) {
    for (int i = 0; i < 32; ++i) {
        EXPECT_EQ(Expand5To8[i], std::lround(i * 255.0 / 31)) << i;
        EXPECT_EQ(Expand5To8[i] >> 3, i);  // what lets 5-6-5 survive a 16-bit save
    }
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(Expand6To8[i], std::lround(i * 255.0 / 63)) << i;
        EXPECT_EQ(Expand6To8[i] >> 2, i);
    }
}

TEST(RowLoops, EverySetWritesWhatThePortableOneWrites) {
    const auto sets = AvailableRowLoops();
    const PixelRowLoops& portable = *sets.front();
    uint32_t colours[256];
    for (uint32_t i = 0; i < 256; ++i) colours[i] = (i * 0x9E3779B1u) >> 8;
    Bytes src(4 * 200);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i * 131 + (i >> 3));
    // A row of `width` pixels of `bytes` each, and 8 bytes beyond it that must stay as they were.
    const auto row = [](uint32_t width, uint32_t bytes, auto loop) {
        Bytes out(size_t(width) * bytes + 8, 0xA5);
        loop(out.data());
        return out;
    };
    using Loop = void (*PixelRowLoops::*)(const uint8_t*, uint8_t*, uint32_t);
    const std::pair<Loop, uint32_t> loops[] = {{&PixelRowLoops::decode565, 3},
                                               {&PixelRowLoops::decodeBGRX, 3},
                                               {&PixelRowLoops::encode565, 2},
                                               {&PixelRowLoops::encodeBGRX, 4}};
    for (const PixelRowLoops* set : sets)
        for (uint32_t w = 0; w <= 200; ++w) {  // every main loop and every tail runs
            const uint8_t* s = src.data();
            EXPECT_EQ(row(w, 3, [&](uint8_t* d) { set->decodePalette(colours, s, d, w); }),
                      row(w, 3, [&](uint8_t* d) { portable.decodePalette(colours, s, d, w); }))
                << set->name << " " << w;
            for (const auto& [loop, bytes] : loops)
                EXPECT_EQ(row(w, bytes, [&](uint8_t* d) { (set->*loop)(s, d, w); }),
                          row(w, bytes, [&](uint8_t* d) { (portable.*loop)(s, d, w); }))
                    << set->name << " " << w;
        }
}

TEST(Convert, DecodesEachDepth) {
    // 5-6-5: white, red, green, blue, and 1 in each field.
    Bytes words;
    for (uint32_t w : {0xFFFF, 0xF800, 0x07E0, 0x001F, 0x0821}) synth::Put16(words, w);
    words.resize(12, 0);
    auto w565 = LoadedImage(5, 1, 16, false, words);
    ConvertToRGB24(*w565);
    EXPECT_EQ(WorkingRows(*w565),
              (Bytes{255, 255, 255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 8, 4, 8, 0}));
    // A palette index beyond the entries the file gave is black.
    auto pal = LoadedImage(3, 1, 8, false, {1, 200, 0, 0});
    pal->palette[0] = {1, 2, 3, 99};
    pal->palette[1] = {4, 5, 6, 99};
    ConvertToRGB24(*pal);
    EXPECT_EQ(WorkingRows(*pal), (Bytes{4, 5, 6, 0, 0, 0, 1, 2, 3, 0, 0, 0}));
    // The fourth byte of a 32-bit pixel is not colour.
    auto bgrx = LoadedImage(2, 1, 32, false, {1, 2, 3, 0x5A, 4, 5, 6, 0xA5});
    ConvertToRGB24(*bgrx);
    EXPECT_EQ(WorkingRows(*bgrx), (Bytes{1, 2, 3, 4, 5, 6, 0, 0}));
}

TEST(Convert, StoresBottomRowFirstWithZeroPadding) {
    const Bytes stored = {1, 2, 3, 0xEE, 4, 5, 6, 0xEE};  // two 1-pixel rows, padding set
    auto bottomUp = LoadedImage(1, 2, 24, false, stored);
    auto topDown = LoadedImage(1, 2, 24, true, stored);
    ConvertToRGB24(*bottomUp);
    ConvertToRGB24(*topDown);
    EXPECT_EQ(WorkingRows(*bottomUp), (Bytes{1, 2, 3, 0, 4, 5, 6, 0}));
    EXPECT_EQ(WorkingRows(*topDown), (Bytes{4, 5, 6, 0, 1, 2, 3, 0}));  // turned over
}

namespace {

Bytes Header(uint32_t bits, uint32_t width, uint32_t height, uint32_t imageBytes) {
    const uint32_t headerBytes = bits == 16 ? 66 : 54;
    Bytes b = {'B', 'M'};
    for (uint32_t v : {headerBytes + imageBytes, 0u, headerBytes, headerBytes - 14, width, height})
        synth::Put32(b, v);
    synth::Put16(b, 1);
    synth::Put16(b, bits);
    for (uint32_t v : {bits == 16 ? 3u : 0u, imageBytes, 0u, 0u, 0u, 0u}) synth::Put32(b, v);
    if (bits == 16)
        for (uint32_t mask : {0xF800, 0x07E0, 0x001F}) synth::Put32(b, mask);
    return b;
}

Bytes Saved(const BMPImage& image, int bits) {
    ScratchDir dir;
    EXPECT_EQ(SaveBMP(image, (dir / "out.bmp").c_str(), bits), 1);
    return ReadFile(dir / "out.bmp");
}

}  // namespace

TEST(SaveBMP, WritesEachDepthExactly) {
    auto one = LoadedImage(1, 1, 24, false, {0x10, 0x20, 0x30, 0});
    ConvertToRGB24(*one);
    EXPECT_EQ(Saved(*one, 24), synth::Concat(Header(24, 1, 1, 4), {0x10, 0x20, 0x30, 0}));

    // Truncation, not rounding, to 5-6-5: 0x07 >> 3 and 0x03 >> 2 are 0.
    auto six = LoadedImage(3, 2, 24, false,
                           {0xFF, 0xFF, 0xFF, 8,    4,    8,    0,    0,    0,    0, 0, 0,
                            0x07, 0x03, 0xFF, 0xF8, 0xFC, 0x00, 0x12, 0x34, 0x56, 0, 0, 0});
    ConvertToRGB24(*six);
    EXPECT_EQ(Saved(*six, 16),
              synth::Concat(Header(16, 3, 2, 16), {0xFF, 0xFF, 0x21, 0x08, 0, 0, 0, 0, 0x00, 0xF8,
                                                   0xFF, 0x07, 0xA2, 0x51, 0, 0}));

    auto four = LoadedImage(2, 2, 24, false, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0});
    ConvertToRGB24(*four);
    EXPECT_EQ(Saved(*four, 32),
              synth::Concat(Header(32, 2, 2, 16),
                            {1, 2, 3, 0xFF, 4, 5, 6, 0xFF, 7, 8, 9, 0xFF, 10, 11, 12, 0xFF}));
}

TEST(SaveBMP, EmptyPicturesAreHeadersAlone) {
    // 150 million rows of width 0 came from a 154-byte fuzzer input: they must cost nothing.
    for (auto [w, h] : {std::pair{0u, 2u}, std::pair{2u, 0u}, std::pair{0u, 150000000u}}) {
        auto image = LoadedImage(int32_t(w), int32_t(h), 24, false, {});
        ConvertToRGB24(*image);
        for (uint32_t bits : {16u, 24u, 32u})
            EXPECT_EQ(Saved(*image, int(bits)), Header(bits, w, h, 0)) << w << " x " << h;
    }
}

TEST(SaveBMP, KeepsEvery16BitWordThroughA16BitSave) {
    Bytes words;
    for (uint32_t v = 0; v < 65536; ++v) synth::Put16(words, v);
    auto image = LoadedImage(256, 256, 16, false, words);
    ConvertToRGB24(*image);
    EXPECT_TRUE(Saved(*image, 16) == synth::Concat(Header(16, 256, 256, 131072), words));
}

TEST(SaveBMP, RefusesPicturesTooLargeForTheDepth) {
    // Rows of 2^27 pixels fit a 24-bit file, but at 32 bits the row's bit count overflows.
    ScratchDir dir;
    auto image = LoadedImage(1 << 27, 0, 24, false, {});
    CaptureStderr();
    EXPECT_EQ(SaveBMP(*image, (dir / "out.bmp").c_str(), 32), 0);
    EXPECT_EQ(GetCapturedStderr(), "SaveBMP: image is too large for a 32 bit file.\n");
    EXPECT_TRUE(dir.Entries().empty());
    EXPECT_EQ(SaveBMP(*image, (dir / "out.bmp").c_str(), 24), 1);
}
