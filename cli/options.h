// The command line of bmpdepth.
#pragma once

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the picture could not be read or saved
inline constexpr int kExitUsage = 2;    // the command line was not understood

inline constexpr int kDefaultDepth = 24;

struct Options {
    const char* input = nullptr;
    const char* output = nullptr;  // none: read and convert only
    int bits = kDefaultDepth;
};

// Scans argv[1..argc-1]. Returns 1 when it names an input and every option is whole; 0 when the
// usage text is due.
int ParseArguments(int argc, char* const argv[], Options& options);

// Decimal text to a depth as atoi reads it (leading blanks, sign, digits up to the first other
// character, none giving 0), saturated to the int range instead of overflowing.
int ParseDepth(const char* text);

void PrintUsage(const char* program);
