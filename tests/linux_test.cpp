// The library where only Linux can look: signals landing in its reads and writes, the state a
// save puts back, and the memory its pixel buffers take and give back.
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "bitmap/pixel_memory.h"
#include "tests/test_util.h"

using namespace testutil;

namespace {

// The other end of a pipe takes its time, in pieces of 512 bytes.
constexpr size_t kPiece = 512;
void Pause() { std::this_thread::sleep_for(std::chrono::microseconds(200)); }

}  // namespace

TEST(Interruptions, NeverTurnIntoAReadOrWriteError) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "qemu-user makes no progress under a fast timer signal";
    const Bytes file = synth::Pattern(300, 200, 8, false);
    const Loaded fromFile = Load(file, 32);
    int in[2], out[2];
    ASSERT_TRUE(::pipe(in) == 0 && ::pipe(out) == 0);
    // Every half millisecond, a signal whose handler is installed without SA_RESTART, as a
    // fuzzer's or a profiler's is: a read or write waiting on a pipe then returns EINTR.
    struct sigaction tick = {}, previous = {};
    tick.sa_handler = [](int) {};
    sigaction(SIGALRM, &tick, &previous);
    const itimerval every{{0, 500}, {0, 500}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);

    sigset_t alarm;  // for the library's thread: the peers' threads block it
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::thread feeder([&file, fd = in[1]] {
        for (size_t at = 0; at < file.size(); at += kPiece, Pause())
            EXPECT_GT(::write(fd, &file[at], std::min(kPiece, file.size() - at)), 0);
    });  // the reader takes the picture and no more: it needs no end of input
    Bytes arrived;
    std::thread drain([&arrived, fd = out[0]] {
        uint8_t piece[kPiece];
        for (ssize_t n; (n = ::read(fd, piece, kPiece)) > 0; Pause())
            arrived.insert(arrived.end(), piece, piece + n);
    });
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    EXPECT_EQ(LoadPath("/dev/fd/" + std::to_string(in[0])).rows, fromFile.rows);
    feeder.join();
    EXPECT_TRUE(SaveBMP(image, ("/dev/fd/" + std::to_string(out[1])).c_str(), 32));
    ::close(out[1]);
    drain.join();
    EXPECT_EQ(arrived, fromFile.saved);

    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    for (int fd : {in[0], in[1], out[0]}) ::close(fd);
}

TEST(Saving, PutsBackWhatItChangedAndFreesWhatItTook) {
    const ScratchDir dir;
    Load(synth::Pattern(1, 1, 24, false), 32);  // so that the next save has only itself to free
    const mode_t mask = ::umask(027);
    const size_t heap = mallinfo2().uordblks + mallinfo2().hblkhd;
    EXPECT_TRUE(SaveBMP(image, (dir / "out.bmp").c_str(), 32));
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
    ReleaseBMPImage(image);
    mallopt(M_MMAP_THRESHOLD, 128 << 10);  // as it starts: earlier tests' frees may have raised it
    for (size_t mib : {64, 1}) {           // mapped by the tool itself, and by malloc
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
}
