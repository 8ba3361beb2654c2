// libFuzzer target: the reader and the converter on arbitrary bytes, from memory, at speed. An
// input of even length is read as a file on disk (a memfd: its length known), one of odd length
// as a stream (fmemopen: read until it ends, as a pipe is). A refusal must leave no buffer.
// Pictures of over kMaxConvertedPixels are read, where the size checks live, but not converted:
// a few bytes of RLE8 can claim 16 million pixels, and converting them would take the time of
// thousands of small inputs.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/bmp_read.h"

namespace {

constexpr uint64_t kMaxConvertedPixels = uint64_t{1} << 20;

// A file with these bytes that lives in memory only.
std::FILE* OpenAsFile(const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("fuzz-input", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::write(fd, data, size) != ssize_t(size) || ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) ::close(fd);
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto image = std::make_unique<BMPImage>();  // 256 KiB of palette: not the stack
    std::FILE* file =
        size % 2 == 0 ? OpenAsFile(data, size) : ::fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return 0;
    *image = BMPImage{};
    const int read = ReadBMPFrom(*image, file);
    std::fclose(file);
    if (!read) {
        if (image->pixels || image->rgb24) std::abort();  // a refused read left a buffer
        return 0;
    }
    if (uint64_t(image->width) * uint64_t(image->height) <= kMaxConvertedPixels)
        ConvertToRGB24(*image);
    ReleaseBMPImage(*image);
    return 0;
}
