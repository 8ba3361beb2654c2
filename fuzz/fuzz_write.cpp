// libFuzzer target: the writer. The input is a picture: its first byte chooses the depth (16, 24
// or 32), the next two the width (0 to 255) and the next one the height (0 to 63); the rest are
// its working rows, repeated to fill them. It is saved, read back, and must be the same picture
// (16 bits: the same 5-6-5 values) in a file of exactly the size its header states.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/colour_fields.h"
#include "system/pixel_memory.h"

namespace {

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_write: %s\n", what);
    std::abort();
}

const std::string& OutputName() {
    static const std::string name = [] {
        std::error_code ec;
        const std::filesystem::path shm = "/dev/shm";
        const auto base =
            std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
        return (base / ("bmpdepth-fuzz-write-" + std::to_string(::getpid()) + ".bmp")).string();
    }();
    static const int removal = std::atexit([] { std::remove(OutputName().c_str()); });
    (void)removal;
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    static const auto picture = std::make_unique<BMPImage>();
    static const auto back = std::make_unique<BMPImage>();
    const int bits = 16 + data[0] % 3 * 8;
    *picture = BMPImage{};
    picture->width = (data[1] | data[2] << 8) % 256;
    picture->height = data[3] % 64;
    picture->bitCount = 24;
    const size_t row = RowBytes(uint32_t(picture->width), 24);
    const size_t total = row * size_t(picture->height);
    picture->rgb24 = AllocateZeroedPixels(total);
    Check(picture->rgb24 != nullptr, "no memory");
    for (size_t i = 0; i < total; ++i) picture->rgb24[i] = data[4 + i % (size - 4)];
    for (size_t at = 0; at < total; at += row)  // padding is zero, as the converter leaves it
        std::memset(picture->rgb24 + at + size_t(picture->width) * 3, 0,
                    row - size_t(picture->width) * 3);

    const std::string& out = OutputName();
    Check(SaveBMP(*picture, out.c_str(), bits) == 1, "save failed");
    const uint64_t expected =
        SavedHeaderBytes(bits) +
        uint64_t(RowBytes(uint32_t(picture->width), uint32_t(bits))) * uint32_t(picture->height);
    Check(std::filesystem::file_size(out) == expected, "file size");
    *back = BMPImage{};
    Check(ReadBMP(*back, out.c_str()) == 1, "own output refused");
    Check(back->width == picture->width && back->height == picture->height &&
              back->bitCount == bits && !back->topDown,
          "size, depth or order changed");
    ConvertToRGB24(*back);
    for (size_t at = 0; at < total; at += row)
        for (size_t k = 0; k < size_t(picture->width) * 3; k += 3) {
            const uint8_t* a = picture->rgb24 + at + k;
            const uint8_t* b = back->rgb24 + at + k;
            if (bits == 16)
                Check(b[0] == Expand5To8[a[0] >> 3] && b[1] == Expand6To8[a[1] >> 2] &&
                          b[2] == Expand5To8[a[2] >> 3],
                      "5-6-5 values changed");
            else
                Check(std::memcmp(a, b, 3) == 0, "picture changed");
        }
    ReleaseBMPImage(*back);
    ReleaseBMPImage(*picture);
    return 0;
}
