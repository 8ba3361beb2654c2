// Run-length encoded 8-bit pixel data (BI_RLE8).
#pragma once

#include <cstddef>
#include <cstdint>

// Expands `size` bytes of RLE8 data into `height` bottom-up rows of `stride` bytes, which the
// caller has zero-filled: pixels the data never reaches keep palette index 0. Returns 0 when
// the data would write past the end of a row or of the picture, or ends before its
// end-of-bitmap marker.
int DecodeRLE8(const uint8_t* data, size_t size, uint8_t* rows, uint32_t width, uint32_t height,
               uint32_t stride);
