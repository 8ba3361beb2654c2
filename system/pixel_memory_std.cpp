#include <cstdint>
#include <cstdlib>

#include "system/pixel_memory.h"

// Plain heap buffers, for systems without a faster way to get large fresh memory. A zero-byte
// request takes one byte, so that it still succeeds.
uint8_t* AllocatePixels(size_t bytes) { return static_cast<uint8_t*>(std::malloc(bytes + !bytes)); }

uint8_t* AllocateZeroedPixels(size_t bytes) {
    return static_cast<uint8_t*>(std::calloc(bytes + !bytes, 1));
}

void FreePixels(uint8_t* pixels) { std::free(pixels); }
