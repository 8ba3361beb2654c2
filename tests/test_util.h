// What every test includes: GoogleTest, the library, scratch folders, files, loads and saves.
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
#include "bitmap/bmp_io.h"
#include "tools/bmp_synth.h"

namespace testutil {

namespace fs = std::filesystem;
using synth::Bytes;
using Args = std::vector<std::string>;

// A fresh folder, removed afterwards; test processes may run side by side.
inline const std::string kProcessTag = std::to_string(std::random_device{}());
inline int scratchDirs = 0;
struct ScratchDir {
    fs::path path;
    explicit ScratchDir(const fs::path& in = fs::temp_directory_path())
        : path(in / ("bmpdepth-test-" + kProcessTag + "-" + std::to_string(++scratchDirs))) {
        fs::create_directories(path);
    }
    ~ScratchDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    Args Entries() const {  // to prove nothing stray was left behind
        Args names;
        for (auto& e : fs::directory_iterator(path)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

using synth::WriteFile;

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline synth::Fields Fields(int32_t w, int32_t h, uint16_t bits, uint32_t compression = 0,
                            uint32_t colours = 0) {
    return {.width = w, .height = h, .bits = bits, .compression = compression, .clrUsed = colours};
}

// The files this process has open, where the system shows them.
inline size_t OpenFiles() {
    return BMPDEPTH_LINUX ? size_t(std::distance(fs::directory_iterator("/proc/self/fd"), {})) : 0;
}

// The image a test works on, one at a time: released when the next is read, and at exit.
inline BMPImage image;

struct Loaded {
    std::string err;   // what the reader printed
    Bytes rows = {};   // the working rows, bottom row first; empty when refused
    Bytes saved = {};  // the file SaveBMP writes at `saveBits`, if asked
};

// Reads `file` into `image` and converts it, checking on the way what every read must keep.
inline Loaded Load(const Bytes& file, int saveBits = 0) {
    const ScratchDir dir;
    WriteFile(dir / "in.bmp", file);
    ReleaseBMPImage(image);
    image = BMPImage{};
    testing::internal::CaptureStderr();
    const auto opened = OpenFiles();
    const int ok = ReadBMP(image, (dir / "in.bmp").c_str());
    EXPECT_EQ(OpenFiles(), opened) << "the input was left open";
    Loaded r{testing::internal::GetCapturedStderr(), {}, {}};
    EXPECT_EQ(ok, r.err.empty() ? 1 : 0) << "a result other than its message says";
    if (!ok) {
        EXPECT_EQ(image.pixels, nullptr) << "a refusal left its rows";
        EXPECT_EQ(image.rgb24, nullptr) << "a refusal left its working rows";
        return r;
    }
    if (!image.pixels || !image.rgb24) {
        ADD_FAILURE() << "a load without its rows or working rows";
        return r;
    }
    const size_t working = size_t(image.height) * RowBytes(uint32_t(image.width), 24);
    EXPECT_EQ(Bytes(image.rgb24, image.rgb24 + working), Bytes(working, 0)) << "not zero-filled";
    ConvertToRGB24(image);
    r.rows = Bytes(image.rgb24, image.rgb24 + working);
    EXPECT_TRUE(!saveBits || SaveBMP(image, (dir / "out.bmp").c_str(), saveBits) == 1);
    r.saved = ReadFile(dir / "out.bmp");
    return r;
}

}  // namespace testutil
