// The reader, on files built byte by byte: header facts, palettes, the header variants other
// programs write, colour masks, RLE8, and every refusal with its reason.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "bitmap/bmp_io.h"
#include "bitmap/bmp_rle.h"
#include "tests/test_util.h"

using namespace testutil;
using synth::Concat;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct Loaded {
    ImagePtr image;
    std::string err;
    Bytes rows;  // working rows after conversion; empty when refused
};

Loaded Load(const Bytes& file) {
    ScratchDir dir;
    WriteFile(dir / "in.bmp", file);
    Loaded r{EmptyImage(), "", {}};
    CaptureStderr();
    const int ok = ReadBMP(*r.image, (dir / "in.bmp").c_str());
    r.err = GetCapturedStderr();
    if (ok) {
        EXPECT_EQ(WorkingRows(*r.image), Bytes(r.image->height * RowBytes(r.image->width, 24), 0));
        ConvertToRGB24(*r.image);
        r.rows = WorkingRows(*r.image);
    } else {
        EXPECT_TRUE(!r.image->pixels && !r.image->rgb24) << "a refusal left a buffer";
    }
    return r;
}

Bytes Words(std::vector<uint32_t> words) {
    Bytes b;
    for (uint32_t w : words) synth::Put32(b, w);
    return b;
}

// Palette entries 0 (dark blue) and 1 (orange), and a 2 x 1 picture of them.
const Bytes kTwoColours = {0x80, 0, 0, 0, 0x10, 0x80, 0xF0, 0};
const Bytes kTwoColourRows = {0x80, 0, 0, 0x10, 0x80, 0xF0, 0, 0};

}  // namespace

TEST(ReadBMP, TakesHeaderFactsAndRowsFromOffBits) {
    for (int32_t biHeight : {2, -2}) {
        synth::Fields f = Fields(1, biHeight, 16, 0, 7);  // no palette for a 16-bit file
        f.type = 0x5858;                                  // not "BM": read all the same
        f.offBits = 54 + 3;
        const Loaded r = Load(synth::Make(f, {9, 9, 9}, {0x1F, 0, 0, 0, 0, 0xF8, 0, 0, 0xEE}));
        ASSERT_EQ(r.err, "");
        EXPECT_EQ(r.image->height, 2);
        EXPECT_EQ(r.image->topDown, biHeight < 0);
        EXPECT_EQ(r.image->stride, 4u);
        const Bytes blue = {255, 0, 0, 0}, red = {0, 0, 255, 0};  // working rows: bottom first
        EXPECT_EQ(r.rows, biHeight > 0 ? Concat(blue, red) : Concat(red, blue));
    }
}

TEST(ReadBMP, ReadsTheCountedPaletteEntries) {
    const Bytes indices = {1, 2, 0, 0};
    EXPECT_EQ(Load(synth::Make(Fields(2, 1, 8, 0, 2), kTwoColours, indices)).rows,
              (Bytes{0x10, 0x80, 0xF0, 0, 0, 0, 0, 0}));  // entry 2 is not in the file: black
    Bytes full(1024, 0);
    full[4 * 255 + 1] = 0x77;  // a count of 0 means 256 entries
    EXPECT_EQ(Load(synth::Make(Fields(1, 1, 8), full, {255, 0, 0, 0})).rows,
              (Bytes{0, 0x77, 0, 0}));
    Bytes many(4 * 300, 0);  // more than 256 entries, or all 65,536, are fine
    many[4 * 255] = 0x55;
    EXPECT_EQ(Load(synth::Make(Fields(1, 1, 8, 0, 300), many, {255, 0, 0, 0})).rows,
              (Bytes{0x55, 0, 0, 0}));
    EXPECT_EQ(Load(synth::Make(Fields(1, 1, 8, 0, 65536), {1, 2, 3, 0}, {0, 0, 0, 0})).err, "");
}

