#include "bitmap/pixel_rows.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"

namespace {

// The expansion tables as arithmetic, which vectorises where a table look-up cannot; the
// compiler proves here that both give the same value for every entry.
constexpr uint32_t Widen5(uint32_t v) { return (v * 527 + 23) >> 6; }
constexpr uint32_t Widen6(uint32_t v) { return (v * 259 + 33) >> 6; }
template <size_t kSize>
constexpr bool Reproduces(const int32_t (&table)[kSize], uint32_t (*widen)(uint32_t)) {
    for (uint32_t i = 0; i < kSize; ++i)
        if (widen(i) != uint32_t(table[i])) return false;
    return true;
}
static_assert(Reproduces(Expand5To8, Widen5) && Reproduces(Expand6To8, Widen6));

// The loop bodies, written pixel by pixel with plain indices and no aliasing between source and
// destination, so that the compiler can vectorise them for each instruction set they are built
// for. Each is inlined into the entry points of every set below.
#define BMPDEPTH_LOOP [[gnu::always_inline]] inline

BMPDEPTH_LOOP void DecodeBGRXLoop(const uint8_t* __restrict src, uint8_t* __restrict bgr,
                                  size_t width) {
    for (size_t k = 0; k < width; ++k) {
        bgr[3 * k] = src[4 * k];
        bgr[3 * k + 1] = src[4 * k + 1];
        bgr[3 * k + 2] = src[4 * k + 2];
    }
}

// A decoder that computes each pixel's colour whole, as blue | green << 8 | red << 16, stores
// the colours of a slice of the row as 4-byte quads and packs them into triples with the loop
// above: both halves vectorise, where storing triples straight from the colour does not.
constexpr size_t kStagedPixels = 256;

template <typename Colour>
BMPDEPTH_LOOP void DecodeStaged(uint8_t* __restrict bgr, uint32_t width, Colour colour) {
    alignas(32) uint8_t quads[4 * kStagedPixels];
    for (size_t start = 0; start < width; start += kStagedPixels) {
        const size_t n = std::min(kStagedPixels, width - start);
        for (size_t k = 0; k < n; ++k) StoreLE32(quads + 4 * k, colour(start + k));
        DecodeBGRXLoop(quads, bgr + 3 * start, n);
    }
}

BMPDEPTH_LOOP void DecodePaletteLoop(const uint32_t* __restrict colours,
                                     const uint8_t* __restrict src, uint8_t* __restrict bgr,
                                     uint32_t width) {
    DecodeStaged(bgr, width, [&](size_t k) { return colours[src[k]]; });
}

BMPDEPTH_LOOP void Decode565Loop(const uint8_t* __restrict src, uint8_t* __restrict bgr,
                                 uint32_t width) {
    DecodeStaged(bgr, width, [&](size_t k) {
        const uint32_t v = LoadLE16(src + 2 * k);
        return Widen5(v & 31) | Widen6((v >> 5) & 63) << 8 | Widen5(v >> 11) << 16;
    });
}

BMPDEPTH_LOOP void Encode565Loop(const uint8_t* __restrict bgr, uint8_t* __restrict dst,
                                 uint32_t width) {
    for (size_t k = 0; k < width; ++k) {
        const uint32_t v = uint32_t(bgr[3 * k + 2] >> 3) << 11 |
                           uint32_t(bgr[3 * k + 1] >> 2) << 5 | uint32_t(bgr[3 * k] >> 3);
        dst[2 * k] = uint8_t(v);
        dst[2 * k + 1] = uint8_t(v >> 8);
    }
}

// Each pixel is one 4-byte load that takes the next pixel's first byte along, which the opaque
// fourth byte then covers; this beats every vectorised form. The last pixel has no next one.
BMPDEPTH_LOOP void EncodeBGRXLoop(const uint8_t* __restrict bgr, uint8_t* __restrict dst,
                                  uint32_t width) {
    if (width == 0) return;
    const size_t last = width - 1;
    for (size_t k = 0; k < last; ++k) StoreLE32(dst + 4 * k, LoadLE32(bgr + 3 * k) | 0xFF000000u);
    const uint8_t* p = bgr + 3 * last;
    StoreLE32(dst + 4 * last,
              uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | 0xFF000000u);
}

// One set of entry points, built with the attributes BMPDEPTH_TARGET_<set>.
#define BMPDEPTH_ROW_LOOPS(Set)                                                                    \
    BMPDEPTH_TARGET_##Set void Set##DecodePalette(const uint32_t* c, const uint8_t* s, uint8_t* d, \
                                                  uint32_t w) {                                    \
        DecodePaletteLoop(c, s, d, w);                                                             \
    }                                                                                              \
    BMPDEPTH_TARGET_##Set void Set##Decode565(const uint8_t* s, uint8_t* d, uint32_t w) {          \
        Decode565Loop(s, d, w);                                                                    \
    }                                                                                              \
    BMPDEPTH_TARGET_##Set void Set##DecodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) {         \
        DecodeBGRXLoop(s, d, w);                                                                   \
    }                                                                                              \
    BMPDEPTH_TARGET_##Set void Set##Encode565(const uint8_t* s, uint8_t* d, uint32_t w) {          \
        Encode565Loop(s, d, w);                                                                    \
    }                                                                                              \
    BMPDEPTH_TARGET_##Set void Set##EncodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) {         \
        EncodeBGRXLoop(s, d, w);                                                                   \
    }                                                                                              \
    constexpr PixelRowLoops k##Set##Loops = {#Set,           Set##DecodePalette,                   \
                                             Set##Decode565, Set##DecodeBGRX,                      \
                                             Set##Encode565, Set##EncodeBGRX};

#define BMPDEPTH_TARGET_portable
BMPDEPTH_ROW_LOOPS(portable)

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define BMPDEPTH_TARGET_avx2 __attribute__((target("avx2,bmi,bmi2")))
BMPDEPTH_ROW_LOOPS(avx2)

std::span<const PixelRowLoops* const> ProbeSets() {
    static const PixelRowLoops* const both[] = {&kportableLoops, &kavx2Loops};
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    return std::span(both, avx2 ? 2 : 1);
}
#else
std::span<const PixelRowLoops* const> ProbeSets() {
    static const PixelRowLoops* const portable[] = {&kportableLoops};
    return portable;
}
#endif

const PixelRowLoops*& Active() {
    static const PixelRowLoops* active = AvailableRowLoops().back();
    return active;
}

}  // namespace

std::span<const PixelRowLoops* const> AvailableRowLoops() {
    static const std::span<const PixelRowLoops* const> sets = ProbeSets();
    return sets;
}

const PixelRowLoops& RowLoops() { return *Active(); }

int UseRowLoops(const char* name) {
    for (const PixelRowLoops* set : AvailableRowLoops())
        if (std::strcmp(set->name, name) == 0) {
            Active() = set;
            return 1;
        }
    return 0;
}
