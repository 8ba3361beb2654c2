#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "bitmap/replace_file.h"
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
#ifdef __linux__  // elsewhere these are ignored by default, or do not exist
        SIGIO,   SIGPWR,
#endif
    };
    sigset_t set;
    sigemptyset(&set);
    for (int s : kListed) sigaddset(&set, s);
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
#endif
    return set;
}
const sigset_t kCleanupSignals = ListCleanupSignals();

// The temporary file, named within its folder, and the actions it replaced.
volatile sig_atomic_t gTempFolder = -1;
const char* volatile gTempName = nullptr;
struct sigaction gPrevious[NSIG];
bool gCaught[NSIG];

// Does only what a signal handler may: unlink, restore the default, raise again so that the
// program ends with the signal's own status.
extern "C" void RemoveTempAndDie(int sig) {
    if (const char* temp = gTempName) ::unlinkat(int(gTempFolder), temp, 0);
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

void WatchTemp(int folder, const char* name) {
    gTempFolder = folder;
    gTempName = name;
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
    gTempName = nullptr;
    gTempFolder = -1;
}

// Permissions a newly created file gets: 0666 less the process's umask.
unsigned NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~unsigned(mask);
}

// The name that will hold the file: through a chain of symbolic links, the name the last one
// points to, which may not exist yet. Empty when the chain does not end, as opening it fails.
fs::path FollowLinks(fs::path name) {
    std::error_code ec;
    for (int links = 0; links < 40; ++links) {  // the system's own limit
        if (!fs::is_symlink(fs::symlink_status(name, ec))) return name;
        const fs::path target = fs::read_symlink(name, ec);
        if (ec) return {};
        name = target.is_absolute() ? target : name.parent_path() / target;
    }
    return {};
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
        const int fd =
            ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// A replacement must keep what writing into the old file keeps: its other names, its owner and
// group, its extended attributes and ACLs. This is the one place that decides: true when the
// replacement keeps them all, false when the old file is to be written in place instead.
bool ReplacementKeepsAll(int temp, int old, const struct stat& was) {
    struct stat made {};
    return ((::fstat(temp, &made) == 0 && made.st_uid == was.st_uid && made.st_gid == was.st_gid) ||
            ::fchown(temp, was.st_uid, was.st_gid) == 0) &&
           CopyExtendedAttributes(old, temp);
}

// The file that will be put in place of `name` once complete: new, or replacing the file open
// as `old` with the facts `was`. True with the file open and watched.
bool CreateTempBeside(OutputFile& output, const fs::path& name, int old, const struct stat* was) {
    if (was && was->st_nlink != 1) return false;
    const fs::path parent = name.parent_path();
    const int folder = OpenFolder(parent.empty() ? "." : parent.c_str());
    if (folder < 0) return false;
    std::string temp;
    const SignalsHeld held;
    const int fd = CreateTempIn(folder, temp);
    const bool kept = fd >= 0 && (!was || ReplacementKeepsAll(fd, old, *was));
    if (!kept || !Adopt(output, fd)) {
        if (fd >= 0) {
            if (!kept) ::close(fd);
            ::unlinkat(folder, temp.c_str(), 0);
        }
        ::close(folder);
        return false;
    }
    output.folder = folder;
    output.finalName = name.filename();
    output.tempName = temp;
    // A picture never needs the set-user-ID and set-group-ID bits, which a write would clear.
    output.finalMode = was ? unsigned(was->st_mode) & 01777 : NewFileMode();
    output.replaces = was != nullptr;
    WatchTemp(folder, output.tempName.c_str());
    return true;
}

bool OpenOutput(const char* path, OutputFile& output) {
    // Through the shell's own descriptor, at its position and in its append mode: opening the
    // name again would cut off what the shell wrote before.
    if (IsStandardOutput(path)) return Adopt(output, ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    struct stat old {};
    const bool exists = ::stat(path, &old) == 0;
    if (exists && !S_ISREG(old.st_mode))  // devices, pipes and FIFOs
        return Adopt(output, ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
    const fs::path name = FollowLinks(path);
    if (name.empty()) return false;
    if (!exists) return CreateTempBeside(output, name, -1, nullptr);
    // An existing file is written only if opening it for writing succeeds, and in place where
    // a replacement would lose what it keeps, or no file can be made beside it.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (CreateTempBeside(output, name, fd, &old)) {
        ::close(fd);
        return true;
    }
    if (::ftruncate(fd, 0) == 0) return Adopt(output, fd);
    ::close(fd);
    return false;
}

}  // namespace

std::FILE* OpenInputFile(const char* path) { return std::fopen(path, "rb"); }

uint64_t InputLength(std::FILE* file) {
    const off_t start = ::ftello(file);
    if (start < 0 || ::fseeko(file, 0, SEEK_END) != 0) return kUnknownLength;
    const off_t end = ::ftello(file);
    if (end < start || ::fseeko(file, start, SEEK_SET) != 0) return kUnknownLength;
    return uint64_t(end - start);
}

int OpenOutputFile(const char* path, OutputFile& output) {
    output = OutputFile{};
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
    if (output.tempName.empty()) return complete;
    const SignalsHeld held;
    const char* temp = output.tempName.c_str();
    const int placed =
        complete && ::renameat(output.folder, temp, output.folder, output.finalName.c_str()) == 0;
    if (!placed) ::unlinkat(output.folder, temp, 0);
    UnwatchTemp();
    ::close(output.folder);
    output.folder = -1;
    return placed;
}
