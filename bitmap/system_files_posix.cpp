#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bitmap/replace_file.h"
#include "bitmap/save_choice.h"
#include "bitmap/system_files.h"

namespace fs = std::filesystem;

namespace {

// Interruption: every signal that a handler can catch and whose default action ends the program,
// but those that report a fault of the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGSYS, SIGABRT). While the temporary file exists, each removes it, then ends the program by
// that same signal.
sigset_t ListCleanupSignals() {
    static constexpr int kListed[] = {
        SIGHUP,  SIGINT,  SIGQUIT, SIGPIPE, SIGALRM,   SIGTERM,
        SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF,
    };
    sigset_t set;
    sigemptyset(&set);
    for (int s : kListed) sigaddset(&set, s);
    AddSystemEndingSignals(set);
    return set;
}
const sigset_t kCleanupSignals = ListCleanupSignals();

// What an interruption removes: the temporary file and, until it is put in place, a name this
// save made. Written only while the cleanup signals are blocked, and read by the handler only
// once `gWatching` says so.
volatile sig_atomic_t gWatching = 0;  // 1: the temporary file; 2: the made name as well
volatile sig_atomic_t gTempFolder = -1;
char gTempName[32];
char gMadeName[NAME_MAX + 1];
ino_t gMadeInode;
struct sigaction gPrevious[NSIG];
bool gCaught[NSIG];

// Does only what a signal handler may: unlink, restore the default, raise again so that the
// program ends with the signal's own status.
extern "C" void RemoveTempAndDie(int sig) {
    if (gWatching) {
        const int folder = gTempFolder;
        ::unlinkat(folder, gTempName, 0);
        struct stat made {};
        if (gWatching == 2 && ::fstatat(folder, gMadeName, &made, AT_SYMLINK_NOFOLLOW) == 0 &&
            made.st_ino == gMadeInode)
            ::unlinkat(folder, gMadeName, 0);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered once the handler returns, as the signal is blocked until then
}

// Blocks the cleanup signals while the temporary file and its record change together.
struct SignalsHeld {
    sigset_t previous;
    SignalsHeld() { sigprocmask(SIG_BLOCK, &kCleanupSignals, &previous); }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

// Called with the signals held.
void WatchTemp(const OutputFile& output) {
    const std::string& temp = output.tempName.native();
    const std::string& made = output.finalName.native();
    std::memcpy(gTempName, temp.c_str(), temp.size() + 1);  // CreateTempIn's names fit
    struct stat st {};
    const bool removable =
        output.created && made.size() < sizeof gMadeName && ::fstat(output.target, &st) == 0;
    if (removable) {
        std::memcpy(gMadeName, made.c_str(), made.size() + 1);
        gMadeInode = st.st_ino;
    }
    gTempFolder = output.folder;
    gWatching = removable ? 2 : 1;
    struct sigaction action {};
    action.sa_handler = RemoveTempAndDie;
    action.sa_mask = kCleanupSignals;  // one handler at a time
    for (int s = 1; s < NSIG; ++s) {
        // Only where the default action is in force: a signal the caller chose to ignore (nohup,
        // a background job) stays ignored, and one that the program handles stays its own.
        gCaught[s] = sigismember(&kCleanupSignals, s) == 1 &&
                     sigaction(s, nullptr, &gPrevious[s]) == 0 &&
                     !(gPrevious[s].sa_flags & SA_SIGINFO) && gPrevious[s].sa_handler == SIG_DFL &&
                     sigaction(s, &action, nullptr) == 0;
    }
}

void UnwatchTemp() {
    for (int s = 1; s < NSIG; ++s)
        if (gCaught[s]) sigaction(s, &gPrevious[s], nullptr);
    gWatching = 0;
    gTempFolder = -1;
}

// Whether `path` names the very file that standard output has open: /dev/stdout, /dev/fd/1, or
// another name of the file the shell opened.
bool IsStandardOutput(const char* path) {
    struct stat named {};
    struct stat out {};
    return ::stat(path, &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 &&
           named.st_dev == out.st_dev && named.st_ino == out.st_ino;
}

bool Adopt(OutputFile& output, int fd) {
    output.file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!output.file && fd >= 0) ::close(fd);
    return output.file != nullptr;
}

void CloseIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `name` in `folder` is, itself and not through a link, the file open as `fd`.
bool NamesFile(int folder, const char* name, int fd) {
    struct stat named {};
    struct stat open {};
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0 &&
           SameFile(named, open);
}

// How a failure to make something bears on the choice: want of room or descriptors is no
// reason to write in place.
Attempt AttemptAfter(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EMFILE:
        case ENFILE:
        case ENOMEM: return Attempt::kNoRoom;
        default: return Attempt::kNotAllowed;
    }
}

// Opens the name as fopen(name, "w") would, but leaves the file as it is: the kernel resolves
// the name and applies its rules (permissions, its limit on links, protected_symlinks and, as
// the file is opened to be created, protected_regular). A new name is made empty, with mode 0666
// less the umask or the folder's default ACL. `created` only where the name was new.
int OpenAsWriting(const char* path, bool& created) {
    constexpr int kWrite = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    int fd = ::open(path, kWrite | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path, kWrite | O_CREAT, 0666);  // or a link
    return fd;
}

// A fresh name in `folder`, created owner-only so that no one else can read a half-written
// picture. It is short and relative to the folder, so it fits wherever the output name does.
int CreateTempIn(int folder, std::string& name) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    uint64_t state =
        uint64_t(::getpid()) << 40 ^ uint64_t(now.tv_sec) << 20 ^ uint64_t(now.tv_nsec);
    for (int attempt = 0; attempt < 100; ++attempt) {
        state = state * 6364136223846793005u + 1442695040888963407u;  // a step of PCG's LCG
        name = ".bmpdepth-";
        for (uint64_t bits = state >> 28, i = 0; i < 6; ++i, bits /= 36)
            name += kLetters[bits % 36];
        const int fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// A replacement must keep what writing into the old file keeps: its owner and group, its
// extended attributes and ACLs, its inode flags.
bool ReplacementKeepsAll(int temp, int old, const struct stat& was) {
    struct stat made {};
    return ((::fstat(temp, &made) == 0 && made.st_uid == was.st_uid && made.st_gid == was.st_gid) ||
            ::fchown(temp, was.st_uid, was.st_gid) == 0) &&
           CopyExtendedAttributes(old, temp) && CopyInodeFlags(old, temp);
}

// Finds the folder of the file open as `output.target`, and its name there. Done with the
// folder open and the name still naming the file.
Attempt FindFolder(OutputFile& output, const char* typed) {
    const fs::path path = PathOfOpenFile(output.target, typed);
    if (path.empty() || !path.has_filename()) return Attempt::kNotAllowed;
    const fs::path parent = path.parent_path();
    output.folder = OpenFolder(parent.empty() ? "." : parent.c_str());
    if (output.folder < 0) return AttemptAfter(errno);
    output.finalName = path.filename();
    return NamesFile(output.folder, output.finalName.c_str(), output.target) ? Attempt::kDone
                                                                             : Attempt::kNotAllowed;
}

// Takes away the name this save made, while it is still the file made.
void RemoveMadeName(OutputFile& output) {
    if (output.created && output.folder >= 0 && output.target >= 0 &&
        NamesFile(output.folder, output.finalName.c_str(), output.target))
        ::unlinkat(output.folder, output.finalName.c_str(), 0);
    output.created = false;
}

void CloseAll(OutputFile& output) {
    CloseIfOpen(output.target);
    CloseIfOpen(output.tempCopy);
    CloseIfOpen(output.folder);
}

// Makes the temporary file beside the old one and gives it what the old one has. The answer
// goes into `facts`; with Attempt::kDone and all kept, the file is open and watched.
void MakeReplacement(OutputFile& output, const struct stat& was, SaveFacts& facts) {
    std::string temp;
    const SignalsHeld held;
    const int fd = CreateTempIn(output.folder, temp);
    facts.temp = fd >= 0 ? Attempt::kDone : AttemptAfter(errno);
    if (fd < 0) return;
    facts.keepsAll = ReplacementKeepsAll(fd, output.target, was);
    // A second descriptor of it, to copy it into the old file should the rename be refused.
    if (facts.keepsAll && (output.tempCopy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0)) < 0)
        facts.temp = AttemptAfter(errno);
    const bool replace = ChooseSave(facts) == SaveWay::kReplace;
    if (!replace) ::close(fd);
    if (!replace || !Adopt(output, fd)) {
        if (replace) facts.temp = Attempt::kNoRoom;  // fdopen fails only for want of memory
        CloseIfOpen(output.tempCopy);
        ::unlinkat(output.folder, temp.c_str(), 0);
        return;
    }
    output.tempName = temp;
    // A picture never needs the set-user-ID and set-group-ID bits, which a write would clear.
    output.finalMode = unsigned(was.st_mode) & 01777;
    output.replaces = !output.created;
    WatchTemp(output);
}

bool OpenOutput(const char* path, OutputFile& output) {
    // Through the shell's own descriptor, at its position and in its append mode: opening the
    // name again would cut off what the shell wrote before.
    if (IsStandardOutput(path)) return Adopt(output, ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    SaveFacts facts;
    output.target = OpenAsWriting(path, output.created);
    facts.opened = output.target >= 0;
    struct stat was {};
    if (facts.opened && ::fstat(output.target, &was) == 0) {
        facts.regular = S_ISREG(was.st_mode);
        facts.otherNames = was.st_nlink != 1;  // hard links, or a deleted file's none
    }
    if (facts.regular && !facts.otherNames) facts.folder = FindFolder(output, path);
    if (facts.folder == Attempt::kDone) facts.appendOnlyFolder = AppendOnlyFolder(output.folder);
    if (ChooseSave(facts) == SaveWay::kReplace) MakeReplacement(output, was, facts);
    switch (ChooseSave(facts)) {
        case SaveWay::kReplace: return true;
        case SaveWay::kInPlace:
            if (facts.regular && !output.created && ::ftruncate(output.target, 0) != 0) break;
            // A made name keeps its descriptor, to tell whether it is still the file made.
            if (Adopt(output, output.created ? ::fcntl(output.target, F_DUPFD_CLOEXEC, 0)
                                             : std::exchange(output.target, -1)))
                return true;
            break;
        case SaveWay::kRefuse: break;
    }
    RemoveMadeName(output);
    CloseAll(output);
    return false;
}

// Writes the complete temporary file into the old one, where a rename was refused.
bool CopyInPlace(const OutputFile& output) {
    if (::ftruncate(output.target, 0) != 0) return false;
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(output.tempCopy, buffer.data(), buffer.size(), at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put =
                ::pwrite(output.target, buffer.data() + done, size_t(got - done), at + done);
            if (put < 0 && errno != EINTR) return false;
            done += std::max<ssize_t>(put, 0);
        }
        at += got;
    }
}

// Puts the complete temporary file in place of the name, or where the system refuses that for
// a reason that writing would not meet, copies it into the old file.
bool PutInPlace(OutputFile& output, SaveFacts& facts) {
    const char* name = output.finalName.c_str();
    if (!NamesFile(output.folder, name, output.target)) return false;  // replaced meanwhile
    // The empty file made at a new name goes first: a rename over a file makes ext4 write the
    // new one out at once (auto_da_alloc), which only a replacement needs.
    if (output.created) {
        output.created = false;
        return ::unlinkat(output.folder, name, 0) == 0 &&
               ::renameat(output.folder, output.tempName.c_str(), output.folder, name) == 0;
    }
    if (::renameat(output.folder, output.tempName.c_str(), output.folder, name) == 0) return true;
    facts.rename = AttemptAfter(errno);
    return ChooseSave(facts) == SaveWay::kInPlace && CopyInPlace(output) &&
           ::close(std::exchange(output.target, -1)) == 0;
}

}  // namespace

std::FILE* OpenInputFile(const char* path) { return std::fopen(path, "rb"); }

uint64_t InputLength(std::FILE* file) {
    // Only a file on disk has a length: a device that can seek (/dev/zero) is read as a stream.
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0 || !S_ISREG(st.st_mode)) return kUnknownLength;
    const off_t start = ::ftello(file);
    if (start < 0 || ::fseeko(file, 0, SEEK_END) != 0) return kUnknownLength;
    const off_t end = ::ftello(file);
    if (end < start || ::fseeko(file, start, SEEK_SET) != 0) return kUnknownLength;
    return uint64_t(end - start);
}

int OpenOutputFile(const char* path, OutputFile& output) {
    if (!OpenOutput(path, output)) return 0;
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    const int fd = ::fileno(output.file);
    if (!output.tempName.empty())
        complete = complete && ::fchmod(fd, mode_t(output.finalMode)) == 0 &&
                   (!output.replaces || FlushToDisk(fd));
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    if (output.tempName.empty()) {
        if (!complete) RemoveMadeName(output);
        CloseAll(output);
        return complete;
    }
    const SignalsHeld held;
    SaveFacts facts{
        .opened = true, .regular = true, .folder = Attempt::kDone, .temp = Attempt::kDone};
    const bool placed = complete && PutInPlace(output, facts);
    if (!placed || facts.rename != Attempt::kNotYet)
        ::unlinkat(output.folder, output.tempName.c_str(), 0);
    if (!placed) RemoveMadeName(output);
    UnwatchTemp();
    CloseAll(output);
    return placed;
}
