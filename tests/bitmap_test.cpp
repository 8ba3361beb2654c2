// The bitmap library on its own: sizes, the reader, RLE8, the writer and the pixel loops.

#include <climits>
#include <cstdlib>
#include <numeric>

#include "bitmap/bmp_rle.h"
#include "bitmap/byte_order.h"
#include "bitmap/colour_fields.h"
#include "bitmap/pixel_rows.h"
#include "tests/test_util.h"

using namespace testutil;
using synth::Concat;
using synth::Make;

// CTest runs this suite once more on the portable loops, as it runs by default on the widest.
const int kSetUp = [] {
    std::atexit([] { ReleaseBMPImage(image); });
    const char* name = std::getenv("BMPDEPTH_TEST_LOOPS");
    if (name && (!UseRowLoops(name) || std::string(RowLoops().name) != name)) std::abort();
    return 0;
}();

namespace {

// A one-row file of `bits`-bit pixels, with masks after a 40-byte header.
Bytes Masked(uint16_t bits, const std::vector<uint32_t>& masks, const std::vector<uint32_t>& row,
             uint32_t compression = BI_BITFIELDS) {
    Bytes pixels, extra;
    for (uint32_t m : masks) synth::Put32(extra, m);
    for (uint32_t p : row)
        for (int i = 0; i < bits; i += 8) pixels.push_back(uint8_t(p >> i));
    pixels.resize(synth::Stride(uint32_t(row.size()), bits), 0);
    return Make(Fields(int32_t(row.size()), 1, bits, compression), extra, pixels);
}

// A file with a `size`-byte information header: `header` beyond its first 40, then 0xCC.
Bytes WithHeader(uint32_t size, synth::Fields f, Bytes header, const Bytes& after,
                 const Bytes& pixels) {
    f.infoSize = size;
    header.resize(size > 40 ? size - 40 : 0, 0xCC);
    return Make(f, Concat(header, after), pixels);
}

const Bytes kTwoColours = {0x80, 0, 0, 0, 0x10, 0x80, 0xF0, 0};  // dark blue, orange
const Bytes kTwoColourRow = {0x80, 0, 0, 0x10, 0x80, 0xF0, 0, 0};
const Bytes kRGBA = {0xFF, 0, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0xFF, 0};  // red, green, blue masks
const std::string kReadError = "Read error.\n", kBadSize = "ReadBMP: bad image size.\n",
                  kBadMasks = "ReadBMP: bad colour masks.\n", kBadRLE = "ReadBMP: bad RLE data.\n";

}  // namespace

