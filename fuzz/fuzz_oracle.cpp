// libFuzzer target, the oracle: the whole path of a run (read, convert, save at 16, 24 and 32
// bits) on arbitrary bytes, with every set of pixel loops this processor runs. The bytes are
// read from a file and from a pipe, which must give the same result. Whatever converts must give
// the same working rows with each set and read back from its own output as the same picture
// (16 bits: the same 5-6-5 values); whatever is refused must leave no buffer behind. It costs
// many system calls, so it runs on one input in kSampleEvery; fuzz_read and fuzz_write take the
// reader and the writer at speed.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/colour_fields.h"
#include "bitmap/pixel_rows.h"

namespace {

// Larger pictures are read (that is where the size checks live) but not saved, to keep the
// fuzzer fast.
constexpr uint64_t kMaxSavedPixels = uint64_t{1} << 18;

// The inputs checked: those whose FNV-1a hash falls in one bucket of kSampleEvery, so that the
// same input is always checked or always passed over.
constexpr uint32_t kSampleEvery = 8;
bool Sampled(const uint8_t* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 16777619u;
    return hash % kSampleEvery == 0;
}

std::string MakeScratchDir() {
    std::error_code ec;
    const std::filesystem::path shm = "/dev/shm";
    const auto base =
        std::filesystem::is_directory(shm, ec) ? shm : std::filesystem::temp_directory_path();
    const auto dir = base / ("bmpdepth-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

const std::string& ScratchDir() {
    static const auto ignoreSigpipe = ::signal(SIGPIPE, SIG_IGN);  // the feeder sees EPIPE instead
    (void)ignoreSigpipe;
    static const std::string dir = MakeScratchDir();
    // Registered once `dir` is complete, so it runs before `dir` is destroyed.
    static const int removal = std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(ScratchDir(), ignored);
    });
    (void)removal;
    return dir;
}

std::string ScratchPath(const char* name) { return ScratchDir() + "/" + name; }

void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz oracle: %s\n", what);
    std::abort();
}

struct ImageDeleter {
    void operator()(BMPImage* image) const {
        ReleaseBMPImage(*image);
        delete image;
    }
};
using ImagePtr = std::unique_ptr<BMPImage, ImageDeleter>;

ImagePtr Load(const std::string& path, int& result) {
    ImagePtr image(new BMPImage{});
    result = ReadBMP(*image, path.c_str());
    if (!result) Check(!image->pixels && !image->rgb24, "a refused read left a buffer");
    return image;
}

void CheckRoundTrip(const BMPImage& original, int bits) {
    const std::string out = ScratchPath("out.bmp");
    uint32_t row = 0, bytes = 0;
    const int fits = ImageBytes(original.width, original.height, uint32_t(bits), row, bytes) &&
                     bytes <= UINT32_MAX - SavedHeaderBytes(bits);
    const int saved = SaveBMP(original, out.c_str(), bits);
    Check(saved == fits, "save result");
    if (!saved) return;

    int read = 0;
    ImagePtr back = Load(out, read);
    Check(read == 1, "own output refused");
    Check(back->width == original.width && back->height == original.height, "size changed");
    Check(back->bitCount == bits && !back->topDown, "depth or order changed");
    ConvertToRGB24(*back);

    const size_t workingRow = RowBytes(uint32_t(original.width), 24);
    const size_t total = workingRow * uint32_t(original.height);
    if (bits != 16) {
        Check(std::memcmp(back->rgb24, original.rgb24, total) == 0, "picture changed");
        return;
    }
    for (size_t i = 0; i < total; i += workingRow)
        for (size_t k = 0; k < size_t(original.width) * 3; k += 3) {
            const uint8_t* a = original.rgb24 + i + k;
            const uint8_t* b = back->rgb24 + i + k;
            Check(b[0] == Expand5To8[a[0] >> 3] && b[1] == Expand6To8[a[1] >> 2] &&
                      b[2] == Expand5To8[a[2] >> 3],
                  "5-6-5 values changed");
        }
}

// Reads the bytes through a pipe, fed by a second thread, and checks that the reader takes
// from it what it takes from the file.
void CheckPipedRead(const uint8_t* data, size_t size, const BMPImage& fromFile, int fileResult) {
    int ends[2];
    if (::pipe(ends) != 0) return;
    std::thread feeder([&] {  // stops when the reader has closed its end (EPIPE)
        for (size_t at = 0; at < size;) {
            const ssize_t n = ::write(ends[1], data + at, size - at);
            if (n < 0 && errno == EINTR) continue;  // the fuzzer's timer signal
            if (n <= 0) break;
            at += size_t(n);
        }
        ::close(ends[1]);
    });
    int result = 0;
    ImagePtr piped = Load("/dev/fd/" + std::to_string(ends[0]), result);
    ::close(ends[0]);
    feeder.join();
    Check(result == fileResult, "a pipe read differs from a file read");
    if (!result) return;
    const size_t source = size_t(fromFile.height) * fromFile.stride;
    const size_t working = size_t(fromFile.height) * RowBytes(uint32_t(fromFile.width), 24);
    Check(
        piped->width == fromFile.width && piped->height == fromFile.height &&
            piped->bitCount == fromFile.bitCount && piped->topDown == fromFile.topDown &&
            std::memcmp(piped->palette, fromFile.palette, sizeof piped->palette) == 0 &&
            std::memcmp(piped->colourMasks, fromFile.colourMasks, sizeof piped->colourMasks) == 0 &&
            std::memcmp(piped->pixels, fromFile.pixels, source) == 0 &&
            std::memcmp(piped->rgb24, fromFile.rgb24, working) == 0,
        "a pipe read gives another picture");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!Sampled(data, size)) return 0;
    const std::string in = ScratchPath("in.bmp");
    std::FILE* file = std::fopen(in.c_str(), "wb");
    if (!file) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;

    int read = 0;
    ImagePtr image = Load(in, read);
    CheckPipedRead(data, size, *image, read);
    if (!read) return 0;
    const size_t working = size_t(image->height) * RowBytes(uint32_t(image->width), 24);
    std::unique_ptr<uint8_t[]> first;
    for (const PixelRowLoops* set : AvailableRowLoops()) {
        UseRowLoops(set->name);
        ConvertToRGB24(*image);
        if (!first) {
            first.reset(new uint8_t[working]);
            std::memcpy(first.get(), image->rgb24, working);
        } else {
            Check(std::memcmp(first.get(), image->rgb24, working) == 0, "pixel loops differ");
        }
        if (uint64_t(image->width) * uint64_t(image->height) > kMaxSavedPixels) continue;
        for (int bits : {16, 24, 32}) CheckRoundTrip(*image, bits);
    }
    return 0;
}
