#include <fcntl.h>
#include <unistd.h>

#include "system/kernel.h"

// The real-time signals, where the system has them.
void AddSystemEndingSignals([[maybe_unused]] sigset_t& set) {
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
#endif
}

int OpenFolder(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// No portable way to ask: the save falls back on the name as typed.
std::string PathOfOpenFile(int) { return {}; }

bool AppendOnlyFolder(int) { return false; }

// No extended attributes or inode flags that this program knows how to read.
int CopyExtendedAttributes(int, int) { return 1; }
int CopyInodeFlags(int, int) { return 1; }

int FlushToDisk(int fd) { return ::fsync(fd) == 0; }
