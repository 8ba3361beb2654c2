// The program as users and scripts meet it: messages, exit statuses, files, pipes and memory.
// Most cases are rows: a shell command line around the tool, `{}`, run in a folder that holds
// in.bmp alone; the status; and what the tool, the command line and a last look at the folder
// print on standard error.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <map>

#include "tests/test_util.h"

using namespace testutil;

namespace {

const int kLastEndingSignal = NSIG - 1;  // SIGRTMAX, or SIGUSR2 without real-time signals

// A runner may start the tests with signals ignored (a shell does so for SIGINT and SIGQUIT in
// the background), which the tool would keep; the tests ignore a signal only by name.
const int kDefaultSignals = [] {
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGXFSZ, kLastEndingSignal})
        std::signal(sig, SIG_DFL);
    return 0;
}();

using RunResult = std::pair<int, std::string>;  // the exit status, what went to standard error

// Runs `shell` through bash in `dir`, `{}` standing for bmpdepth (under a cross-build's
// emulator), then `after` there. What bash says of a job that a signal ended is left out.
RunResult RunTool(const ScratchDir& dir, std::string shell, const std::string& after = "") {
    shell.replace(shell.find("{}"), 2, BMPDEPTH_RUNNER BMPDEPTH_EXE);
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

struct Row {
    std::string shell;
    RunResult result;
};

// Runs each row in `dir`, which holds in.bmp alone before each; `after` shows the folder then.
void RunRows(const ScratchDir& dir, const std::vector<Row>& rows, const std::string& after) {
    for (const Row& row : rows) {
        EXPECT_EQ(RunTool(dir, row.shell, after), row.result) << row.shell;
        for (const std::string& name : dir.Entries())
            if (name != "in.bmp") fs::remove_all(dir / name);
    }
}

const std::string kShowOld = "ls -A; cat out.bmp 2>/dev/null";  // the folder, the old file
const std::string kCannot = ": cannot write bmp file\n";

// The tool, then `checks`, and the tool's status; bash's word on a signal that ended it goes.
std::string Then(const std::string& tool, const std::string& checks) {
    return "{ " + tool + " 2>&4; } 4>&2 2>/dev/null; s=$?; " + checks + "; exit $s";
}

// Prints "same" where `name` holds the bytes of the file `expected`.
std::string Same(const std::string& name, const std::string& expected) {
    return "cmp -s " + name + " '" + expected + "' && echo same >&2";
}

}  // namespace

// Messages and exit statuses. Which command lines call for the usage text is ParseArguments'
// test; here, what the tool prints and does.
TEST(Cli, OptionsMessagesAndExitStatusSayWhatHappened) {
    ScratchDir dir;
    WriteFile(dir / "in.bmp", synth::Pattern(3, 2, 24, false));
    const std::string noSuch = "No such file or directory.\nbmp read error.\n";
    const std::string noDepth = "SaveBMP: 8 bit is not supported.\n";
    RunRows(dir,
            {
                {"exec {}",
                 {2, "usage: " BMPDEPTH_EXE " in_file [option]\n[option]:\n"
                     "            -r: reverse image\n            -g: gamma revision\n"
                     "   -o filename: set output bitmap filename\n"
                     " -b output bit: set output bit\nin.bmp\n"}},
                {"exec {} absent.bmp -o out.bmp", {1, noSuch + "in.bmp\n"}},
                {"exec {} in.bmp -b 8 -o out.bmp", {1, noDepth + "in.bmp\n"}},
                // A device is read as the stream it is: /dev/zero gives zeros, so depth 0.
                {"exec {} /dev/zero",
                 {1,
                  "ReadBMP: 0 bit is not supported.\n"
                  "bmp read error.\nin.bmp\n"}},
                // Nothing goes to standard output but a picture.
                {"exec {} in.bmp -b 8 -o /dev/fd/1 >out.bmp", {1, noDepth + "in.bmp\nout.bmp\n"}},
                {"exec {} absent.bmp -o /dev/fd/1 >out.bmp", {1, noSuch + "in.bmp\nout.bmp\n"}},
            },
            kShowOld);
    EXPECT_EQ(RunTool(dir, "exec {} in.bmp -o out.bmp -b 32"), (RunResult{0, ""}));
    EXPECT_EQ(ReadFile(dir / "out.bmp"), Load(ReadFile(dir / "in.bmp"), 32).saved);
    EXPECT_EQ(RunTool(dir, "exec {} in.bmp -o in.bmp -b 16").first, 0);  // over its own input
    EXPECT_EQ(ReadFile(dir / "in.bmp")[28], 16);
}

