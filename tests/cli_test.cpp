// The program as a user and a script meet it: options, messages, exit statuses, the files it
// writes and keeps, the memory it may take, and input cut short.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "tests/test_util.h"

using namespace testutil;
using synth::Concat;

namespace {

struct RunResult {
    int status;
    std::string err;
    bool operator==(const RunResult&) const = default;
    friend std::ostream& operator<<(std::ostream& o, const RunResult& r) {
        return o << r.status << " " << testing::PrintToString(r.err);
    }
};

// Runs bmpdepth (under the emulator of a cross-build) through bash, standard error captured, within
// a `shell` command line where `{}` stands for the tool and its arguments: to set limits first, or
// to feed it from a pipe.
RunResult RunTool(const ScratchDir& dir, const Args& args, std::string shell = "{}",
                  const std::string& exe = BMPDEPTH_EXE) {
    std::string tool = BMPDEPTH_RUNNER + exe;
    for (const auto& arg : args) tool += " '" + arg + "'";  // no quotes in test names
    shell.replace(shell.find("{}"), 2, tool);
    std::ofstream(dir / ".run") << shell;
    const int status =
        std::system(("bash " + dir / ".run" + " </dev/null >/dev/null 2>" + dir / ".err").c_str());
    const Bytes err = ReadFile(dir / ".err");
    for (const char* name : {".run", ".err"}) fs::remove(dir / name);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
}

// As root, a device node of the test's own: a faulty save may replace it, never the system's.
std::string Device(const ScratchDir& dir, const char* name, unsigned minor) {
    const std::string node = dir / name;
    return ::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, minor)) == 0
               ? node
               : "/dev/" + node.substr(dir.path.string().size() + 1);
}

const std::string kUsage = "usage: " + std::string(BMPDEPTH_EXE) +
                           " in_file [option]\n"
                           "[option]:\n"
                           "            -r: reverse image\n"
                           "            -g: gamma revision\n"
                           "   -o filename: set output bitmap filename\n"
                           " -b output bit: set output bit\n";

}  // namespace

TEST(Cli, OptionsMessagesAndExitStatusSayWhatHappened) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", absent = dir / "absent.bmp";
    WriteFile(in, synth::Pattern(3, 2, 24, false));
    for (const Args& args : {Args{}, Args{in, "-x"}, Args{in, "-"}, Args{in, "-o", out, "-o"},
                             Args{in, "-b"}, Args{"-b16", in}, Args{in, "-B", "16"}})
        EXPECT_EQ(RunTool(dir, args), (RunResult{2, kUsage}));
    EXPECT_EQ(RunTool(dir, {in, "-b", "7"}), (RunResult{0, ""}));        // read and convert only
    EXPECT_EQ(RunTool(dir, {"-b", "-o", out, in}), (RunResult{0, ""}));  // -b took "-o"
    EXPECT_EQ(RunTool(dir, {absent, "-o", out}),
              (RunResult{1, "No such file or directory.\nbmp read error.\n"}));
    // Depths read like atoi (decimal, even after a 0), saturated to an int, checked before saving.
    for (const auto& [depth, shown] :
         {std::pair{"x16", "0"}, {"04294967312", "2147483647"}, {"-4294967272", "-2147483648"}})
        EXPECT_EQ(RunTool(dir, {in, "-b", depth, "-o", out}),
                  (RunResult{1, "SaveBMP: " + std::string(shown) + " bit is not supported.\n"}));
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    // Options known by their second letter, in any order; the last input wins.
    EXPECT_EQ(RunTool(dir, {"-output", out, absent, "-reverse", in, "-g", "-bits", "32bits"}),
              (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(out)[28], 32);
    for (const std::string& bad : {in, absent}) {  // nothing to standard output
        EXPECT_EQ(RunTool(dir, {bad, "-b", "8", "-o", "/dev/fd/1"}, "{} >" + out).status, 1);
        EXPECT_EQ(ReadFile(out), Bytes{});
    }
    EXPECT_EQ(RunTool(dir, {in, "-o", in, "-b", "16"}).status, 0);  // over its own input
    EXPECT_EQ(ReadFile(in)[28], 16);
}

