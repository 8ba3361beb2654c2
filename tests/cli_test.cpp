// The program as users and scripts meet it: messages, exit statuses, files, pipes and memory.
#include <sys/stat.h>
#if __has_include(<sys/sysmacros.h>)  // makedev: in <sys/types.h> elsewhere
#include <sys/sysmacros.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>

#include "tests/test_util.h"

using namespace testutil;
using synth::Concat;

namespace {

const int kLastEndingSignal = NSIG - 1;  // SIGRTMAX, or SIGUSR2 without real-time signals

// A runner may start the tests with signals ignored (a shell does so for SIGINT and SIGQUIT in
// the background), which the tool would keep; the tests ignore a signal only by name.
const int kDefaultSignals = [] {
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGXFSZ, kLastEndingSignal})
        std::signal(sig, SIG_DFL);
    return 0;
}();

// The depth a saved file declares; -1 when there is no such file.
int DepthOf(const std::string& path) {
    const Bytes file = ReadFile(path);
    return file.size() >= 30 ? file[28] | file[29] << 8 : -1;
}

using RunResult = std::pair<int, std::string>;  // the exit status, what went to standard error

// Runs bmpdepth (under a cross-build's emulator) through bash, within a `shell` command line where
// `{}` stands for the tool and its arguments: to set limits first, or to feed it from a pipe.
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
    // Which command lines call for the usage text is ParseArguments' test; here, what it prints.
    for (const Args& args : {Args{}, Args{in, "-x"}, Args{"-b16", in}})
        EXPECT_EQ(RunTool(dir, args), (RunResult{2, kUsage}));
    EXPECT_EQ(RunTool(dir, {in, "-b", "7"}), (RunResult{0, ""}));  // read and convert only
    EXPECT_EQ(RunTool(dir, {absent, "-o", out}),
              (RunResult{1, "No such file or directory.\nbmp read error.\n"}));
    EXPECT_EQ(RunTool(dir, {in, "-b16", "-o", out}),  // -b takes "-o": out.bmp is the input
              (RunResult{1, "No such file or directory.\nbmp read error.\n"}));
    // A device is read as the stream it is: /dev/zero gives zeros, so depth 0.
    EXPECT_EQ(RunTool(dir, {"/dev/zero"}),
              (RunResult{1, "ReadBMP: 0 bit is not supported.\nbmp read error.\n"}));
    // The depth is checked before saving, and nothing is written.
    for (const auto& [depth, shown] : {std::pair{"x16", "0"}, {"04294967312", "2147483647"}})
        EXPECT_EQ(RunTool(dir, {in, "-b", depth, "-o", out}),
                  (RunResult{1, "SaveBMP: " + std::string(shown) + " bit is not supported.\n"}));
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    // Options known by their second letter, in any order; the last input wins.
    EXPECT_EQ(RunTool(dir, {"-output", out, absent, "-reverse", in, "-g", "-bits", "32bits"}),
              (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(out), Load(ReadFile(in), 32).saved);  // the library's bytes
    for (const std::string& bad : {in, absent})              // nothing to standard output
        EXPECT_TRUE(RunTool(dir, {bad, "-b", "8", "-o", "/dev/fd/1"}, "{} >" + out).first == 1 &&
                    ReadFile(out).empty())
            << bad;
    EXPECT_EQ(RunTool(dir, {in, "-o", in, "-b", "16"}).first, 0);  // over its own input
    EXPECT_EQ(DepthOf(in), 16);
}

