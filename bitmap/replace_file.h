// What a replacement needs of the file system beyond POSIX, which each system provides in its own
// file: replace_file_linux.cpp, replace_file_macos.cpp, or replace_file_posix.cpp elsewhere.
#pragma once

// Opens a folder only to create, rename and remove files in it, with no right to list it where
// the system allows that. -1 when it cannot be opened.
int OpenFolder(const char* path);

// Gives `to` every extended attribute of `from`, ACLs included, that writing into `from` would
// keep. Returns 1 when all were copied or there were none, 0 when one could not be. `to` stays
// readable by its owner alone.
int CopyExtendedAttributes(int from, int to);

// Puts the file's bytes on the disk itself, past any cache of the drive's where the system can.
int FlushToDisk(int fd);
