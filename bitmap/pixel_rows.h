// The per-pixel loops of the converter and the writer, a row at a time. Each set of loops is
// the same code built for one instruction set: the portable one everywhere and, on x86-64, one
// for AVX2. The widest set that the processor runs is used; every set writes the same bytes.
#pragma once

#include <cstdint>
#include <span>

struct PixelRowLoops {
    const char* name;
    // Source pixels to blue, green, red. `colours` holds the 256 palette entries as
    // blue | green << 8 | red << 16.
    void (*decodePalette)(const uint32_t* colours, const uint8_t* src, uint8_t* bgr,
                          uint32_t width);
    void (*decode565)(const uint8_t* src, uint8_t* bgr, uint32_t width);
    void (*decodeBGRX)(const uint8_t* src, uint8_t* bgr, uint32_t width);
    // Blue, green, red to file pixels: 5-6-5 words by truncation, or an opaque fourth byte.
    void (*encode565)(const uint8_t* bgr, uint8_t* dst, uint32_t width);
    void (*encodeBGRX)(const uint8_t* bgr, uint8_t* dst, uint32_t width);
};

// The set in use.
const PixelRowLoops& RowLoops();

// For the tests and the benchmark: every set this processor runs, the portable one first, and
// a way to put one in use (0 when there is no such set here).
std::span<const PixelRowLoops* const> AvailableRowLoops();
int UseRowLoops(const char* name);