TEST(Cli, FailedSavesLeaveNoTraceAndTheOldFileWhole) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    WriteFile(in, synth::Pattern(300, 300, 24, false));
    const std::string fsizeLimit = "ulimit -f 8; trap '' XFSZ; exec {}";  // writes past 4 KiB fail
    const RunResult cannotWrite{1, out + ": cannot write bmp file\n"};
    EXPECT_EQ(RunTool(dir, {in, "-o", out}, fsizeLimit), cannotWrite);
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    WriteFile(out, Bytes(3000, 'k'));
    EXPECT_EQ(RunTool(dir, {in, "-o", out}, fsizeLimit), cannotWrite);
    const ScratchDir devices;
    for (const std::string& bad : {dir / "missing/out.bmp", dir / "", Device(devices, "full", 7)})
        EXPECT_EQ(RunTool(dir, {in, "-o", bad}), (RunResult{1, bad + ": cannot write bmp file\n"}));
    EXPECT_EQ(RunTool(dir, {in, "-o", Device(devices, "null", 3)}).status, 0);  // in place

    // Stopped while it writes: the temporary file goes, and the status names the signal.
    WriteFile(in, synth::Make(Fields(6400, 6400, 8), Bytes(1024, 0), {}));
    fs::resize_file(in, 54 + 1024 + 6400 * 6400);  // a hole: no disk taken
    const std::string stop = "{} & until compgen -G '" + dir / ".bmpdepth-*" +
                             "' >/dev/null; do kill -0 $! || break; done; kill $!; wait $!";
    EXPECT_EQ(RunTool(dir, {in, "-b", "32", "-o", out}, stop).status, 128 + SIGTERM);
    EXPECT_EQ(ReadFile(out), Bytes(3000, 'k'));
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp"}));
    EXPECT_EQ(RunTool(dir, {in, "-o", out}, "trap '' TERM; " + stop).status, 0);  // stays ignored
}

