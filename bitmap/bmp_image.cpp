#include "bitmap/bmp_image.h"

#include <cstdint>

#include "bitmap/pixel_memory.h"

void ReleaseBMPImage(BMPImage& image) {
    FreePixels(image.pixels);
    FreePixels(image.rgb24);
    image.pixels = nullptr;
    image.rgb24 = nullptr;
}

uint32_t RowBytes(uint32_t w, uint32_t bits) {
    const uint32_t n = (w * bits) >> 3;
    return (n + 3) & ~uint32_t{3};
}

int ImageBytes(int32_t width, int32_t height, uint32_t bits, uint32_t& rowBytes,
               uint32_t& imageBytes) {
    if (width < 0 || height < 0) return 0;
    const uint64_t rowBits = uint64_t(width) * bits;
    const uint64_t row = ((rowBits >> 3) + 3) & ~uint64_t{3};
    const uint64_t total = row * uint64_t(height);
    const bool rowFits = rowBits <= UINT32_MAX && row <= UINT32_MAX;
    // A picture without rows stores no row, so its width may be anything.
    if (total > UINT32_MAX || (!rowFits && height != 0)) return 0;
    rowBytes = rowFits ? uint32_t(row) : 0;
    imageBytes = uint32_t(total);
    return 1;
}
