// The program as a user and a script meet it: options, messages, exit statuses, the files it
// writes and keeps, the memory it may take, and input cut short.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>
#include <string>
#include <vector>

#include "cli/options.h"
#include "tests/test_util.h"

using namespace testutil;
using Args = std::vector<std::string>;

namespace {

// Parses a command line; the options point into `args`, so it is built in place, never moved.
struct Parse {
    explicit Parse(Args arguments) : args(std::move(arguments)) {
        args.insert(args.begin(), "bmpdepth");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        ok = ParseArguments(int(argv.size()), argv.data(), options);
    }
    Parse(const Parse&) = delete;
    Args args;
    Options options;
    int ok = 0;
};

std::string Str(const char* s) { return s ? s : "-"; }

// The masks 5-5-5, after a 40-byte header.
Bytes Masks555() {
    Bytes b;
    for (uint32_t mask : {0x7C00, 0x03E0, 0x001F}) synth::Put32(b, mask);
    return b;
}

bool Exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

const std::string kUsage = "usage: " + std::string(BMPDEPTH_EXE) +
                           " in_file [option]\n"
                           "[option]:\n"
                           "            -r: reverse image\n"
                           "            -g: gamma revision\n"
                           "   -o filename: set output bitmap filename\n"
                           " -b output bit: set output bit\n";

}  // namespace

TEST(Options, DepthReadsLikeAtoiButSaturates) {
    const std::vector<std::pair<const char*, int>> cases = {{"16", 16},
                                                            {"  +32", 32},
                                                            {"-5", -5},
                                                            {"24bits", 24},
                                                            {"x16", 0},
                                                            {"", 0},
                                                            {"0x20", 0},
                                                            {"4294967312", INT_MAX},
                                                            {"-4294967272", INT_MIN},
                                                            {"99999999999999999999999", INT_MAX}};
    for (const auto& [text, depth] : cases) EXPECT_EQ(ParseDepth(text), depth) << text;
}

TEST(Options, AreKnownByTheirSecondLetterAndTakeTheNextArgument) {
    struct Case {
        Args args;
        const char* input;  // nullptr: the usage text is due
        const char* output;
        int bits;
    };
    const std::vector<Case> cases = {
        {{"-o", "out.bmp", "in.bmp", "-b", "32"}, "in.bmp", "out.bmp", 32},
        {{"in.bmp"}, "in.bmp", nullptr, 24},
        {{"a.bmp", "-r", "b.bmp", "-g", "-o", "o.bmp"}, "b.bmp", "o.bmp", 24},  // last one wins
        {{"-bits", "16", "-output", "o.bmp", "-reverse", "in.bmp"}, "in.bmp", "o.bmp", 16},
        {{"-b", "-o", "out.bmp", "in.bmp"}, "in.bmp", nullptr, 0},  // -b takes "-o"
        {{"in.bmp", "-o", "-x"}, "in.bmp", "-x", 24},
        {{}, nullptr, nullptr, 0},
        {{"-b16", "in.bmp"}, nullptr, nullptr, 0},  // -b takes in.bmp: no input left
        {{"-o", "out.bmp"}, nullptr, nullptr, 0},
        {{"in.bmp", "-o", "out.bmp", "-o"}, nullptr, nullptr, 0},
        {{"in.bmp", "-b"}, nullptr, nullptr, 0},
        {{"in.bmp", "-B", "16"}, nullptr, nullptr, 0},
        {{"in.bmp", "-"}, nullptr, nullptr, 0},
    };
    for (const Case& c : cases) {
        const Parse p(c.args);
        const std::string line = testing::PrintToString(c.args);
        ASSERT_EQ(p.ok, c.input != nullptr) << line;
        if (!p.ok) continue;
        EXPECT_EQ(Str(p.options.input), Str(c.input)) << line;
        EXPECT_EQ(Str(p.options.output), Str(c.output)) << line;
        EXPECT_EQ(p.options.bits, c.bits) << line;
    }
}

