#include <copyfile.h>
#include <fcntl.h>
#include <unistd.h>

#include "bitmap/replace_file.h"

int OpenFolder(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int CopyExtendedAttributes(int from, int to) {
    return ::fcopyfile(from, to, nullptr, COPYFILE_XATTR | COPYFILE_ACL) == 0;
}

// fsync leaves the bytes in the drive's cache; F_FULLFSYNC makes the drive write them, where
// the file system supports it.
int FlushToDisk(int fd) { return ::fcntl(fd, F_FULLFSYNC) == 0 || ::fsync(fd) == 0; }
