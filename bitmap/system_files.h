// What the reader and writer need of the file system, which each system provides in its own
// file: system_files_posix.cpp or system_files_windows.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>

// "-" names standard input to the reader and standard output to the writer, as in other tools;
// a file that is really named "-" is reached as "./-".
inline bool IsStandardStream(const char* path) { return path[0] == '-' && path[1] == '\0'; }

// Opens the input to read in binary mode: the named file, or standard input. Null when it
// cannot be opened.
std::FILE* OpenInputFile(const char* path);

// The bytes from the input's position to its end, when they can be known: a file on disk.
// kUnknownLength for a pipe, a FIFO or a terminal, which can only be read until they end.
inline constexpr uint64_t kUnknownLength = UINT64_MAX;
uint64_t InputLength(std::FILE* file);

// A regular file (new or existing) is written under a short temporary name in the same folder
// and put in place of the output name only once complete, so a failed or interrupted save
// leaves what stood there untouched. Standard output, devices, pipes and FIFOs cannot be
// replaced that way and are written in place.
struct OutputFile {
    std::FILE* file = nullptr;
    std::filesystem::path finalName;
    std::filesystem::path tempName;  // empty when writing in place
    unsigned finalMode = 0;          // permissions (or attributes) the file gets once complete
};

// Opens the stream to write; returns 1, or 0 when nothing could be created. While the temporary
// file exists, an interruption (SIGINT, SIGTERM, SIGHUP and SIGPIPE; on Windows Ctrl-C,
// Ctrl-Break and closing the console) removes it before ending the program.
int OpenOutputFile(const char* path, OutputFile& output);

// Closes the stream (standard output is flushed and left open) and, when `complete` and the
// close succeeded, puts the file in place. Otherwise removes the temporary file. Returns 1 when
// the output name now holds the whole file.
int CommitOutputFile(OutputFile& output, int complete);
