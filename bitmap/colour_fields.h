// Widening a colour field of n bits to 8: v becomes round(v * 255 / (2^n - 1)), the rule every
// decoder uses. The 5- and 6-bit fields of 5-6-5 pixels also have it as a table, and as the
// arithmetic that vectorises where a table look-up cannot; the compiler proves all three equal.
#pragma once

#include <cstdint>

// For a field whose largest value is `max` (2^n - 1, n >= 1).
constexpr uint8_t WidenField(uint64_t v, uint64_t max) {
    return uint8_t((v * 510 + max) / (2 * max));
}

inline constexpr uint8_t Expand5To8[32] = {
    0,   8,   16,  25,  33,  41,  49,  58,  66,  74,  82,  90,  99,  107, 115, 123,
    132, 140, 148, 156, 165, 173, 181, 189, 197, 206, 214, 222, 230, 239, 247, 255,
};

inline constexpr uint8_t Expand6To8[64] = {
    0,   4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  45,  49,  53,  57,  61,
    65,  69,  73,  77,  81,  85,  89,  93,  97,  101, 105, 109, 113, 117, 121, 125,
    130, 134, 138, 142, 146, 150, 154, 158, 162, 166, 170, 174, 178, 182, 186, 190,
    194, 198, 202, 206, 210, 215, 219, 223, 227, 231, 235, 239, 243, 247, 251, 255,
};

constexpr uint32_t Widen5(uint32_t v) { return (v * 527 + 23) >> 6; }
constexpr uint32_t Widen6(uint32_t v) { return (v * 259 + 33) >> 6; }

// Whether a table and its arithmetic form both follow the rule at every entry.
template <uint32_t kSize>
constexpr bool FollowsTheRule(const uint8_t (&table)[kSize], uint32_t (*widen)(uint32_t)) {
    for (uint32_t i = 0; i < kSize; ++i)
        if (widen(i) != table[i] || WidenField(i, kSize - 1) != table[i]) return false;
    return true;
}
static_assert(FollowsTheRule(Expand5To8, Widen5));
static_assert(FollowsTheRule(Expand6To8, Widen6));