TEST(Cli, ExitStatusSaysWhatHappened) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    WriteFile(in, synth::Pattern(3, 2, 24, false));
    for (const Args& args : {Args{}, Args{in, "-x"}, Args{in, "-o"}, Args{"-b16", in}}) {
        const auto r = RunTool(dir, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, kUsage);
    }
    for (const Args& args : {Args{in}, Args{in, "-b", "7"}}) {  // read and convert only
        EXPECT_EQ(RunTool(dir, args).status, 0);
        EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    }
    auto r = RunTool(dir, {dir / "absent.bmp", "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No such file or directory.\nbmp read error.\n");
    WriteFile(out, {'k', 'e', 'e', 'p'});
    for (const auto& [value, shown] :
         {std::pair{"8", "8"}, {"x16", "0"}, {"9999999999", "2147483647"}}) {
        r = RunTool(dir, {in, "-b", value, "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "SaveBMP: " + std::string(shown) + " bit is not supported.\n");
        EXPECT_EQ(Text(ReadFile(out)), "keep");
    }
}

TEST(Cli, ConvertsToEachDepthAndOverItsOwnInput) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    WriteFile(in, synth::Pattern(3, 2, 8, false));
    for (int bits : {16, 24, 32}) {
        const auto r = RunTool(dir, {"-o", out, in, "-b", std::to_string(bits)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        const Bytes f = ReadFile(out);
        EXPECT_EQ(f[28], bits);
        EXPECT_EQ(f.size(), (bits == 16 ? 66u : 54u) + 2 * synth::Stride(3, uint32_t(bits)));
    }
    RunTool(dir, {"-r", in, "-g", "-o", dir / "rg.bmp", "-b", "32"});  // -r and -g do nothing
    EXPECT_EQ(ReadFile(dir / "rg.bmp"), ReadFile(out));
    EXPECT_EQ(RunTool(dir, {in, "-o", in}).status, 0);
    EXPECT_EQ(ReadFile(in)[28], 24);
}

TEST(Cli, RefusedInputsWriteNothing) {
    ScratchDir dir;
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(20, 'B'), "Read error.\n"},
        {synth::Make(Fields(1, 1, 16, 3), Bytes(12, 0xFF), Bytes(4, 0)),
         "ReadBMP: bad colour masks.\n"},
        {synth::Make(Fields(1, 1, 8, 1), Bytes(1024, 0), {9, 9, 0, 1}), "ReadBMP: bad RLE data.\n"},
        {synth::Make(Fields(1, 1, 24, 4), {}, Bytes(4, 0)),
         "ReadBMP: compression 4 is not supported.\n"},
    };
    for (const auto& [file, reason] : cases) {
        WriteFile(dir / "in.bmp", file);
        const auto r = RunTool(dir, {dir / "in.bmp", "-o", dir / "out.bmp"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, reason + "bmp read error.\n");
        EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    }
}

TEST(Cli, FailedSavesLeaveNoTraceAndKeepWhatStoodThere) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    WriteFile(in, synth::Pattern(300, 300, 24, false));
    const std::string fsizeLimit = "ulimit -f 8; trap '' XFSZ; exec {}";  // writes past 4 KiB fail
    auto r = RunTool(dir, {in, "-o", out}, fsizeLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, out + ": cannot write bmp file\n");
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    WriteFile(out, Bytes(3000, 'k'));
    r = RunTool(dir, {in, "-o", out}, fsizeLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadFile(out), Bytes(3000, 'k'));
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp"}));
    for (const std::string& bad : {dir / "missing/out.bmp", dir / "", std::string("/dev/full")}) {
        r = RunTool(dir, {in, "-o", bad});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, bad + ": cannot write bmp file\n");
    }
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp"}));
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/null"}).status, 0);  // devices are written in place

    // Stopped while it writes: the temporary file goes, and the status names the signal.
    WriteFile(in, synth::Make(Fields(6400, 6400, 8), Bytes(1024, 0), {}));
    fs::resize_file(in, 54 + 1024 + 6400 * 6400);  // a hole: no disk taken
    r = RunTool(dir, {in, "-b", "32", "-o", out},
                "{} & until compgen -G '" + dir / ".bmpdepth-*" +
                    "' >/dev/null; do kill -0 $! 2>/dev/null || break; done; kill $!; wait $!");
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(ReadFile(out), Bytes(3000, 'k'));
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp"}));
}

TEST(Cli, ReplacesFilesWholeKeepingModeAndLinks) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", real = dir / "real.bmp";
    WriteFile(in, synth::Pattern(1, 1, 24, false));
    WriteFile(real, Bytes(1000, 'x'));
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    fs::create_symlink("real.bmp", dir / "link.bmp");
    EXPECT_EQ(RunTool(dir, {in, "-o", dir / "link.bmp"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(dir / "link.bmp"));
    EXPECT_EQ(ReadFile(real).size(), 58u);
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A new file gets the usual permissions; a name of any length the system takes is written.
    const std::string longName = std::string(250, 'n');
    EXPECT_EQ(RunTool(dir, {in, "-o", dir / longName}, "umask 027; exec {}").status, 0);
    ASSERT_EQ(::stat((dir / longName).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "link.bmp", longName, "real.bmp"}));
}

TEST(Cli, ReadsPipesAsFiles) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", piped = dir / "piped.bmp";
    synth::Fields back = Fields(3, 2, 8);  // rows start inside the 256 entries claimed
    back.offBits = 54 + 8;
    const std::vector<Bytes> files = {
        synth::Pattern(5, 3, 8, true),
        synth::Make(Fields(3, 2, 24), Bytes(300, 0xEE), Bytes(24, 0x42)),  // a gap before rows
        synth::Make(back, {1, 2, 3, 0, 4, 5, 6, 0}, {0, 1, 1, 0, 1, 0, 0, 0}),
        synth::Make(Fields(3, 2, 8, 1, 2), {1, 2, 3, 0, 4, 5, 6, 0},
                    {3, 1, 1, 0, 0, 0, 4, 0, 0, 1}),
        synth::Make(Fields(1, 1, 16, 3), Masks555(), {0x21, 0x08, 0, 0})};
    const std::string q = "'" + in + "'";
    for (const Bytes& file : files) {
        WriteFile(in, file);
        ASSERT_EQ(RunTool(dir, {in, "-o", out}).status, 0);
        for (const std::string& feed :
             {"cat " + q + " | {} /dev/stdin", "{} <(cat " + q + ")",
              "mkfifo '" + dir / "fifo" + "'; cat " + q + " >'" + dir / "fifo" + "' & {} '" +
                  dir / "fifo" + "'",
              "cat " + q + " /dev/zero | timeout 20 {} /dev/stdin"}) {  // stops at the picture
            fs::remove(dir / "fifo");
            EXPECT_EQ(RunTool(dir, {"-o", piped}, feed).status, 0) << feed;
            EXPECT_EQ(ReadFile(piped), ReadFile(out)) << feed;
        }
    }
}