TEST(ReadBMP, RefusesWithItsReason) {
    const Bytes valid = synth::Make(Fields(3, 2, 24), {}, Bytes(24, 7));
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(valid.begin(), valid.begin() + 53), "Read error.\n"},
        {Bytes(valid.begin(), valid.end() - 1), "Read error.\n"},
        {synth::Make(Fields(4, 1, 8), Bytes(100, 1), {}), "Read error.\n"},  // ends in palette
        {synth::Make(Fields(30000, 30000, 24), {}, Bytes(46, 0)), "Read error.\n"},
        {synth::Make(Fields(1, 1, 4), {}, Bytes(4, 0)), "ReadBMP: 4 bit is not supported.\n"},
        {synth::Make(Fields(1, 1, 0x7530), {}, {}), "ReadBMP: 48 bit is not supported.\n"},
        {synth::Make(Fields(-1, 1, 4), {}, {}), "ReadBMP: 4 bit is not supported.\n"},  // first
        {synth::Make(Fields(-1, 1, 24), {}, Bytes(4, 0)), "ReadBMP: bad image size.\n"},
        {synth::Make(Fields(1, INT_MIN, 24), {}, {}), "ReadBMP: bad image size.\n"},
        {synth::Make(Fields(1 << 28, 1, 16), {}, {}), "ReadBMP: bad image size.\n"},
        {synth::Make(Fields(1 << 28, 0, 8), {}, {}), "ReadBMP: bad image size.\n"},  // at 24 bits
        {synth::Make(Fields(65536, 65536, 32), {}, {}), "ReadBMP: bad image size.\n"},
        {synth::Make(Fields(1, 1, 8, 0, 65537), {}, Bytes(4, 0)), "ReadBMP: bad palette size.\n"},
    };
    for (const auto& [file, reason] : cases) EXPECT_EQ(Load(file).err, reason);

    ScratchDir dir;
    auto image = EmptyImage();
    CaptureStderr();
    EXPECT_EQ(ReadBMP(*image, (dir / "absent.bmp").c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "No such file or directory.\n");
}

TEST(InfoHeaders, PaletteFollowsTheHeaderWhateverItsSize) {
    for (uint32_t size : {40u, 52u, 56u, 64u, 108u, 124u}) {
        synth::Fields f = Fields(2, 1, 8, 0, 2);
        f.infoSize = size;
        const Bytes rest(size - 40, 0xCC);  // the longer header's own fields
        EXPECT_EQ(Load(synth::Make(f, Concat(rest, kTwoColours), {0, 1, 0, 0})).rows,
                  kTwoColourRows)
            << size;
    }
    synth::Fields unknown = Fields(2, 1, 8, 0, 2);  // read as 40 bytes
    unknown.infoSize = 66;
    EXPECT_EQ(Load(synth::Make(unknown, kTwoColours, {0, 1, 0, 0})).rows, kTwoColourRows);

    // A 16-byte header has no colour count: what a 40-byte one would count with is palette.
    synth::Fields f = Fields(1, 1, 8);
    f.infoSize = 16;
    f.offBits = 30 + 1024;
    Bytes file = synth::Make(f, {}, {});
    file.resize(30);
    Bytes palette(1024, 0xAB);
    palette[4 * 255] = 0x33;
    EXPECT_EQ(Load(Concat(Concat(file, palette), {255, 0, 0, 0})).rows,
              (Bytes{0x33, 0xAB, 0xAB, 0}));
}

TEST(InfoHeaders, ReadsOS2Files) {
    const Bytes three = {0x80, 0, 0, 0x10, 0x80, 0xF0, 1, 2, 3};  // 3-byte entries
    EXPECT_EQ(Load(synth::OS2(3, 1, 8, three, {2, 1, 9, 0})).rows,
              (Bytes{1, 2, 3, 0x10, 0x80, 0xF0, 0, 0, 0, 0, 0, 0}));  // 9: black
    EXPECT_EQ(Load(synth::OS2(1, 1, 24, {}, {1, 2, 3, 0})).rows, (Bytes{1, 2, 3, 0}));
}

namespace {

// A 1 x 1 file with BITFIELDS (or `compression`) and masks right after a 40-byte header.
Bytes Masked(uint16_t bits, std::vector<uint32_t> masks, uint32_t pixel, uint32_t compression = 3) {
    Bytes row = Words({pixel});
    if (bits == 16) row = {row[0], row[1], 0, 0};
    return synth::Make(Fields(1, 1, bits, compression), Words(masks), row);
}

Bytes BGR(uint8_t b, uint8_t g, uint8_t r) { return {b, g, r, 0}; }

}  // namespace

