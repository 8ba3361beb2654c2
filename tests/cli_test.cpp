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
#include <map>

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
RunResult RunTool(const ScratchDir& dir, const Args& args, std::string shell = "{}") {
    std::string tool = BMPDEPTH_RUNNER BMPDEPTH_EXE;
    for (const auto& arg : args) tool += " '" + arg + "'";  // no quotes in test names
    shell.replace(shell.find("{}"), 2, tool);
    std::ofstream(dir / ".run") << shell;
    const int status =
        std::system(("bash " + dir / ".run" + " </dev/null >/dev/null 2>" + dir / ".err").c_str());
    const Bytes err = ReadFile(dir / ".err");
    for (const char* name : {".run", ".err"}) fs::remove(dir / name);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
}

int Shell(const std::string& command) { return std::system(command.c_str()); }

// What a shell command prints, errors left out.
std::string Shown(const std::string& command) {
    const ScratchDir out;
    Shell("{ " + command + "; } >'" + out / "shown" + "' 2>/dev/null");
    const Bytes text = ReadFile(out / "shown");
    return std::string(text.begin(), text.end());
}

// A file system mounted at `at` for the life of the test, as root mounts it.
struct Mount {
    std::string at;
    bool mounted;
    Mount(const std::string& where, const std::string& command) : at(where) {
        fs::create_directories(at);
        mounted = Shell("{ " + command + "; } >/dev/null 2>&1") == 0;
    }
    ~Mount() {
        if (mounted) Shell("umount -R -l '" + at + "'");  // a bind mount inside too
    }
};

// Fills the file system of `folder` up to `free` bytes left.
void Fill(const std::string& folder, uint64_t free) {
    Shell("head -c $(( $(df -B1 --output=avail '" + folder + "' | tail -n 1) - " +
          std::to_string(free) + " )) /dev/zero >'" + folder + "/filler' 2>/dev/null");
}

const std::string kUsage = "usage: " BMPDEPTH_EXE
                           " in_file [option]\n"
                           "[option]:\n"
                           "            -r: reverse image\n"
                           "            -g: gamma revision\n"
                           "   -o filename: set output bitmap filename\n"
                           " -b output bit: set output bit\n";

}  // namespace

