// What a replacement needs of the file system beyond POSIX, which each system provides in its own
// file: replace_file_linux.cpp, replace_file_macos.cpp, or replace_file_posix.cpp elsewhere.
#pragma once

#include <signal.h>

#include <string>

// Adds the signals beyond POSIX's list whose default action ends the program: on Linux SIGIO,
// SIGPWR and the real-time signals.
void AddSystemEndingSignals(sigset_t& set);

// Opens a folder only to create, rename and remove files in it, with no right to list it where
// the system allows that. -1 when it cannot be opened.
int OpenFolder(const char* path);

// Where the open file `fd` lies, as the system resolved it: its full path, links followed. Where
// the system cannot tell, the name as typed, which the caller finds to be the file only if it is
// not a link. Empty when it cannot be known.
std::string PathOfOpenFile(int fd, const char* typed);

// Whether files in the folder can be made but never removed or renamed (Linux's append-only
// flag, BSD's and macOS's append flags). Known without reading the folder.
bool AppendOnlyFolder(int folder);

// Gives `to` every extended attribute of `from`, ACLs included, that writing into `from` would
// keep, and takes from `to` an access ACL that `from` does not have (one its folder's default
// gave it). Returns 1 when `to` now has exactly those, 0 when one could not be set. `to` stays
// readable by its owner alone.
int CopyExtendedAttributes(int from, int to);

// Gives `to` the inode flags of `from` that its owner may set (synchronous writes, no access
// times, no dump, compression, ...). Returns 1 when they agree, 0 when one could not be set.
int CopyInodeFlags(int from, int to);

// Puts the file's bytes on the disk itself, past any cache of the drive's where the system can.
int FlushToDisk(int fd);
