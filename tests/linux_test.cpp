// The library where only Linux can look: signals landing in its reads and writes, the state a
// save puts back, and the memory its pixel buffers take and give back.
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "bitmap/bmp_io.h"
#include "bitmap/pixel_memory.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

struct ImageDeleter {
    void operator()(BMPImage* image) const {
        ReleaseBMPImage(*image);
        delete image;
    }
};
using ImagePtr = std::unique_ptr<BMPImage, ImageDeleter>;

// The image read from `path` and converted, or null when the read is refused.
ImagePtr Read(const std::string& path) {
    ImagePtr image(new BMPImage{});
    if (!ReadBMP(*image, path.c_str())) return nullptr;
    ConvertToRGB24(*image);
    return image;
}

size_t WorkingBytes(const BMPImage& image) {
    return size_t(image.height) * RowBytes(uint32_t(image.width), 24);
}

// A timer signal every half millisecond whose handler is installed without SA_RESTART, as a
// fuzzer's or a profiler's is: a read or write waiting on a pipe then returns EINTR.
struct InterruptingTimer {
    struct sigaction previous {};
    InterruptingTimer() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, &previous);
        const itimerval every{{0, 500}, {0, 500}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~InterruptingTimer() {
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);
    }
    InterruptingTimer(const InterruptingTimer&) = delete;
    InterruptingTimer& operator=(const InterruptingTimer&) = delete;
};

// A thread at the other end of a pipe that takes its time, in small pieces; the timer signal
// is meant for the library's thread, so this one blocks it.
template <typename Work>
std::thread SlowPeer(Work work) {
    return std::thread([work] {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
        work();
    });
}
constexpr size_t kPiece = 512;
void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(200)); }

}  // namespace

TEST(Interruptions, NeverTurnIntoAReadOrWriteError) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "qemu-user makes no progress under a fast timer signal";
    ScratchDir dir;
    Bytes rle;
    for (int y = 0; y < 100; ++y) rle = synth::Concat(rle, {200, 1, 200, 0, 200, 1, 0, 0});
    const Bytes files[] = {synth::Pattern(300, 200, 8, false), synth::Pattern(211, 97, 16, true),
                           synth::Make(Fields(600, 100, 8, 1, 2), {1, 2, 3, 0, 4, 5, 6, 0},
                                       synth::Concat(rle, {0, 1}))};
    for (const Bytes& file : files) {
        WriteFile(dir / "in.bmp", file);
        const ImagePtr fromFile = Read(dir / "in.bmp");
        ASSERT_TRUE(fromFile);
        ASSERT_TRUE(SaveBMP(*fromFile, (dir / "out.bmp").c_str(), 32));
        const Bytes saved = ReadFile(dir / "out.bmp");

        int in[2], out[2];
        ASSERT_TRUE(::pipe(in) == 0 && ::pipe(out) == 0);
        const InterruptingTimer timer;
        std::thread feeder = SlowPeer([&file, fd = in[1]] {
            for (size_t at = 0; at < file.size(); at += kPiece, Pause())
                EXPECT_TRUE(::write(fd, &file[at], std::min(kPiece, file.size() - at)) > 0);
            ::close(fd);
        });
        const ImagePtr piped = Read("/dev/fd/" + std::to_string(in[0]));
        feeder.join();
        ::close(in[0]);
        ASSERT_TRUE(piped);
        EXPECT_TRUE(std::equal(piped->rgb24, piped->rgb24 + WorkingBytes(*piped), fromFile->rgb24,
                               fromFile->rgb24 + WorkingBytes(*fromFile)));

        Bytes arrived;
        std::thread drain = SlowPeer([&arrived, fd = out[0]] {
            uint8_t piece[kPiece];
            for (ssize_t n; (n = ::read(fd, piece, sizeof piece)) > 0; Pause())
                arrived.insert(arrived.end(), piece, piece + n);
        });
        EXPECT_TRUE(SaveBMP(*piped, ("/dev/fd/" + std::to_string(out[1])).c_str(), 32));
        ::close(out[1]);
        drain.join();
        ::close(out[0]);
        EXPECT_TRUE(arrived == saved);
    }
}

TEST(Saving, PutsBackWhatItChangedAndFreesWhatItTook) {
    ScratchDir dir;
    WriteFile(dir / "in.bmp", synth::Pattern(1, 1, 24, false));
    const ImagePtr image = Read(dir / "in.bmp");
    ASSERT_TRUE(image && SaveBMP(*image, (dir / "out.bmp").c_str(), 32));  // warmed up
    const mode_t mask = ::umask(027);
    const size_t heap = mallinfo2().uordblks + mallinfo2().hblkhd;
    EXPECT_TRUE(SaveBMP(*image, (dir / "out.bmp").c_str(), 32));
    EXPECT_LT(mallinfo2().uordblks + mallinfo2().hblkhd, heap + (64 << 10));
    EXPECT_EQ(::umask(mask), mode_t(027));
    struct sigaction after {};
    EXPECT_TRUE(sigaction(SIGTERM, nullptr, &after) == 0 && after.sa_handler == SIG_DFL);
}

TEST(PixelMemory, BuffersComeZeroedAndGoBackWhole) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "the emulator's own mappings hide the buffers' memory";
    const auto heldMiB = [] {  // MiB mapped, and MiB that malloc has handed out
        size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const struct mallinfo2 heap = mallinfo2();
        return pages / size_t{256} + ((heap.uordblks + heap.hblkhd) >> 20);
    };
    BMPImage& image = *new BMPImage{};                 // as large as the palette: not on the stack
    for (size_t mib : {64, 1}) {                       // mapped by the tool itself, and by malloc
        if (BMPDEPTH_SANITIZED && mib == 1) continue;  // the sanitizers keep what is freed
        const size_t before = heldMiB(), bytes = (mib << 20) + (mib << 19);
        image.pixels = AllocateZeroedPixels(bytes);
        image.rgb24 = AllocatePixels(bytes);
        ASSERT_TRUE(image.pixels && image.rgb24);
        EXPECT_TRUE(image.pixels[0] == 0 && image.pixels[bytes - 1] == 0);
        EXPECT_GE(heldMiB(), before + 2 * mib);
        ReleaseBMPImage(image);
        EXPECT_TRUE(!image.pixels && !image.rgb24);
        EXPECT_LE(heldMiB(), before) << mib;
        ReleaseBMPImage(image);  // twice does no harm
    }
    delete &image;
}
