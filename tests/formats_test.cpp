// Files as other programs write them: longer and shorter headers, OS/2 1.x, colour masks, RLE8.
// Expected colours are worked out by hand from the bytes each test lays down.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/bmp_rle.h"
#include "tests/test_util.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testutil::Bytes;
using testutil::ScratchDir;

namespace {

struct Converted {
    int result;
    std::string err;
    Bytes rows;  // working rows, bottom row first
};

Converted Convert(const Bytes& file) {
    ScratchDir dir;
    testutil::WriteFile(dir / "in.bmp", file);
    auto image = testutil::EmptyImage();
    CaptureStderr();
    const int result = ReadBMP(*image, (dir / "in.bmp").c_str());
    Converted c{result, GetCapturedStderr(), {}};
    if (result) {
        ConvertToRGB24(*image);
        c.rows = testutil::WorkingRows(*image);
    } else {
        EXPECT_EQ(image->pixels, nullptr);
        EXPECT_EQ(image->rgb24, nullptr);
    }
    return c;
}

synth::Fields Fields(int32_t width, int32_t height, uint16_t bits, uint32_t compression = 0) {
    synth::Fields f;
    f.width = width;
    f.height = height;
    f.bits = bits;
    f.compression = compression;
    return f;
}

Bytes Masks(std::vector<uint32_t> masks) {
    Bytes b;
    for (uint32_t m : masks) synth::Put32(b, m);
    return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Two palette entries: 0 dark blue, 1 orange, in blue, green, red, reserved order.
const Bytes kTwoColours = {0x80, 0, 0, 0, 0x10, 0x80, 0xF0, 0};
const Bytes kTwoColourRows = {0x80, 0, 0, 0x10, 0x80, 0xF0, 0, 0};  // a 2 x 1 picture of 0, 1

}  // namespace

TEST(InfoHeaderSizes, PaletteFollowsTheHeaderWhateverItsSize) {
    for (uint32_t size : {40u, 52u, 56u, 64u, 108u, 124u}) {
        synth::Fields f = Fields(2, 1, 8);
        f.infoSize = size;
        f.clrUsed = 2;
        const Bytes rest(size - 40, 0xCC);  // the longer header's own fields
        const Converted c = Convert(synth::Make(f, Concat(rest, kTwoColours), {0, 1, 0, 0}));
        ASSERT_EQ(c.result, 1) << size << c.err;
        EXPECT_EQ(c.rows, kTwoColourRows) << size;
    }
}

TEST(InfoHeaderSizes, SixteenByteHeaderHasNoCountAndNoCompression) {
    // The bytes where a 40-byte header keeps compression and the colour count are palette here.
    synth::Fields f = Fields(2, 1, 8);
    f.infoSize = 16;
    f.offBits = 30 + 1024;
    Bytes file = synth::Make(f, {}, {});
    file.resize(30);  // file header and 16 bytes of information header
    Bytes palette(1024, 0);
    std::copy(kTwoColours.begin(), kTwoColours.end(), palette.begin());
    palette[4 * 255 + 2] = 0x33;
    file = Concat(Concat(file, palette), {0, 255, 0, 0});
    const Converted c = Convert(file);
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, (Bytes{0x80, 0, 0, 0, 0, 0x33, 0, 0}));  // entry 255 read: 256 entries
}

TEST(InfoHeaderSizes, UnknownSizeReadsAsForty) {
    synth::Fields f = Fields(2, 1, 8);
    f.infoSize = 66;
    f.clrUsed = 2;
    const Converted c = Convert(synth::Make(f, kTwoColours, {0, 1, 0, 0}));
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, kTwoColourRows);
}

