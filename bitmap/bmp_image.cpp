#include "bitmap/bmp_image.h"

#include <cstdint>

#include "system/pixel_memory.h"

void ReleaseBMPImage(BMPImage& image) {
    FreePixels(image.pixels);
    FreePixels(image.rgb24);
    image.pixels = nullptr;
    image.rgb24 = nullptr;
}

namespace {

// The row rule: w pixels of `bits` bits, padded to a multiple of 4 bytes. In 64 bits, it cannot
// overflow for any 32-bit width and depth.
uint64_t PaddedRow(uint64_t w, uint32_t bits) { return ((w * bits >> 3) + 3) & ~uint64_t{3}; }

}  // namespace

uint32_t RowBytes(uint32_t w, uint32_t bits) { return uint32_t(PaddedRow(w, bits)); }

int ImageBytes(int32_t width, int32_t height, uint32_t bits, uint32_t& rowBytes,
               uint32_t& imageBytes) {
    if (width < 0 || height < 0) return 0;
    const uint64_t row = PaddedRow(uint64_t(width), bits);
    const uint64_t total = row * uint64_t(height);
    // The row's bits count too: the format's own readers compute them in 32 bits.
    const bool rowFits = uint64_t(width) * bits <= UINT32_MAX;
    // A picture without rows stores no row, so its width may be anything.
    if (total > UINT32_MAX || (!rowFits && height != 0)) return 0;
    rowBytes = rowFits ? uint32_t(row) : 0;
    imageBytes = uint32_t(total);
    return 1;
}