// Where a replacement would change more than the bytes that the name holds, the save writes into
// the file, as opening the name for writing would; where that would fail, so does the save.
TEST(Cli, SavesKeepWhatWritingIntoTheNameWouldKeep) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", log = dir / "log";
    WriteFile(in, synth::Pattern(1, 1, 24, false));
    const std::string longName = std::string(250, 'n');  // as long as the system takes
    EXPECT_EQ(RunTool(dir, {in, "-o", dir / longName}, "umask 027; exec {}").status, 0);
    EXPECT_EQ(fs::status(dir / longName).permissions(), fs::perms(0640));  // the usual ones
    const Bytes saved = ReadFile(dir / longName), start = {'s', '\n'}, end = {'e', '\n'};

    // Standard output by name: what the shell wrote around the picture, or before it, stays.
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/stdout"}, "{ echo s; {}; echo e; } >'" + log + "'"),
              (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(log), Concat(Concat(start, saved), end));
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/fd/1"}, "{} >>'" + log + "'").status, 0);
    EXPECT_EQ(ReadFile(log), Concat(Concat(Concat(start, saved), end), saved));
    EXPECT_EQ(RunTool(dir, {in, "-o", "-"}, "cd '" + dir.path.string() + "' && {}").status, 0);
    EXPECT_EQ(ReadFile(dir / "-"), saved);  // a name like any other
    // A link: its file is replaced, keeping its permissions, or made; one into no folder fails.
    WriteFile(out, Bytes(1000, 'x'));
    fs::permissions(out, fs::perms(0640));
    for (const char* target : {"out.bmp", "new.bmp", "missing/new.bmp"})
        fs::create_symlink(target, dir / (std::string(target).substr(0, 3) + ".link"));
    for (const auto& [link, status] : {std::pair{"out.link", 0}, {"new.link", 0}, {"mis.link", 1}})
        EXPECT_EQ(RunTool(dir, {in, "-o", dir / link}).status, status) << link;
    EXPECT_TRUE(fs::is_symlink(dir / "out.link") && fs::is_symlink(dir / "new.link"));
    EXPECT_TRUE(ReadFile(out) == saved && ReadFile(dir / "new.bmp") == saved);
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
    // A file with a second name: both names keep naming one file, the new picture.
    WriteFile(out, {'o', 'l', 'd'});
    fs::create_hard_link(out, dir / "second");
    EXPECT_EQ(RunTool(dir, {in, "-o", out}).status, 0);
    EXPECT_TRUE(ReadFile(dir / "second") == saved && fs::hard_link_count(out) == 2);

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to act as another user";
    // In a folder of /tmp that another user may reach, with copies of the tool and the picture.
    const ScratchDir open("/tmp");
    const std::string tool = open / "tool", theirs = open / "theirs", readOnly = open / "ro/ro";
    const auto give = [](const std::string& name, unsigned mode) {
        fs::permissions(name, fs::perms(mode));
        return ::chown(name.c_str(), 65534, 65534) == 0;
    };
    fs::copy_file(BMPDEPTH_EXE, tool);
    fs::copy_file(in, open / "in.bmp");
    fs::create_directory(open / "ro");
    WriteFile(theirs, {'o'});
    WriteFile(readOnly, {'r', 'o'});
    fs::permissions(open.path, fs::perms(0755));  // root's: no other user creates files there
    ASSERT_TRUE(give(theirs, 0640) && give(open / "ro", 0755) && give(readOnly, 0444));
    struct stat st {};  // root replaces that user's file with a new one, which keeps its owner
    const ino_t before = ::stat(theirs.c_str(), &st) == 0 ? st.st_ino : 0;
    EXPECT_EQ(RunTool(dir, {in, "-o", theirs}).status, 0);
    EXPECT_TRUE(::stat(theirs.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65534 &&
                (st.st_mode & 07777) == 0640 && st.st_ino != before && ReadFile(theirs) == saved);
    // As that user: a file they may not write is refused and kept; one they may write, in a
    // folder where they cannot create files, is written in place.
    const std::string asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups {}";
    EXPECT_EQ(RunTool(open, {open / "in.bmp", "-o", readOnly}, asUser, tool),
              (RunResult{1, readOnly + ": cannot write bmp file\n"}));
    EXPECT_EQ(ReadFile(readOnly), (Bytes{'r', 'o'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(open / "ro"), {}), 1);
    WriteFile(theirs, {'o'});
    EXPECT_EQ(RunTool(open, {open / "in.bmp", "-o", theirs}, asUser, tool).status, 0);
    EXPECT_EQ(ReadFile(theirs), saved);
}

// A replacement's bytes reach the disk before the rename puts it in place, or the save fails and
// the old file stays; a new name waits for no disk.
TEST(Cli, ReplacementsReachTheDiskBeforeTheRename) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "strace would trace the emulator";
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace here";
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", trace = dir / "trace";
    WriteFile(in, synth::Pattern(3, 2, 8, false));
    // The status, then the calls that matter in order: those on the first descriptor that one
    // of them names, the temporary file's, and the rename.
    const auto calls = [&](const std::string& inject = "") {
        const std::string strace =  // leak checking cannot run under a tracer
            "ASAN_OPTIONS=detect_leaks=0 strace -qq -o " + trace + " -e trace=fsync,fchmod,rename ";
        std::string seen =
            std::to_string(RunTool(dir, {in, "-o", out}, strace + inject + "{}").status);
        std::ifstream lines(trace);
        for (std::string line, temp; std::getline(lines, line);) {  // fsync(4) = 0
            const size_t open = line.find('('), end = line.find_first_of(",)");
            const std::string call = line.substr(0, open),
                              fd = line.substr(open + 1, end - open - 1);
            if (temp.empty() && call != "rename") temp = fd;
            if (call == "rename" || fd == temp) seen += " " + call;
        }
        return seen;
    };
    EXPECT_EQ(calls(), "0 fchmod rename");  // a new name
    const Bytes saved = ReadFile(out);
    EXPECT_EQ(calls(), "0 fchmod fsync rename");
    WriteFile(out, {'o', 'l', 'd'});
    EXPECT_EQ(calls("-e inject=fsync:error=EIO "), "1 fchmod fsync");
    EXPECT_EQ(calls("-e inject=fchmod:error=EPERM "), "1 fchmod");
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));
    EXPECT_EQ(ReadFile(out), (Bytes{'o', 'l', 'd'}));
    ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);  // an owner the new file cannot be given
    EXPECT_EQ(calls("-e trace=fchown -e inject=fchown:error=EPERM "), "0 fchown");  // in place
    EXPECT_EQ(ReadFile(out), saved);
}