TEST(Palette, MoreThan256EntriesAndFewerBothWork) {
    synth::Fields f = Fields(3, 1, 8);
    f.clrUsed = 300;
    Bytes palette(1200, 0);
    palette[4 * 255] = 0x55;
    const Converted many = Convert(synth::Make(f, palette, {255, 0, 7, 0}));
    ASSERT_EQ(many.result, 1);
    EXPECT_EQ(many.rows, (Bytes{0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    f.clrUsed = 1;
    const Converted few = Convert(synth::Make(f, {9, 8, 7, 0}, {0, 1, 0, 0}));
    EXPECT_EQ(few.rows, (Bytes{9, 8, 7, 0, 0, 0, 9, 8, 7, 0, 0, 0}));  // entry 1 is black
}

TEST(OS2, ReadsEightBitWithThreeByteEntries) {
    const Bytes palette = {0x80, 0, 0, 0x10, 0x80, 0xF0, 1, 2, 3};  // three entries
    const Converted c = Convert(synth::OS2(3, 2, 8, palette, {2, 1, 0, 0, 1, 1, 9, 0}));
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, (Bytes{1,    2,    3,    0x10, 0x80, 0xF0, 0x80, 0, 0, 0, 0, 0, 0x10,
                             0x80, 0xF0, 0x10, 0x80, 0xF0, 0,    0,    0, 0, 0, 0}));  // 9: black
}

TEST(OS2, ReadsTwentyFourBit) {
    const Bytes rows = {1, 2, 3, 4, 5, 6, 0, 0};
    const Converted c = Convert(synth::OS2(2, 1, 24, {}, rows));
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, rows);
}

TEST(OS2, PaletteIsLimitedTo256Entries) {
    Bytes palette(3 * 300, 0);
    palette[3 * 256] = 0x77;  // entry 256: not a palette entry, and never reached
    palette[3 * 255] = 0x66;
    const Converted c = Convert(synth::OS2(1, 1, 8, palette, {255, 0, 0, 0}));
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, (Bytes{0x66, 0, 0, 0}));
}

namespace {

// A 1 x 1 16- or 32-bit BITFIELDS file whose masks follow a 40-byte header.
Bytes MaskedPixel(uint16_t bits, const std::vector<uint32_t>& masks, uint32_t pixel,
                  uint32_t compression = 3) {
    Bytes row;
    if (bits == 16) {
        synth::Put16(row, pixel);
        row.resize(4, 0);
    } else {
        synth::Put32(row, pixel);
    }
    return synth::Make(Fields(1, 1, bits, compression), Masks(masks), row);
}

Bytes BGR(uint8_t b, uint8_t g, uint8_t r) { return {b, g, r, 0}; }

}  // namespace

TEST(ColourMasks, SixteenBitLayouts) {
    // 5-5-5: 0x4210 holds 16 in each field; round(16 * 255 / 31) = 132.
    EXPECT_EQ(Convert(MaskedPixel(16, {0x7C00, 0x03E0, 0x001F}, 0x4210)).rows, BGR(132, 132, 132));
    EXPECT_EQ(Convert(MaskedPixel(16, {0x7C00, 0x03E0, 0x001F}, 0x7FFF)).rows, BGR(255, 255, 255));
    // 4-4-4-4 with alpha on top: red 8 -> 136, green 12 -> 204, blue 4 -> 68.
    EXPECT_EQ(Convert(MaskedPixel(16, {0x0F00, 0x00F0, 0x000F}, 0xF8C4)).rows, BGR(68, 204, 136));
    // 5-6-5 spelled out behaves as the default.
    EXPECT_EQ(Convert(MaskedPixel(16, {0xF800, 0x07E0, 0x001F}, 0x0821)).rows, BGR(8, 4, 8));
    // An empty mask gives 0: red 8 bits, green 8 bits, no blue.
    EXPECT_EQ(Convert(MaskedPixel(16, {0xFF00, 0x00FF, 0}, 0x40C0)).rows, BGR(0, 0xC0, 0x40));
}

TEST(ColourMasks, ThirtyTwoBitChannelOrdersAndWideFields) {
    const uint32_t bytes = 0x44332211;  // stored 11 22 33 44
    EXPECT_EQ(Convert(MaskedPixel(32, {0x00FF0000, 0x0000FF00, 0x000000FF}, bytes)).rows,
              BGR(0x11, 0x22, 0x33));  // BGRA, the default
    EXPECT_EQ(Convert(MaskedPixel(32, {0x000000FF, 0x0000FF00, 0x00FF0000}, bytes)).rows,
              BGR(0x33, 0x22, 0x11));  // RGBA
    EXPECT_EQ(Convert(MaskedPixel(32, {0xFF000000, 0x00FF0000, 0x0000FF00}, bytes)).rows,
              BGR(0x22, 0x33, 0x44));  // XBGR
    // 10-10-10: red 1023, green 512 -> round(512 * 255 / 1023) = 128, blue 1 -> 0.
    const uint32_t p1010 = 1023u << 20 | 512u << 10 | 1u;
    EXPECT_EQ(Convert(MaskedPixel(32, {0x3FF00000, 0x000FFC00, 0x000003FF}, p1010)).rows,
              BGR(0, 128, 255));
    // 11-11-10: red 1024 -> 127.56 -> 128, green 2047 -> 255, blue 2 -> round(0.4985) = 0.
    const uint32_t p11 = 1024u << 21 | 2047u << 10 | 2u;
    EXPECT_EQ(Convert(MaskedPixel(32, {0xFFE00000, 0x001FFC00, 0x000003FF}, p11)).rows,
              BGR(0, 255, 128));
    // BI_ALPHABITFIELDS reads its masks the same way.
    EXPECT_EQ(Convert(MaskedPixel(32, {0x000000FF, 0x0000FF00, 0x00FF0000}, bytes, 6)).rows,
              BGR(0x33, 0x22, 0x11));
}

