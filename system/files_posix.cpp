#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "system/files.h"
#include "system/kernel.h"
#include "system/save_choice.h"

namespace fs = std::filesystem;

namespace {

// Every signal that a handler can catch and whose default action ends the program, but those
// that report a fault of the program itself (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS,
// SIGABRT).
const sigset_t kCleanupSignals = [] {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2, SIGXCPU,
                  SIGXFSZ, SIGVTALRM, SIGPROF})
        sigaddset(&set, s);
    AddSystemEndingSignals(set);
    return set;
}();

// The names a failure or an interruption removes: a name the save made, and the temporary
// file, each while it is still the file the save made. Set by Watch with the signals held; read
// by the handler.
struct Watched {
    int folder;
    char name[PATH_MAX];
    struct stat file;
};
enum { kMadeName, kTempName };
Watched gWatched[2];
volatile sig_atomic_t gWatching = 0;  // a bit for each entry
struct sigaction gPrevious[NSIG];
bool gCaught[NSIG];
sigset_t gUnheld;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Does only what a signal handler may.
void RemoveWatched() {
    for (int i = 0; i < 2; ++i) {
        const Watched& w = gWatched[i];
        struct stat named {};
        if ((gWatching & (1 << i)) &&
            ::fstatat(w.folder, w.name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(named, w.file))
            ::unlinkat(w.folder, w.name, 0);
    }
    gWatching = 0;
}

void Watch(int which, int folder, const fs::path& name, int fd) {
    Watched& w = gWatched[which];
    if (name.empty() || name.native().size() >= sizeof w.name || ::fstat(fd, &w.file) != 0) return;
    std::memcpy(w.name, name.c_str(), name.native().size() + 1);
    w.folder = folder;
    gWatching = gWatching | 1 << which;
}

// Restores the default and raises the signal again, so that the program ends with its status.
extern "C" void RemoveNamesAndDie(int sig) {
    RemoveWatched();
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered once the handler returns, as the signal is blocked until then
}

void HoldSignals() { sigprocmask(SIG_BLOCK, &kCleanupSignals, &gUnheld); }
void ReleaseSignals() { sigprocmask(SIG_SETMASK, &gUnheld, nullptr); }

// Only where the default action is in force: a signal the caller chose to ignore (nohup, a
// background job) stays ignored, and one that the program handles stays its own.
void CatchSignals() {
    struct sigaction action {};
    action.sa_handler = RemoveNamesAndDie;
    action.sa_mask = kCleanupSignals;  // one handler at a time
    for (int s = 1; s < NSIG; ++s)
        gCaught[s] = sigismember(&kCleanupSignals, s) == 1 &&
                     sigaction(s, nullptr, &gPrevious[s]) == 0 &&
                     !(gPrevious[s].sa_flags & SA_SIGINFO) && gPrevious[s].sa_handler == SIG_DFL &&
                     sigaction(s, &action, nullptr) == 0;
}

// Whether `path` names the very file that standard output has open: /dev/stdout, /dev/fd/1, or
// another name of the file the shell opened.
bool IsStandardOutput(const char* path) {
    struct stat named {};
    struct stat out {};
    return ::stat(path, &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && SameFile(named, out);
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

// Whether `name` in `folder` is, itself and not through a link, the file open as `fd`.
bool NamesFile(int folder, const char* name, int fd) {
    struct stat named {};
    struct stat open {};
    return ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0 &&
           SameFile(named, open);
}

// Want of room or descriptors is no reason to write in place.
Attempt AttemptAfter(int error) {
    const bool noRoom =
        error == ENOSPC || error == EDQUOT || error == EMFILE || error == ENFILE || error == ENOMEM;
    return noRoom ? Attempt::kNoRoom : Attempt::kNotAllowed;
}

// Opens the name as fopen(name, "w") would, but leaves the file as it is: the kernel resolves
// the name and applies its rules (permissions, its limit on links, protected_symlinks and, with
// O_CREAT, protected_regular). A new name is made empty, as creating it makes it. `created`
// where this open made the file: a new name, or the missing file of a link, which the kernel
// reported missing just before. Returns with the signals held, which only the open of an
// existing file lets through, as it may wait (a FIFO).
int OpenAsWriting(const char* path, bool& created) {
    constexpr int kWrite = O_WRONLY | O_NOCTTY | O_CLOEXEC;
    HoldSignals();
    int fd = ::open(path, kWrite | O_CREAT | O_EXCL, 0666);
    created = fd >= 0;
    if (fd >= 0 || errno != EEXIST) return fd;
    struct stat linked {};
    const bool missing = ::stat(path, &linked) != 0 && errno == ENOENT;
    if (!missing) ReleaseSignals();
    fd = ::open(path, kWrite | O_CREAT, 0666);
    if (!missing) HoldSignals();
    created = missing && fd >= 0;
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

// Whether the new file has the old one's owner and group, given them where it had not; read
// back, so that a file system that keeps no owners (every file the mount's) agrees.
bool GivesOwner(int temp, const struct stat& was) {
    struct stat made {};
    const auto same = [&] {
        return ::fstat(temp, &made) == 0 && made.st_uid == was.st_uid && made.st_gid == was.st_gid;
    };
    return same() || (::fchown(temp, was.st_uid, was.st_gid) == 0 && same());
}

// Finds the folder of the file open as `output.target`, and its name there: where the kernel
// says the file lies, or else the folder of the name as typed, when that name is no link. A made
// name whose folder cannot be opened is kept as the working folder reaches it, so that a failure
// can still take it away.
Attempt FindFolder(OutputFile& output, const char* typed) {
    Attempt found = Attempt::kNotAllowed;
    for (const fs::path& path : {fs::path(PathOfOpenFile(output.target)), fs::path(typed)}) {
        if (!path.has_filename()) continue;
        const fs::path parent = path.parent_path();
        int folder = OpenFolder(parent.empty() ? "." : parent.c_str());
        if (folder >= 0 && NamesFile(folder, path.filename().c_str(), output.target)) {
            output.folder = folder;
            output.finalName = path.filename();
            return Attempt::kDone;
        }
        if (folder < 0) found = AttemptAfter(errno);
        if (folder < 0 && output.created && NamesFile(AT_FDCWD, path.c_str(), output.target)) {
            output.folder = AT_FDCWD;
            output.finalName = path;
        }
        CloseIfOpen(folder);
    }
    return found;
}

// Makes the temporary file beside the old one and gives it what the old one carries; the answer
// goes into `facts`. Where a replacement is still the way, the stream writes the new file.
void MakeReplacement(OutputFile& output, const struct stat& was, SaveFacts& facts) {
    std::string temp;
    const int fd = CreateTempIn(output.folder, temp);
    facts.temp = fd >= 0 ? Attempt::kDone : AttemptAfter(errno);
    if (fd < 0) return;
    facts.keepsAll = GivesOwner(fd, was) && CopyExtendedAttributes(output.target, fd) &&
                     CopyInodeFlags(output.target, fd);
    if (ChooseSave(facts) != SaveWay::kReplace)
        ::close(fd);
    else if (!Adopt(output, fd))
        facts.temp = Attempt::kNoRoom;  // fdopen fails only for want of memory
    if (!output.file) {
        ::unlinkat(output.folder, temp.c_str(), 0);
        return;
    }
    output.tempName = temp;
    Watch(kTempName, output.folder, temp, fd);
    // A picture never needs the set-user-ID and set-group-ID bits, which a write would clear.
    output.finalMode = unsigned(was.st_mode) & 01777;
    output.replaces = !output.created;
}

// Writes into the file that opening the name gave, cut to nothing as writing would cut it. A
// made name keeps its descriptor, to tell whether it is still the file made.
void StartInPlace(OutputFile& output, bool regular) {
    if (output.created) {
        Adopt(output, ::fcntl(output.target, F_DUPFD_CLOEXEC, 0));
        return;
    }
    if (regular && ::ftruncate(output.target, 0) != 0) return;
    Adopt(output, std::exchange(output.target, -1));
}

// Starts writing in the way the facts choose, with the signals held from before a name is made,
// and tells the handler what to remove.
bool StartSave(const char* path, OutputFile& output) {
    SaveFacts facts;
    output.target = OpenAsWriting(path, output.created);
    facts.opened = output.target >= 0;
    struct stat was {};
    if (facts.opened && ::fstat(output.target, &was) == 0) {
        facts.regular = S_ISREG(was.st_mode);
        facts.otherNames = was.st_nlink != 1;  // hard links, or a deleted file's none
    }
    if (facts.regular && !facts.otherNames) facts.folder = FindFolder(output, path);
    if (output.created) Watch(kMadeName, output.folder, output.finalName, output.target);
    if (facts.folder == Attempt::kDone) facts.appendOnlyFolder = AppendOnlyFolder(output.folder);
    if (ChooseSave(facts) == SaveWay::kReplace) MakeReplacement(output, was, facts);
    if (ChooseSave(facts) == SaveWay::kInPlace) StartInPlace(output, facts.regular);
    if (!output.file) RemoveWatched();
    return output.file != nullptr;
}

// Writes all of `bytes`, going on where a signal cut a call short.
bool WriteAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        size -= size_t(put);
    }
    return true;
}

// Writes the complete temporary file into the old one, where the replacement may not go.
bool CopyInPlace(const OutputFile& output) {
    const int from = ::openat(output.folder, output.tempName.c_str(), O_RDONLY | O_CLOEXEC);
    bool copied = from >= 0 && ::ftruncate(output.target, 0) == 0;
    std::vector<char> buffer(size_t{1} << 20);
    while (copied) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got == 0) break;
        copied = got > 0 && WriteAll(output.target, buffer.data(), size_t(got));
    }
    if (from >= 0) ::close(from);
    return copied;
}

