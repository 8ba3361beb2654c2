#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "bitmap/replace_file.h"

int OpenFolder(const char* path) { return ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

int CopyExtendedAttributes(int from, int to) {
    const ssize_t listed = ::flistxattr(from, nullptr, 0);
    if (listed <= 0) return listed == 0 || errno == ENOTSUP;  // none, or none on this file system
    std::vector<char> names(static_cast<size_t>(listed));
    const ssize_t got = ::flistxattr(from, names.data(), names.size());
    if (got < 0) return 0;
    std::vector<char> value;
    bool acl = false;
    for (const char* name = names.data(); name < names.data() + got;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0) continue;  // a write removes it
        const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0) return 0;
        value.resize(size_t(size));
        const ssize_t read = ::fgetxattr(from, name, value.data(), value.size());
        if (read < 0 || ::fsetxattr(to, name, value.data(), size_t(read), 0) != 0) return 0;
        acl = acl || std::strcmp(name, "system.posix_acl_access") == 0;
    }
    // An access ACL sets the mode from its entries. Owner-only again, its named entries masked
    // out; the old file's mode, given once the file is complete, brings back its mask.
    return !acl || ::fchmod(to, 0600) == 0;
}

int FlushToDisk(int fd) { return ::fsync(fd) == 0; }
