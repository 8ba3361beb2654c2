// The library where only Linux can look: what a save puts back, and the pixel buffers' memory.
#include <malloc.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "bitmap/pixel_rows.h"
#include "system/pixel_memory.h"
#include "tests/test_util.h"

using namespace testutil;

TEST(Saving, PutsBackWhatItChangedAndFreesWhatItTook) {
    const ScratchDir dir;
    const auto handlers = [] {  // of signals that the save takes over, whatever the runner set
        std::vector<void (*)(int)> all;
        struct sigaction now {};
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGXFSZ, SIGRTMAX})
            all.push_back(sigaction(sig, nullptr, &now) == 0 ? now.sa_handler : nullptr);
        return all;
    };
    const auto before = handlers();
    Load(synth::Pattern(1, 1, 24, false), 32);  // so that the next save has only itself to free
    const size_t heap = mallinfo2().uordblks + mallinfo2().hblkhd, opened = OpenFiles();
    for (int i = 0; i < 2; ++i)  // a new file, then its replacement, which has two to close
        EXPECT_EQ(SaveBMP(image, (dir / "out.bmp").c_str(), 32), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SaveBMP(image, (dir / "no/out.bmp").c_str(), 32), 0);  // which frees its buffer too
    testing::internal::GetCapturedStderr();
    EXPECT_LT(mallinfo2().uordblks + mallinfo2().hblkhd, heap + (64 << 10));
    EXPECT_EQ(OpenFiles(), opened);
    EXPECT_EQ(handlers(), before);
}

// Mapped buffers come zeroed when asked, start on a huge page, and go back whole: 64 of 3 MiB
// leave the process no larger.
TEST(PixelMemory, BuffersComeZeroedAndGoBackWhole) {
    if (BMPDEPTH_EMULATED) GTEST_SKIP() << "the emulator's own mappings hide the buffers' memory";
    const auto heldMiB = [] {
        size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        return pages / size_t{256};
    };
    ReleaseBMPImage(image);
    const size_t before = heldMiB(), bytes = size_t{3} << 20;
    for (int i = 0; i < 64; ++i) {
        image.pixels = AllocateZeroedPixels(bytes);
        image.rgb24 = AllocatePixels(bytes);
        ASSERT_TRUE(image.pixels && image.rgb24 && uintptr_t(image.pixels) % (2 << 20) == 0);
        ASSERT_EQ(size_t(std::count(image.pixels, image.pixels + bytes, 0)), bytes);
        std::memset(image.rgb24, 0xAB, bytes);  // so that a later buffer may reuse dirt
        ReleaseBMPImage(image);
    }
    EXPECT_LE(heldMiB(), before + 32);
    ReleaseBMPImage(image);  // twice does no harm
    EXPECT_TRUE(!image.pixels && !image.rgb24);
}

// The processor probe picks the set that the compiler's own detection would.
TEST(PixelRows, TheProbeAgreesWithTheCompilersDetection) {
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                      __builtin_cpu_supports("bmi2");
    EXPECT_EQ(std::string(AvailableRowLoops().back()->name), avx2 ? "avx2" : "portable");
#else
    EXPECT_EQ(AvailableRowLoops().size(), 1u);
#endif
}
