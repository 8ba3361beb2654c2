#include "bitmap/pixel_rows.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "bitmap/bmp_image.h"
#include "bitmap/byte_order.h"
#include "bitmap/colour_fields.h"

namespace {

// The loop bodies, written pixel by pixel with plain indices and no aliasing between source and
// destination, so that the compiler can vectorise them for each instruction set they are built
// for. Each is inlined into the entry points of every set below. `Shuffles` gives a set's byte
// shuffle from 3-byte pixels to 4-byte words, which compilers do not find on their own (the way
// back they vectorise well); a set without one keeps the plain loops, the reference that every
// set must match.
#define BMPDEPTH_LOOP [[gnu::always_inline]] inline

struct NoShuffles {
    static constexpr bool kHas = false;
};

// Words to triples, dropping every fourth byte: a plain loop that compilers vectorise well.
BMPDEPTH_LOOP void DecodeBGRXLoop(const uint8_t* __restrict src, uint8_t* __restrict bgr,
                                  size_t width) {
    for (size_t k = 0; k < width; ++k) {
        bgr[3 * k] = src[4 * k];
        bgr[3 * k + 1] = src[4 * k + 1];
        bgr[3 * k + 2] = src[4 * k + 2];
    }
}

// Triples to words whose fourth byte is 0xFF.
template <typename Shuffles>
BMPDEPTH_LOOP void ExpandTriplesLoop(const uint8_t* __restrict bgr, uint8_t* __restrict dst,
                                     size_t width) {
    size_t k = 0;
    if constexpr (Shuffles::kHas)  // 16 bytes loaded for 12: the last two pixels are left over
        for (; k + Shuffles::kPixels + 2 <= width; k += Shuffles::kPixels)
            Shuffles::Expand(bgr + 3 * k, dst + 4 * k);
    for (; k < width; ++k) {
        dst[4 * k] = bgr[3 * k];
        dst[4 * k + 1] = bgr[3 * k + 1];
        dst[4 * k + 2] = bgr[3 * k + 2];
        dst[4 * k + 3] = 0xFF;
    }
}

// Rows are done in slices through a small buffer of 4-byte words: a decoder computes each
// pixel's colour whole, as blue | green << 8 | red << 16, and packs the words into triples; the
// 5-6-5 encoder of a set with shuffles expands the triples into words and narrows those. Each
// half vectorises on its own, where the whole pixel at once does not.
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

template <typename Shuffles>
BMPDEPTH_LOOP void Encode565Loop(const uint8_t* __restrict bgr, uint8_t* __restrict dst,
                                 uint32_t width) {
    if constexpr (Shuffles::kHas) {
        alignas(32) uint8_t quads[4 * kStagedPixels];
        for (size_t start = 0; start < width; start += kStagedPixels) {
            const size_t n = std::min(kStagedPixels, width - start);
            ExpandTriplesLoop<Shuffles>(bgr + 3 * start, quads, n);
            for (size_t k = 0; k < n; ++k) {
                const uint32_t c = LoadLE32(quads + 4 * k);
                StoreLE16(dst + 2 * (start + k), (c >> 8 & kRed565Mask) | (c >> 5 & kGreen565Mask) |
                                                     (c >> 3 & kBlue565Mask));
            }
        }
    } else {
        for (size_t k = 0; k < width; ++k) {
            const uint32_t v = uint32_t(bgr[3 * k + 2] >> 3) << 11 |
                               uint32_t(bgr[3 * k + 1] >> 2) << 5 | uint32_t(bgr[3 * k] >> 3);
            dst[2 * k] = uint8_t(v);
            dst[2 * k + 1] = uint8_t(v >> 8);
        }
    }
}

// Without shuffles, each pixel is one 4-byte load that takes the next pixel's first byte along,
// which the opaque fourth byte then covers; the last pixel has no next one.
template <typename Shuffles>
BMPDEPTH_LOOP void EncodeBGRXLoop(const uint8_t* __restrict bgr, uint8_t* __restrict dst,
                                  uint32_t width) {
    if constexpr (Shuffles::kHas) {
        ExpandTriplesLoop<Shuffles>(bgr, dst, width);
    } else {
        if (width == 0) return;
        const size_t last = width - 1;
        for (size_t k = 0; k < last; ++k)
            StoreLE32(dst + 4 * k, LoadLE32(bgr + 3 * k) | 0xFF000000u);
        ExpandTriplesLoop<Shuffles>(bgr + 3 * last, dst + 4 * last, 1);
    }
}

// The portable set, which every processor runs.
void PortableDecodePalette(const uint32_t* c, const uint8_t* s, uint8_t* d, uint32_t w) {
    DecodePaletteLoop(c, s, d, w);
}
void PortableDecode565(const uint8_t* s, uint8_t* d, uint32_t w) { Decode565Loop(s, d, w); }
void PortableDecodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) { DecodeBGRXLoop(s, d, w); }
void PortableEncode565(const uint8_t* s, uint8_t* d, uint32_t w) {
    Encode565Loop<NoShuffles>(s, d, w);
}
void PortableEncodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) {
    EncodeBGRXLoop<NoShuffles>(s, d, w);
}
constexpr PixelRowLoops kPortableLoops = {"portable",        PortableDecodePalette,
                                          PortableDecode565, PortableDecodeBGRX,
                                          PortableEncode565, PortableEncodeBGRX};

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// What the AVX2 set is compiled for, and so what the probe asks the processor for: one list.
#define BMPDEPTH_AVX2_FEATURES "avx2,bmi,bmi2"
#define BMPDEPTH_AVX2 __attribute__((target(BMPDEPTH_AVX2_FEATURES)))