// Puts the complete temporary file in place of the name. Where the system refuses the rename,
// or the new file cannot have the old one's mode, for a reason that writing would not meet,
// copies it into the old file.
bool PutInPlace(OutputFile& output, bool modeGiven) {
    const char* name = output.finalName.c_str();
    if (!NamesFile(output.folder, name, output.target)) return false;  // replaced meanwhile
    // The empty file made at a new name goes first: a rename over a file makes ext4 write the
    // new one out at once (auto_da_alloc), which only a replacement needs.
    const bool made = modeGiven && output.created;
    if (made && ::unlinkat(output.folder, name, 0) != 0) return false;
    if (modeGiven && ::renameat(output.folder, output.tempName.c_str(), output.folder, name) == 0)
        return true;
    SaveFacts facts{
        .opened = true, .regular = true, .folder = Attempt::kDone, .temp = Attempt::kDone};
    facts.rename = modeGiven ? AttemptAfter(errno) : Attempt::kNotAllowed;
    if (made || ChooseSave(facts) != SaveWay::kInPlace) return false;
    const bool copied = CopyInPlace(output) && ::close(std::exchange(output.target, -1)) == 0;
    ::unlinkat(output.folder, output.tempName.c_str(), 0);
    return copied;
}

// Puts back the handlers and lets the signals through, and closes what the save held.
void EndSave(OutputFile& output) {
    gWatching = 0;
    for (int s = 1; s < NSIG; ++s)
        if (gCaught[s]) sigaction(s, &gPrevious[s], nullptr);
    ReleaseSignals();
    CloseIfOpen(output.target);
    CloseIfOpen(output.folder);
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
    // Through the shell's own descriptor, at its position and in its append mode: opening the
    // name again would cut off what the shell wrote before.
    if (IsStandardOutput(path)) {
        if (!Adopt(output, ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0))) return 0;
    } else {
        CatchSignals();
        if (!StartSave(path, output)) {
            EndSave(output);
            return 0;
        }
        ReleaseSignals();
    }
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    const int fd = ::fileno(output.file);
    const bool replacing = !output.tempName.empty();
    // A file system that keeps no permissions (FAT, where the mount fixes them) refuses to
    // change them, and loses nothing where the new file has the old one's already.
    struct stat made {};
    const bool modeGiven = !replacing || ::fchmod(fd, mode_t(output.finalMode)) == 0 ||
                           (::fstat(fd, &made) == 0 && (made.st_mode & 07777) == output.finalMode);
    if (replacing && output.replaces && complete) complete = FlushToDisk(fd);
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    HoldSignals();
    const bool placed = complete && (!replacing || PutInPlace(output, modeGiven));
    if (!placed) RemoveWatched();
    EndSave(output);
    return placed;
}
