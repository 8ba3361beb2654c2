#include <bit>
#include <cstdint>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"
#include "bitmap/colour_fields.h"
#include "bitmap/pixel_rows.h"

namespace {

// One colour field of a pixel with its own masks, widened to 8 bits.
struct MaskedChannel {
    uint32_t mask;
    uint32_t shift;
    uint64_t max;        // 2^n - 1 for an n-bit field; 0 for an empty mask
    uint8_t table[256];  // widened values, for fields of up to 8 bits
};

MaskedChannel MakeChannel(uint32_t mask) {
    MaskedChannel c{mask,
                    mask ? uint32_t(std::countr_zero(mask)) : 0,
                    (uint64_t{1} << std::popcount(mask)) - 1,
                    {}};
    if (c.max <= 255)  // an empty mask keeps its one entry, 0
        for (uint64_t v = 1; v <= c.max; ++v) c.table[v] = WidenField(v, c.max);
    return c;
}

uint8_t Widen(const MaskedChannel& c, uint32_t pixel) {
    const uint32_t v = (pixel & c.mask) >> c.shift;
    return c.max <= 255 ? c.table[v] : WidenField(v, c.max);
}

// Pixels of a 16- or 32-bit source with masks of its own.
template <uint32_t kBytes>
struct MaskedDecoder {
    MaskedChannel red, green, blue;
    void operator()(const uint8_t* src, uint8_t* dst, uint32_t width) const {
        for (uint32_t k = 0; k < width; ++k, src += kBytes, dst += 3) {
            const uint32_t v = kBytes == 2 ? LoadLE16(src) : LoadLE32(src);
            dst[0] = Widen(blue, v);
            dst[1] = Widen(green, v);
            dst[2] = Widen(red, v);
        }
    }
};

template <uint32_t kBytes>
MaskedDecoder<kBytes> MaskedFor(const BMPImage& image) {
    return {MakeChannel(image.colourMasks[0]), MakeChannel(image.colourMasks[1]),
            MakeChannel(image.colourMasks[2])};
}

// Turns each source row into blue, green, red triples with decode(src, dst, width). Working rows
// are bottom row first; a top-down source is turned over on the way.
template <typename Decode>
void DecodeRows(BMPImage& image, const Decode& decode) {
    const uint32_t width = uint32_t(image.width);
    const uint32_t height = uint32_t(image.height);
    const size_t workingRow = RowBytes(width, 24);
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t row = image.topDown ? height - 1 - r : r;
        decode(image.pixels + size_t(r) * image.stride, image.rgb24 + row * workingRow, width);
    }
}

}  // namespace

void ConvertToRGB24(BMPImage& image) {
    if (image.width == 0) return;  // a file may claim any number of empty rows
    const PixelRowLoops& loops = RowLoops();
    const bool masked = image.colourMasks[0] | image.colourMasks[1] | image.colourMasks[2];
    switch (image.bitCount) {
        case 8: {
            uint32_t colours[256];  // the entries a byte can index, as the loop takes them
            for (uint32_t i = 0; i < 256; ++i) {
                const RGBQUAD& entry = image.palette[i];
                colours[i] =
                    entry.rgbBlue | uint32_t(entry.rgbGreen) << 8 | uint32_t(entry.rgbRed) << 16;
            }
            DecodeRows(image, [&](const uint8_t* src, uint8_t* dst, uint32_t width) {
                loops.decodePalette(colours, src, dst, width);
            });
            break;
        }
        case 16:
            if (masked)
                DecodeRows(image, MaskedFor<2>(image));
            else
                DecodeRows(image, loops.decode565);
            break;
        case 24:
            DecodeRows(image, [](const uint8_t* src, uint8_t* dst, uint32_t width) {
                std::memcpy(dst, src, size_t(width) * 3);
            });
            break;
        default:
            if (masked)
                DecodeRows(image, MaskedFor<4>(image));
            else
                DecodeRows(image, loops.decodeBGRX);
    }
}
