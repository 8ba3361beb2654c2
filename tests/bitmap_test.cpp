// The bitmap library on its own: sizes, the reader, RLE8, the writer and the pixel loops.

#include <climits>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <tuple>

#include "bitmap/bmp_rle.h"
#include "bitmap/byte_order.h"
#include "bitmap/byte_stream.h"
#include "bitmap/colour_fields.h"
#include "bitmap/pixel_rows.h"
#include "system/files.h"
#include "system/pixel_memory.h"
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

    struct Case {
        std::string what;
        Bytes file;
        Loaded expected;
    };
    const Case cases[] = {
        // Header facts: rows from bfOffBits, wherever it lies, in either order.
        {"odd offset, bottom first",
         Make(moved, {9, 9, 9}, movedRows),
         {"", {255, 0, 0, 0, 0, 0, 255, 0}}},
        {"odd offset, top first",
         Make(movedDown, {9, 9, 9}, movedRows),
         {"", {0, 0, 255, 0, 255, 0, 0, 0}}},
        // Palettes: the counted entries, 0 meaning 256, up to 65,536; missing ones are black.
        {"2 entries, the third black",
         Make(Fields(2, 1, 8, 0, 2), kTwoColours, {1, 2, 0, 0}),
         {"", {0x10, 0x80, 0xF0, 0, 0, 0, 0, 0}}},
        {"0 means 256", Make(Fields(1, 1, 8), full, {255, 0, 0, 0}), {"", {0, 0x77, 0, 0}}},
        {"65,536, one held",
         Make(Fields(1, 1, 8, 0, 65536), {1, 2, 3, 0}, {0, 0, 0, 0}),
         {"", {1, 2, 3, 0}}},
        {"unknown header size: 40", Make(unknown, kTwoColours, {0, 1, 0, 0}), {"", kTwoColourRow}},
        {"rows inside the palette",
         Make(back, Concat(kTwoColours, kTwoColours), {1, 0, 0, 0}),
         {"", Concat(Bytes(12, 0), {0x10, 0x80, 0xF0, 0x80, 0, 0, 0x80, 0, 0, 0, 0, 0})}},
        {"palette after 16 bytes",
         WithHeader(16, Fields(1, 1, 8), {}, palette16, {255, 0, 0, 0}),
         {"", {0x33, 0xAB, 0xAB, 0}}},
        {"masks inside 56 bytes",
         WithHeader(56, Fields(1, 1, 32, 3), kRGBA, {}, {0x11, 0x22, 0x33, 0x44}),
         {"", {0x33, 0x22, 0x11, 0}}},
        // OS/2 1.x: 3-byte entries filling the room before the pixels, or none at all.
        {"OS/2: three entries",
         synth::OS2(3, 1, 8, {0x80, 0, 0, 0x10, 0x80, 0xF0, 1, 2, 3}, {2, 1, 3, 0}),
         {"", {1, 2, 3, 0x10, 0x80, 0xF0, 0, 0, 0, 0, 0, 0}}},
        {"OS/2: no room for a palette", synth::OS2(2, 1, 8, {}, {1, 0, 0, 0}), {"", Bytes(8, 0)}},
        // Colour masks, each field widened by rounding v * 255 / (2^n - 1); an empty one is 0.
        {"5-5-5: 16 is 132",
         Masked(16, {0x7C00, 0x03E0, 0x001F}, {0x4210, 0x7FFF}),
         {"", {132, 132, 132, 255, 255, 255, 0, 0}}},
        {"BGRA masks", Masked(32, {0xFF0000, 0xFF00, 0xFF}, {p}), {"", {0x11, 0x22, 0x33, 0}}},
        {"RGBA masks", Masked(32, rgba, {p, 0x00030201}), {"", {0x33, 0x22, 0x11, 3, 2, 1, 0, 0}}},
        {"BI_ALPHABITFIELDS", Masked(32, rgba, {p}, 6), {"", {0x33, 0x22, 0x11, 0}}},
        {"an empty mask", Masked(32, {0xFF0000, 0, 0xFF}, {p}), {"", {0x11, 0, 0x33, 0}}},
        {"10-10-10",
         Masked(32, {0x3FF00000, 0xFFC00, 0x3FF}, {1023u << 20 | 512u << 10 | 1}),
         {"", {0, 128, 255, 0}}},
        // No room for masks (pixels at 54), masks without BITFIELDS, or BITFIELDS at 24 bits.
        {"no room for masks",
         Make(Fields(1, 1, 16, 3), {}, {0x21, 0x08, 0, 0}),
         {"", {8, 4, 8, 0}}},
        {"masks, not BITFIELDS",
         Masked(16, {0x7C00, 0x3E0, 0x1F}, {0x0821}, BI_RGB),
         {"", {8, 4, 8, 0}}},
        {"BITFIELDS at 24 bits", Make(Fields(1, 1, 24, 3), {}, {1, 2, 3, 0}), {"", {1, 2, 3, 0}}},
        {"52-byte masks over the pixels",
         WithHeader(52, overlap, kRGBA, {}, {}),
         {"", {0, 0, 0xFF, 0}}},
        // Empty pictures load, wherever their rows would lie.
        {"no pixels, rows past the end", Make(emptyFar, {}, {}), {"", {}}},
        {"no pixels, cut inside the palette", Make(emptyCut, {1, 2, 3, 4}, {}), {"", {}}},
        {"no pixels, a row too long for 24 bits", Make(Fields(1 << 28, 0, 8), {}, {}), {"", {}}},
        // Refusals, each with its reason.
        {"no room for the headers", {'B', 'M', 1, 2}, {kReadError}},
        {"masks of two runs", Masked(16, {0xF0F0, 0x0F00, 0x000F}, {0}), {kBadMasks}},
        {"overlapping masks", Masked(16, {0xFF00, 0x0FF0, 0x000F}, {0}), {kBadMasks}},
        {"a mask beyond 16 bits", Masked(16, {0x1F0000, 0x07E0, 0x001F}, {0}), {kBadMasks}},
        {"cut inside a 56-byte header", Make(cut56, {0, 0xF8, 0, 0}, {}), {kReadError}},
        {"the depth's low byte",
         Make(Fields(1, 1, 0x7530), {}, {}),
         {"ReadBMP: 48 bit is not supported.\n"}},
        {"depth before width",
         Make(Fields(-1, 1, 4), {}, {}),
         {"ReadBMP: 4 bit is not supported.\n"}},
        {"RLE4",
         Make(Fields(1, 1, 8, 2), {}, Bytes(4, 0)),
         {"ReadBMP: compression 2 is not supported.\n"}},
        {"RLE8 at 24 bits",
         Make(Fields(1, 1, 24, 1), {}, Bytes(4, 0)),
         {"ReadBMP: compression 1 is not supported.\n"}},
        {"a negative width", Make(Fields(-1, 1, 24), {}, Bytes(4, 0)), {kBadSize}},
        {"the height INT_MIN", Make(Fields(1, INT_MIN, 24), {}, {}), {kBadSize}},
        {"a row past 32 bits", Make(Fields(1 << 28, 1, 16), {}, {}), {kBadSize}},
        {"a picture past 32 bits", Make(Fields(65536, 65536, 32), {}, {}), {kBadSize}},
        {"65,537 entries",
         Make(Fields(1, 1, 8, 0, 65537), {}, Bytes(4, 0)),
         {"ReadBMP: bad palette size.\n"}},
        // RLE8 to its end of bitmap (not the 0 1 in literals); refused top-down or too large.
        {"RLE8 literals holding 0 1",
         Make(Fields(4, 1, 8, 1, 2), kTwoColours, {0, 4, 1, 1, 0, 1, 0, 1, 9}),
         {"", {0x10, 0x80, 0xF0, 0x10, 0x80, 0xF0, 0x80, 0, 0, 0x10, 0x80, 0xF0}}},
        {"RLE8 top first", Make(Fields(2, -1, 8, 1, 2), kTwoColours, {2, 1, 0, 1}), {kBadRLE}},
        {"RLE8 short", Make(Fields(4096, 4097, 8, 1), Bytes(1024, 0), {0, 1}), {kBadRLE}},
        {"RLE8 cut", Make(Fields(4, 1, 8, 1, 2), kTwoColours, {4, 1, 0, 0}), {kBadRLE}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Loaded r = Load(c.file);
        EXPECT_EQ(r.err, c.expected.err);
        EXPECT_EQ(r.rows, c.expected.rows);
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
    const auto wide = std::make_unique<BMPImage>();  // of its own: no rows to look at
    wide->width = 1 << 27;
    wide->height = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaveBMP(*wide, (dir / "out.bmp").c_str(), 32), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "SaveBMP: image is too large for a 32 bit file.\n");
    EXPECT_TRUE(dir.Entries().empty());
}

