#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "system/kernel.h"

void AddSystemEndingSignals(sigset_t& set) {
    for (int s : {SIGIO, SIGPWR}) sigaddset(&set, s);
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
}

int OpenFolder(const char* path) { return ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

// The kernel's own name for the file; a deleted one's ends in " (deleted)", which the caller
// then finds to be no name of it. None for a path longer than PATH_MAX.
std::string PathOfOpenFile(int fd) {
    char path[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), path, sizeof path);
    return length > 0 && size_t(length) < sizeof path ? std::string(path, size_t(length))
                                                      : std::string();
}

// statx reads the flag through the folder's O_PATH descriptor, so it needs no right to list it.
bool AppendOnlyFolder(int folder) {
    struct statx st {};
    return ::statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &st) == 0 &&
           (st.stx_attributes_mask & STATX_ATTR_APPEND) && (st.stx_attributes & STATX_ATTR_APPEND);
}

int CopyExtendedAttributes(int from, int to) {
    static constexpr char kAccessACL[] = "system.posix_acl_access";
    const ssize_t listed = ::flistxattr(from, nullptr, 0);
    std::vector<char> names(size_t(std::max<ssize_t>(listed, 0)));
    const ssize_t got = listed > 0 ? ::flistxattr(from, names.data(), names.size()) : 0;
    if (got < 0) return 0;  // attributes added meanwhile
    bool acl = false;
    std::vector<char> value;
    for (const char* name = names.data(); name < names.data() + got;
         name += std::strlen(name) + 1) {
        if (std::strcmp(name, "security.capability") == 0) continue;  // a write removes it
        const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        if (size < 0) return 0;
        value.resize(size_t(size));
        const ssize_t read = ::fgetxattr(from, name, value.data(), value.size());
        if (read < 0 || ::fsetxattr(to, name, value.data(), size_t(read), 0) != 0) return 0;
        acl = acl || std::strcmp(name, kAccessACL) == 0;
    }
    // An access ACL sets the mode from its entries. Owner-only again, its named entries masked
    // out; the old file's mode, given once the file is complete, brings back its mask.
    if (acl) return ::fchmod(to, 0600) == 0;
    ::fremovexattr(to, kAccessACL);
    return ::fgetxattr(to, kAccessACL, nullptr, 0) < 0;  // read back: none is left
}

int CopyInodeFlags(int from, int to) {
    constexpr int kOwners = FS_SYNC_FL | FS_NOATIME_FL | FS_NODUMP_FL | FS_COMPR_FL | FS_NOCOMP_FL |
                            FS_NOCOW_FL | FS_SECRM_FL | FS_UNRM_FL | FS_NOTAIL_FL;
    int was = 0;
    int made = 0;
    if (::ioctl(from, FS_IOC_GETFLAGS, &was) != 0) return 1;  // a file system without flags
    if (::ioctl(to, FS_IOC_GETFLAGS, &made) != 0) return (was & kOwners) == 0;
    int want = (made & ~kOwners) | (was & kOwners);
    return want == made || ::ioctl(to, FS_IOC_SETFLAGS, &want) == 0;
}

int FlushToDisk(int fd) { return ::fsync(fd) == 0; }
