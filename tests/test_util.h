// Helpers for the tests: scratch folders, files as bytes, in-memory images, runs of bmpdepth.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitmap/bmp_image.h"
#include "tools/bmp_synth.h"

namespace testutil {

namespace fs = std::filesystem;
using synth::Bytes;
using Args = std::vector<std::string>;

// A fresh folder, removed afterwards.
inline int scratchDirs = 0;
struct ScratchDir {
    fs::path path = fs::temp_directory_path() / ("bmpdepth-test-" + std::to_string(::getpid()) +
                                                 "-" + std::to_string(++scratchDirs));
    ScratchDir() { fs::create_directories(path); }
    ~ScratchDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    Args Entries() const {  // to prove nothing stray was left behind
        Args names;
        for (const auto& e : fs::directory_iterator(path)) names.push_back(e.path().filename());
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

struct RunResult {
    int status;
    std::string err;
    bool operator==(const RunResult&) const = default;
    friend std::ostream& operator<<(std::ostream& o, const RunResult& r) {
        return o << r.status << " " << testing::PrintToString(r.err);
    }
};

// Runs bmpdepth through bash, standard error captured, within a `shell` command line where `{}`
// stands for the tool and its arguments: to set limits first, or to feed it from a pipe.
inline RunResult RunTool(const ScratchDir& dir, const Args& args, std::string shell = "{}") {
    std::string tool = BMPDEPTH_EXE;
    for (const auto& arg : args) tool += " '" + arg + "'";  // no quotes in test names
    shell.replace(shell.find("{}"), 2, tool);
    std::ofstream(dir / ".run") << shell;
    const int status =
        std::system(("bash " + dir / ".run" + " </dev/null >/dev/null 2>" + dir / ".err").c_str());
    const Bytes err = ReadFile(dir / ".err");
    fs::remove(dir / ".run");
    fs::remove(dir / ".err");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(err.begin(), err.end())};
}

}  // namespace testutil