TEST(ReadBMP, EachFileGivesItsPictureOrItsReason) {
    using F = synth::Fields;  // "XX", not "BM": read all the same; no palette for 16 bits
    const F moved{.type = 0x5858, .offBits = 57, .width = 1, .height = 2, .bits = 16, .clrUsed = 7};
    const F movedDown{.type = 0x5858, .offBits = 57, .width = 1, .height = -2, .bits = 16};
    const Bytes movedRows = {0x1F, 0, 0, 0, 0, 0xF8, 0, 0, 0xEE};  // blue, then red
    Bytes full(1024, 0), palette16(1000, 0xAB);  // the last entry of 256 after 16 bytes: at 996
    full[4 * 255 + 1] = 0x77;
    palette16[996] = 0x33;
    const F unknown{.infoSize = 66, .width = 2, .height = 1, .bits = 8, .clrUsed = 2};
    const F back{.offBits = 66, .width = 3, .height = 2, .bits = 8, .clrUsed = 4};  // in palette
    const F overlap{.offBits = 54, .width = 1, .height = 1, .bits = 32, .compression = 3};
    const F cut56{.infoSize = 56, .width = 1, .height = 1, .bits = 16, .compression = 3};
    const F emptyFar{.offBits = UINT32_MAX, .width = 4, .bits = 16, .compression = 3};
    const F emptyCut{.offBits = 54 + 1024, .height = 1, .bits = 8};  // ends inside its palette
    const uint32_t p = 0x44332211;                                   // stored 11 22 33 44
    const std::vector<uint32_t> rgba = {0xFF, 0xFF00, 0xFF0000};

    std::vector<std::pair<Bytes, Loaded>> cases = {
        // Header facts: rows from bfOffBits, in either order, even one byte past the headers.
        {Make(F{.offBits = 55, .width = 1, .height = 1, .bits = 24}, {9}, {1, 2, 3, 0}),
         {"", {1, 2, 3, 0}}},
        {Make(moved, {9, 9, 9}, movedRows), {"", {255, 0, 0, 0, 0, 0, 255, 0}}},
        {Make(movedDown, {9, 9, 9}, movedRows), {"", {0, 0, 255, 0, 255, 0, 0, 0}}},
        // Palettes: the counted entries, 0 meaning 256, up to 65,536; missing ones are black.
        {Make(Fields(2, 1, 8, 0, 2), kTwoColours, {1, 2, 0, 0}),
         {"", {0x10, 0x80, 0xF0, 0, 0, 0, 0, 0}}},
        {Make(Fields(1, 1, 8), full, {255, 0, 0, 0}), {"", {0, 0x77, 0, 0}}},
        {Make(Fields(1, 1, 8, 0, 65536), {1, 2, 3, 0}, {0, 0, 0, 0}), {"", {1, 2, 3, 0}}},
        {Make(unknown, kTwoColours, {0, 1, 0, 0}), {"", kTwoColourRow}},  // read as 40 bytes
        {Make(back, Concat(kTwoColours, kTwoColours), {1, 0, 0, 0}),
         {"", Concat(Bytes(12, 0), {0x10, 0x80, 0xF0, 0x80, 0, 0, 0x80, 0, 0, 0, 0, 0})}},
        {WithHeader(16, Fields(1, 1, 8), {}, palette16, {255, 0, 0, 0}),
         {"", {0x33, 0xAB, 0xAB, 0}}},
        // OS/2 1.x: 3-byte entries filling the room before the pixels, or none at all.
        {synth::OS2(3, 1, 8, {0x80, 0, 0, 0x10, 0x80, 0xF0, 1, 2, 3}, {2, 1, 3, 0}),
         {"", {1, 2, 3, 0x10, 0x80, 0xF0, 0, 0, 0, 0, 0, 0}}},
        {synth::OS2(2, 1, 8, {}, {1, 0, 0, 0}), {"", Bytes(8, 0)}},
        // Colour masks, each field widened by rounding v * 255 / (2^n - 1); an empty one is 0.
        {Masked(16, {0x7C00, 0x03E0, 0x001F}, {0x4210, 0x7FFF}),  // 5-5-5: 16 -> 132
         {"", {132, 132, 132, 255, 255, 255, 0, 0}}},
        {Masked(16, {0xF800, 0x07E0, 0x001F}, {0x0821}), {"", {8, 4, 8, 0}}},      // the default
        {Masked(32, {0xFF0000, 0xFF00, 0xFF}, {p}), {"", {0x11, 0x22, 0x33, 0}}},  // BGRA
        {Masked(32, rgba, {p, 0x00030201}), {"", {0x33, 0x22, 0x11, 3, 2, 1, 0, 0}}},  // RGBA
        {Masked(32, rgba, {p}, 6), {"", {0x33, 0x22, 0x11, 0}}},           // ALPHABITFIELDS
        {Masked(32, {0xFF0000, 0, 0xFF}, {p}), {"", {0x11, 0, 0x33, 0}}},  // two usual, one empty
        // 10-10-10: 1023 -> 255, 512 -> 128, 1 -> 0.
        {Masked(32, {0x3FF00000, 0xFFC00, 0x3FF}, {1023u << 20 | 512u << 10 | 1}),
         {"", {0, 128, 255, 0}}},
        // No room for masks (pixels at 54), masks without BITFIELDS, or BITFIELDS at 24 bits.
        {Make(Fields(1, 1, 16, 3), {}, {0x21, 0x08, 0, 0}), {"", {8, 4, 8, 0}}},
        {Make(Fields(1, 1, 32, 3), {}, {1, 2, 3, 4}), {"", {1, 2, 3, 0}}},
        {Masked(16, {0x7C00, 0x3E0, 0x1F}, {0x0821}, BI_RGB), {"", {8, 4, 8, 0}}},
        {Make(Fields(1, 1, 24, 3), {}, {1, 2, 3, 0}), {"", {1, 2, 3, 0}}},
        {WithHeader(52, overlap, kRGBA, {}, {}), {"", {0, 0, 0xFF, 0}}},
        // Empty pictures load, wherever their rows would lie.
        {Make(emptyFar, {}, {}), {"", {}}},
        {Make(emptyCut, {1, 2, 3, 4}, {}), {"", {}}},
        {Make(Fields(1 << 28, 0, 8), {}, {}), {"", {}}},  // a row too long for 24 bits
        // Refusals, each with its reason.
        {{'B', 'M', 1, 2}, {kReadError}},                            // no room for the headers
        {Masked(16, {0xF0F0, 0x0F00, 0x000F}, {0}), {kBadMasks}},    // two runs
        {Masked(16, {0xFF00, 0x0FF0, 0x000F}, {0}), {kBadMasks}},    // overlapping
        {Masked(16, {0x1F0000, 0x07E0, 0x001F}, {0}), {kBadMasks}},  // beyond 16 bits
        {Make(cut56, {0, 0xF8, 0, 0}, {}), {kReadError}},
        {Make(Fields(1, 1, 4), {}, Bytes(4, 0)), {"ReadBMP: 4 bit is not supported.\n"}},
        {Make(Fields(1, 1, 0x7530), {}, {}), {"ReadBMP: 48 bit is not supported.\n"}},
        {Make(Fields(-1, 1, 4), {}, {}), {"ReadBMP: 4 bit is not supported.\n"}},  // first
        {Make(Fields(1, 1, 8, 2), {}, Bytes(4, 0)), {"ReadBMP: compression 2 is not supported.\n"}},
        {Make(Fields(1, 1, 24, 1), {}, Bytes(4, 0)),
         {"ReadBMP: compression 1 is not supported.\n"}},
        {Make(Fields(-1, 1, 24), {}, Bytes(4, 0)), {kBadSize}},
        {Make(Fields(1, INT_MIN, 24), {}, {}), {kBadSize}},
        {Make(Fields(1 << 28, 1, 16), {}, {}), {kBadSize}},
        {Make(Fields(65536, 65536, 32), {}, {}), {kBadSize}},
        {Make(Fields(1, 1, 8, 0, 65537), {}, Bytes(4, 0)), {"ReadBMP: bad palette size.\n"}},
        // RLE8 to its end of bitmap (not the 0 1 in literals); refused top-down or too large.
        {Make(Fields(4, 1, 8, 1, 2), kTwoColours, {0, 4, 1, 1, 0, 1, 0, 1, 9}),
         {"", {0x10, 0x80, 0xF0, 0x10, 0x80, 0xF0, 0x80, 0, 0, 0x10, 0x80, 0xF0}}},
        {Make(Fields(2, 2, 8, 1, 2), kTwoColours, {0, 2, 1, 1, 1, 1, 0, 1}),  // a move, a run
         {"", {0x80, 0, 0, 0x80, 0, 0, 0, 0, 0x80, 0, 0, 0x10, 0x80, 0xF0, 0, 0}}},
        {Make(Fields(3, 1, 8, 1, 2), kTwoColours, {0, 3, 0, 1, 0, 0, 0, 1}),  // odd literals
         {"", {0x80, 0, 0, 0x10, 0x80, 0xF0, 0x80, 0, 0, 0, 0, 0}}},
        {Make(Fields(2, -1, 8, 1, 2), kTwoColours, {2, 1, 0, 1}), {kBadRLE}},
        {Make(Fields(4096, 4097, 8, 1), Bytes(1024, 0), {0, 1}), {kBadRLE}},
    };
    for (uint32_t size : {52u, 56u, 64u, 108u, 124u}) {  // the palette follows any header
        cases.push_back({WithHeader(size, Fields(2, 1, 8, 0, 2), {}, kTwoColours, {0, 1, 0, 0}),
                         {"", kTwoColourRow}});
        cases.push_back({WithHeader(size, Fields(1, 1, 32, 3), kRGBA, {}, {0x11, 0x22, 0x33, 0x44}),
                         {"", {0x33, 0x22, 0x11, 0}}});  // masks inside the header
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        const Loaded r = Load(cases[i].first);
        EXPECT_TRUE(r.err == cases[i].second.err && r.rows == cases[i].second.rows)
            << "row " << i << ": got \"" << r.err << "\"";
    }
    // The usual masks leave the picture none of its own, so that it keeps the fast path.
    for (const auto& [bits, masks] : {std::pair{16, std::vector<uint32_t>{0xF800, 0x07E0, 0x1F}},
                                      {32, {0xFF0000, 0xFF00, 0xFF}}}) {
        Load(Masked(uint16_t(bits), masks, {0}));
        EXPECT_EQ(image.colourMasks[0] | image.colourMasks[1] | image.colourMasks[2], 0u) << bits;
    }
}