TEST(ColourMasks, TakeEachColourThroughItsMask) {
    const uint32_t p = 0x44332211;  // stored 11 22 33 44
    const std::vector<std::pair<Bytes, Bytes>> cases = {
        // 5-5-5: 16 in each field is round(16 * 255 / 31) = 132.
        {Masked(16, {0x7C00, 0x03E0, 0x001F}, 0x4210), BGR(132, 132, 132)},
        // 4-4-4-4 with alpha on top: red 8 -> 136, green 12 -> 204, blue 4 -> 68.
        {Masked(16, {0x0F00, 0x00F0, 0x000F}, 0xF8C4), BGR(68, 204, 136)},
        {Masked(16, {0xFF00, 0x00FF, 0}, 0x40C0), BGR(0, 0xC0, 0x40)},  // empty mask: 0
        {Masked(16, {0xF800, 0x07E0, 0x001F}, 0x0821), BGR(8, 4, 8)},   // the default, spelled
        {Masked(32, {0x00FF0000, 0x0000FF00, 0x000000FF}, p), BGR(0x11, 0x22, 0x33)},  // BGRA
        {Masked(32, {0x000000FF, 0x0000FF00, 0x00FF0000}, p), BGR(0x33, 0x22, 0x11)},  // RGBA
        {Masked(32, {0xFF000000, 0x00FF0000, 0x0000FF00}, p), BGR(0x22, 0x33, 0x44)},  // XBGR
        {Masked(32, {0x000000FF, 0x0000FF00, 0x00FF0000}, p, 6), BGR(0x33, 0x22, 0x11)},
        // 10-10-10: 1023 -> 255, 512 -> round(127.62) = 128, 1 -> 0.
        {Masked(32, {0x3FF00000, 0x000FFC00, 0x3FF}, 1023u << 20 | 512u << 10 | 1),
         BGR(0, 128, 255)},
        // 11-11-10: 1024 -> round(127.56) = 128, 2047 -> 255, 2 -> round(0.4985) = 0.
        {Masked(32, {0xFFE00000, 0x001FFC00, 0x3FF}, 1024u << 21 | 2047u << 10 | 2),
         BGR(0, 255, 128)},
        // BITFIELDS without room for masks (pixels at 54), or masks without BITFIELDS: defaults.
        {synth::Make(Fields(1, 1, 16, 3), {}, {0x21, 0x08, 0, 0}), BGR(8, 4, 8)},
        {synth::Make(Fields(1, 1, 32, 3), {}, {1, 2, 3, 4}), BGR(1, 2, 3)},
        {Masked(16, {0x7C00, 0x3E0, 0x1F}, 0x0821, 0), BGR(8, 4, 8)},
        {synth::Make(Fields(1, 1, 24, 3), {}, {1, 2, 3, 0}), BGR(1, 2, 3)},  // means nothing
    };
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(Load(cases[i].first).rows, cases[i].second) << i;

    for (uint32_t size : {52u, 56u, 108u, 124u}) {  // masks inside a longer header
        synth::Fields f = Fields(1, 1, 32, 3);
        f.infoSize = size;
        Bytes header = Words({0x000000FF, 0x0000FF00, 0x00FF0000});
        header.resize(size - 40, 0);
        EXPECT_EQ(Load(synth::Make(f, header, {0x11, 0x22, 0x33, 0x44})).rows,
                  BGR(0x33, 0x22, 0x11))
            << size;
    }
}

TEST(ColourMasks, RefusesBrokenOnes) {
    const std::string bad = "ReadBMP: bad colour masks.\n";
    EXPECT_EQ(Load(Masked(16, {0xF0F0, 0x0F00, 0x000F}, 0)).err, bad);    // two runs
    EXPECT_EQ(Load(Masked(16, {0xFF00, 0x0FF0, 0x000F}, 0)).err, bad);    // overlapping
    EXPECT_EQ(Load(Masked(16, {0x1F0000, 0x07E0, 0x001F}, 0)).err, bad);  // beyond 16 bits
    EXPECT_EQ(Load(Masked(32, {0xFF, 0xFF, 0xFF00}, 0)).err, bad);
    synth::Fields f = Fields(1, 1, 16, 3);
    f.infoSize = 56;  // masks promised inside the header, file ends first
    EXPECT_EQ(Load(synth::Make(f, {0, 0xF8, 0, 0}, {})).err, "Read error.\n");
}

TEST(Compression, RefusesWhatItCannotDecode) {
    const std::vector<std::pair<uint16_t, uint32_t>> cases = {
        {8, 2}, {24, 1}, {16, 1}, {24, 4}, {24, 5}, {32, 11}, {8, 0xFFFFFFFF}};
    for (const auto& [bits, compression] : cases)
        EXPECT_EQ(Load(synth::Make(Fields(1, 1, bits, compression), {}, Bytes(4, 0))).err,
                  "ReadBMP: compression " + std::to_string(compression) + " is not supported.\n");
}

