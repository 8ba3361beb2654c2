// Helpers for the tests: scratch folders, files as bytes, in-memory images.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "bitmap/bmp_image.h"
#include "tools/bmp_synth.h"

namespace testutil {

namespace fs = std::filesystem;
using synth::Bytes;
using Args = std::vector<std::string>;

// A fresh folder, removed afterwards; test processes may run side by side.
inline const std::string kProcessTag = std::to_string(std::random_device{}());
inline int scratchDirs = 0;
struct ScratchDir {
    fs::path path = fs::temp_directory_path() /
                    ("bmpdepth-test-" + kProcessTag + "-" + std::to_string(++scratchDirs));
    ScratchDir() { fs::create_directories(path); }
    ~ScratchDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    Args Entries() const {  // to prove nothing stray was left behind
        Args names;
        for (const auto& e : fs::directory_iterator(path))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline synth::Fields Fields(int32_t w, int32_t h, uint16_t bits, uint32_t compression = 0,
                            uint32_t colours = 0) {
    return {.width = w, .height = h, .bits = bits, .compression = compression, .clrUsed = colours};
}

}  // namespace testutil