TEST(RLE8, EachStreamGivesItsPixelsOrIsRefused) {
    // The picture as indices, bottom row first; empty when refused.
    const auto decode = [](const Bytes& data, uint32_t width, uint32_t height) {
        const uint32_t stride = RowBytes(width, 8);
        Bytes rows(size_t(stride) * height, 0);  // exactly: the sanitizers see a write past it
        if (DecodeRLE8(data.data(), data.size(), rows.data(), width, height, stride) != 1)
            return Bytes{};
        for (uint32_t y = height; y-- > 0;)  // drop each row's padding
            rows.erase(rows.begin() + y * stride + width, rows.begin() + (y + 1) * stride);
        return rows;
    };
    Bytes literals(100), wide = {97, 5, 3, 9, 0, 0, 0, 100};  // width 97, in rows of 100 bytes
    // Move, run, move, run, end of line, literals, end, and a byte past it.
    const Bytes steps = {0, 2, 1, 0, 2, 7, 0, 2, 0, 1, 1, 4, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1, 0xEE};
    std::iota(literals.begin(), literals.end(), 1);
    std::vector<std::tuple<Bytes, uint32_t, uint32_t, Bytes>> cases = {
        {Concat(Concat(wide, literals), {0, 1}), 97, 2,
         Concat(Bytes(97, 5), Bytes(literals.begin(), literals.begin() + 97))},
        {steps, 4, 3, {0, 7, 7, 0, 0, 0, 0, 4, 1, 2, 3, 0}},
        {{4, 6, 0, 1}, 4, 2, {6, 6, 6, 6, 0, 0, 0, 0}},        // an early end
        {{0, 3, 1, 2, 3, 0, 1, 4, 0, 1}, 4, 1, {1, 2, 3, 4}},  // a run after literals
        // Runs over a row's padding, as some encoders write them, are dropped.
        {{1, 5, 3, 9, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1}, 1, 2, {5, 1}},
        {{3, 5, 1, 9, 0, 0, 0, 4, 1, 2, 3, 4, 0, 1}, 3, 2, {5, 5, 5, 1, 2, 3}},
        // Refused: past the stored row, the picture or the data, or no end of bitmap.
        {{5, 1, 0, 1}, 3, 3, {}},                    // a run past the stored row
        {{0, 5, 1, 2, 3, 4, 5, 0, 0, 1}, 4, 3, {}},  // literals past it
        {{0, 2, 5, 0, 0, 1}, 4, 3, {}},              // a move past the row
        {{0, 2, 0, 4, 0, 1}, 4, 3, {}},              // a move past the picture
        {{0, 2, 2, 0, 0, 1}, 1, 2, {}},  // past the last pixel, though within the stored row
        {{0, 0, 0, 0, 0, 0, 1, 1, 0, 1}, 4, 3, {}},              // a run above the top row
        {{0, 0, 0, 0, 0, 0, 0, 3, 1, 1, 1, 0, 0, 1}, 4, 3, {}},  // literals above it
        {{4, 1, 0, 0}, 4, 3, {}},
        {{0, 3, 1, 2, 3}, 4, 3, {}},  // the literals' padding missing
    };
    for (const auto& [data, width, height, expected] : cases)
        EXPECT_EQ(decode(data, width, height), expected) << testing::PrintToString(data);
    size_t end = 0;  // the walk stops just past the end of bitmap
    EXPECT_TRUE(FindRLE8End(steps.data(), steps.size(), end) == 1 && end == steps.size() - 1);
}