TEST(Cli, FailedSavesLeaveNoTraceAndTheOldFileWhole) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    WriteFile(in, synth::Pattern(300, 300, 24, false));
    // Past a file-size limit (writes beyond 4 KiB): refused where SIGXFSZ is ignored, else ended
    // by it, a new name and a replacement alike.
    const std::string fsizeLimit = "ulimit -c 0 -f 8; ";
    const RunResult cannotWrite{1, out + ": cannot write bmp file\n"};
    for (const Args& left : {Args{"in.bmp"}, Args{"in.bmp", "out.bmp"}}) {
        if (left.size() == 2) WriteFile(out, Bytes(3000, 'k'));
        EXPECT_EQ(RunTool(dir, {in, "-o", out}, fsizeLimit + "trap '' XFSZ; exec {}"), cannotWrite);
        EXPECT_EQ(RunTool(dir, {in, "-o", out}, fsizeLimit + "{}").first, 128 + SIGXFSZ);
        EXPECT_EQ(dir.Entries(), left);
    }
    const ScratchDir devices;  // as root, of the test's own: a faulty save cannot replace /dev's
    const auto device = [&](const std::string& name, unsigned minor) {
        const int made = ::mknod((devices / name).c_str(), S_IFCHR | 0666, makedev(1, minor));
        return made == 0 ? devices / name : "/dev/" + name;
    };
    for (const std::string& bad : {dir / "missing/out.bmp", dir / "", device("full", 7)})
        for (const char* bits : {"24", "16"})  // one block, or rows through the buffer
            EXPECT_EQ(RunTool(dir, {in, "-b", bits, "-o", bad}),
                      (RunResult{1, bad + ": cannot write bmp file\n"}));
    EXPECT_EQ(RunTool(dir, {in, "-o", device("null", 3)}).first, 0);  // in place
    // No descriptor left for the folder, or for the temporary file: no reason to cut the old
    // file and write it. Any the runner left open are closed first; an emulator needs its own.
    for (const char* limit : {"4", "5"}) {
        if (BMPDEPTH_EMULATED) break;
        EXPECT_EQ(RunTool(dir, {in, "-o", out},
                          "exec 3>&- 4>&-; ulimit -n " + std::string(limit) + "; exec {}"),
                  cannotWrite);
        EXPECT_EQ(ReadFile(out), Bytes(3000, 'k'));
    }

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to mount and to set folder flags";
    ScratchDir root;
    const std::string picture = root / "in.bmp", full = root / "full", old = full + "/old.bmp";
    const Bytes oldBytes(3000, 'k');
    WriteFile(picture, synth::Pattern(300, 300, 24, false));
    // Before anything is mounted: a crash of the library in this process would leave it so.
    const Bytes saved = Load(ReadFile(picture), 24).saved;
    // A shared folder (sticky, anyone may write) where another user left a link: the kernel's
    // protected_symlinks refuses it to root as it does to `>`. Only where it is switched on.
    std::ifstream protection("/proc/sys/fs/protected_symlinks");
    if (int on = 0; protection >> on && on == 1) {
        fs::create_directory(root / "shared");
        fs::permissions(root.path, fs::perms(0755));
        fs::permissions(root / "shared", fs::perms(01777));
        WriteFile(root / "target", oldBytes);
        EXPECT_EQ(std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s '" +
                               root / "target" + "' '" + root / "shared/x.bmp'")
                                  .c_str()),
                  0);
        EXPECT_EQ(RunTool(root, {picture, "-o", root / "shared/x.bmp"}).first, 1);
        EXPECT_EQ(ReadFile(root / "target"), oldBytes);
    }
    // A file system with no inode to spare: the save fails and the old file stays whole.
    fs::create_directory(full);
    if (std::system(("mount -t tmpfs -o size=2m,nr_inodes=4 tmpfs '" + full + "'").c_str()) != 0)
        GTEST_SKIP() << "no tmpfs mounts here";
    struct Unmount {
        std::string at;
        ~Unmount() { std::system(("umount -R -l '" + at + "'").c_str()); }  // the bind mount too
    } unmount{full};
    for (const char* name : {"/old.bmp", "/filler", "/filler2"}) WriteFile(full + name, oldBytes);
    EXPECT_EQ(RunTool(root, {picture, "-b", "32", "-o", old}),
              (RunResult{1, old + ": cannot write bmp file\n"}));
    EXPECT_EQ(ReadFile(old), oldBytes);
    // A file mounted over a name, as a container's single-file volume: the rename is refused
    // (EBUSY), so the complete picture is written into the file, and no temporary file stays.
    fs::remove(full + "/filler2");
    EXPECT_EQ(std::system(("mount --bind '" + full + "/filler' '" + old + "'").c_str()), 0);
    EXPECT_EQ(RunTool(root, {picture, "-o", old}).first, 0);
    EXPECT_EQ(ReadFile(full + "/filler"), saved);
    std::system(("umount '" + old + "'").c_str());
    EXPECT_EQ(ReadFile(old), oldBytes);
    // An append-only folder, where a temporary file could never be removed: written in place.
    const std::string locked = root / "locked";
    fs::create_directory(locked);
    WriteFile(locked + "/old.bmp", oldBytes);
    if (std::system(("chattr +a '" + locked + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no append-only folders on this file system, or no chattr";
    EXPECT_EQ(RunTool(root, {picture, "-o", locked + "/old.bmp"}).first, 0);
    std::system(("chattr -a '" + locked + "'").c_str());
    EXPECT_EQ(ReadFile(locked + "/old.bmp"), saved);
    EXPECT_EQ(fs::directory_iterator(locked)->path().filename(), "old.bmp");
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), {}), 1);
}