// A failed save leaves the file that stood there whole, and no name that it made.
TEST(Cli, FailedSavesLeaveNoTraceAndTheOldFileWhole) {
    ScratchDir dir, expected;
    WriteFile(dir / "in.bmp", synth::Pattern(600, 400, 24, false));
    const std::string saved = expected / "saved.bmp";
    WriteFile(saved, Load(ReadFile(dir / "in.bmp"), 24).saved);
    const std::string old = "printf old >out.bmp; ", fsize = "ulimit -c 0 -f 8; ";
    const std::string ignored = fsize + "trap '' XFSZ; exec {} in.bmp -o ";
    std::vector<Row> rows = {
        // Past a file-size limit (writes beyond 4 KiB): refused where SIGXFSZ is ignored, else
        // ended by it; a new name, a replacement, and the missing file of a link alike.
        {ignored + "out.bmp", {1, "out.bmp" + kCannot + "in.bmp\n"}},
        {old + ignored + "out.bmp", {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
        {"ln -s out.bmp link; " + ignored + "link", {1, "link" + kCannot + "in.bmp\nlink\n"}},
        {old + fsize + "exec {} in.bmp -o out.bmp", {128 + SIGXFSZ, "in.bmp\nout.bmp\nold"}},
        // Into no folder, and onto a full device (the test's own, as a faulty save must not
        // replace /dev's), rows through the buffer; a null device is written in place.
        {"exec {} in.bmp -o no/out.bmp", {1, "no/out.bmp" + kCannot + "in.bmp\n"}},
        {"mknod full c 1 7 || ln -s /dev/full full; exec {} in.bmp -b 16 -o full",
         {1, "full" + kCannot + "full\nin.bmp\n"}},
        {"mknod null c 1 3 || ln -s /dev/null null; exec {} in.bmp -o null", {0, "in.bmp\nnull\n"}},
    };
    // No descriptor left for the folder, or for the temporary file: no reason to cut the old
    // file and write it, nor to leave a new name. Any the runner left open are closed first; an
    // emulator needs descriptors of its own.
    const std::string limit = "exec 3>&- 4>&-; ulimit -n ", tool = "; exec {} in.bmp -o out.bmp";
    if (!BMPDEPTH_EMULATED)
        rows.insert(rows.end(),
                    {{old + limit + "4" + tool, {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
                     {old + limit + "5" + tool, {1, "out.bmp" + kCannot + "in.bmp\nout.bmp\nold"}},
                     {limit + "4" + tool, {1, "out.bmp" + kCannot + "in.bmp\n"}}});
    if (::geteuid() == 0) {  // mounts, another user, folder flags
        // In a tmpfs of `options` at m, after `setup` there: the tool, what the folder then
        // holds, and the old file.
        const auto inTmpfs = [&](const std::string& options, const std::string& setup,
                                 const std::string& args) {
            return "mkdir m && mount -t tmpfs -o " + options + " tmpfs m && (cd m && " + setup +
                   old + Then("{} " + args, "ls -A >&2; cat out.bmp >&2") +
                   "); s=$?; umount -l m; exit $s";
        };
        const std::string d200 = std::string(200, 'd');
        rows.insert(
            rows.end(),
            {
                // A file system with no inode to spare.
                {inTmpfs("size=2m,nr_inodes=4", ": >a && : >b && ", "../in.bmp -o out.bmp"),
                 {1, "out.bmp" + kCannot + "a\nb\nout.bmp\noldin.bmp\nm\n"}},
                // A folder deeper than the kernel can name, reached by a relative name, on a full
                // disk: the typed name's folder serves, and the old file stays whole.
                {inTmpfs("size=3m",
                         "head -c 2700000 /dev/zero >f && for i in {1..22}; do mkdir " + d200 +
                             " && cd d*; done && ",
                         "'" + dir / "in.bmp" + "' -b 32 -o out.bmp"),
                 {1, "out.bmp" + kCannot + "out.bmp\noldin.bmp\nm\n"}},
                // A file mounted over the name, as a container's single-file volume: the rename is
                // refused (EBUSY), so the complete picture is copied into the file.
                {"mkdir m && : >m/f && " + old + "mount --bind m/f out.bmp && " +
                     Then("{} in.bmp -o out.bmp", "umount out.bmp; " + Same("m/f", saved)),
                 {0, "same\nin.bmp\nm\nout.bmp\nold"}},
            });
        // An append-only folder, where a temporary file could never be removed: written in
        // place. Where the file system has the flag.
        if (Shell("cd '" + expected.path.string() +
                  "' && mkdir a && chattr +a a 2>/dev/null && chattr -a a") == 0) {
            rows.push_back({"mkdir a && cd a && " + old + "chattr +a . && " +
                                Then("{} ../in.bmp -o out.bmp",
                                     "chattr -a .; ls -A >&2; " + Same("out.bmp", saved)),
                            {0, "out.bmp\nsame\na\nin.bmp\n"}});
            rows.push_back(
                {"mkdir a && chattr +a a && " +  // a new name there
                     Then("{} in.bmp -o a/new.bmp", "chattr -a a; " + Same("a/new.bmp", saved)),
                 {0, "same\na\nin.bmp\n"}});
        }
        // A shared folder (sticky, anyone may write) where another user left a link: the
        // kernel's protected_symlinks refuses it to root as it does to `>`, where it is on.
        if (Shell("grep -qx 1 /proc/sys/fs/protected_symlinks") == 0)
            rows.push_back(
                {"chmod 755 . && mkdir -m 1777 s && " + old +
                     "setpriv --reuid=65534 --regid=65534 "
                     "--clear-groups ln -s \"$PWD/out.bmp\" s/x.bmp && exec {} in.bmp -o s/x.bmp",
                 {1, "s/x.bmp" + kCannot + "in.bmp\nout.bmp\ns\nold"}});
    }
    RunRows(dir, rows, kShowOld);
}

// The drives a picture often lives on, formatted on Windows and mounted through FUSE as
// desktops mount them: saved like any other disk, and a full disk or a signal while the picture
// is written leaves the old file whole.
TEST(Cli, DrivesFromWindowsAreSavedLikeAnyOtherDisk) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "strace would trace the emulator";
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to mount drives";
    ScratchDir dir, expected;
    WriteFile(dir / "in.bmp", synth::Pattern(600, 400, 24, false));
    const std::string saved = expected / "saved.bmp";
    WriteFile(saved, Load(ReadFile(dir / "in.bmp"), 24).saved);
    // Each made on an image $1 of 64 MiB, and mounted at $2.
    const std::map<std::string, std::string> drives = {
        {"ntfs", "mkntfs -F -q -f \"$1\" && ntfs-3g \"$1\" \"$2\""},
        {"exfat", "mkfs.exfat \"$1\" && mount.exfat-fuse $(losetup -f --show \"$1\") \"$2\""},
        {"fat32", "mkfs.vfat -F 32 \"$1\" && fusefat -o rw+ \"$1\" \"$2\""},
    };
    const std::string full =
        "head -c $(( $(df -B1 --output=avail m | tail -n 1) - 524288 )) /dev/zero >m/f; ";
    const std::string signal =
        "ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -e inject=write:signal=TERM:when=2 ";
    int tried = 0;
    for (const auto& [kind, command] : drives) {
        const std::string disk = expected / (kind + ".img");
        if (Shell("cd '" + dir.path.string() + "' && mkdir m && set -- '" + disk +
                  "' m && truncate -s 64M \"$1\" && { " + command + "; } >/dev/null 2>&1") != 0) {
            fs::remove(dir / "m");
            continue;
        }
        ++tried;
        std::vector<Row> rows = {
            {Then("{} in.bmp -o m/x.bmp", Same("m/x.bmp", saved)), {0, "same\n"}},  // a new name
            {"{} in.bmp -b 16 -o m/x.bmp && od -An -tu2 -j28 -N2 m/x.bmp >&2", {0, "    16\n"}},
        };
        if (kind != "fat32")  // fusefat tells no free space
            rows.insert(
                rows.end(),
                {{"cp in.bmp m/x.bmp; ulimit -c 0; " +
                      Then(signal + "{} in.bmp -b 32 -o m/x.bmp",
                           "cmp -s in.bmp m/x.bmp && echo whole >&2"),
                  {128 + SIGTERM, "whole\n"}},
                 {"cp in.bmp m/x.bmp; " + full +
                      Then("{} in.bmp -b 32 -o m/x.bmp", "cmp -s in.bmp m/x.bmp && ls -A m >&2"),
                  {1, "m/x.bmp" + kCannot + "f\nx.bmp\n"}}});
        for (const Row& row : rows)
            EXPECT_EQ(RunTool(dir, row.shell), row.result) << kind << ": " << row.shell;
        Shell("cd '" + dir.path.string() + "' && umount m; rmdir m; losetup -j '" + disk +
              "' -n -O NAME | xargs -r losetup -d");
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
    const std::string saved = expected / "saved.bmp";
    WriteFile(saved, Load(ReadFile(dir / "in.bmp"), 24).saved);
    // A name as long as the system takes, with no room for a longer one beside it.
    std::string longName = dir.path.string();
    while (PATH_MAX - longName.size() > 210) longName += "/" + std::string(200, 'd');
    longName += "/" + std::string(PATH_MAX - longName.size() - 6, 'd') + "/new";
    const std::string old = "printf old >out.bmp; chmod 640 out.bmp; ";
    const std::string links =
        "mkdir l && ln -s ../out.bmp l/1 && for i in {2..41}; do ln -s $((i - 1)) l/$i; done; ";
    const std::string shown = "stat -c %a out.bmp >&2; " + Same("out.bmp", saved);
    const std::string toOut = "{} in.bmp -o out.bmp";
    std::vector<Row> table = {
        {"umask 027; mkdir -p '" + fs::path(longName).parent_path().string() + "' && " +
             Then("{} in.bmp -o '" + longName + "'", "stat -c %a '" + longName + "' >&2; " +
                                                         Same("'" + longName + "'", saved) +
                                                         "; rm -r d*"),
         {0, "640\nsame\nin.bmp\n"}},  // the usual permissions
        // Standard output by name: what the shell wrote around the picture, or before it, stays.
        // The input, a pipe that goes on past the picture, gives the file's picture, read up to
        // its end.
        {"cat in.bmp /dev/zero | { echo s; timeout 20 {} /dev/stdin -o /dev/stdout; echo $? >&2; "
         "echo e; } >log; "
         "{ echo s; cat '" +
             saved + "'; echo e; } | cmp -s - log && echo same >&2",
         {0, "0\nsame\nin.bmp\nlog\n"}},
        {"echo s >log; {} in.bmp -o /dev/fd/1 >>log; { echo s; cat '" + saved + "'; } | " +
             Same("-", "log"),
         {0, "same\nin.bmp\nlog\n"}},
        {Then("{} in.bmp -o -", Same("./-", saved)), {0, "same\n-\nin.bmp\n"}},  // a plain name
        // A link: the kernel follows it, up to its own limit of 40, and its file is replaced,
        // keeping its permissions; a longer chain is refused. A link to no file makes it.
        {old + links + Then("{} in.bmp -o l/41", "cat out.bmp >&2"),
         {1, "l/41" + kCannot + "oldin.bmp\nl\nout.bmp\n"}},
        {old + links + Then("{} in.bmp -o l/40", "test -L l/40 && " + shown),
         {0, "640\nsame\nin.bmp\nl\nout.bmp\n"}},
        {"ln -s out.bmp link; " +
             Then("{} in.bmp -o link", "test -L link && " + Same("out.bmp", saved)),
         {0, "same\nin.bmp\nlink\nout.bmp\n"}},
        // A deleted file that the shell holds open, by its /dev/fd name: written as the shell
        // would.
        {"exec 3<>gone; rm gone; " +
             Then("{} in.bmp -o /dev/fd/3", "cat <&3 >kept; " + Same("kept", saved)),
         {0, "same\nin.bmp\nkept\n"}},
        // Set-ID bits, which a write would clear, are not carried over; the sticky bit is.
        {old + "chmod 7755 out.bmp; " + Then(toOut, shown), {0, "1755\nsame\nin.bmp\nout.bmp\n"}},
        // A file with a second name is written in place: both names name the new picture.
        {old + "ln out.bmp second; " +
             Then(toOut, "stat -c %h out.bmp >&2; " + Same("second", saved)),
         {0, "2\nsame\nin.bmp\nout.bmp\nsecond\n"}},
    };
    // Extended attributes and ACLs stay with a replacement, a new file, as with a write into the
    // file. In a folder with a default ACL, a replacement has the old file's ACL (none) and mode,
    // and a new name what creating it gives, as the shell's own `>` shows, whatever the umask.
    const std::string a = "a() { getfattr -d -m - $1; getfacl -cp $1; ls -l $1 | cut -c1-10; }; ";
    const std::string note =
        "setfattr -n user.note -v kept out.bmp && setfacl -m u:nobody:r out.bmp";
    if (Shell("cd '" + expected.path.string() + "' && " + old + note + " 2>/dev/null") == 0)
        table.insert(
            table.end(),
            {
                {a + old + note + " && a out.bmp >before && ls -i out.bmp >inode && " +
                     Then("{} in.bmp -b 16 -o out.bmp",
                          "a out.bmp | cmp -s - before && grep -c 'note=\"kept\"\\|nobody:r--' "
                          "before >&2; "
                          "ls -i out.bmp | cmp -s - inode || echo new >&2; rm before inode"),
                 {0, "2\nnew\nin.bmp\nout.bmp\n"}},
                {a + "mkdir s && setfacl -d -m u:nobody:rw s && " + old +
                     "mv out.bmp s && setfacl -b s/out.bmp && a s/out.bmp >before && " +
                     Then("{} in.bmp -o s/out.bmp",
                          "a s/out.bmp | cmp -s - before && echo kept >&2; rm before"),
                 {0, "kept\nin.bmp\ns\n"}},
                {a + "umask 000; mkdir s && setfacl -d -m u:nobody:rw s && : >s/shell && " +
                     Then("{} in.bmp -o s/new.bmp",
                          "a s/new.bmp | sed s/new.bmp/shell/ | cmp -s - <(a s/shell) && echo same "
                          ">&2"),
                 {0, "same\nin.bmp\ns\n"}},
            });
    // Inode flags that the owner may set: synchronous writes, no access times, no dump.
    if (Shell("cd '" + expected.path.string() + "' && chattr +S +A +d out.bmp 2>/dev/null") == 0)
        table.push_back(
            {old + "chattr +S +A +d out.bmp && lsattr out.bmp >before && " +
                 Then(toOut, "lsattr out.bmp | cmp -s - before && echo kept >&2; rm before"),
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
    const std::string out = dir / "out.bmp", trace = dir / "trace";
    WriteFile(dir / "in.bmp", synth::Pattern(300, 200, 8, false));
    const std::string strace = "ulimit -c 0; ASAN_OPTIONS=detect_leaks=0 strace -qq ";
    // The status, then the calls that strace shows, in order.
    const auto calls = [&](const std::string& options) {
        std::string seen = std::to_string(
            RunTool(dir, strace + "-o trace " + options + " {} in.bmp -b 32 -o " + out).first);
        std::ifstream lines(trace);
        for (std::string l; std::getline(lines, l);) {
            const std::string call = l.substr(0, l.find('('));
            if (call.starts_with("---") || call.starts_with("+++")) continue;  // signals
            seen += call.starts_with("rename") ? " rename" : " " + call;  // renameat, renameat2
        }
        return seen;
    };
    const std::string disk = "-e trace=write,fsync,fchmod,/^rename ";  // the picture in one write
    EXPECT_EQ(calls(disk), "0 write fchmod rename");                   // a new name
    const Bytes saved = ReadFile(out), old = {'o', 'l', 'd'};
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
        const std::string when = std::to_string(++seen[call]);
        opened = opened || (call == "openat" && l.find(out) != std::string::npos);
        // Past the handlers' own calls (rt_sigaction), which only a signal already held meets.
        if (!opened || call == "exit_group" || call == "rt_sigaction" || l.starts_with("+++"))
            continue;
        const std::string inject = "-o /dev/null -e inject=" + call + ":signal=TERM:when=" + when;
        EXPECT_EQ(RunTool(dir, strace + inject + " {} in.bmp -b 32 -o out.bmp").first,
                  128 + SIGTERM)
            << l;
        const bool whole = fs::exists(out) && ReadFile(out) == saved;
        EXPECT_EQ(dir.Entries(),
                  (whole ? Args{"in.bmp", "out.bmp", "trace"} : Args{"in.bmp", "trace"}))
            << l;
        fs::remove(out);
    }
    // Over an old file, each row's status and calls, and the file after it. The last write of a
    // failed save is its message. A signal sent as the picture is written ends the program; one
    // that the caller ignores stays ignored. A mode that cannot be given (FAT keeps none): the
    // complete file is written in place.
    const std::string signal = "-e trace=write -e inject=write:signal=";
    const struct {
        std::string options;
        std::string calls;
        Bytes after;
    } cases[] = {
        {disk + "-e inject=fsync:error=EIO", "1 write fchmod fsync write", old},
        {"-e trace=openat -P " + out + " -e inject=openat:error=EACCES", "1 openat", old},
        {signal + "QUIT", "131 write", old},
        {signal + std::to_string(kLastEndingSignal),
         std::to_string(128 + kLastEndingSignal) + " write", old},
        {signal + "TERM -- bash -c 'trap \"\" TERM; exec \"$0\" \"$@\"'", "0 write", saved},
        {disk + "-e inject=fchmod:error=ENOSYS", "0 write fchmod fsync write", saved},
    };
    for (const auto& c : cases) {
        WriteFile(out, old);
        EXPECT_EQ(calls(c.options), c.calls) << c.options;
        EXPECT_EQ(ReadFile(out), c.after) << c.options;
        EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"})) << c.options;
    }
    // Written in place (it has two names), so strace can name it: a failing close fails the save.
    fs::create_hard_link(out, dir / "second");
    EXPECT_EQ(calls("-e trace=close -P " + out + " -e inject=close:error=EIO"), "1 close");
    fs::remove(dir / "second");
    // A read that fails inside RLE8 data is a read error, not bad data: 2 MiB of runs, whose
    // third read (after the length is found and the headers' buffer) fails.
    Bytes runs;
    for (int i = 0; i < 1 << 20; ++i) runs.insert(runs.end(), {1, uint8_t(i)});
    WriteFile(dir / "rle.bmp",
              synth::Make(Fields(1024, 1024, 8, 1), Bytes(1024, 0), synth::Concat(runs, {0, 1})));
    EXPECT_EQ(RunTool(dir, strace + "-o /dev/null -P " + dir / "rle.bmp" +
                               " -e inject=read:error=EIO:when=3+ {} " + dir / "rle.bmp"),
              (RunResult{1, "Read error.\nbmp read error.\n"}));
    fs::remove(dir / "rle.bmp");
    // Every other read of the input and write of the output cut short by a signal (EINTR), as a
    // handler installed without SA_RESTART does: each is taken up again.
    EXPECT_EQ(RunTool(dir, strace + "-o /dev/null -P " + dir / "in.bmp" + " -P " + out +
                               " -e inject=read,write:error=EINTR:when=1+2 "
                               "{} " +
                               dir / "in.bmp" + " -b 32 -o /dev/stdout >out.bmp")
                  .first,
              0);
    EXPECT_EQ(ReadFile(out), saved);

    if (::geteuid() != 0) GTEST_SKIP() << "the rest needs root, to give a file to another user";
    // Another user's file: replaced by one still theirs, or written in place when it cannot be.
    // An extended attribute that the new file cannot be given: written in place too.
    ASSERT_EQ(::chown(out.c_str(), 65534, 65534), 0);
    EXPECT_EQ(calls("-e trace=fchown,/^rename"), "0 fchown rename");
    struct stat st {};
    EXPECT_TRUE(::stat(out.c_str(), &st) == 0 && st.st_uid == 65534 && st.st_gid == 65534);
    for (const std::string call : {"fchown", "fsetxattr"}) {
        WriteFile(out, old);
        if (call == "fsetxattr" &&
            Shell("setfattr -n user.note -v kept '" + out + "' 2>/dev/null") != 0)
            GTEST_SKIP() << "no user attributes on this file system, or no setfattr";
        EXPECT_EQ(calls("-e trace=" + call + ",/^rename -e inject=" + call + ":error=EPERM"),
                  "0 " + call);
        EXPECT_EQ(ReadFile(out), saved);
        EXPECT_EQ(dir.Entries(), (Args{"in.bmp", "out.bmp", "trace"}));  // the temporary file gone
    }
}

#if !BMPDEPTH_SANITIZED  // an address-space limit cannot hold: the sanitizers reserve terabytes
// The largest picture that fits (117 MiB of rows, 117 of working rows) loads within 256 MiB, even
// grown from a pipe; a larger one is refused, and so is a short file or pipe that claims a huge
// picture, before it costs memory. Blank RLE8 rows up to 16 MiB are allowed, and rows up to 4
// times the data (20 MiB of ends of line from a pipe), not 1.6 MB of data claiming 400 MB.
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
        return RunTool(dir, std::string("ulimit -v 262144; ") +
                                (piped ? "cat in.bmp | {} /dev/stdin" : "exec {} in.bmp"));
    };
    for (bool piped : {false, true}) {
        EXPECT_EQ(picture(6400, 24, 0, 54 + 6400ull * 6400 * 3, piped).first, 0) << piped;
        EXPECT_EQ(picture(30000, 24, 0, 100, piped).second, "Read error.\nbmp read error.\n");
    }
    EXPECT_EQ(picture(7000, 24, 0, 54 + 7000ull * 7000 * 3).second,
              "Cannot alloc write memory..\nbmp read error.\n");
    EXPECT_EQ(picture(4096, 8, 1, 0).first, 0);
    EXPECT_EQ(picture(3000, 8, 1, 0, true, synth::Concat(Bytes(20 << 20, 0), {0, 1})).first, 0);
    EXPECT_EQ(picture(20000, 8, 1, 0, false, synth::Concat(Bytes(1600000, 0), {0, 1})).second,
              "Cannot alloc read memory..\nbmp read error.\n");
}
#endif