namespace {

// What the writer should write: headers, then `pixels` as they stand.
Bytes Expected(uint32_t bits, uint32_t width, uint32_t height, const Bytes& pixels) {
    synth::Fields f = Fields(int32_t(width), int32_t(height), uint16_t(bits), bits == 16 ? 3 : 0);
    f.infoSize = bits == 16 ? 52 : 40;
    f.resolution = 0;
    return Make(f, bits == 16 ? Bytes{0, 0xF8, 0, 0, 0xE0, 7, 0, 0, 0x1F, 0, 0, 0} : Bytes{},
                pixels);
}

// The file SaveBMP writes for a 24-bit picture.
Bytes Saved(int32_t width, int32_t height, const Bytes& rows, int bits) {
    return Load(Make(Fields(width, height, 24), {}, rows), bits).saved;
}

}  // namespace

TEST(SaveBMP, WritesEachDepthExactlyOrRefusesWhatCannotBeStored) {
    // One pixel: a 24-bit row's padding byte, a 5-6-5 word's two, or the opaque byte.
    for (const auto& [bits, pixels] :
         {std::pair{24u, Bytes{16, 32, 48, 0}}, {16u, {2, 0x31, 0, 0}}, {32u, {16, 32, 48, 255}}})
        EXPECT_EQ(Saved(1, 1, {16, 32, 48, 0}, int(bits)), Expected(bits, 1, 1, pixels)) << bits;
    // Truncation, not rounding, to 5-6-5: 0x07 >> 3 and 0x03 >> 2 are 0.
    EXPECT_EQ(
        Saved(3, 2, {0xFF, 0xFF, 0xFF, 8,    4,    8,    0,    0,    0,    0, 0, 0,
                     0x07, 0x03, 0xFF, 0xF8, 0xFC, 0x00, 0x12, 0x34, 0x56, 0, 0, 0},
              16),
        Expected(16, 3, 2,
                 {0xFF, 0xFF, 0x21, 0x08, 0, 0, 0, 0, 0x00, 0xF8, 0xFF, 0x07, 0xA2, 0x51, 0, 0}));
    EXPECT_EQ(Saved(2, 2, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0}, 32),
              Expected(32, 2, 2, {1, 2, 3, 0xFF, 4, 5, 6, 0xFF, 7, 8, 9, 0xFF, 10, 11, 12, 0xFF}));
    // Pictures without pixels are headers alone, whatever the size of the rows they lack.
    for (auto [w, h] : {std::pair{0u, 2u}, {2u, 0u}, {0u, 150000000u}, {150000000u, 0u}})
        for (uint32_t bits : {16u, 24u, 32u})
            EXPECT_EQ(Saved(int32_t(w), int32_t(h), {}, int(bits)), Expected(bits, w, h, {})) << h;

    // Rows longer than the writer's buffer come back whole: 5-6-5 words, and 32-bit pixels.
    for (uint16_t bits : {uint16_t{16}, uint16_t{32}}) {
        const Loaded wide = Load(synth::Pattern(140001, 2, bits, true), bits);
        EXPECT_TRUE(Load(wide.saved).rows == wide.rows) << bits;
    }

    // A row of 2^27 pixels fits 24 bits, not 32; it is refused before any pixel is looked at.
    ScratchDir dir;
    Load(Make(Fields(1 << 27, 0, 24), {}, {}));  // with no rows, then one
    image.height = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaveBMP(image, (dir / "out.bmp").c_str(), 32), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SaveBMP: image is too large for a 32 bit file.\n");
    EXPECT_TRUE(dir.Entries().empty());
}

