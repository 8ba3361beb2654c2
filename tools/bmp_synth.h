// Builds BMP files byte by byte, independently of the reader and writer, for the tests, the
// sample picture, the benchmark and the fuzzer's seeds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace synth {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}

inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 32; i += 8) b.push_back(uint8_t(v >> i));
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Fields {
    uint16_t type = 0x4D42;
    uint32_t offBits = 0;  // 0: right after the headers and `extra`
    uint32_t infoSize = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bits = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    uint32_t resolution = 2835;  // 72 dpi, which the converter must not carry over
};

// A 14-byte file header, the 40 bytes of the usual information header, `extra` as it stands
// (palette, masks, the rest of a longer header), then `pixels`.
inline Bytes Make(const Fields& f, const Bytes& extra, const Bytes& pixels) {
    const uint32_t offBits = f.offBits ? f.offBits : uint32_t(54 + extra.size());
    const uint32_t total = uint32_t(54 + extra.size() + pixels.size());
    Bytes b;
    Put16(b, f.type);
    Put32(b, total);
    Put32(b, 0);
    Put32(b, offBits);
    Put32(b, f.infoSize);
    Put32(b, uint32_t(f.width));
    Put32(b, uint32_t(f.height));
    Put16(b, f.planes);
    Put16(b, f.bits);
    Put32(b, f.compression);
    Put32(b, uint32_t(pixels.size()));
    Put32(b, f.resolution);
    Put32(b, f.resolution);
    Put32(b, f.clrUsed);
    Put32(b, 0);
    b.insert(b.end(), extra.begin(), extra.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

// An OS/2 1.x file: 14-byte file header, 12-byte information header, 3-byte palette entries.
inline Bytes OS2(uint16_t width, uint16_t height, uint16_t bits, const Bytes& palette,
                 const Bytes& rows) {
    Bytes b = {'B', 'M'};
    Put32(b, uint32_t(26 + palette.size() + rows.size()));
    Put32(b, 0);
    Put32(b, uint32_t(26 + palette.size()));
    Put32(b, 12);
    Put16(b, width);
    Put16(b, height);
    Put16(b, 1);
    Put16(b, bits);
    b.insert(b.end(), palette.begin(), palette.end());
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

inline uint32_t Stride(uint32_t width, uint32_t bits) { return (width * bits / 8 + 3) / 4 * 4; }

// A picture whose every pixel differs from its neighbours in each channel, at any depth:
// 8 bits with a 256-entry palette, 16 as 5-6-5, 24, or 32 with a varying fourth byte.
// Rows come out in file order; the pattern itself does not depend on the row order.
inline Bytes Pattern(uint32_t width, uint32_t height, uint16_t bits, bool topDown) {
    Fields f;
    f.width = int32_t(width);
    f.height = topDown ? -int32_t(height) : int32_t(height);
    f.bits = bits;
    Bytes palette;
    if (bits == 8) {
        for (uint32_t i = 0; i < 256; ++i) {
            palette.push_back(uint8_t(i * 7));
            palette.push_back(uint8_t(255 - i));
            palette.push_back(uint8_t(i * 3 + 40));
            palette.push_back(0);
        }
    }
    const uint32_t stride = Stride(width, bits);
    Bytes pixels(size_t(stride) * height, 0);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = pixels.data() + size_t(y) * stride;
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t b = uint8_t(x * 5 + y), g = uint8_t(y * 3 + x / 2), r = uint8_t(x ^ y);
            switch (bits) {
                case 8: row[x] = uint8_t(x + y * 17); break;
                case 16: {
                    const uint32_t v = uint32_t(r >> 3) << 11 | uint32_t(g >> 2) << 5 | b >> 3;
                    row[size_t(x) * 2] = uint8_t(v);
                    row[size_t(x) * 2 + 1] = uint8_t(v >> 8);
                    break;
                }
                default: {
                    uint8_t* p = row + size_t(x) * (bits / 8);
                    p[0] = b;
                    p[1] = g;
                    p[2] = r;
                    if (bits == 32) p[3] = uint8_t(x * y);
                }
            }
        }
    }
    return Make(f, palette, pixels);
}

// Writes `bytes` as the whole of the file `path`; 0 when that fails.
inline int WriteFile(const std::string& path, const Bytes& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    return std::fclose(out) == 0 && written;
}

}  // namespace synth
