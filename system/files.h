// What the reader and writer need of the file system, which each system provides in its own
// file: files_posix.cpp or files_windows.cpp.
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

// A save opens the name as writing into it would, so that the system resolves it and applies
// its own rules (permissions, links, the protections of shared folders); a new name is made
// then, empty, as creating it makes it. The picture goes under a short temporary name beside the
// file and is put in its place only once complete, so a failed or interrupted save leaves what
// stood there whole, and takes away a name it made. Where a replacement may not do what writing
// would, the file is written in place instead (ChooseSave has every rule); where it cannot for
// want of room or descriptors, the save fails and the old file stays.
struct OutputFile {
    std::FILE* file = nullptr;
    std::filesystem::path finalName;  // POSIX: within `folder`
    std::filesystem::path tempName;   // empty when writing in place
    int folder = -1;                  // POSIX: of both names (AT_FDCWD: a made name's, unopened)
    int target = -1;                  // POSIX: the file opening the name gave
    unsigned finalMode = 0;           // permissions (or attributes) the file gets once complete
    bool replaces = false;            // the temporary file goes over a file that held a picture
    bool created = false;             // the name was made by this save, and goes if it fails

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;  // an interruption holds on to its names
    OutputFile& operator=(const OutputFile&) = delete;
};

// Opens the stream to write, into a fresh `output`; returns 1, or 0 when opening the name for
// writing fails (a file the user may not write, a read-only file on Windows, a missing folder, a
// name the system will not resolve) or nothing could be made. From before a name is made to the
// end of the save, an interruption (on POSIX systems every signal whose default action ends the
// program but those reporting its own faults; on Windows Ctrl-C, Ctrl-Break and closing the
// console) removes the temporary file and a name the save made, then ends the program.
int OpenOutputFile(const char* path, OutputFile& output);

// Closes the stream and, when `complete` and the close succeeded, puts the file in place: over
// an existing file only once its bytes are on the disk, so that even a power cut leaves the old
// file or the whole new one. Otherwise removes the temporary file and a name this save made.
// Returns 1 when the output name now holds the whole file.
int CommitOutputFile(OutputFile& output, int complete);
