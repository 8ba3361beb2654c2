// Output files that are either complete or not there at all.
#pragma once

#include <cstdio>
#include <string>

// A regular file (new or existing) is written under a short temporary name in the same folder
// and renamed over the output name only once complete, so a failed or interrupted save leaves
// what stood there untouched. Devices and FIFOs cannot be replaced that way and are written in
// place.
struct OutputFile {
    std::FILE* file = nullptr;
    std::string finalName;
    std::string tempName;    // empty when writing in place
    unsigned finalMode = 0;  // permissions the file gets once complete
};

// Opens the stream to write; returns 1, or 0 when nothing could be created. While the temporary
// file exists, SIGINT, SIGTERM, SIGHUP and SIGPIPE remove it before ending the program.
int OpenOutputFile(const char* path, OutputFile& output);

// Closes the stream and, when `complete` and the close succeeded, puts the file in place.
// Otherwise removes the temporary file. Returns 1 when the output name now holds the file.
int CommitOutputFile(OutputFile& output, int complete);
