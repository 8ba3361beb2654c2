// What the reader and writer need of the file system, which each system provides in its own
// file: system_files_posix.cpp or system_files_windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

// Names are used as typed: "-" is a file of that name. /dev/stdin and /dev/stdout, where the
// system has them, name the standard streams.

// Opens the input to read in binary mode. Null when it cannot be opened.
std::FILE* OpenInputFile(const char* path);

// The bytes from the input's position to its end, when they can be known: a file on disk.
// kUnknownLength for a pipe, a FIFO or a terminal, which can only be read until they end.
inline constexpr uint64_t kUnknownLength = UINT64_MAX;
uint64_t InputLength(std::FILE* file);

// A new file, or a regular file with one name, is written under a short temporary name in the
// same folder and put in place of the output name only once complete, so a failed or
// interrupted save leaves what stood there untouched. What a replacement would change is written
// in place instead, as opening the name for writing would: devices, pipes and FIFOs, the file
// that standard output already has open, a file with other names (hard links), one in a folder
// where no file can be created, and one whose owner, group or extended attributes (POSIX) the new
// file could not be given.
struct OutputFile {
    std::FILE* file = nullptr;
    std::filesystem::path finalName;  // POSIX: within `folder`
    std::filesystem::path tempName;   // empty when writing in place
    int folder = -1;                  // POSIX: the folder of both names, while it is open
    unsigned finalMode = 0;           // permissions (or attributes) the file gets once complete
    bool replaces = false;            // the temporary file goes over an existing one
};

// Opens the stream to write; returns 1, or 0 when opening the name for writing would fail (an
// existing file the user may not write, a read-only file on Windows, a missing folder) or
// nothing could be created. While the temporary file exists, an interruption removes it before
// ending the program: on POSIX systems every signal whose default action ends the program, but
// those that report the program's own faults; on Windows Ctrl-C, Ctrl-Break and closing the
// console.
int OpenOutputFile(const char* path, OutputFile& output);

// Closes the stream and, when `complete` and the close succeeded, puts the file in place: over
// an existing file only once its bytes are on the disk, so that even a power cut leaves the old
// file or the whole new one. Otherwise removes the temporary file. Returns 1 when the output
// name now holds the whole file.
int CommitOutputFile(OutputFile& output, int complete);
