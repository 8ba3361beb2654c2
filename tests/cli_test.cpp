// The program as users and scripts meet it: messages, exit statuses, files, pipes and memory.
#include <sys/stat.h>
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

// Runs bmpdepth (under a cross-build's emulator) in `dir` through bash, within a `shell` command
// line where `{}` stands for the tool and its arguments (to make files, set limits or feed it from
// a pipe first), then `after` there: the status, then what both printed on standard error. What
// bash says of a job that a signal ended is left out.
RunResult RunTool(const ScratchDir& dir, const Args& args, std::string shell = "exec {}",
                  const std::string& after = "") {
    std::string tool = BMPDEPTH_RUNNER BMPDEPTH_EXE;
    for (const auto& arg : args) tool += " '" + arg + "'";  // no quotes in test names
    shell.replace(shell.find("{}"), 2, tool);
    const ScratchDir io;
    std::ofstream(io / "run") << "cd '" << dir.path.string() << "' || exit 99\n"
                              << "exec 3>&2 2>/dev/null\n(\n"
                              << shell << "\n) 2>&3\ns=$?\n{ :; " << after
                              << "\n} >&3 2>&3\nexit $s\n";
    const int status =
        std::system(("bash " + io / "run" + " </dev/null >/dev/null 2>" + io / "err").c_str());
    const Bytes err = ReadFile(io / "err");
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
        if (mounted) Shell("umount -l '" + at + "'");
    }
};

struct Row {
    std::string shell;  // around the tool, `{}`, in the test's folder
    Args args;
    RunResult result;  // the status, then what the tool, the shell and `after` print
};

// Runs each row in `dir`, which holds in.bmp alone before each; `after` shows what the folder
// holds after it.
void RunRows(const ScratchDir& dir, const std::vector<Row>& rows, const std::string& after) {
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shell + " " + testing::PrintToString(row.args));
        EXPECT_EQ(RunTool(dir, row.args, row.shell, after), row.result);
        for (const std::string& name : dir.Entries())
            if (name != "in.bmp") fs::remove_all(dir / name);
    }
}

const std::string kUsage = "usage: " BMPDEPTH_EXE
                           " in_file [option]\n"
                           "[option]:\n"
                           "            -r: reverse image\n"
                           "            -g: gamma revision\n"
                           "   -o filename: set output bitmap filename\n"
                           " -b output bit: set output bit\n";
const std::string kCannotRead = "No such file or directory.\nbmp read error.\n";
const std::string kCannot = ": cannot write bmp file\n";
const std::string kShowOld = "ls -A; cat out.bmp 2>/dev/null";  // the folder, the old file's bytes

}  // namespace

