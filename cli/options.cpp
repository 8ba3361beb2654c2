#include "cli/options.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "bitmap/messages.h"

int ParseDepth(const char* text) {
    return int(std::clamp<long long>(std::strtoll(text, nullptr, 10), INT_MIN, INT_MAX));
}

int ParseArguments(int argc, char* const argv[], Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            options.input = arg;  // the last one wins
            continue;
        }
        // Options are known by their second letter alone; -b and -o take the next argument as
        // their value whatever it looks like. A lone "-" is no option, so the usage text.
        switch (arg[1]) {
            case 'b':
                if (++i == argc) return 0;
                options.bits = ParseDepth(argv[i]);
                break;
            case 'o':
                if (++i == argc) return 0;
                options.output = argv[i];
                break;
            case 'g':  // accepted for compatibility; no effect
            case 'r': break;
            default: return 0;
        }
    }
    return options.input != nullptr;
}

void PrintUsage(const char* program) {
    std::fprintf(stderr, kMsgUsageFirstLine, program);
    std::fputs(kMsgUsageOptions, stderr);
}
