// bmpgen WIDTH HEIGHT BITS OUT [top-down]: writes a test picture (8, 16, 24 or 32 bits).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/bmp_synth.h"

int main(int argc, char* argv[]) {
    if (argc != 5 && !(argc == 6 && std::strcmp(argv[5], "top-down") == 0)) {
        std::fputs("usage: bmpgen WIDTH HEIGHT BITS OUT [top-down]\n", stderr);
        return 2;
    }
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    const long bits = std::strtol(argv[3], nullptr, 10);
    if (width < 0 || height < 0 || width > 65536 || height > 65536 ||
        (bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        std::fputs("bmpgen: unsupported size or depth\n", stderr);
        return 2;
    }
    const synth::Bytes file =
        synth::Pattern(uint32_t(width), uint32_t(height), uint16_t(bits), argc == 6);
    if (!synth::WriteFile(argv[4], file)) {
        std::perror(argv[4]);
        return 1;
    }
    return 0;
}