// A buffer filled from a pipe grows up to its limit and never past it, whatever the width of
// size_t (on a 32-bit system twice 2 GiB is 0), and stops where the input ends.
TEST(FillUntil, GrowsToItsLimitAndStopsWhereTheInputEnds) {
    constexpr size_t kHalf = SIZE_MAX / 2 + 1;
    EXPECT_EQ(NextCapacity(kHalf, kHalf + kHalf / 2), kHalf + kHalf / 2);
    const ScratchDir dir;
    Bytes bytes(100000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
    WriteFile(dir / "in", bytes);
    for (const size_t limit : {size_t{70000}, size_t{200000}}) {
        std::FILE* file = std::fopen((dir / "in").c_str(), "rb");
        ASSERT_NE(file, nullptr);
        Input in{file, kUnknownLength, {}};  // read as a pipe is
        Block block{};
        EXPECT_EQ(FillUntil(in, 0, limit, block, [](const Block&) { return false; }),
                  Filled::kEnded);
        EXPECT_LE(block.capacity, limit);
        const auto taken = ptrdiff_t(std::min(limit, bytes.size()));
        EXPECT_EQ(Bytes(block.bytes, block.bytes + block.size),
                  Bytes(bytes.begin(), bytes.begin() + taken));
        FreePixels(block.bytes);
        std::fclose(file);
    }
}

// Every set's loops, the portable one included, write the bytes that the format's rules give,
// worked out here pixel by pixel, at widths that end anywhere in a vector, and nothing past
// buffers exactly a row long, as the sanitizer build checks.
TEST(PixelRows, EverySetWritesWhatTheRulesGiveAtEveryWidth) {
    uint32_t colours[256];
    for (uint32_t i = 0; i < 256; ++i) colours[i] = (i * 2654435761u) & 0xFFFFFF;
    for (uint32_t w = 1; w <= 4097; w = w == 33 ? 4095 : w + 1) {
        const auto input = [w](size_t bytes) {
            Bytes in(bytes);
            for (size_t i = 0; i < bytes; ++i) in[i] = uint8_t(i * 151 + w);
            return in;
        };
        const Bytes bgr = input(3 * w), words = input(2 * w), quads = input(4 * w),
                    bytes = input(w);
        Bytes to565, toBGRX, from565, fromBGRX, fromPalette;
        for (uint32_t k = 0; k < w; ++k) {
            const uint8_t* px = &bgr[3 * k];
            const uint32_t word =
                uint32_t(px[2] >> 3) << 11 | uint32_t(px[1] >> 2) << 5 | px[0] >> 3;
            to565.insert(to565.end(), {uint8_t(word), uint8_t(word >> 8)});
            toBGRX.insert(toBGRX.end(), {px[0], px[1], px[2], 0xFF});
            const uint32_t v = words[2 * k] | words[2 * k + 1] << 8;
            from565.insert(from565.end(),
                           {Expand5To8[v & 31], Expand6To8[v >> 5 & 63], Expand5To8[v >> 11]});
            fromBGRX.insert(fromBGRX.end(), {quads[4 * k], quads[4 * k + 1], quads[4 * k + 2]});
            const uint32_t c = colours[bytes[k]];
            fromPalette.insert(fromPalette.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
        }
        for (const PixelRowLoops* set : AvailableRowLoops()) {
            SCOPED_TRACE(std::string(set->name) + " at width " + std::to_string(w));
            const auto run = [](size_t outBytes, auto loop) {
                Bytes out(outBytes);
                loop(out.data());
                return out;
            };
            EXPECT_EQ(run(2 * w, [&](uint8_t* d) { set->encode565(bgr.data(), d, w); }), to565);
            EXPECT_EQ(run(4 * w, [&](uint8_t* d) { set->encodeBGRX(bgr.data(), d, w); }), toBGRX);
            EXPECT_EQ(run(3 * w, [&](uint8_t* d) { set->decode565(words.data(), d, w); }), from565);
            EXPECT_EQ(run(3 * w, [&](uint8_t* d) { set->decodeBGRX(quads.data(), d, w); }),
                      fromBGRX);
            EXPECT_EQ(
                run(3 * w, [&](uint8_t* d) { set->decodePalette(colours, bytes.data(), d, w); }),
                fromPalette);
            if (testing::Test::HasFailure()) return;  // one width's failures say enough
        }
    }
}