// The CPUID leaf 7 EBX bits of a feature list; 0 for a list with a name it does not know, so
// that a feature added to the list without its bit fails to compile.
constexpr uint32_t Leaf7Bits(std::string_view features) {
    constexpr std::pair<std::string_view, uint32_t> kBits[] = {
        {"bmi", 1u << 3}, {"avx2", 1u << 5}, {"bmi2", 1u << 8}};
    uint32_t bits = 0;
    while (!features.empty()) {
        const size_t comma = std::min(features.find(','), features.size());
        const std::string_view name = features.substr(0, comma);
        const auto known = std::find_if(std::begin(kBits), std::end(kBits),
                                        [name](const auto& entry) { return entry.first == name; });
        if (known == std::end(kBits)) return 0;
        bits |= known->second;
        features.remove_prefix(std::min(comma + 1, features.size()));
    }
    return bits;
}
constexpr uint32_t kAVX2SetBits = Leaf7Bits(BMPDEPTH_AVX2_FEATURES);
static_assert(kAVX2SetBits == (1u << 3 | 1u << 5 | 1u << 8));

// Four pixels at a time, as one byte shuffle of a 16-byte vector (pshufb) and an OR of the
// opaque bytes, written with the compilers' vector extensions and inlined only into the AVX2
// set, which has the instruction.
struct AVX2Shuffles {
    static constexpr bool kHas = true;
    static constexpr size_t kPixels = 4;
    using Vector = uint8_t __attribute__((vector_size(16)));

    template <int... kIndex>
    [[gnu::always_inline]] static Vector Shuffle(Vector v) {
#if defined(__clang__)
        return __builtin_shufflevector(v, v, kIndex...);
#else
        return __builtin_shuffle(v, Vector{kIndex...});
#endif
    }
    [[gnu::always_inline]] static void Expand(const uint8_t* bgr, uint8_t* quads) {
        Vector v;
        std::memcpy(&v, bgr, sizeof v);  // the last 4 bytes are the next pixels'
        v = Shuffle<0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 8, 9, 9, 10, 11, 12>(v);
        v |= Vector{0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF};
        std::memcpy(quads, &v, sizeof v);
    }
};

// The same loops built for AVX2, with its shuffles.
BMPDEPTH_AVX2 void AVX2DecodePalette(const uint32_t* c, const uint8_t* s, uint8_t* d, uint32_t w) {
    DecodePaletteLoop(c, s, d, w);
}
BMPDEPTH_AVX2 void AVX2Decode565(const uint8_t* s, uint8_t* d, uint32_t w) {
    Decode565Loop(s, d, w);
}
BMPDEPTH_AVX2 void AVX2DecodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) {
    DecodeBGRXLoop(s, d, w);
}
BMPDEPTH_AVX2 void AVX2Encode565(const uint8_t* s, uint8_t* d, uint32_t w) {
    Encode565Loop<AVX2Shuffles>(s, d, w);
}
BMPDEPTH_AVX2 void AVX2EncodeBGRX(const uint8_t* s, uint8_t* d, uint32_t w) {
    EncodeBGRXLoop<AVX2Shuffles>(s, d, w);
}
constexpr PixelRowLoops kAVX2Loops = {"avx2",         AVX2DecodePalette, AVX2Decode565,
                                      AVX2DecodeBGRX, AVX2Encode565,     AVX2EncodeBGRX};

// The AVX2 set's features, read from CPUID itself: __builtin_cpu_supports needs a symbol of the
// compiler's runtime library that not every toolchain links (macOS's, through zig). The AVX
// state must also be enabled by the system (OSXSAVE, then XCR0's SSE and AVX bits).
bool RunsAVX2Set() {
    uint32_t a{}, b{}, c{}, d{};
    const auto cpuid = [&](uint32_t leaf) {
        __asm__("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(0));
    };
    cpuid(0);
    if (a < 7) return false;
    cpuid(1);
    constexpr uint32_t kOSXSave = 1u << 27, kAVX = 1u << 28;
    if ((c & (kOSXSave | kAVX)) != (kOSXSave | kAVX)) return false;
    uint32_t xcr0{}, high{};
    __asm__("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    if ((xcr0 & 6) != 6) return false;
    cpuid(7);
    return (b & kAVX2SetBits) == kAVX2SetBits;
}

std::span<const PixelRowLoops* const> ProbeSets() {
    static const PixelRowLoops* const both[] = {&kPortableLoops, &kAVX2Loops};
    return std::span(both, RunsAVX2Set() ? 2 : 1);
}
#else
std::span<const PixelRowLoops* const> ProbeSets() {
    static const PixelRowLoops* const portable[] = {&kPortableLoops};
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