TEST(ColourMasks, InsideALongHeader) {
    for (uint32_t size : {52u, 56u, 108u, 124u}) {
        synth::Fields f = Fields(1, 1, 32, 3);
        f.infoSize = size;
        Bytes header = Masks({0x000000FF, 0x0000FF00, 0x00FF0000});
        header.resize(size - 40, 0);
        const Converted c = Convert(synth::Make(f, header, {0x11, 0x22, 0x33, 0x44}));
        ASSERT_EQ(c.result, 1) << size;
        EXPECT_EQ(c.rows, BGR(0x33, 0x22, 0x11)) << size;
    }
}

TEST(ColourMasks, AbsentMasksKeepTheDefaultLayout) {
    // BITFIELDS, a 40-byte header and pixels at 54: no room for masks, so 5-6-5 and BGRX.
    EXPECT_EQ(Convert(synth::Make(Fields(1, 1, 16, 3), {}, {0x21, 0x08, 0, 0})).rows, BGR(8, 4, 8));
    EXPECT_EQ(Convert(synth::Make(Fields(1, 1, 32, 3), {}, {1, 2, 3, 4})).rows, BGR(1, 2, 3));
    // Without BITFIELDS, bytes that look like masks are only a gap before the pixels.
    EXPECT_EQ(
        Convert(synth::Make(Fields(1, 1, 16, 0), Masks({0x7C00, 0x3E0, 0x1F}), {0x21, 0x08, 0, 0}))
            .rows,
        BGR(8, 4, 8));
}

TEST(ColourMasks, RefusesBrokenMasks) {
    const std::string bad = "ReadBMP: bad colour masks.\n";
    EXPECT_EQ(Convert(MaskedPixel(16, {0xF0F0, 0x0F00, 0x000F}, 0)).err, bad);    // two runs
    EXPECT_EQ(Convert(MaskedPixel(16, {0xFF00, 0x0FF0, 0x000F}, 0)).err, bad);    // overlap
    EXPECT_EQ(Convert(MaskedPixel(16, {0x1F0000, 0x07E0, 0x001F}, 0)).err, bad);  // past 16 bits
    EXPECT_EQ(Convert(MaskedPixel(32, {0xFF, 0xFF, 0xFF00}, 0)).err, bad);
    // Masks that the file does not hold in full.
    synth::Fields f = Fields(1, 1, 16, 3);
    f.infoSize = 56;
    EXPECT_EQ(Convert(synth::Make(f, {0, 0xF8, 0, 0}, {})).err, "Read error.\n");
}

TEST(Compression, RefusesWhatItCannotDecode) {
    const std::vector<std::pair<uint16_t, uint32_t>> cases = {
        {8, 2}, {24, 1}, {16, 1}, {24, 4}, {24, 5}, {32, 11}, {8, 0xFFFFFFFF}};
    for (const auto& [bits, compression] : cases) {
        const Converted c = Convert(synth::Make(Fields(1, 1, bits, compression), {}, Bytes(4, 0)));
        EXPECT_EQ(c.result, 0);
        EXPECT_EQ(c.err,
                  "ReadBMP: compression " + std::to_string(compression) + " is not supported.\n");
    }
    // The depth is looked at first: RLE4 on a 4-bit file is refused for its depth.
    EXPECT_EQ(Convert(synth::Make(Fields(1, 1, 4, 2), {}, Bytes(4, 0))).err,
              "ReadBMP: 4 bit is not supported.\n");
    // BITFIELDS on an 8- or 24-bit file means nothing and is accepted.
    EXPECT_EQ(Convert(synth::Make(Fields(1, 1, 24, 3), {}, {1, 2, 3, 0})).rows, BGR(1, 2, 3));
}