namespace {

// A 4 x 3 RLE8 picture whose palette entry i is (i, i, i): returns the decoded indices.
Loaded RLE(const Bytes& data, int32_t width = 4, int32_t height = 3) {
    Bytes palette;
    for (int i = 0; i < 256; ++i)
        palette.insert(palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    Loaded r = Load(synth::Make(Fields(width, height, 8, 1), palette, data));
    Bytes indices;
    for (size_t i = 0; i < r.rows.size(); i += RowBytes(uint32_t(width), 24))
        for (size_t k = 0; k < size_t(width); ++k) indices.push_back(r.rows[i + 3 * k]);
    r.rows = indices;
    return r;
}

}  // namespace

TEST(RLE8, DecodesRunsLiteralsAndMoves) {
    const Bytes data = {0, 2, 1,    0,          // delta: one column right
                        2, 7,                   // bottom row: _ 7 7
                        0, 2, 0,    1,          // delta: one row up, same column
                        1, 4,                   // middle row: _ _ _ 4
                        0, 0,                   // end of line
                        0, 3, 1,    2,   3, 0,  // top row: literal 1 2 3, padded to an even count
                        0, 1, 0xEE, 0xEE};      // end of bitmap; what follows is not read
    EXPECT_EQ(RLE(data).rows, (Bytes{0, 7, 7, 0, 0, 0, 0, 4, 1, 2, 3, 0}));
    EXPECT_EQ(RLE({4, 6, 0, 1}).rows, (Bytes{6, 6, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0}));  // early end
    EXPECT_EQ(RLE({4, 2, 0, 2, 0, 2, 0, 1}).err, "");  // a move to the very end writes nothing
    EXPECT_EQ(RLE({0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).err, "");
}

TEST(RLE8, DropsRunsThatCoverTheRowPadding) {
    // Some encoders compress a row's padding with its pixels: a run, or an absolute run, that
    // reaches to the end of the stored row.
    for (int32_t width : {1, 3, 5, 97}) {
        const uint8_t stride = uint8_t(RowBytes(uint32_t(width), 8)), pad = uint8_t(stride - width);
        Bytes data = {uint8_t(width), 5, pad, 9, 0, 0, 0, stride};  // bottom row: runs, then
        Bytes expected(size_t(width), 5);                           // top row: literals
        for (uint8_t i = 1; i <= stride; ++i) data.push_back(i);
        for (uint8_t i = 1; i <= width; ++i) expected.push_back(i);
        data.insert(data.end(), {0, 0, 0, 1});
        if (pad == 0) data.erase(data.begin() + 2, data.begin() + 4);
        EXPECT_EQ(RLE(data, width, 2).rows, expected) << width;
    }
}

TEST(RLE8, RefusesHostileData) {
    const std::vector<Bytes> streams = {
        {5, 1, 0, 1},                                // run past the row end
        {2, 1, 3, 1, 0, 1},                          // second run past the row end
        {0, 5, 1, 2, 3, 4, 5, 0, 0, 1},              // literal run past the row end
        {0, 2, 5, 0, 0, 1},                          // delta past the row end
        {0, 2, 0, 4, 0, 1},                          // delta past the picture
        {0, 0, 0, 0, 0, 0, 1, 1, 0, 1},              // a run above the top row
        {0, 0, 0, 0, 0, 0, 0, 3, 1, 1, 1, 0, 0, 1},  // a literal run above the top row
        {4, 1, 0, 0},                                // no end of bitmap
        {0, 3, 1, 2},                                // literal run past the data
        {0, 3, 1, 2, 3},                             // its padding missing
        {0, 2, 1},                                   // delta cut short
        {},
    };
    for (const Bytes& data : streams)
        EXPECT_EQ(RLE(data).err, "ReadBMP: bad RLE data.\n") << testing::PrintToString(data);
    EXPECT_EQ(RLE({5, 1, 0, 1}, 3).err, "ReadBMP: bad RLE data.\n");  // past the stored row
    EXPECT_EQ(RLE({0, 1}, 4, -3).err, "ReadBMP: bad RLE data.\n");    // top-down RLE8 is invalid
    // A 2 KiB file cannot claim 400 MB of rows, blank or not.
    EXPECT_EQ(Load(synth::Make(Fields(20000, 20000, 8, 1), Bytes(2048, 0), {0, 1})).err,
              "ReadBMP: bad RLE data.\n");
}

TEST(RLE8, DecoderStaysInsideItsRows) {
    uint8_t rows[8 * 2 + 4] = {};  // rows of 4 pixels padded to 8, and 4 bytes that must stay 0
    const Bytes data = {4, 1, 0, 0, 4, 2, 0, 1};
    ASSERT_EQ(DecodeRLE8(data.data(), data.size(), rows, 4, 2, 8), 1);
    EXPECT_EQ(Bytes(rows, rows + sizeof rows),
              (Bytes{1, 1, 1, 1, 0, 0, 0, 0, 2, 2, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0}));
}
