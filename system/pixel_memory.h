// Whole-picture buffers. A zero-byte request succeeds with a pointer that must still be freed.
#pragma once

#include <cstddef>
#include <cstdint>

uint8_t* AllocatePixels(size_t bytes);        // contents undefined
uint8_t* AllocateZeroedPixels(size_t bytes);  // every byte zero
void FreePixels(uint8_t* pixels);             // null does nothing
