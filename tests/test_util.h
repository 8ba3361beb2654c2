// Shared helpers for the tests: scratch folders, files as bytes, in-memory images, and runs of
// the built bmpdepth.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bmp_image.h"
#include "bitmap/pixel_memory.h"
#include "tools/bmp_synth.h"

namespace testutil {

namespace fs = std::filesystem;
using synth::Bytes;

// A fresh folder for one test, removed afterwards.
class ScratchDir {
   public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() / ("bmpdepth-" + std::string(info->test_suite_name()) +
                                             "-" + info->name() + "-" + std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    // Names of everything in the folder, to prove nothing stray was left behind.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

   private:
    fs::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}
inline uint32_t Le16(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8;
}

struct ImageDeleter {
    void operator()(BMPImage* image) const {
        ReleaseBMPImage(*image);
        delete image;
    }
};
using ImagePtr = std::unique_ptr<BMPImage, ImageDeleter>;

inline ImagePtr EmptyImage() { return ImagePtr(new BMPImage{}); }

// A loaded image built in memory: `pixels` are the source rows in file order.
inline ImagePtr LoadedImage(int32_t width, int32_t height, uint8_t bits, bool topDown,
                            const Bytes& pixels) {
    ImagePtr image = EmptyImage();
    image->width = width;
    image->height = height;
    image->bitCount = bits;
    image->topDown = topDown;
    image->stride = RowBytes(uint32_t(width), bits);
    image->pixels = AllocatePixels(pixels.size());
    std::copy(pixels.begin(), pixels.end(), image->pixels);
    image->rgb24 = AllocateZeroedPixels(size_t(height) * RowBytes(uint32_t(width), 24));
    return image;
}

inline Bytes WorkingRows(const BMPImage& image) {
    return Bytes(image.rgb24,
                 image.rgb24 + size_t(image.height) * RowBytes(uint32_t(image.width), 24));
}

struct RunResult {
    int status;
    std::string err;
    std::string out;
};

inline std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs the built bmpdepth with `args`, standard input empty and both output streams captured.
// A `shell` prefix (ulimit, trap) runs it through sh instead, to set limits first.
inline RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args,
                         const std::string& shell = "") {
    const std::string err = dir / ".stderr", out = dir / ".stdout";
    std::vector<std::string> argv = {BMPDEPTH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!shell.empty()) {
        std::string command = shell + " exec";
        for (const auto& arg : argv) command += " " + Quote(arg);
        argv = {"/bin/sh", "-c", command};
    }
    std::vector<char*> raw;
    for (auto& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int status = 0;
    const int spawned = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0) << raw[0];
    if (spawned == 0) waitpid(pid, &status, 0);

    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", ""};
    const Bytes e = ReadFile(err), o = ReadFile(out);
    result.err.assign(e.begin(), e.end());
    result.out.assign(o.begin(), o.end());
    fs::remove(err);
    fs::remove(out);
    return result;
}

}  // namespace testutil
