#include "bitmap/output_file.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A name beside `target` that no file has yet, created exclusively so no one else's file is
// ever truncated.
std::FILE* CreateUniqueBeside(const std::string& target, std::string& tempName) {
    const auto seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    for (uint64_t attempt = 0; attempt < 64; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp",
                      static_cast<unsigned long long>(seed * 0x9E3779B97F4A7C15ull + attempt));
        tempName = target + suffix;
        if (std::FILE* file = std::fopen(tempName.c_str(), "wbx")) return file;
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(tempName, ec))) break;  // failed for another reason
    }
    tempName.clear();
    return nullptr;
}

}  // namespace

int OpenOutputFile(const char* path, OutputFile& output) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    output.finalName = path;
    output.tempName.clear();
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        output.file = std::fopen(path, "wb");
    } else {
        // Through a link, replace the file it names rather than the link itself.
        if (fs::is_regular_file(status) && fs::is_symlink(fs::symlink_status(path, ec))) {
            const fs::path resolved = fs::canonical(path, ec);
            if (!ec) output.finalName = resolved.string();
        }
        output.file = CreateUniqueBeside(output.finalName, output.tempName);
        if (output.file && fs::is_regular_file(status))
            fs::permissions(output.tempName, status.permissions(), ec);
    }
    if (!output.file) return 0;
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    if (output.tempName.empty()) return complete;
    if (complete && std::rename(output.tempName.c_str(), output.finalName.c_str()) == 0) return 1;
    std::remove(output.tempName.c_str());
    return 0;
}
