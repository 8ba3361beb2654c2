#include <copyfile.h>
#include <fcntl.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <unistd.h>

#include "system/kernel.h"

// SIGIO and SIGINFO are ignored by default here, and there are no real-time signals.
void AddSystemEndingSignals(sigset_t&) {}

int OpenFolder(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

std::string PathOfOpenFile(int fd) {
    char path[MAXPATHLEN];
    return ::fcntl(fd, F_GETPATH, path) == 0 ? std::string(path) : std::string();
}

bool AppendOnlyFolder(int folder) {
    struct stat st {};
    return ::fstat(folder, &st) == 0 && (st.st_flags & (UF_APPEND | SF_APPEND)) != 0;
}

int CopyExtendedAttributes(int from, int to) {
    return ::fcopyfile(from, to, nullptr, COPYFILE_XATTR | COPYFILE_ACL) == 0;
}

// The flags an owner may set: no dump, hidden, and the rest of UF_SETTABLE.
int CopyInodeFlags(int from, int to) {
    struct stat was {};
    struct stat made {};
    if (::fstat(from, &was) != 0 || (was.st_flags & UF_SETTABLE) == 0) return 1;  // none to keep
    if (::fstat(to, &made) != 0) return 0;
    const auto want = (made.st_flags & ~UF_SETTABLE) | (was.st_flags & UF_SETTABLE);
    return want == made.st_flags || ::fchflags(to, want) == 0;
}

// fsync leaves the bytes in the drive's cache; F_FULLFSYNC makes the drive write them, where
// the file system supports it.
int FlushToDisk(int fd) { return ::fcntl(fd, F_FULLFSYNC) == 0 || ::fsync(fd) == 0; }