namespace {

// A 4 x 3 RLE8 picture with palette entry i = (i, i, i); rows come back as the indices.
Converted DecodeRLE(const Bytes& data, int32_t height = 3) {
    synth::Fields f = Fields(4, height, 8, 1);
    Bytes palette;
    for (int i = 0; i < 256; ++i)
        palette.insert(palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    Converted c = Convert(synth::Make(f, palette, data));
    Bytes indices;
    for (size_t i = 0; i < c.rows.size(); i += 12)
        for (size_t k = 0; k < 4; ++k) indices.push_back(c.rows[i + 3 * k]);
    c.rows = indices;
    return c;
}

}  // namespace

TEST(RLE8, DecodesRunsLiteralsAndMoves) {
    const Bytes data = {0, 2, 1, 0,        // delta: one column right
                        2, 7,              // bottom row: _ 7 7
                        0, 2, 0, 1,        // delta: one row up, same column
                        1, 4,              // middle row: _ _ _ 4
                        0, 0,              // end of line
                        0, 3, 1, 2, 3, 0,  // top row: literal 1 2 3, padded to an even count
                        0, 1};             // end of bitmap
    const Converted c = DecodeRLE(data);
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, (Bytes{0, 7, 7, 0, 0, 0, 0, 4, 1, 2, 3, 0}));
}

TEST(RLE8, EarlyEndLeavesIndexZero) {
    const Converted c = DecodeRLE({4, 6, 0, 1, 0xEE, 0xEE});  // data after the end is ignored
    ASSERT_EQ(c.result, 1) << c.err;
    EXPECT_EQ(c.rows, (Bytes{6, 6, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RLE8, RefusesHostileData) {
    const std::string bad = "ReadBMP: bad RLE data.\n";
    const std::vector<Bytes> streams = {
        {5, 1, 0, 1},                                // run past the row end
        {2, 1, 3, 1, 0, 1},                          // second run past the row end
        {0, 5, 1, 2, 3, 4, 5, 0, 0, 1},              // literal run past the row end
        {0, 2, 5, 0, 0, 1},                          // delta past the row end
        {0, 2, 0, 4, 0, 1},                          // delta past the picture
        {0, 0, 0, 0, 0, 0, 1, 1, 0, 1},              // a run above the top row
        {0, 0, 0, 0, 0, 0, 0, 3, 1, 1, 1, 0, 0, 1},  // a literal run above the top row
        {4, 1, 0, 0},                                // no end of bitmap
        {4, 1},                                      // no end of bitmap
        {0, 3, 1, 2},                                // literal run past the data
        {0, 3, 1, 2, 3},                             // its padding missing
        {0, 2, 1},                                   // delta cut short
        {},                                          // no data at all
    };
    for (const Bytes& data : streams) {
        const Converted c = DecodeRLE(data);
        EXPECT_EQ(c.result, 0) << testing::PrintToString(data);
        EXPECT_EQ(c.err, bad) << testing::PrintToString(data);
    }
    EXPECT_EQ(DecodeRLE({0, 1}, -3).err, bad);  // top-down RLE does not exist
}

TEST(RLE8, MovesToTheVeryEndAreAllowed) {
    // A delta to the end of the last row, or an end of line past it, writes nothing.
    EXPECT_EQ(DecodeRLE({4, 2, 0, 2, 0, 2, 0, 1}).result, 1);
    EXPECT_EQ(DecodeRLE({0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).result, 1);
}

TEST(RLE8, SmallFileCannotClaimAHugePicture) {
    synth::Fields f = Fields(20000, 20000, 8, 1);
    const Converted c = Convert(synth::Make(f, Bytes(1024, 0), {0, 1}));
    EXPECT_EQ(c.err, "ReadBMP: bad RLE data.\n");
}

TEST(RLE8, DecoderNeverWritesOutsideItsRows) {
    // Rows of 4 pixels padded to 8: runs ending exactly at a row end must not spill over.
    uint8_t rows[8 * 2 + 4] = {};
    const Bytes data = {4, 1, 0, 0, 4, 2, 0, 1};
    ASSERT_EQ(DecodeRLE8(data.data(), data.size(), rows, 4, 2, 8), 1);
    const Bytes expected = {1, 1, 1, 1, 0, 0, 0, 0, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(rows, rows + sizeof rows), expected);
}
