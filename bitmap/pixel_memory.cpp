#include "bitmap/pixel_memory.h"

#include <cstdlib>

// malloc(0) may legally return null; asking for one byte keeps "null" meaning "failed".
uint8_t* AllocatePixels(size_t bytes) {
    return static_cast<uint8_t*>(std::malloc(bytes ? bytes : 1));
}

uint8_t* AllocateZeroedPixels(size_t bytes) {
    return static_cast<uint8_t*>(std::calloc(bytes ? bytes : 1, 1));
}

void FreePixels(uint8_t* pixels) { std::free(pixels); }
