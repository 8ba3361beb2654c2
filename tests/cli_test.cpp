// Runs the built program as a user would and checks what it prints, its status and its files.
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

const std::string kUsage = "usage: " + std::string(BMPDEPTH_EXE) +
                           " in_file [option]\n"
                           "[option]:\n"
                           "            -r: reverse image\n"
                           "            -g: gamma revision\n"
                           "   -o filename: set output bitmap filename\n"
                           " -b output bit: set output bit\n";

// A 3 x 2 picture at `bits`.
std::string Input(const ScratchDir& dir, uint16_t bits = 24, const std::string& name = "in.bmp") {
    testutil::WriteFile(dir / name, synth::Pattern(3, 2, bits, false));
    return dir / name;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace

TEST(Cli, PrintsUsageWithStatus2) {
    ScratchDir dir;
    const std::string in = Input(dir);
    const std::vector<std::vector<std::string>> lines = {
        {}, {in, "-x"}, {"-o", dir / "out.bmp"}, {in, "-o"}, {in, "-b"}, {"-b16", in}, {in, "-"}};
    for (const auto& args : lines) {
        const auto r = RunTool(dir, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(Exists(dir / "out.bmp"));
}

TEST(Cli, ReadOnlyRunPrintsNothing) {
    ScratchDir dir;
    const std::string in = Input(dir);
    for (const auto& args : std::vector<std::vector<std::string>>{{in}, {in, "-b", "7"}}) {
        const auto r = RunTool(dir, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
}

TEST(Cli, ConvertsToEachDepth) {
    ScratchDir dir;
    const std::string in = Input(dir);
    const std::string out = dir / "out.bmp";
    for (int bits : {16, 24, 32}) {
        const auto r = RunTool(dir, {"-o", out, in, "-b", std::to_string(bits)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const Bytes f = ReadFile(out);
        ASSERT_GE(f.size(), 54u);
        EXPECT_EQ(testutil::Le16(f, 28), uint32_t(bits));
        EXPECT_EQ(f.size(), (bits == 16 ? 66u : 54u) + 2 * synth::Stride(3, uint32_t(bits)));
    }
    RunTool(dir, {in, "-o", out});  // 24 bits by default
    EXPECT_EQ(testutil::Le16(ReadFile(out), 28), 24u);
}

TEST(Cli, RAndGChangeNothing) {
    ScratchDir dir;
    const std::string in = Input(dir, 8);
    RunTool(dir, {in, "-o", dir / "plain.bmp", "-b", "16"});
    const auto r = RunTool(dir, {"-r", in, "-g", "-o", dir / "rg.bmp", "-b", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dir / "rg.bmp"), ReadFile(dir / "plain.bmp"));
}

TEST(Cli, LastInputNameWins) {
    ScratchDir dir;
    const std::string b = Input(dir, 24, "b.bmp");
    const auto r = RunTool(dir, {dir / "a.bmp", b, "-o", dir / "out.bmp"});  // a.bmp does not exist
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(Exists(dir / "out.bmp"));
}

TEST(Cli, OverwritesItsOwnInput) {
    ScratchDir dir;
    const std::string in = Input(dir, 32);
    const auto r = RunTool(dir, {in, "-o", in, "-b", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(testutil::Le16(ReadFile(in), 28), 16u);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
}

TEST(Cli, ReadFailuresSayWhyThenBmpReadError) {
    ScratchDir dir;
    const std::string out = dir / "out.bmp";
    auto r = RunTool(dir, {dir / "absent.bmp", "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No such file or directory.\nbmp read error.\n");

    testutil::WriteFile(dir / "short.bmp", Bytes(20, 'B'));
    r = RunTool(dir, {dir / "short.bmp", "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Read error.\nbmp read error.\n");
    EXPECT_FALSE(Exists(out));
}

TEST(Cli, RefusedDepthsExitWith1AndWriteNothing) {
    ScratchDir dir;
    const std::string in = Input(dir);
    const std::string out = dir / "out.bmp";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"8", "8"}, {"x16", "0"}, {"99999999999", "2147483647"}, {"-99999999999", "-2147483648"}};
    for (const auto& [value, shown] : cases) {
        const auto r = RunTool(dir, {in, "-b", value, "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "SaveBMP: " + shown + " bit is not supported.\n");
        EXPECT_FALSE(Exists(out));
    }
}

TEST(Cli, FailedSaveKeepsTheExistingFile) {
    ScratchDir dir;
    const std::string in = Input(dir);
    testutil::WriteFile(dir / "big.bmp", synth::Pattern(300, 300, 24, false));
    const std::string out = dir / "out.bmp";
    const Bytes existing(5000, 'k');
    testutil::WriteFile(out, existing);
    // A 4 KiB file-size limit with SIGXFSZ ignored makes the write itself fail.
    const auto r = RunTool(dir, {dir / "big.bmp", "-o", out}, "ulimit -f 8; trap '' XFSZ;");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, out + ": cannot write bmp file\n");
    EXPECT_EQ(ReadFile(out), existing);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"big.bmp", "in.bmp", "out.bmp"}));
}

TEST(Cli, UnwritableOutputsExitWith1) {
    ScratchDir dir;
    const std::string in = Input(dir);
    for (const std::string& out : {dir / "no/such/folder.bmp", std::string("/dev/full")}) {
        const auto r = RunTool(dir, {in, "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, out + ": cannot write bmp file\n");
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"in.bmp"});
}

TEST(Cli, RefusedInputsExitWith1AndWriteNothing) {
    ScratchDir dir;
    const std::string out = dir / "out.bmp";
    synth::Fields masked;
    masked.width = 1;
    masked.height = 1;
    masked.bits = 16;
    masked.compression = 3;
    synth::Fields rle = masked;
    rle.bits = 8;
    rle.compression = 1;
    synth::Fields fourBit = masked;
    fourBit.bits = 4;
    fourBit.compression = 0;
    synth::Fields jpeg = masked;
    jpeg.bits = 24;
    jpeg.compression = 4;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {synth::Make(masked, Bytes(12, 0xFF), Bytes(4, 0)), "ReadBMP: bad colour masks.\n"},
        {synth::Make(rle, Bytes(1024, 0), {9, 9, 0, 1}), "ReadBMP: bad RLE data.\n"},
        {synth::Make(jpeg, {}, Bytes(4, 0)), "ReadBMP: compression 4 is not supported.\n"},
        {synth::Make(fourBit, {}, Bytes(4, 0)), "ReadBMP: 4 bit is not supported.\n"},
    };
    for (const auto& [file, message] : cases) {
        testutil::WriteFile(dir / "in.bmp", file);
        const auto r = RunTool(dir, {dir / "in.bmp", "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message + "bmp read error.\n");
        EXPECT_FALSE(Exists(out));
    }
}
