// Hostile and damaged input, run through the built program: memory that a file can make the
// tool take, and files cut short at every length.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/test_util.h"

using testutil::Bytes;
using testutil::ReadFile;
using testutil::RunTool;
using testutil::ScratchDir;

namespace {

// A picture file of `length` bytes whose rows are a hole: it costs no disk.
void WriteSparse(const std::string& path, const Bytes& headers, uint64_t length) {
    testutil::WriteFile(path, headers);
    std::filesystem::resize_file(path, length);
}

Bytes Headers(int32_t width, int32_t height, uint16_t bits, uint32_t compression = 0) {
    synth::Fields f;
    f.width = width;
    f.height = height;
    f.bits = bits;
    f.compression = compression;
    return synth::Make(f, {}, {});
}

constexpr const char* kAddressLimit = "ulimit -v 262144;";  // 256 MiB

}  // namespace

#if BMPDEPTH_SANITIZED
// The sanitizers reserve terabytes of address space, so no address-space limit can hold.
#define MEMORY_TEST(name) TEST(MemoryBound, DISABLED_##name)
#else
#define MEMORY_TEST(name) TEST(MemoryBound, name)
#endif

MEMORY_TEST(LargestPictureThatFitsConverts) {
    // 6400 x 6400 x 3 bytes: 117 MiB of rows and 117 MiB of working rows.
    ScratchDir dir;
    WriteSparse(dir / "in.bmp", Headers(6400, 6400, 24), 54 + uint64_t(6400) * 6400 * 3);
    const auto r = RunTool(dir, {dir / "in.bmp", "-b", "32", "-o", "/dev/null"}, kAddressLimit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

MEMORY_TEST(LargerPictureIsRefusedNotCrashed) {
    ScratchDir dir;
    WriteSparse(dir / "in.bmp", Headers(7000, 7000, 24), 54 + uint64_t(7000) * 7000 * 3);
    const auto r = RunTool(dir, {dir / "in.bmp", "-o", dir / "out.bmp"}, kAddressLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot alloc write memory..\nbmp read error.\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bmp"));
}

MEMORY_TEST(SmallFilesClaimingHugePicturesCostNothing) {
    ScratchDir dir;
    Bytes claim = Headers(30000, 30000, 24);  // 2.7 GB of rows, in 100 bytes
    claim.resize(100, 0);
    testutil::WriteFile(dir / "raw.bmp", claim);
    auto r = RunTool(dir, {dir / "raw.bmp", "-o", dir / "out.bmp"}, kAddressLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Read error.\nbmp read error.\n");

    Bytes rle = Headers(20000, 20000, 8, 1);  // 400 MB of RLE8 rows, in 2 KiB
    rle.resize(2048, 0);
    rle.insert(rle.end(), {0, 1});
    testutil::WriteFile(dir / "rle.bmp", rle);
    r = RunTool(dir, {dir / "rle.bmp", "-o", dir / "out.bmp"}, kAddressLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ReadBMP: bad RLE data.\nbmp read error.\n");
    EXPECT_FALSE(std::filesystem::exists(dir / "out.bmp"));

    // A blank RLE8 picture up to 16 MiB of rows is allowed however short its data.
    Bytes blank = Headers(4096, 4096, 8, 1);
    blank.resize(54 + 1024, 0);
    blank.insert(blank.end(), {0, 1});
    testutil::WriteFile(dir / "blank.bmp", blank);
    r = RunTool(dir, {dir / "blank.bmp", "-o", "/dev/null"}, kAddressLimit);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

namespace {

struct Sample {
    std::string name;
    Bytes file;     // a valid file, followed by bytes that nothing reads
    size_t needed;  // the length of its prefix that still converts
    bool rle;
};

std::vector<Sample> Samples() {
    const Bytes tail = {0xA5, 0x5A, 0xA5, 0x5A, 0xA5};
    std::vector<Sample> samples;
    for (uint16_t bits : {uint16_t{16}, uint16_t{24}, uint16_t{32}})
        for (bool topDown : {false, true}) {
            const Bytes valid = synth::Pattern(3, 2, bits, topDown);
            samples.push_back({"depth " + std::to_string(bits), valid, valid.size(), false});
        }
    synth::Fields f;
    f.width = 3;
    f.height = 2;
    f.bits = 8;
    f.clrUsed = 4;
    const Bytes palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    Bytes valid = synth::Make(f, palette, {0, 1, 2, 0, 3, 2, 1, 0});
    samples.push_back({"palette", valid, valid.size(), false});
    f.compression = 1;
    valid = synth::Make(f, palette, {3, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1});
    samples.push_back({"rle8", valid, valid.size(), true});
    f.bits = 16;
    f.compression = 3;
    f.clrUsed = 0;
    valid = synth::Make(f, {0, 0x7C, 0, 0, 0xE0, 0x03, 0, 0, 0x1F, 0, 0, 0}, Bytes(16, 0x42));
    samples.push_back({"masks", valid, valid.size(), false});
    valid = synth::OS2(3, 2, 8, {1, 2, 3, 4, 5, 6}, {0, 1, 1, 0, 1, 0, 0, 0});
    samples.push_back({"os2", valid, valid.size(), false});
    for (Sample& s : samples) s.file.insert(s.file.end(), tail.begin(), tail.end());
    return samples;
}

}  // namespace

TEST(Truncation, EveryPrefixIsRefusedCleanlyOrConverted) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", full = dir / "full.bmp";
    for (const Sample& s : Samples()) {
        testutil::WriteFile(in, s.file);
        ASSERT_EQ(RunTool(dir, {in, "-o", full}).status, 0) << s.name;
        const Bytes expected = ReadFile(full);
        const uint32_t offBits = testutil::Le32(s.file, 10);
        for (size_t length = 0; length <= s.file.size(); ++length) {
            testutil::WriteFile(in, Bytes(s.file.begin(), s.file.begin() + long(length)));
            const auto r = RunTool(dir, {in, "-o", out});
            const std::string where = s.name + " cut at " + std::to_string(length);
            if (length >= s.needed) {
                EXPECT_EQ(r.status, 0) << where << ": " << r.err;
                EXPECT_EQ(ReadFile(out), expected) << where;
                continue;
            }
            const std::string why = s.rle && length >= offBits && length >= 54
                                        ? "ReadBMP: bad RLE data.\n"
                                        : "Read error.\n";
            EXPECT_EQ(r.status, 1) << where;
            EXPECT_EQ(r.err, why + "bmp read error.\n") << where;
            EXPECT_FALSE(std::filesystem::exists(out)) << where;
        }
        std::filesystem::remove(out);
    }
}
