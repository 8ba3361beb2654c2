// Little-endian field access. The bytes are moved with memcpy, which compiles to one plain load
// or store (the compiler does not always merge the byte-by-byte form), and reversed on a
// big-endian host.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

template <typename T>
T LoadLE(const uint8_t* p) {
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, p, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big)
        std::reverse(bytes, bytes + sizeof bytes);
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

template <typename T>
void StoreLE(uint8_t* p, T v) {
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &v, sizeof bytes);
    if constexpr (std::endian::native == std::endian::big)
        std::reverse(bytes, bytes + sizeof bytes);
    std::memcpy(p, bytes, sizeof bytes);
}

inline uint16_t LoadLE16(const uint8_t* p) { return LoadLE<uint16_t>(p); }
inline uint32_t LoadLE32(const uint8_t* p) { return LoadLE<uint32_t>(p); }
inline void StoreLE16(uint8_t* p, uint32_t v) { StoreLE(p, uint16_t(v)); }
inline void StoreLE32(uint8_t* p, uint32_t v) { StoreLE(p, v); }