// A save keeps what writing into the name would keep: other names, links, what the shell wrote.
TEST(Cli, SavesKeepWhatWritingIntoTheNameWouldKeep) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", log = dir / "log";
    // With 65,536 palette entries, so that a pipe gives its rows in steps, well past the palette.
    Bytes palette(1 << 18), rows(1 << 15);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 7 + i / 1024);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = uint8_t(i * 13);
    WriteFile(in, synth::Make(Fields(256, 128, 8, 0, 65536), palette, rows));
    // A name as long as the system takes, with no room for a longer one beside it.
    std::string longName = dir.path.string();
    while (PATH_MAX - longName.size() > 210) longName += "/" + std::string(200, 'd');
    longName += "/" + std::string(PATH_MAX - longName.size() - 6, 'd');
    fs::create_directories(longName);
    longName += "/new";
    EXPECT_EQ(RunTool(dir, {in, "-o", longName}, "umask 027; exec {}").first, 0);
    EXPECT_EQ(fs::status(longName).permissions(), fs::perms(0640));  // the usual ones
    const Bytes saved = ReadFile(longName), start = {'s', '\n'}, end = {'e', '\n'};

    // Standard output by name: what the shell wrote around the picture, or before it, stays. The
    // input, a pipe that goes on past the picture, gives the file's picture, read up to its end.
    EXPECT_EQ(
        RunTool(dir, {"/dev/stdin", "-o", "/dev/stdout"},
                "cat '" + in + "' /dev/zero | { echo s; timeout 20 {}; echo e; } >'" + log + "'"),
        (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(log), Concat(Concat(start, saved), end));
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/fd/1"}, "{} >>'" + log + "'").first, 0);
    EXPECT_EQ(ReadFile(log), Concat(Concat(Concat(start, saved), end), saved));
    EXPECT_EQ(RunTool(dir, {in, "-o", "-"}, "cd '" + dir.path.string() + "' && {}").first, 0);
    EXPECT_EQ(ReadFile(dir / "-"), saved);  // a name like any other
    // A link: its file is replaced, keeping its permissions, or made; one into no folder fails.
    WriteFile(out, Bytes(1000, 'x'));
    fs::permissions(out, fs::perms(0640));
    for (const auto& [target, status] :
         {std::pair{"out.bmp", 0}, {"new.bmp", 0}, {"no/new.bmp", 1}}) {
        fs::create_symlink(target, dir / "link");
        EXPECT_EQ(RunTool(dir, {in, "-o", dir / "link"}).first, status) << target;
        EXPECT_TRUE(fs::is_symlink(dir / "link") && (status || ReadFile(dir / target) == saved));
        fs::remove(dir / "link");
    }
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
    // The kernel follows links, up to its own limit of 40, and refuses a longer chain.
    const auto chain = [&](int i) { return dir / (std::to_string(i) + ".link"); };
    fs::create_symlink("out.bmp", chain(1));
    for (int i = 2; i <= 41; ++i) fs::create_symlink(std::to_string(i - 1) + ".link", chain(i));
    WriteFile(out, {'o'});
    EXPECT_EQ(RunTool(dir, {in, "-o", chain(41)}),
              (RunResult{1, chain(41) + ": cannot write bmp file\n"}));
    EXPECT_EQ(ReadFile(out), Bytes{'o'});
    EXPECT_EQ(RunTool(dir, {in, "-o", chain(40)}).first, 0);
    EXPECT_TRUE(fs::is_symlink(chain(40)) && ReadFile(out) == saved);
    for (int i = 1; i <= 41; ++i) fs::remove(chain(i));
    // A deleted file that the shell holds open, by its /dev/fd name: written as the shell would.
    WriteFile(dir / "gone", Bytes(3000, 'k'));
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/fd/3"},
                      "exec 3<>'" + dir / "gone" + "'; rm '" + dir / "gone" +
                          "'; {} && cat <&3 >'" + dir / "kept" + "'"),
              (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(dir / "kept"), saved);
    fs::remove(dir / "kept");
    // Set-ID bits, which a write would clear, are not carried over; the sticky bit is.
    fs::permissions(out, fs::perms(07755));
    EXPECT_EQ(RunTool(dir, {in, "-o", out}).first, 0);
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(01755));
    // A file with a second name: both names keep naming one file, the new picture.
    WriteFile(out, {'o', 'l', 'd'});
    fs::create_hard_link(out, dir / "second");
    EXPECT_EQ(RunTool(dir, {in, "-o", out}).first, 0);
    EXPECT_TRUE(ReadFile(dir / "second") == saved && fs::hard_link_count(out) == 2);

    // Extended attributes and ACLs stay with a replacement, as with a write into the file.
    fs::remove(dir / "second");
    const auto shown = [&](const std::string& command) {  // what it prints
        std::system(("{ " + command + "; } >'" + dir / "shown" + "' 2>/dev/null").c_str());
        const Bytes text = ReadFile(dir / "shown");
        return std::string(text.begin(), text.end());
    };
    const auto attributes = [&](const std::string& file) {  // as getfattr and getfacl show them
        return shown("getfattr -d -m - '" + file + "'; getfacl -cp '" + file + "'");
    };
    if (std::system(("setfattr -n user.note -v kept '" + out + "' && setfacl -m u:nobody:r '" +
                     out + "' 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "no user attributes or ACLs on this file system, or no setfattr/setfacl";
    const std::string before = attributes(out);
    struct stat st {};
    const ino_t old = ::stat(out.c_str(), &st) == 0 ? st.st_ino : 0;
    EXPECT_EQ(RunTool(dir, {in, "-b", "16", "-o", out}).first, 0);
    EXPECT_TRUE(::stat(out.c_str(), &st) == 0 && st.st_ino != old);  // new, not written in place
    EXPECT_TRUE(before.find("user.note=\"kept\"") != std::string::npos &&
                before.find("user:nobody:r--") != std::string::npos)
        << before;
    EXPECT_EQ(attributes(out), before);
    EXPECT_EQ(DepthOf(out), 16);
    // In a folder with a default ACL: a replacement has the old file's ACL (none) and mode, and a
    // new name what creating it gives, as the shell's own `>` shows, whatever the umask.
    const std::string shared = dir / "shared", plain = shared + "/plain.bmp";
    fs::create_directory(shared);
    ASSERT_EQ(std::system(("setfacl -d -m u:nobody:rw '" + shared + "'").c_str()), 0);
    WriteFile(plain, {'o'});
    std::system(("setfacl -b '" + plain + "' && chmod 0640 '" + plain + "'").c_str());
    const std::string unshared = attributes(plain);
    EXPECT_EQ(RunTool(dir, {in, "-o", plain}).first, 0);
    EXPECT_EQ(attributes(plain), unshared);
    EXPECT_EQ(RunTool(dir, {in, "-o", shared + "/new.bmp"},
                      "umask 000; : >'" + shared + "/by-shell'; exec {}")
                  .first,
              0);
    EXPECT_EQ(
        shown("ls -l '" + shared + "/new.bmp' | cut -c1-10; getfacl -cp '" + shared + "/new.bmp'"),
        shown("ls -l '" + shared + "/by-shell' | cut -c1-10; getfacl -cp '" + shared +
              "/by-shell'"));
    // Inode flags that the owner may set: synchronous writes, no access times, no dump.
    if (std::system(("chattr +S +A +d '" + out + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no inode flags on this file system, or no chattr";
    const std::string flags = shown("lsattr '" + out + "'");
    EXPECT_EQ(RunTool(dir, {in, "-o", out}).first, 0);
    EXPECT_EQ(shown("lsattr '" + out + "'"), flags);
    EXPECT_EQ(ReadFile(out), saved);
}

// System calls as strace shows them and makes them fail: a replacement reaches the disk before
// the rename, or the save fails and the old file stays; an interrupted call goes on.
TEST(Cli, ReplacementsReachTheDiskFirstAndInterruptedCallsGoOn) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "strace would trace the emulator";
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace here";
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", trace = dir / "trace";
    WriteFile(in, synth::Pattern(300, 200, 8, false));
    const std::string strace = "ASAN_OPTIONS=detect_leaks=0 strace -qq ";  // no leak checks then
    // The status, then the calls that strace shows, in order.
    const auto calls = [&](const std::string& options) {
        const std::string run = strace + "-o " + trace + " " + options + " {}";
        std::string seen = std::to_string(RunTool(dir, {in, "-b", "32", "-o", out}, run).first);
        std::ifstream lines(trace);
        for (std::string l; std::getline(lines, l);) {
            const std::string call = l.substr(0, l.find('('));
            seen += call.starts_with("rename") ? " rename" : " " + call;  // renameat, renameat2
        }
        return seen;
    };
    // Signals that end the program, sent as the picture is written: no file is left behind.
    // The status when `signal` is sent at the first write, after `shell` (a trap, say).
    const auto sentAtWrite = [&](int signal, const std::string& shell = "") {
        return RunTool(dir, {in, "-b", "32", "-o", out},
                       "ulimit -c 0; " + shell + strace + "-e trace=write -e inject=write:signal=" +
                           std::to_string(signal) + " {}")
            .first;
    };
    const auto ended = [&](int signal) { return sentAtWrite(signal) == 128 + signal; };
    EXPECT_TRUE(ended(SIGQUIT));
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});
    const std::string disk = "-e trace=write,fsync,fchmod,/^rename ";  // the picture in one write
    EXPECT_EQ(calls(disk), "0 write fchmod rename");                   // a new name
    const Bytes saved = ReadFile(out);
    EXPECT_EQ(calls(disk), "0 write fchmod fsync rename");
    // A stop signal as the temporary file is made (the last openat) waits until it can be removed.
    const std::string opens = calls("-e trace=openat");
    const auto made = std::to_string(std::count(opens.begin(), opens.end(), ' '));
    const std::string stop = "-e trace=openat -e inject=openat:signal=TERM:when=" + made;
    EXPECT_EQ(calls(stop).substr(0, 4), "143 ");
    // Each failure keeps the old file; the last write is the message.
    WriteFile(out, {'o', 'l', 'd'});
    EXPECT_EQ(calls(disk + "-e inject=fsync:error=EIO"), "1 write fchmod fsync write");
    EXPECT_EQ(calls("-e trace=openat -P " + out + " -e inject=openat:error=EACCES"), "1 openat");
    EXPECT_TRUE(ended(kLastEndingSignal));  // over the old file
    EXPECT_TRUE(ended(SIGTERM));
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));
    EXPECT_EQ(ReadFile(out), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(sentAtWrite(SIGTERM, "trap '' TERM; "), 0);  // a signal ignored stays ignored
    // A mode that cannot be given (FAT keeps none): the complete file is written in place.
    WriteFile(out, {'o', 'l', 'd'});
    fs::permissions(out, fs::perms(0640));
    EXPECT_EQ(calls(disk + "-e inject=fchmod:error=ENOSYS"), "0 write fchmod fsync write");
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));
    EXPECT_EQ(ReadFile(out), saved);
    // A read that fails inside RLE8 data is a read error, not bad data: 2 MiB of runs, whose
    // third read (after the length is found and the headers' buffer) fails.
    Bytes runs;
    for (int i = 0; i < 1 << 20; ++i) runs.insert(runs.end(), {1, uint8_t(i)});
    WriteFile(dir / "rle.bmp",
              synth::Make(Fields(1024, 1024, 8, 1), Bytes(1024, 0), synth::Concat(runs, {0, 1})));
    EXPECT_EQ(RunTool(dir, {dir / "rle.bmp"},
                      strace + "-o /dev/null -P " + dir / "rle.bmp" +
                          " -e inject=read:error=EIO:when=3+ {}"),
              (RunResult{1, "Read error.\nbmp read error.\n"}));
    fs::remove(dir / "rle.bmp");
    // Every other read of the input and write of the output cut short by a signal (EINTR), as a
    // handler installed without SA_RESTART does: each is taken up again.
    const std::string interrupted = strace + "-o /dev/null -P " + in + " -P " + out +
                                    " -e inject=read,write:error=EINTR:when=1+2 {} >" + out;
    EXPECT_EQ(RunTool(dir, {in, "-b", "32", "-o", "/dev/stdout"}, interrupted).first, 0);
    EXPECT_EQ(ReadFile(out), saved);
    // Written in place (it has two names), so strace can name it: a failing close fails the save.
    fs::create_hard_link(out, dir / "second");
    EXPECT_EQ(calls("-e trace=close -P " + out + " -e inject=close:error=EIO"), "1 close");
    EXPECT_EQ(calls("-e trace=ftruncate,close -P " + out + " -e inject=ftruncate:error=EIO"),
              "1 ftruncate close");
    fs::remove(dir / "second");

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to give a file to another user";
    // Another user's file: replaced by one still theirs, or written in place when it cannot be.
    struct stat st {};
    ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
    EXPECT_EQ(calls("-e trace=fchown,/^rename"), "0 fchown rename");
    EXPECT_TRUE(::stat(out.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65534);
    WriteFile(out, {'o'});
    EXPECT_EQ(calls("-e trace=fchown,/^rename -e inject=fchown:error=EPERM"), "0 fchown");
    EXPECT_EQ(ReadFile(out), saved);
    // An extended attribute that the new file cannot be given: written in place too.
    WriteFile(out, {'o'});
    if (std::system(("setfattr -n user.note -v kept '" + out + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no user attributes on this file system, or no setfattr";
    EXPECT_EQ(calls("-e trace=fsetxattr,/^rename -e inject=fsetxattr:error=EPERM"), "0 fsetxattr");
    EXPECT_EQ(calls("-e trace=fgetxattr,/^rename -e inject=fgetxattr:error=EIO"), "0 fgetxattr");
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));  // the temporary file gone
    EXPECT_EQ(ReadFile(out), saved);
}

#if !BMPDEPTH_SANITIZED  // an address-space limit cannot hold: the sanitizers reserve terabytes
TEST(Cli, MemoryIsBoundedByWhatTheFileHolds) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "the emulator maps large areas for itself";
    ScratchDir dir;
    const auto picture = [&](int32_t side, uint16_t bits, uint32_t compression, uint64_t length,
                             bool piped = false, const Bytes& rle = {0, 1}) {
        // RLE8: a palette and the data; otherwise rows that are a hole, costing no disk.
        const synth::Fields f = Fields(side, side, bits, compression);
        WriteFile(dir / "in.bmp",
                  compression ? synth::Make(f, Bytes(1024, 0), rle) : synth::Make(f, {}, {}));
        if (!compression) fs::resize_file(dir / "in.bmp", length);
        return RunTool(dir, {dir / "in.bmp"},  // read and converted
                       "ulimit -v 262144; " +  // 256 MiB
                           (piped ? "cat '" + dir / "in.bmp" + "' | {} /dev/stdin" : "exec {}"));
    };
    // The largest that fits (117 MiB of rows, 117 of working rows), even grown from a pipe.
    for (bool piped : {false, true})
        EXPECT_EQ(picture(6400, 24, 0, 54 + 6400ull * 6400 * 3, piped).first, 0) << piped;
    EXPECT_EQ(picture(7000, 24, 0, 54 + 7000ull * 7000 * 3).second,
              "Cannot alloc write memory..\nbmp read error.\n");
    for (bool piped : {false, true})
        EXPECT_EQ(picture(30000, 24, 0, 100, piped).second, "Read error.\nbmp read error.\n");
    EXPECT_EQ(picture(4096, 8, 1, 0).first, 0);  // blank RLE8 rows up to 16 MiB are allowed
    // 20 MiB of RLE8 data (ends of line) from a pipe: over 16 MiB, under 4 times its rows.
    EXPECT_EQ(picture(3000, 8, 1, 0, true, synth::Concat(Bytes(20 << 20, 0), {0, 1})).first, 0);
    EXPECT_EQ(picture(20000, 8, 1, 0, false, synth::Concat(Bytes(1600000, 0), {0, 1})).second,
              "Cannot alloc read memory..\nbmp read error.\n");  // justified, but too large
}
#endif
