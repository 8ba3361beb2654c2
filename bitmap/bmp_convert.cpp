#include <cstdint>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"

const int32_t Expand5To8[32] = {
    0,   8,   16,  25,  33,  41,  49,  58,  66,  74,  82,  90,  99,  107, 115, 123,
    132, 140, 148, 156, 165, 173, 181, 189, 197, 206, 214, 222, 230, 239, 247, 255,
};

const int32_t Expand6To8[64] = {
    0,   4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  45,  49,  53,  57,  61,
    65,  69,  73,  77,  81,  85,  89,  93,  97,  101, 105, 109, 113, 117, 121, 125,
    130, 134, 138, 142, 146, 150, 154, 158, 162, 166, 170, 174, 178, 182, 186, 190,
    194, 198, 202, 206, 210, 215, 219, 223, 227, 231, 235, 239, 243, 247, 251, 255,
};

namespace {

// Each decoder turns one source row of `width` pixels into blue, green, red triples.
using RowDecoder = void (*)(const BMPImage& image, const uint8_t* src, uint8_t* dst,
                            uint32_t width);

void DecodePaletteRow(const BMPImage& image, const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t k = 0; k < width; ++k, dst += 3) {
        const RGBQUAD& entry = image.palette[src[k]];
        dst[0] = entry.rgbBlue;
        dst[1] = entry.rgbGreen;
        dst[2] = entry.rgbRed;
    }
}

void Decode565Row(const BMPImage&, const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t k = 0; k < width; ++k, src += 2, dst += 3) {
        const uint32_t v = LoadLE16(src);
        dst[0] = uint8_t(Expand5To8[v & 31]);
        dst[1] = uint8_t(Expand6To8[(v >> 5) & 63]);
        dst[2] = uint8_t(Expand5To8[v >> 11]);
    }
}

void DecodeBGRRow(const BMPImage&, const uint8_t* src, uint8_t* dst, uint32_t width) {
    std::memcpy(dst, src, size_t(width) * 3);
}

void DecodeBGRXRow(const BMPImage&, const uint8_t* src, uint8_t* dst, uint32_t width) {
    for (uint32_t k = 0; k < width; ++k, src += 4, dst += 3) {
        dst[0] = src[0];
        dst[1] = src[1];
        dst[2] = src[2];
    }
}

RowDecoder DecoderFor(uint32_t bitCount) {
    switch (bitCount) {
        case 8: return DecodePaletteRow;
        case 16: return Decode565Row;
        case 24: return DecodeBGRRow;
        default: return DecodeBGRXRow;
    }
}

}  // namespace

void ConvertToRGB24(BMPImage& image) {
    const uint32_t width = uint32_t(image.width);
    const uint32_t height = uint32_t(image.height);
    const size_t workingRow = RowBytes(width, 24);
    const RowDecoder decode = DecoderFor(image.bitCount);
    // Working rows are bottom row first; a top-down source is turned over on the way.
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t row = image.topDown ? height - 1 - r : r;
        decode(image, image.pixels + size_t(r) * image.stride, image.rgb24 + row * workingRow,
               width);
    }
}
