#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "bitmap/system_files.h"

namespace fs = std::filesystem;

namespace {

// Interruption: the one temporary file that exists, if any, and the handlers that remove it.
// The handler does only what a signal handler may: unlink, restore the default, raise again so
// that the program ends with the signal's own status.
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
const char* volatile gPendingTemp = nullptr;
struct sigaction gPrevious[std::size(kCleanupSignals)];

extern "C" void RemoveTempAndDie(int sig) {
    if (const char* temp = gPendingTemp) ::unlink(temp);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered once the handler returns, as the signal is blocked until then
}

// Blocks the cleanup signals while the temporary file and its record change together.
struct SignalsHeld {
    sigset_t previous;
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int s : kCleanupSignals) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
};

void WatchTemp(const fs::path& temp) {
    gPendingTemp = temp.c_str();
    struct sigaction action {};
    action.sa_handler = RemoveTempAndDie;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i) {
        sigaction(kCleanupSignals[i], nullptr, &gPrevious[i]);
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        if (gPrevious[i].sa_handler != SIG_IGN) sigaction(kCleanupSignals[i], &action, nullptr);
    }
}

void UnwatchTemp() {
    for (size_t i = 0; i < std::size(kCleanupSignals); ++i)
        sigaction(kCleanupSignals[i], &gPrevious[i], nullptr);
    gPendingTemp = nullptr;
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

int Adopt(OutputFile& output, int fd) {
    output.file = fd < 0 ? nullptr : ::fdopen(fd, "wb");
    if (!output.file && fd >= 0) ::close(fd);
    return output.file != nullptr;
}

// A short fresh name in the folder of `name`, created owner-only so that no one else can read a
// half-written picture, whatever the length of the name itself. When it replaces `old`, it takes
// the old file's owner and group, or is given up. Returns 1 with the file open and watched.
int CreateTempBeside(OutputFile& output, const fs::path& name, const struct stat* old) {
    std::string temp = (name.parent_path() / ".bmpdepth-XXXXXX").string();
    const SignalsHeld held;
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return 0;
    struct stat made {};
    const bool owned =
        !old ||
        (::fstat(fd, &made) == 0 && made.st_uid == old->st_uid && made.st_gid == old->st_gid) ||
        ::fchown(fd, old->st_uid, old->st_gid) == 0;
    if (!owned || !Adopt(output, fd)) {
        if (!owned) ::close(fd);
        ::unlink(temp.c_str());
        return 0;
    }
    output.finalName = name;
    output.tempName = temp;
    output.finalMode = old ? unsigned(old->st_mode) & 07777 : NewFileMode();
    output.replaces = old != nullptr;
    WatchTemp(output.tempName);
    return 1;
}

int OpenOutput(const char* path, OutputFile& output) {
    // Through the shell's own descriptor, at its position and in its append mode: opening the
    // name again would cut off what the shell wrote before.
    if (IsStandardOutput(path)) return Adopt(output, ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    struct stat old {};
    const bool exists = ::stat(path, &old) == 0;
    if (exists && !S_ISREG(old.st_mode))  // devices, pipes and FIFOs
        return Adopt(output, ::open(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
    const fs::path name = FollowLinks(path);
    if (name.empty()) return 0;
    if (!exists) return CreateTempBeside(output, name, nullptr);
    // An existing file is written only if opening it for writing succeeds, and in place where
    // a replacement would lose its other names, its folder's refusal or its owner.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    if (old.st_nlink == 1 && CreateTempBeside(output, name, &old)) {
        ::close(fd);
        return 1;
    }
    if (::ftruncate(fd, 0) == 0) return Adopt(output, fd);
    ::close(fd);
    return 0;
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
                   (!output.replaces || ::fsync(fd) == 0);
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    if (output.tempName.empty()) return complete;
    const SignalsHeld held;
    const int placed =
        complete && std::rename(output.tempName.c_str(), output.finalName.c_str()) == 0;
    if (!placed) std::remove(output.tempName.c_str());
    UnwatchTemp();
    return placed;
}
