// Little-endian field access, independent of the host's byte order. On a little-endian host
// each is one plain load or store, which the compiler does not always find in the byte form.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

inline constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

inline uint16_t LoadLE16(const uint8_t* p) {
    if constexpr (kLittleEndianHost) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t LoadLE32(const uint8_t* p) {
    if constexpr (kLittleEndianHost) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLE16(uint8_t* p, uint32_t v) {
    if constexpr (kLittleEndianHost) {
        const auto word = uint16_t(v);
        std::memcpy(p, &word, 2);
        return;
    }
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
    if constexpr (kLittleEndianHost) {
        std::memcpy(p, &v, 4);
        return;
    }
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
