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

// A short fresh name in the folder of `target`, created owner-only so that no one else can read
// a half-written picture, whatever the length of the target's own name.
std::FILE* CreateTempBeside(const fs::path& target, fs::path& tempName) {
    std::string name = (target.parent_path() / ".bmpdepth-XXXXXX").string();
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file) {
        tempName = name;
    } else {
        ::close(fd);
        ::unlink(name.c_str());
    }
    return file;
}

}  // namespace

std::FILE* OpenInputFile(const char* path) {
    return IsStandardStream(path) ? stdin : std::fopen(path, "rb");
}

uint64_t InputLength(std::FILE* file) {
    const off_t start = ::ftello(file);
    if (start < 0 || ::fseeko(file, 0, SEEK_END) != 0) return kUnknownLength;
    const off_t end = ::ftello(file);
    if (end < start || ::fseeko(file, start, SEEK_SET) != 0) return kUnknownLength;
    return uint64_t(end - start);
}

int OpenOutputFile(const char* path, OutputFile& output) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    output.finalName = path;
    output.tempName.clear();
    if (IsStandardStream(path)) {
        output.file = stdout;
    } else if (fs::exists(status) && !fs::is_regular_file(status)) {
        output.file = std::fopen(path, "wb");
    } else {
        // Through a link, replace the file it names rather than the link itself.
        if (fs::is_regular_file(status) && fs::is_symlink(fs::symlink_status(path, ec))) {
            const fs::path resolved = fs::canonical(path, ec);
            if (!ec) output.finalName = resolved;
        }
        output.finalMode =
            fs::is_regular_file(status) ? unsigned(status.permissions()) & 07777 : NewFileMode();
        const SignalsHeld held;
        output.file = CreateTempBeside(output.finalName, output.tempName);
        if (output.file) WatchTemp(output.tempName);
    }
    if (!output.file) return 0;
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    if (!output.tempName.empty() && ::fchmod(::fileno(output.file), mode_t(output.finalMode)) != 0)
        complete = 0;
    if ((output.file == stdout ? std::fflush(output.file) : std::fclose(output.file)) != 0)
        complete = 0;
    output.file = nullptr;
    if (output.tempName.empty()) return complete;
    const SignalsHeld held;
    const int placed =
        complete && std::rename(output.tempName.c_str(), output.finalName.c_str()) == 0;
    if (!placed) std::remove(output.tempName.c_str());
    UnwatchTemp();
    return placed;
}