// What a command line prints, its exit status, and what the folder holds after it. Which command
// lines call for the usage text is ParseArguments' test; here, what the tool prints and does.
TEST(Cli, OptionsMessagesAndExitStatusSayWhatHappened) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", absent = dir / "absent.bmp";
    const std::string cannotRead = "No such file or directory.\nbmp read error.\n";
    WriteFile(in, synth::Pattern(3, 2, 24, false));
    const struct {
        Args args;
        std::string shell;
        RunResult result;
        Args after;  // beside in.bmp
    } rows[] = {
        {{}, "{}", {2, kUsage}, {}},
        {{in, "-b", "7"}, "{}", {0, ""}, {}},  // read and converted, the depth unchecked
        {{absent, "-o", out}, "{}", {1, cannotRead}, {}},
        // A device is read as the stream it is: /dev/zero gives zeros, so depth 0.
        {{"/dev/zero"}, "{}", {1, "ReadBMP: 0 bit is not supported.\nbmp read error.\n"}, {}},
        {{in, "-b", "8", "-o", out}, "{}", {1, "SaveBMP: 8 bit is not supported.\n"}, {}},
        // Nothing goes to standard output but a picture.
        {{in, "-b", "8", "-o", "/dev/fd/1"},
         "{} >" + out,
         {1, "SaveBMP: 8 bit is not supported.\n"},
         {"out.bmp"}},
        {{absent, "-o", "/dev/fd/1"}, "{} >" + out, {1, cannotRead}, {"out.bmp"}},
        {{in, "-o", out, "-b", "32"}, "{}", {0, ""}, {"out.bmp"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        EXPECT_EQ(RunTool(dir, row.args, row.shell), row.result);
        Args after = row.after;
        after.insert(after.begin(), "in.bmp");
        EXPECT_EQ(dir.Entries(), after);
        if (DepthOf(out) != 32) fs::remove(out);  // empty, as the shell left it
    }
    EXPECT_EQ(ReadFile(out), Load(ReadFile(in), 32).saved);        // the library's bytes
    EXPECT_EQ(RunTool(dir, {in, "-o", in, "-b", "16"}).first, 0);  // over its own input
    EXPECT_EQ(DepthOf(in), 16);
}

TEST(Cli, FailedSavesLeaveNoTraceAndTheOldFileWhole) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp";
    const Bytes oldBytes(3000, 'k');
    WriteFile(in, synth::Pattern(300, 300, 24, false));
    const RunResult cannotWrite{1, out + ": cannot write bmp file\n"};
    // Past a file-size limit (writes beyond 4 KiB): refused where SIGXFSZ is ignored, else ended
    // by it; a new name, a replacement, and the missing file of a link alike.
    const std::string fsizeLimit = "ulimit -c 0 -f 8; ";
    for (const Args& left : {Args{"in.bmp"}, Args{"in.bmp", "out.bmp"}, Args{"in.bmp", "link"}}) {
        if (left.back() == "out.bmp") WriteFile(out, oldBytes);
        if (left.back() == "link") fs::create_symlink("out.bmp", dir / "link");
        const std::string name = dir / left.back();
        EXPECT_EQ(RunTool(dir, {in, "-o", name}, fsizeLimit + "trap '' XFSZ; exec {}"),
                  (RunResult{1, name + ": cannot write bmp file\n"}));
        EXPECT_EQ(RunTool(dir, {in, "-o", name}, fsizeLimit + "{}").first, 128 + SIGXFSZ);
        EXPECT_EQ(dir.Entries(), left);
        if (left.back() == "out.bmp") fs::remove(out);
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
    // file and write it, nor to leave a new name. Any the runner left open are closed first.
    fs::remove(dir / "link");
    for (const auto& [limit, before] :
         {std::pair{"4", oldBytes}, {"5", oldBytes}, {"4", Bytes{}}}) {
        if (BMPDEPTH_EMULATED) break;  // an emulator needs descriptors of its own
        fs::remove(out);
        if (!before.empty()) WriteFile(out, before);
        EXPECT_EQ(RunTool(dir, {in, "-o", out},
                          "exec 3>&- 4>&-; ulimit -n " + std::string(limit) + "; exec {}"),
                  cannotWrite);
        EXPECT_EQ(fs::exists(out) ? ReadFile(out) : Bytes{'-'},
                  before.empty() ? Bytes{'-'} : before);
    }
    fs::remove(out);
    EXPECT_EQ(dir.Entries(), Args{"in.bmp"});

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to mount and to set folder flags";
    ScratchDir root;
    const std::string picture = root / "in.bmp", full = root / "full", old = full + "/old.bmp";
    WriteFile(picture, synth::Pattern(600, 400, 24, false));
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
        EXPECT_EQ(Shell("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s '" +
                        root / "target" + "' '" + root / "shared/x.bmp'"),
                  0);
        EXPECT_EQ(RunTool(root, {picture, "-o", root / "shared/x.bmp"}).first, 1);
        EXPECT_EQ(ReadFile(root / "target"), oldBytes);
    }
    // A file system with no inode to spare: the save fails and the old file stays whole.
    const Mount tmpfs(full, "mount -t tmpfs -o size=2m,nr_inodes=4 tmpfs '" + full + "'");
    if (!tmpfs.mounted) GTEST_SKIP() << "no tmpfs mounts here";
    for (const char* name : {"/old.bmp", "/filler", "/filler2"}) WriteFile(full + name, oldBytes);
    EXPECT_EQ(RunTool(root, {picture, "-b", "32", "-o", old}),
              (RunResult{1, old + ": cannot write bmp file\n"}));
    EXPECT_EQ(ReadFile(old), oldBytes);
    // A file mounted over a name, as a container's single-file volume: the rename is refused
    // (EBUSY), so the complete picture is written into the file, and no temporary file stays.
    fs::remove(full + "/filler2");
    EXPECT_EQ(Shell("mount --bind '" + full + "/filler' '" + old + "'"), 0);
    EXPECT_EQ(RunTool(root, {picture, "-o", old}).first, 0);
    EXPECT_EQ(ReadFile(full + "/filler"), saved);
    Shell("umount '" + old + "'");
    EXPECT_EQ(ReadFile(old), oldBytes);
    // A folder deeper than the kernel can name, reached by a relative name, on a full disk: the
    // typed name's folder serves for the replacement, and the old file stays whole.
    const std::string deep = root / "deep";
    const Mount deepMount(deep, "mount -t tmpfs -o size=3m tmpfs '" + deep + "'");
    const std::string d200 = std::string(200, 'd');
    if (deepMount.mounted) {
        EXPECT_EQ(
            RunTool(root, {picture, "-b", "32", "-o", "old.bmp"},
                    "cd '" + deep + "' && for i in {1..22}; do mkdir " + d200 + " && cd " + d200 +
                        "; done && printf old >old.bmp && head -c 2700000 /dev/zero >'" + deep +
                        "/fill' && {}; s=$?; cat old.bmp >&2; exit $s"),
            (RunResult{1, "old.bmp: cannot write bmp file\nold"}));
    }
    // An append-only folder, where a temporary file could never be removed: written in place.
    const std::string locked = root / "locked";
    fs::create_directory(locked);
    WriteFile(locked + "/old.bmp", oldBytes);
    if (Shell("chattr +a '" + locked + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "no append-only folders on this file system, or no chattr";
    EXPECT_EQ(RunTool(root, {picture, "-o", locked + "/old.bmp"}).first, 0);
    Shell("chattr -a '" + locked + "'");
    EXPECT_EQ(ReadFile(locked + "/old.bmp"), saved);
    EXPECT_EQ(std::distance(fs::directory_iterator(locked), {}), 1);
}

// The drives a picture often lives on, formatted on Windows and mounted through FUSE as
// desktops mount them: saved like any other disk, and a full disk or a signal leaves the old
// file whole.
TEST(Cli, DrivesFromWindowsAreSavedLikeAnyOtherDisk) {
    if (::geteuid() != 0 || BMPDEPTH_EMULATED) GTEST_SKIP() << "needs root, to mount drives";
    ScratchDir root;
    const std::string picture = root / "in.bmp";
    WriteFile(picture, synth::Pattern(600, 400, 24, false));
    const Bytes saved = Load(ReadFile(picture), 24).saved;
    // Each made on an image $1 of 64 MiB, and mounted at $2.
    const std::map<std::string, std::string> drives = {
        {"ntfs", "mkntfs -F -q -f \"$1\" && ntfs-3g \"$1\" \"$2\""},
        {"exfat", "mkfs.exfat \"$1\" && mount.exfat-fuse $(losetup -f --show \"$1\") \"$2\""},
        {"fat32", "mkfs.vfat -F 32 \"$1\" && fusefat -o rw+ \"$1\" \"$2\""},
    };
    int tried = 0;
    for (const auto& [kind, command] : drives) {
        SCOPED_TRACE(kind);
        const std::string image = root / (kind + ".img"), at = root / kind, name = at + "/x.bmp";
        const Mount drive(
            at, "set -- '" + image + "' '" + at + "'; truncate -s 64M \"$1\" && " + command);
        if (!drive.mounted) continue;
        ++tried;
        EXPECT_EQ(RunTool(root, {picture, "-o", name}), (RunResult{0, ""}));  // a new name
        EXPECT_EQ(ReadFile(name), saved);
        EXPECT_EQ(RunTool(root, {picture, "-b", "16", "-o", name}), (RunResult{0, ""}));
        EXPECT_EQ(DepthOf(name), 16);
        if (kind == "fat32") continue;  // fusefat tells no free space
        WriteFile(name, saved);
        EXPECT_EQ(RunTool(root, {picture, "-b", "32", "-o", name},
                          "ulimit -c 0; ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null "
                          "-e inject=write:signal=TERM:when=2 {}")
                      .first,
                  128 + SIGTERM);
        EXPECT_EQ(ReadFile(name), saved);
        Fill(at, 512 << 10);
        EXPECT_EQ(RunTool(root, {picture, "-b", "32", "-o", name}).first, 1);
        EXPECT_EQ(ReadFile(name), saved);
        EXPECT_EQ(Shown("ls -A '" + at + "'"), "filler\nx.bmp\n");
        Shell("umount '" + at + "'; losetup -j '" + image + "' -n -O NAME | xargs -r losetup -d");
    }
    if (tried == 0) GTEST_SKIP() << "no ntfs-3g, exfat-fuse or fusefat here, or no FUSE";
}

// A save keeps what writing into the name would keep: other names, links, what the shell wrote.
TEST(Cli, SavesKeepWhatWritingIntoTheNameWouldKeep) {
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", log = dir / "log";
    // With 65,536 palette entries, so that a pipe gives its rows in steps, well past the
    // palette.
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

    // Standard output by name: what the shell wrote around the picture, or before it, stays.
    // The input, a pipe that goes on past the picture, gives the file's picture, read up to its
    // end.
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
    // The kernel follows links, up to its own limit of 40, and refuses a longer chain.
    WriteFile(out, Bytes(1000, 'x'));
    fs::permissions(out, fs::perms(0640));
    const auto chain = [&](int i) { return dir / (std::to_string(i) + ".link"); };
    fs::create_symlink("out.bmp", chain(1));
    for (int i = 2; i <= 41; ++i) fs::create_symlink(std::to_string(i - 1) + ".link", chain(i));
    EXPECT_EQ(RunTool(dir, {in, "-o", chain(41)}),
              (RunResult{1, chain(41) + ": cannot write bmp file\n"}));
    EXPECT_EQ(ReadFile(out), Bytes(1000, 'x'));
    EXPECT_EQ(RunTool(dir, {in, "-o", chain(40)}).first, 0);
    EXPECT_TRUE(fs::is_symlink(chain(40)) && ReadFile(out) == saved);
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
    for (int i = 1; i <= 41; ++i) fs::remove(chain(i));
    for (const auto& [target, status] : {std::pair{"new.bmp", 0}, {"no/new.bmp", 1}}) {
        fs::create_symlink(target, dir / "link");
        EXPECT_EQ(RunTool(dir, {in, "-o", dir / "link"}).first, status) << target;
        EXPECT_TRUE(fs::is_symlink(dir / "link") && (status || ReadFile(dir / target) == saved));
        fs::remove(dir / "link");
    }
    // A deleted file that the shell holds open, by its /dev/fd name: written as the shell
    // would.
    WriteFile(dir / "gone", Bytes(3000, 'k'));
    EXPECT_EQ(RunTool(dir, {in, "-o", "/dev/fd/3"},
                      "exec 3<>'" + dir / "gone" + "'; rm '" + dir / "gone" +
                          "'; {} && cat <&3 >'" + dir / "kept" + "'"),
              (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(dir / "kept"), saved);
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
    const auto attributes = [&](const std::string& file) {  // as getfattr and getfacl show them
        return Shown("getfattr -d -m - '" + file + "'; getfacl -cp '" + file + "'");
    };
    if (Shell("setfattr -n user.note -v kept '" + out + "' && setfacl -m u:nobody:r '" + out +
              "' 2>/dev/null") != 0)
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
    // In a folder with a default ACL: a replacement has the old file's ACL (none) and mode, and
    // a new name what creating it gives, as the shell's own `>` shows, whatever the umask.
    const std::string shared = dir / "shared", plain = shared + "/plain.bmp";
    fs::create_directory(shared);
    ASSERT_EQ(Shell("setfacl -d -m u:nobody:rw '" + shared + "'"), 0);
    WriteFile(plain, {'o'});
    Shell("setfacl -b '" + plain + "' && chmod 0640 '" + plain + "'");
    const std::string unshared = attributes(plain);
    EXPECT_EQ(RunTool(dir, {in, "-o", plain}).first, 0);
    EXPECT_EQ(attributes(plain), unshared);
    EXPECT_EQ(RunTool(dir, {in, "-o", shared + "/new.bmp"},
                      "umask 000; : >'" + shared + "/by-shell'; exec {}")
                  .first,
              0);
    const auto modeAndACL = [&](const std::string& name) {
        return Shown("ls -l '" + name + "' | cut -c1-10; getfacl -cp '" + name + "'");
    };
    EXPECT_EQ(modeAndACL(shared + "/new.bmp"), modeAndACL(shared + "/by-shell"));
    // Inode flags that the owner may set: synchronous writes, no access times, no dump.
    if (Shell("chattr +S +A +d '" + out + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "no inode flags on this file system, or no chattr";
    const std::string flags = Shown("lsattr '" + out + "'");
    EXPECT_EQ(RunTool(dir, {in, "-o", out}).first, 0);
    EXPECT_EQ(Shown("lsattr '" + out + "'"), flags);
    EXPECT_EQ(ReadFile(out), saved);
}

// System calls as strace shows them and makes them fail: a replacement reaches the disk before
// the rename, or the save fails and the old file stays; a signal at any call leaves no trace;
// an interrupted call goes on.
TEST(Cli, ReplacementsReachTheDiskFirstAndInterruptedCallsGoOn) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "strace would trace the emulator";
    if (Shell("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no strace here";
    ScratchDir dir;
    const std::string in = dir / "in.bmp", out = dir / "out.bmp", trace = dir / "trace";
    WriteFile(in, synth::Pattern(300, 200, 8, false));
    const std::string strace = "ulimit -c 0; ASAN_OPTIONS=detect_leaks=0 strace -qq ";
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
    const std::string disk = "-e trace=write,fsync,fchmod,/^rename ";  // the picture in one write
    EXPECT_EQ(calls(disk), "0 write fchmod rename");                   // a new name
    const Bytes saved = ReadFile(out);
    EXPECT_EQ(calls(disk), "0 write fchmod fsync rename");
    // A signal that ends the program, sent at each call from the opening of a new name on: no
    // file is left there, or the whole one.
    fs::remove(out);
    calls("");
    std::ifstream lines(trace);
    std::map<std::string, int> seen;
    bool opened = false;
    for (std::string l; std::getline(lines, l);) {
        const std::string call = l.substr(0, l.find('('));
        const int when = ++seen[call];
        opened = opened || (call == "openat" && l.find(out) != std::string::npos);
        if (!opened || call == "exit_group" || l.starts_with("+++")) continue;
        const std::string inject =
            "-e inject=" + call + ":signal=TERM:when=" + std::to_string(when);
        EXPECT_EQ(
            RunTool(dir, {in, "-b", "32", "-o", out}, strace + "-o /dev/null " + inject + " {}")
                .first,
            128 + SIGTERM)
            << l;
        const Args entries = dir.Entries();
        EXPECT_TRUE(entries == (Args{"in.bmp", "trace"}) ||
                    (entries == (Args{"in.bmp", "out.bmp", "trace"}) && ReadFile(out) == saved))
            << l << ": " << testing::PrintToString(entries);
        fs::remove(out);
    }
    // A signal sent as the picture is written over an old file ends the program and leaves the
    // file whole; one that the caller ignores stays ignored.
    for (int signal : {SIGQUIT, kLastEndingSignal, SIGTERM, 0}) {
        WriteFile(out, {'o', 'l', 'd'});
        EXPECT_EQ(RunTool(dir, {in, "-b", "32", "-o", out},
                          (signal ? "" : "trap '' TERM; ") + strace +
                              "-e trace=write -e inject=write:signal=" +
                              std::to_string(signal ? signal : SIGTERM) + " {}")
                      .first,
                  signal ? 128 + signal : 0);
        EXPECT_EQ(ReadFile(out), signal ? Bytes({'o', 'l', 'd'}) : saved) << signal;
    }
    // Each failure keeps the old file; the last write is the message.
    WriteFile(out, {'o', 'l', 'd'});
    EXPECT_EQ(calls(disk + "-e inject=fsync:error=EIO"), "1 write fchmod fsync write");
    EXPECT_EQ(calls("-e trace=openat -P " + out + " -e inject=openat:error=EACCES"), "1 openat");
    EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));
    EXPECT_EQ(ReadFile(out), (Bytes{'o', 'l', 'd'}));
    // A mode that cannot be given (FAT keeps none): the complete file is written in place.
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
    // Written in place (it has two names), so strace can name it: a failing close fails the
    // save.
    fs::create_hard_link(out, dir / "second");
    EXPECT_EQ(calls("-e trace=close -P " + out + " -e inject=close:error=EIO"), "1 close");
    fs::remove(dir / "second");

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to give a file to another user";
    // Another user's file: replaced by one still theirs, or written in place when it cannot be.
    ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
    EXPECT_EQ(calls("-e trace=fchown,/^rename"), "0 fchown rename");
    struct stat st {};
    EXPECT_TRUE(::stat(out.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65534);
    WriteFile(out, {'o'});
    EXPECT_EQ(calls("-e trace=fchown,/^rename -e inject=fchown:error=EPERM"), "0 fchown");
    EXPECT_EQ(ReadFile(out), saved);
    // An extended attribute that the new file cannot be given: written in place too.
    WriteFile(out, {'o'});
    if (Shell("setfattr -n user.note -v kept '" + out + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "no user attributes on this file system, or no setfattr";
    EXPECT_EQ(calls("-e trace=fsetxattr,/^rename -e inject=fsetxattr:error=EPERM"), "0 fsetxattr");
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
