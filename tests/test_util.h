// Helpers for the tests: scratch folders, files as bytes, in-memory images, runs of bmpdepth.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// A fresh folder, removed afterwards.
class ScratchDir {
   public:
    ScratchDir() {
        static int serial = 0;
        path_ = fs::temp_directory_path() /
                ("bmpdepth-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> Entries() const {  // to prove nothing stray was left behind
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

   private:
    fs::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Header fields of a file for synth::Make.
inline synth::Fields Fields(int32_t width, int32_t height, uint16_t bits, uint32_t compression = 0,
                            uint32_t clrUsed = 0) {
    synth::Fields f;
    f.width = width;
    f.height = height;
    f.bits = bits;
    f.compression = compression;
    f.clrUsed = clrUsed;
    return f;
}

inline std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline uint32_t Le32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

struct ImageDeleter {
    void operator()(BMPImage* image) const {
        ReleaseBMPImage(*image);
        delete image;
    }
};
using ImagePtr = std::unique_ptr<BMPImage, ImageDeleter>;

inline ImagePtr EmptyImage() { return ImagePtr(new BMPImage{}); }

// A loaded image built in memory from source rows in file order.
inline ImagePtr LoadedImage(int32_t width, int32_t height, uint8_t bits, bool topDown,
                            const Bytes& pixels) {
    ImagePtr image = EmptyImage();
    image->width = width;
    image->height = height;
    image->stride = RowBytes(uint32_t(width), bits);
    image->bitCount = bits;
    image->topDown = topDown;
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
};

// Runs the built bmpdepth with its standard error captured and nothing on standard input or
// output. A `shell` command line runs it through bash instead, with `{}` standing for the
// quoted tool and its arguments: to set limits, or to feed it from a pipe.
inline RunResult RunTool(const ScratchDir& dir, const std::vector<std::string>& args,
                         const std::string& shell = "") {
    std::vector<std::string> argv = {BMPDEPTH_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!shell.empty()) {
        std::string tool;
        for (const auto& arg : argv) tool += " '" + arg + "'";  // no quotes in test names
        std::string command = shell;
        command.replace(command.find("{}"), 2, tool);
        argv = {"/bin/bash", "-c", command};
    }
    std::vector<char*> raw;
    for (auto& arg : argv) raw.push_back(arg.data());
    raw.push_back(nullptr);
    const std::string err = dir / ".stderr";
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&io, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, raw[0], &io, nullptr, raw.data(), environ) == 0) waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&io);
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, Text(ReadFile(err))};
    fs::remove(err);
    return result;
}

}  // namespace testutil