// What a command line prints, its exit status, and what the folder holds after it. Which command
// lines call for the usage text is ParseArguments' test; here, what the tool prints and does.
TEST(Cli, OptionsMessagesAndExitStatusSayWhatHappened) {
    ScratchDir dir;
    WriteFile(dir / "in.bmp", synth::Pattern(3, 2, 24, false));
    const std::string notSaved = "SaveBMP: 8 bit is not supported.\n";
    RunRows(dir,
            {
                {"exec {}", {}, {2, kUsage + "in.bmp\n"}},
                {"exec {}", {"in.bmp", "-b", "7"}, {0, "in.bmp\n"}},  // the depth unchecked
                {"exec {}", {"absent.bmp", "-o", "out.bmp"}, {1, kCannotRead + "in.bmp\n"}},
                // A device is read as the stream it is: /dev/zero gives zeros, so depth 0.
                {"exec {}",
                 {"/dev/zero"},
                 {1, "ReadBMP: 0 bit is not supported.\nbmp read error.\nin.bmp\n"}},
                {"exec {}", {"in.bmp", "-b", "8", "-o", "out.bmp"}, {1, notSaved + "in.bmp\n"}},
                // Nothing goes to standard output but a picture.
                {"exec {} >out.bmp",
                 {"in.bmp", "-b", "8", "-o", "/dev/fd/1"},
                 {1, notSaved + "in.bmp\nout.bmp\n"}},
                {"exec {} >out.bmp",
                 {"absent.bmp", "-o", "/dev/fd/1"},
                 {1, kCannotRead + "in.bmp\nout.bmp\n"}},
            },
            kShowOld);
    EXPECT_EQ(RunTool(dir, {"in.bmp", "-o", "out.bmp", "-b", "32"}), (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(dir / "out.bmp"), Load(ReadFile(dir / "in.bmp"), 32).saved);
    EXPECT_EQ(RunTool(dir, {"in.bmp", "-o", "in.bmp", "-b", "16"}).first, 0);  // over its input
    EXPECT_EQ(DepthOf(dir / "in.bmp"), 16);
}

// A failed save leaves the file that stood there whole, and no name that it made.
TEST(Cli, FailedSavesLeaveNoTraceAndTheOldFileWhole) {
    ScratchDir dir, expected;
    WriteFile(dir / "in.bmp", synth::Pattern(600, 400, 24, false));
    WriteFile(expected / "24.bmp", Load(ReadFile(dir / "in.bmp"), 24).saved);
    const std::string old = "printf old >out.bmp; ", fsize = "ulimit -c 0 -f 8; ";
    const std::string ignored = "trap '' XFSZ; exec {}",
                      same = "cmp -s out.bmp '" + expected / "24.bmp" + "' && ";
    const Args toOut = {"in.bmp", "-o", "out.bmp"};
    std::vector<Row> rows = {
        // Past a file-size limit (writes beyond 4 KiB): refused where SIGXFSZ is ignored, else
        // ended by it; a new name, a replacement, and the missing file of a link alike.
        {fsize + ignored, toOut, {1, "out.bmp" + kCannot + "in.bmp\n"}},
        {fsize + "exec {}", toOut, {128 + SIGXFSZ, "in.bmp\n"}},
        {old + fsize + ignored, toOut, {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
        {old + fsize + "exec {}", toOut, {128 + SIGXFSZ, "in.bmp\nout.bmp\nold"}},
        {"ln -s out.bmp link; " + fsize + ignored,
         {"in.bmp", "-o", "link"},
         {1, "link" + kCannot + "in.bmp\nlink\n"}},
        {"ln -s out.bmp link; " + fsize + "exec {}",
         {"in.bmp", "-o", "link"},
         {128 + SIGXFSZ, "in.bmp\nlink\n"}},
        // Into no folder, over a folder, onto a full device (the test's own, as a faulty save
        // must not replace /dev's): in one block, or rows through the buffer. A null device is
        // written in place.
        {"exec {}", {"in.bmp", "-o", "no/out.bmp"}, {1, "no/out.bmp" + kCannot + "in.bmp\n"}},
        {"mkdir d; exec {}", {"in.bmp", "-b", "16", "-o", "d"}, {1, "d" + kCannot + "d\nin.bmp\n"}},
        {"mknod full c 1 7 || ln -s /dev/full full; exec {}",
         {"in.bmp", "-o", "full"},
         {1, "full" + kCannot + "full\nin.bmp\n"}},
        {"mknod full c 1 7 || ln -s /dev/full full; exec {}",
         {"in.bmp", "-b", "16", "-o", "full"},
         {1, "full" + kCannot + "full\nin.bmp\n"}},
        {"mknod null c 1 3 || ln -s /dev/null null; exec {}",
         {"in.bmp", "-o", "null"},
         {0, "in.bmp\nnull\n"}},
    };
    // No descriptor left for the folder, or for the temporary file: no reason to cut the old
    // file and write it, nor to leave a new name. Any the runner left open are closed first; an
    // emulator needs descriptors of its own.
    const std::string noFolder = "exec 3>&- 4>&-; ulimit -n 4; exec {}";
    if (!BMPDEPTH_EMULATED)
        rows.insert(rows.end(),
                    {{old + noFolder, toOut, {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
                     {old + "exec 3>&- 4>&-; ulimit -n 5; exec {}",
                      toOut,
                      {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
                     {noFolder, toOut, {1, "out.bmp" + kCannot + "in.bmp\n"}}});
    if (::geteuid() == 0) {  // mounts, another user, folder flags
        // In a tmpfs of `options` at m, after `setup` there: the tool, what the folder then
        // holds, and the old file.
        const auto inTmpfs = [&](const std::string& options, const std::string& setup) {
            return "mkdir m && mount -t tmpfs -o " + options + " tmpfs m && (cd m && " + setup +
                   old +
                   "{}; s=$?; ls -A >&2; cat out.bmp >&2; exit $s); s=$?; umount -l m; exit $s";
        };
        rows.insert(
            rows.end(),
            {
                // A file system with no inode to spare.
                {inTmpfs("size=2m,nr_inodes=4", ": >a && : >b && "),
                 {"../in.bmp", "-o", "out.bmp"},
                 {1, "out.bmp" + kCannot + "a\nb\nout.bmp\noldin.bmp\nm\n"}},
                // A folder deeper than the kernel can name, reached by a relative name, on a full
                // disk: the typed name's folder serves, and the old file stays whole.
                {inTmpfs("size=3m",
                         "head -c 2700000 /dev/zero >fill && for i in {1..22}; do mkdir " +
                             std::string(200, 'd') + " && cd d*; done && "),
                 {dir / "in.bmp", "-b", "32", "-o", "out.bmp"},
                 {1, "out.bmp" + kCannot + "out.bmp\noldin.bmp\nm\n"}},
                // A file mounted over the name, as a container's single-file volume: the rename is
                // refused (EBUSY), so the complete picture is copied into the file.
                {"mkdir m && : >m/f && " + old +
                     "mount --bind m/f out.bmp && {}; s=$?; umount out.bmp; cmp -s m/f '" +
                     expected / "24.bmp" + "' && exit $s",
                 toOut,
                 {0, "in.bmp\nm\nout.bmp\nold"}},
            });
        // An append-only folder, where a temporary file could never be removed: written in
        // place. Where the file system has the flag.
        if (Shell("mkdir '" + dir / "a" + "' && chattr +a '" + dir / "a" + "' 2>/dev/null") == 0) {
            Shell("chattr -a '" + dir / "a" + "'; rmdir '" + dir / "a" + "'");
            rows.push_back({"mkdir a && cd a && " + old +
                                "chattr +a . && {}; s=$?; chattr -a .; ls -A >&2; " + same +
                                "exit $s",
                            {"../in.bmp", "-o", "out.bmp"},
                            {0, "out.bmp\na\nin.bmp\n"}});
        }
        // A shared folder (sticky, anyone may write) where another user left a link: the
        // kernel's protected_symlinks refuses it to root as it does to `>`, where it is on.
        if (Shown("cat /proc/sys/fs/protected_symlinks") == "1\n")
            rows.push_back({"chmod 755 . && mkdir -m 1777 s && " + old +
                                "setpriv --reuid=65534 --regid=65534 "
                                "--clear-groups ln -s \"$PWD/out.bmp\" s/x.bmp && exec {}",
                            {"in.bmp", "-o", "s/x.bmp"},
                            {1, "s/x.bmp" + kCannot + "in.bmp\nout.bmp\ns\nold"}});
    }
    RunRows(dir, rows, kShowOld);
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
        Shell("head -c $(( $(df -B1 --output=avail '" + at +
              "' | tail -n 1) - 524288 )) /dev/zero >'" + at + "/filler' 2>/dev/null");
        EXPECT_EQ(RunTool(root, {picture, "-b", "32", "-o", name}).first, 1);
        EXPECT_EQ(ReadFile(name), saved);
        EXPECT_EQ(Shown("ls -A '" + at + "'"), "filler\nx.bmp\n");
        Shell("umount '" + at + "'; losetup -j '" + image + "' -n -O NAME | xargs -r losetup -d");
    }
    if (tried == 0) GTEST_SKIP() << "no ntfs-3g, exfat-fuse or fusefat here, or no FUSE";
}

// A save keeps what writing into the name would keep: other names, links, what the shell wrote,
// permissions, extended attributes, ACLs and flags. Each row's shell shows what was kept.
TEST(Cli, SavesKeepWhatWritingIntoTheNameWouldKeep) {
    ScratchDir dir, expected;
    // With 65,536 palette entries, so that a pipe gives its rows in steps, well past the palette.
    Bytes palette(1 << 18), rows(1 << 15);
    for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 7 + i / 1024);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = uint8_t(i * 13);
    WriteFile(dir / "in.bmp", synth::Make(Fields(256, 128, 8, 0, 65536), palette, rows));
    WriteFile(expected / "saved.bmp", Load(ReadFile(dir / "in.bmp"), 24).saved);
    const std::string saved = "'" + expected / "saved.bmp" + "'";
    const auto same = [&](const std::string& name) {
        return "cmp -s " + name + " " + saved + " && echo same >&2";
    };
    // The tool, then `checks`; its own status.
    const auto then = [](const std::string& checks) { return "{}; s=$?; " + checks + "; exit $s"; };
    // A name as long as the system takes, with no room for a longer one beside it.
    std::string longName = dir.path.string();
    while (PATH_MAX - longName.size() > 210) longName += "/" + std::string(200, 'd');
    longName += "/" + std::string(PATH_MAX - longName.size() - 6, 'd') + "/new";
    const std::string old = "printf old >out.bmp; ", toOld = old + "chmod 640 out.bmp; ";
    const std::string links =
        "mkdir l && ln -s ../out.bmp l/1 && for i in {2..41}; do ln -s $((i - 1)) l/$i; done; ";
    const std::string shown = "stat -c %a out.bmp >&2; " + same("out.bmp");
    const Args toOut = {"in.bmp", "-o", "out.bmp"};
    std::vector<Row> table = {
        {"umask 027; mkdir -p '" + fs::path(longName).parent_path().string() + "' && " +
             then("stat -c %a '" + longName + "' >&2; " + same("'" + longName + "'") +
                  "; rm -r d*"),
         {"in.bmp", "-o", longName},
         {0, "640\nsame\nin.bmp\n"}},  // the usual permissions
        // Standard output by name: what the shell wrote around the picture, or before it, stays.
        // The input, a pipe that goes on past the picture, gives the file's picture, read up to
        // its end.
        {"cat in.bmp /dev/zero | { echo s; timeout 20 {}; echo $? >&2; echo e; } >log; "
         "{ echo s; cat " +
             saved + "; echo e; } | cmp -s - log && echo same >&2",
         {"/dev/stdin", "-o", "/dev/stdout"},
         {0, "0\nsame\nin.bmp\nlog\n"}},
        {"echo s >log; {} >>log; { echo s; cat " + saved + "; } | cmp -s - log && echo same >&2",
         {"in.bmp", "-o", "/dev/fd/1"},
         {0, "same\nin.bmp\nlog\n"}},
        {then(same("./-")),
         {"in.bmp", "-o", "-"},
         {0, "same\n-\nin.bmp\n"}},  // a name like any other
        // A link: the kernel follows it, up to its own limit of 40, and its file is replaced,
        // keeping its permissions; a longer chain is refused. A link to no file makes it.
        {toOld + links + then("cat out.bmp >&2"),
         {"in.bmp", "-o", "l/41"},
         {1, "l/41" + kCannot + "oldin.bmp\nl\nout.bmp\n"}},
        {toOld + links + then("test -L l/40 && " + shown),
         {"in.bmp", "-o", "l/40"},
         {0, "640\nsame\nin.bmp\nl\nout.bmp\n"}},
        {"ln -s out.bmp link; " + then("test -L link && " + same("out.bmp")),
         {"in.bmp", "-o", "link"},
         {0, "same\nin.bmp\nlink\nout.bmp\n"}},
        // A deleted file that the shell holds open, by its /dev/fd name: written as the shell
        // would.
        {"exec 3<>gone; rm gone; " + then("cat <&3 >kept; " + same("kept")),
         {"in.bmp", "-o", "/dev/fd/3"},
         {0, "same\nin.bmp\nkept\n"}},
        // Set-ID bits, which a write would clear, are not carried over; the sticky bit is.
        {old + "chmod 7755 out.bmp; " + then(shown), toOut, {0, "1755\nsame\nin.bmp\nout.bmp\n"}},
        // A file with a second name is written in place: both names name the new picture.
        {old + "ln out.bmp second; " + then("stat -c %h out.bmp >&2; " + same("second")),
         toOut,
         {0, "2\nsame\nin.bmp\nout.bmp\nsecond\n"}},
    };
    // Extended attributes and ACLs stay with a replacement, a new file, as with a write into the
    // file. In a folder with a default ACL, a replacement has the old file's ACL (none) and mode,
    // and a new name what creating it gives, as the shell's own `>` shows, whatever the umask.
    const std::string attributes =
        "{ getfattr -d -m - $1; getfacl -cp $1; ls -l $1 | cut -c1-10; }";
    const std::string note =
        "setfattr -n user.note -v kept out.bmp && setfacl -m u:nobody:r out.bmp";
    if (Shell("cd '" + expected.path.string() + "' && " + old + note + " 2>/dev/null") == 0)
        table.insert(
            table.end(),
            {
                {"a() " + attributes + "; " + old + note +
                     " && a out.bmp >before && ls -i out.bmp >inode && " +
                     then("a out.bmp | cmp -s - before && grep -c "
                          "'user.note=\"kept\"\\|user:nobody:r--' before >&2; "
                          "ls -i out.bmp | cmp -s - inode || echo new >&2; rm before inode"),
                 {"in.bmp", "-b", "16", "-o", "out.bmp"},
                 {0, "2\nnew\nin.bmp\nout.bmp\n"}},
                {"a() " + attributes + "; mkdir s && setfacl -d -m u:nobody:rw s && " + toOld +
                     "mv out.bmp s && setfacl -b s/out.bmp && a s/out.bmp >before && " +
                     then("a s/out.bmp | cmp -s - before && echo kept >&2; rm before"),
                 {"in.bmp", "-o", "s/out.bmp"},
                 {0, "kept\nin.bmp\ns\n"}},
                {"a() " + attributes +
                     "; umask 000; mkdir s && setfacl -d -m u:nobody:rw s && : >s/shell && " +
                     then("a s/new.bmp | sed s/new.bmp/shell/ | cmp -s - <(a s/shell) && echo same "
                          ">&2"),
                 {"in.bmp", "-o", "s/new.bmp"},
                 {0, "same\nin.bmp\ns\n"}},
            });
    // Inode flags that the owner may set: synchronous writes, no access times, no dump.
    if (Shell("cd '" + expected.path.string() + "' && chattr +S +A +d out.bmp 2>/dev/null") == 0)
        table.push_back({old + "chattr +S +A +d out.bmp && lsattr out.bmp >before && " +
                             then("lsattr out.bmp | cmp -s - before && echo kept >&2; rm before"),
                         toOut,
                         {0, "kept\nin.bmp\nout.bmp\n"}});
    RunRows(dir, table, "ls -A");
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