// Every set's loops write the portable set's bytes at widths that end anywhere in a vector, and
// nothing past buffers exactly a row long, as the sanitizer build checks.
TEST(PixelRows, EverySetWritesThePortableBytesAtEveryWidth) {
    const PixelRowLoops &portable = *AvailableRowLoops().front(), &inUse = RowLoops();
    EXPECT_FALSE(UseRowLoops("none"));
    for (const PixelRowLoops* set : AvailableRowLoops())
        EXPECT_TRUE(UseRowLoops(set->name) == 1 && &RowLoops() == set) << set->name;
    UseRowLoops(inUse.name);
    uint32_t colours[256];
    for (uint32_t i = 0; i < 256; ++i) colours[i] = (i * 2654435761u) & 0xFFFFFF;
    for (const PixelRowLoops* set : AvailableRowLoops())
        for (uint32_t w = 1; w <= 4097; w = w == 33 ? 4095 : w + 1) {
            const auto alike = [&](size_t inBytes, size_t outBytes, auto loop) {
                Bytes in(inBytes), ours(outBytes), reference(outBytes);
                for (size_t i = 0; i < inBytes; ++i) in[i] = uint8_t(i * 151 + w);
                loop(*set, in.data(), ours.data());
                loop(portable, in.data(), reference.data());
                EXPECT_EQ(ours, reference) << set->name << " at width " << w;
            };
            alike(3 * w, 2 * w, [&](auto& l, auto s, auto d) { l.encode565(s, d, w); });
            alike(3 * w, 4 * w, [&](auto& l, auto s, auto d) { l.encodeBGRX(s, d, w); });
            alike(2 * w, 3 * w, [&](auto& l, auto s, auto d) { l.decode565(s, d, w); });
            alike(4 * w, 3 * w, [&](auto& l, auto s, auto d) { l.decodeBGRX(s, d, w); });
            alike(w, 3 * w, [&](auto& l, auto s, auto d) { l.decodePalette(colours, s, d, w); });
            // The portable set itself against the rule it follows, as every staged slice must be.
            Bytes in(2 * w), fields(3 * w);
            for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 151 + w);
            portable.decode565(in.data(), fields.data(), w);
            for (uint32_t k = 0; k < w; ++k) {
                const uint32_t v = LoadLE16(&in[2 * k]);
                ASSERT_TRUE(fields[3 * k] == Expand5To8[v & 31] &&
                            fields[3 * k + 1] == Expand6To8[v >> 5 & 63] &&
                            fields[3 * k + 2] == Expand5To8[v >> 11])
                    << "pixel " << k << " of " << w;
            }
        }
}