#if !BMPDEPTH_SANITIZED  // an address-space limit cannot hold: the sanitizers reserve terabytes
TEST(Cli, MemoryIsBoundedByWhatTheFileHolds) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "the emulator maps large areas for itself";
    ScratchDir dir, devices;
    const std::string null = Device(devices, "null", 3);
    const auto picture = [&](int32_t side, uint16_t bits, uint32_t compression, uint64_t length,
                             bool piped = false, const Bytes& rle = {0, 1}) {
        // RLE8: a palette and the data; otherwise rows that are a hole, costing no disk.
        const synth::Fields f = Fields(side, side, bits, compression);
        WriteFile(dir / "in.bmp",
                  compression ? synth::Make(f, Bytes(1024, 0), rle) : synth::Make(f, {}, {}));
        if (!compression) fs::resize_file(dir / "in.bmp", length);
        return RunTool(dir, {dir / "in.bmp", "-b", "32", "-o", null},
                       "ulimit -v 262144; " +  // 256 MiB
                           (piped ? "cat '" + dir / "in.bmp" + "' | {} /dev/stdin" : "exec {}"));
    };
    // The largest that fits (117 MiB of rows, 117 of working rows), even grown from a pipe.
    for (bool piped : {false, true})
        EXPECT_EQ(picture(6400, 24, 0, 54 + 6400ull * 6400 * 3, piped).status, 0) << piped;
    EXPECT_EQ(picture(7000, 24, 0, 54 + 7000ull * 7000 * 3).err,
              "Cannot alloc write memory..\nbmp read error.\n");
    for (bool piped : {false, true})
        EXPECT_EQ(picture(30000, 24, 0, 100, piped).err, "Read error.\nbmp read error.\n");
    EXPECT_EQ(picture(4096, 8, 1, 0).status, 0);  // blank RLE8 rows up to 16 MiB are allowed
    // 20 MiB of RLE8 data (ends of line) from a pipe: over 16 MiB, under 4 times its rows.
    EXPECT_EQ(picture(3000, 8, 1, 0, true, synth::Concat(Bytes(20 << 20, 0), {0, 1})).status, 0);
    EXPECT_EQ(picture(20000, 8, 1, 0, false, synth::Concat(Bytes(1600000, 0), {0, 1})).err,
              "Cannot alloc read memory..\nbmp read error.\n");  // justified, but too large
}
#endif

// Every way of feeding each file, and every cut of it: what only whole runs of the tool show.
TEST(Cli, EveryFileConvertsAlikeThroughPipesAndEveryCutIsRefused) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", full = dir / "full.bmp";
    const Bytes palette = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
    std::vector<Bytes> files = {
        synth::Make(Fields(3, 2, 8, 0, 4), palette, {0, 1, 2, 0, 3, 2, 1, 0}),
        synth::Make(Fields(3, 2, 8, 1, 4), palette, {3, 1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 1}),
        synth::Make(Fields(3, 2, 16, 3), {0, 0x7C, 0, 0, 0xE0, 3, 0, 0, 0x1F, 0, 0, 0},
                    Bytes(16, 7)),
        synth::Make(Fields(3, 2, 24), Bytes(30, 0xEE), Bytes(24, 0x42)),  // a gap before rows
        synth::OS2(3, 2, 8, {1, 2, 3, 4, 5, 6}, {0, 1, 1, 0, 1, 0, 0, 0}),
        synth::Pattern(3, 2, 16, true),
        synth::Pattern(3, 2, 32, true)};
    const std::string q = "'" + in + "'", o = " -o '" + out + "'";
    // A pipe, and pipes that go on, where the tool stops at the picture's end.
    const std::string piped = "cat " + q + " | ", endless = "cat " + q + " /dev/zero | timeout 20 ";
    const std::string feeds[] = {piped + "{} /dev/stdin" + o, endless + "{} /dev/stdin" + o,
                                 endless + "{} /dev/stdin -o /dev/stdout >'" + out + "'"};

    for (const Bytes& valid : files) {
        const Bytes file = synth::Concat(valid, {0xA5, 0x5A, 0xA5});  // bytes nothing reads
        const size_t rleData = file[30] == 1 ? 54 + palette.size() : file.size();  // offBits
        WriteFile(in, file);
        ASSERT_EQ(RunTool(dir, {in, "-o", full}).status, 0);
        for (const std::string& feed : feeds) {
            EXPECT_EQ(RunTool(dir, {}, feed), (RunResult{0, ""})) << feed;
            EXPECT_EQ(ReadFile(out), ReadFile(full)) << feed;
        }
        for (size_t length = 0; length <= file.size(); ++length) {  // cut short: whole or refused
            fs::remove(out);
            WriteFile(in, Bytes(file.begin(), file.begin() + long(length)));
            const std::string why = length >= valid.size() ? ""
                                    : length >= rleData    ? "ReadBMP: bad RLE data.\n"
                                                           : "Read error.\n";
            EXPECT_EQ(
                RunTool(dir, {in, "-o", out}),
                (RunResult{why.empty() ? 0 : 1, why + (why.empty() ? "" : "bmp read error.\n")}))
                << "cut at " << length << " of " << testing::PrintToString(valid);
            EXPECT_EQ(fs::exists(out), why.empty());
            if (why.empty()) EXPECT_EQ(ReadFile(out), ReadFile(full));
        }
        fs::remove(out);
    }
}
