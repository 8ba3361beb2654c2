#include <bit>
#include <cstdint>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"
#include "bitmap/pixel_rows.h"

namespace {

// One colour field of a pixel with its own masks, widened to 8 bits by rounding v * 255 / max.
struct MaskedChannel {
    uint32_t mask;
    uint32_t shift;
    uint64_t max;        // 2^n - 1 for an n-bit field; 0 for an empty mask
    uint8_t table[256];  // widened values, for fields of up to 8 bits
};

MaskedChannel MakeChannel(uint32_t mask) {
    MaskedChannel c{mask, mask ? uint32_t(std::countr_zero(mask)) : 0, 0, {}};
    c.max = (uint64_t{1} << std::popcount(mask)) - 1;
    if (c.max <= 255)  // an empty mask keeps its one entry, 0
        for (uint64_t v = 1; v <= c.max; ++v) c.table[v] = uint8_t((v * 510 + c.max) / (2 * c.max));
    return c;
}

uint8_t Widen(const MaskedChannel& c, uint32_t pixel) {
    const uint32_t v = (pixel & c.mask) >> c.shift;
    if (c.max <= 255) return c.table[v];
    return uint8_t((v * uint64_t{510} + c.max) / (2 * c.max));
}

struct DecodeContext {
    const PixelRowLoops& loops;
    uint32_t colours[256];  // the palette entries a byte can index, as the loops take them
    MaskedChannel red, green, blue;
};

// Each decoder turns one source row of `width` pixels into blue, green, red triples.
using RowDecoder = void (*)(const DecodeContext& context, const uint8_t* src, uint8_t* dst,
                            uint32_t width);

void DecodePaletteRow(const DecodeContext& context, const uint8_t* src, uint8_t* dst,
                      uint32_t width) {
    context.loops.decodePalette(context.colours, src, dst, width);
}

void Decode565Row(const DecodeContext& context, const uint8_t* src, uint8_t* dst, uint32_t width) {
    context.loops.decode565(src, dst, width);
}

void DecodeBGRRow(const DecodeContext&, const uint8_t* src, uint8_t* dst, uint32_t width) {
    std::memcpy(dst, src, size_t(width) * 3);
}

void DecodeBGRXRow(const DecodeContext& context, const uint8_t* src, uint8_t* dst, uint32_t width) {
    context.loops.decodeBGRX(src, dst, width);
}

template <uint32_t kBytes>
void DecodeMaskedRow(const DecodeContext& context, const uint8_t* src, uint8_t* dst,
                     uint32_t width) {
    for (uint32_t k = 0; k < width; ++k, src += kBytes, dst += 3) {
        const uint32_t v = kBytes == 2 ? LoadLE16(src) : LoadLE32(src);
        dst[0] = Widen(context.blue, v);
        dst[1] = Widen(context.green, v);
        dst[2] = Widen(context.red, v);
    }
}

RowDecoder DecoderFor(const BMPImage& image) {
    const bool masked = image.colourMasks[0] | image.colourMasks[1] | image.colourMasks[2];
    switch (image.bitCount) {
        case 8: return DecodePaletteRow;
        case 16: return masked ? DecodeMaskedRow<2> : Decode565Row;
        case 24: return DecodeBGRRow;
        default: return masked ? DecodeMaskedRow<4> : DecodeBGRXRow;
    }
}

}  // namespace

void ConvertToRGB24(BMPImage& image) {
    const uint32_t width = uint32_t(image.width);
    const uint32_t height = uint32_t(image.height);
    if (width == 0) return;  // a file may claim any number of empty rows
    const size_t workingRow = RowBytes(width, 24);
    DecodeContext context{RowLoops(),
                          {},
                          MakeChannel(image.colourMasks[0]),
                          MakeChannel(image.colourMasks[1]),
                          MakeChannel(image.colourMasks[2])};
    for (uint32_t i = 0; i < 256; ++i) {
        const RGBQUAD& entry = image.palette[i];
        context.colours[i] =
            entry.rgbBlue | uint32_t(entry.rgbGreen) << 8 | uint32_t(entry.rgbRed) << 16;
    }
    const RowDecoder decode = DecoderFor(image);
    // Working rows are bottom row first; a top-down source is turned over on the way.
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t row = image.topDown ? height - 1 - r : r;
        decode(context, image.pixels + size_t(r) * image.stride, image.rgb24 + row * workingRow,
               width);
    }
}
