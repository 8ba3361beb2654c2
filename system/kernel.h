// What the POSIX save asks of the kernel beyond POSIX, which each kernel provides in its own
// file: kernel_linux.cpp, kernel_macos.cpp, or kernel_other.cpp elsewhere.
#pragma once

#include <signal.h>

#include <string>

// Adds the signals beyond POSIX's list whose default action ends the program: on Linux SIGIO,
// SIGPWR and the real-time signals.
void AddSystemEndingSignals(sigset_t& set);

// Opens a folder only to create, rename and remove files in it, with no right to list it where
// the system allows that. -1 when it cannot be opened.
int OpenFolder(const char* path);

// Where the open file `fd` lies, as the system resolved it: its full path, links followed.
// Empty when the system cannot tell.
std::string PathOfOpenFile(int fd);

// Whether files in the folder can be made but never removed or renamed (Linux's append-only
// flag, BSD's and macOS's append flags). Known without reading the folder.
bool AppendOnlyFolder(int folder);

// What a replacement must keep, judged by what `from` carries, not by the error a call returns:
// where `from` cannot be read for a kind, its file system has none of it to lose. Each returns 1
// when `to` now carries what `from` does, 0 when it could not be given that.
// Every extended attribute that writing into `from` would keep, ACLs included; an access ACL that
// `from` lacks (one its folder's default gave `to`) is taken away. `to` stays owner-only.
int CopyExtendedAttributes(int from, int to);
// The inode flags that the owner may set (synchronous writes, no access times, no dump, ...).
int CopyInodeFlags(int from, int to);

// Puts the file's bytes on the disk itself, past any cache of the drive's where the system can.
int FlushToDisk(int fd);
