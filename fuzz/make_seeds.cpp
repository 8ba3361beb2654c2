// make_seeds DIR: writes the fuzzer's seed corpus, one small file for each kind of input the
// reader knows.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/bmp_synth.h"

namespace {

using synth::Bytes;

Bytes WithMasks(uint16_t bits, uint32_t compression, std::vector<uint32_t> masks,
                uint32_t infoSize = 40) {
    synth::Fields f;
    f.width = 3;
    f.height = 2;
    f.bits = bits;
    f.compression = compression;
    f.infoSize = infoSize;
    Bytes extra;
    for (uint32_t m : masks) synth::Put32(extra, m);
    if (infoSize > 40) extra.resize(infoSize - 40, 0);
    Bytes rows(size_t(synth::Stride(3, bits)) * 2);
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = uint8_t(i * 37 + 11);
    return synth::Make(f, extra, rows);
}

Bytes Palette8(uint32_t infoSize, uint32_t compression, const Bytes& rows, int32_t height) {
    synth::Fields f;
    f.width = 4;
    f.height = height;
    f.bits = 8;
    f.compression = compression;
    f.infoSize = infoSize;
    f.clrUsed = 4;
    Bytes extra(infoSize > 40 ? infoSize - 40 : 0, 0);
    for (uint8_t i = 0; i < 4; ++i)
        extra.insert(extra.end(), {uint8_t(i * 60), 9, uint8_t(255 - i), 0});
    return synth::Make(f, extra, rows);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fputs("usage: make_seeds DIR\n", stderr);
        return 2;
    }
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (uint16_t bits : {uint16_t{8}, uint16_t{16}, uint16_t{24}, uint16_t{32}})
        for (bool topDown : {false, true})
            seeds.emplace_back("pattern" + std::to_string(bits) + (topDown ? "td" : "bu"),
                               synth::Pattern(5, 3, bits, topDown));
    const Bytes rows4x2 = {0, 1, 2, 3, 3, 2, 1, 0};
    for (uint32_t infoSize : {40u, 64u, 108u, 124u})
        seeds.emplace_back("pal8-h" + std::to_string(infoSize), Palette8(infoSize, 0, rows4x2, 2));
    seeds.emplace_back("rle8",
                       Palette8(40, 1, {2, 1, 0, 2, 1, 0, 0, 0, 0, 3, 3, 2, 1, 0, 0, 1}, 3));
    seeds.emplace_back("os2-8", synth::OS2(2, 2, 8, {1, 2, 3, 4, 5, 6}, {0, 1, 0, 0, 1, 0, 0, 0}));
    seeds.emplace_back("os2-24", synth::OS2(1, 2, 24, {}, {1, 2, 3, 0, 4, 5, 6, 0}));
    seeds.emplace_back("rgb555", WithMasks(16, 3, {0x7C00, 0x03E0, 0x001F}));
    seeds.emplace_back("argb4444", WithMasks(16, 3, {0x0F00, 0x00F0, 0x000F}, 124));
    seeds.emplace_back("rgba32", WithMasks(32, 3, {0xFF, 0xFF00, 0xFF0000}));
    seeds.emplace_back("rgb101010", WithMasks(32, 6, {0x3FF00000, 0xFFC00, 0x3FF}, 56));
    seeds.emplace_back("xbgr-h52", WithMasks(32, 3, {0xFF000000, 0xFF0000, 0xFF00}, 52));

    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(argv[1]) + "/" + name + ".bmp";
        if (!synth::WriteFile(path, bytes)) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