// An address-space limit cannot hold under the sanitizers, which reserve terabytes.
#if !BMPDEPTH_SANITIZED
TEST(Cli, MemoryIsBoundedByWhatTheFileHolds) {
    ScratchDir dir;
    const std::string limit = "ulimit -v 262144; exec {}";  // 256 MiB
    const auto picture = [&](int32_t side, uint16_t bits, uint32_t compression, uint64_t length) {
        // RLE8: a palette and an immediate end of bitmap; otherwise rows that are a hole,
        // costing no disk.
        const synth::Fields f = Fields(side, side, bits, compression);
        WriteFile(dir / "in.bmp",
                  compression ? synth::Make(f, Bytes(1024, 0), {0, 1}) : synth::Make(f, {}, {}));
        if (!compression) fs::resize_file(dir / "in.bmp", length);
        return RunTool(dir, {dir / "in.bmp", "-b", "32", "-o", "/dev/null"}, limit);
    };
    // The largest that fits: 117 MiB of rows and 117 MiB of working rows.
    EXPECT_EQ(picture(6400, 24, 0, 54 + 6400ull * 6400 * 3).status, 0);
    EXPECT_EQ(picture(7000, 24, 0, 54 + 7000ull * 7000 * 3).err,
              "Cannot alloc write memory..\nbmp read error.\n");
    EXPECT_EQ(picture(30000, 24, 0, 100).err, "Read error.\nbmp read error.\n");
    EXPECT_EQ(picture(20000, 8, 1, 0).err, "ReadBMP: bad RLE data.\nbmp read error.\n");
    EXPECT_EQ(picture(4096, 8, 1, 0).status, 0);  // blank RLE8 rows up to 16 MiB are allowed
    picture(30000, 24, 0, 100);  // a pipe has no length: memory grows only with what arrives
    EXPECT_EQ(RunTool(dir, {"/dev/stdin", "-o", "/dev/null"},
                      "ulimit -v 262144; cat '" + dir / "in.bmp" + "' | {}")
                  .err,
              "Read error.\nbmp read error.\n");
}
#endif

TEST(Cli, EveryTruncationIsRefusedCleanlyOrConverted) {
    ScratchDir dir;
    const Bytes tail = {0xA5, 0x5A, 0xA5};  // bytes that nothing reads
    const Bytes palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    std::vector<Bytes> files = {
        synth::Make(Fields(3, 2, 8, 0, 4), palette, {0, 1, 2, 0, 3, 2, 1, 0}),
        synth::Make(Fields(3, 2, 8, 1, 4), palette, {3, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}),
        synth::Make(Fields(3, 2, 16, 3), {0, 0x7C, 0, 0, 0xE0, 3, 0, 0, 0x1F, 0, 0, 0},
                    Bytes(16, 0x42)),
        synth::OS2(3, 2, 8, {1, 2, 3, 4, 5, 6}, {0, 1, 1, 0, 1, 0, 0, 0})};
    for (uint16_t bits : {uint16_t{16}, uint16_t{24}, uint16_t{32}})
        for (bool topDown : {false, true}) files.push_back(synth::Pattern(3, 2, bits, topDown));

    const std::string in = dir / "in.bmp", out = dir / "out.bmp", full = dir / "full.bmp";
    for (const Bytes& valid : files) {
        const Bytes file = synth::Concat(valid, tail);
        const bool isRLE = file[30] == 1;
        WriteFile(in, file);
        ASSERT_EQ(RunTool(dir, {in, "-o", full}).status, 0);
        for (size_t length = 0; length <= file.size(); ++length) {
            WriteFile(in, Bytes(file.begin(), file.begin() + long(length)));
            const auto r = RunTool(dir, {in, "-o", out});
            const std::string where =
                "cut at " + std::to_string(length) + " of " + testing::PrintToString(valid);
            if (length >= valid.size()) {
                EXPECT_EQ(r.status, 0) << where;
                EXPECT_EQ(ReadFile(out), ReadFile(full)) << where;
                continue;
            }
            const bool rleData = isRLE && length >= 54 && length >= Le32(file, 10);
            EXPECT_EQ(r.status, 1) << where;
            EXPECT_EQ(r.err, (rleData ? "ReadBMP: bad RLE data.\n" : "Read error.\n") +
                                 std::string("bmp read error.\n"))
                << where;
            EXPECT_FALSE(Exists(out)) << where;
        }
        fs::remove(out);
    }
}
