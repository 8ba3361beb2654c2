// Run-length encoded 8-bit pixel data (BI_RLE8).
#pragma once

#include <cstddef>
#include <cstdint>

// Walks the commands of `size` bytes of RLE8 data from `at`, which must be the start of a
// command, without decoding them. Returns 1 with `at` just past the end-of-bitmap marker, or 0
// with `at` at the first command that the data does not yet hold whole, so that the walk can go
// on from there once more data has arrived.
int FindRLE8End(const uint8_t* data, size_t size, size_t& at);

// Expands `size` bytes of RLE8 data into `height` bottom-up rows of `stride` bytes, which the
// caller has zero-filled: pixels the data never reaches keep palette index 0. Runs may cover a
// row's padding, as some encoders compress it with the pixels; those bytes are never decoded.
// Returns 0 when the data would write past the end of a stored row or of the picture, moves past
// the last pixel of a row, or ends before its end-of-bitmap marker.
int DecodeRLE8(const uint8_t* data, size_t size, uint8_t* rows, uint32_t width, uint32_t height,
               uint32_t stride);
