// The in-memory picture and the Windows bitmap layout that the reader and writer share.
#pragma once

#include <cstddef>
#include <cstdint>

// File structures, field for field as Windows names them. They are never read or written as
// a whole: the reader and writer move one little-endian field at a time, so packing is moot.
struct BITMAPFILEHEADER {
    uint16_t bfType;
    uint32_t bfSize;
    uint16_t bfReserved1;
    uint16_t bfReserved2;
    uint32_t bfOffBits;
};

struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};

struct RGBQUAD {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4, "palette entries are read straight from the file");

inline constexpr uint16_t kBMPSignature = 0x4D42;  // "BM", little-endian
inline constexpr uint32_t kFileHeaderBytes = 14;
inline constexpr uint32_t kInfoHeaderBytes = 40;
inline constexpr uint32_t kMaskBytes = 12;  // red, green and blue masks, 4 bytes each
inline constexpr uint32_t kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;
inline constexpr uint32_t kHeaderBytesWithMasks = kHeaderBytes + kMaskBytes;
inline constexpr uint32_t kMaskOffset = kHeaderBytes;  // inside a long header, or just after 40

// Information headers come in these sizes. OS/2 1.x has its own 12-byte layout (16-bit
// width, height, planes and bit count) and 3-byte palette entries; every other known size
// shares the leading fields of the 40-byte one, and a shorter one lacks the fields beyond it.
inline constexpr uint32_t kOS2InfoHeaderBytes = 12;
inline constexpr uint32_t kKnownInfoHeaderSizes[] = {16, 40, 52, 56, 64, 108, 124};

inline constexpr uint32_t BI_RGB = 0;
inline constexpr uint32_t BI_RLE8 = 1;
inline constexpr uint32_t BI_BITFIELDS = 3;
inline constexpr uint32_t BI_ALPHABITFIELDS = 6;

inline constexpr uint32_t kRed565Mask = 0xF800;
inline constexpr uint32_t kGreen565Mask = 0x07E0;
inline constexpr uint32_t kBlue565Mask = 0x001F;
inline constexpr uint32_t kRed888Mask = 0x00FF0000;
inline constexpr uint32_t kGreen888Mask = 0x0000FF00;
inline constexpr uint32_t kBlue888Mask = 0x000000FF;

// The file the writer makes at `bits`: only a 16-bit one has colour masks (BI_BITFIELDS, the
// 5-6-5 masks after a 40-byte information header, counted as a 52-byte one), and its headers take
// SavedHeaderBytes bytes before the pixels.
constexpr bool SavesMasks(int bits) { return bits == 16; }
constexpr uint32_t SavedHeaderBytes(int bits) {
    return kHeaderBytes + (SavesMasks(bits) ? kMaskBytes : 0);
}

inline constexpr uint32_t kPaletteCapacity = 65536;
inline constexpr uint32_t kDefaultPaletteEntries = 256;
inline constexpr uint32_t kOS2PaletteEntryBytes = 3;  // blue, green, red
inline constexpr uint32_t kOS2MaxPaletteEntries = 256;

// One picture for the whole run: header facts, the source rows as stored, and the 24-bit
// working rows (blue, green, red; bottom row first; rows padded to 4 bytes). Large because of
// the palette: keep it in static or heap storage and pass it by reference, never by value.
struct BMPImage {
    int32_t width;
    int32_t height;
    uint32_t stride;   // bytes per source row
    uint8_t bitCount;  // source bits per pixel
    uint8_t topDown;   // 1 when the first stored row is the top of the picture
    RGBQUAD palette[kPaletteCapacity];
    uint8_t* pixels;  // height rows of stride bytes, as stored in the file (RLE8 expanded)
    uint8_t* rgb24;   // height rows of RowBytes(width, 24) bytes, zero-filled when allocated
    // Red, green and blue masks of a 16- or 32-bit source whose masks differ from the usual
    // 5-6-5 and 8-8-8 layouts; all zero when the usual layout applies.
    uint32_t colourMasks[3];
};

// Frees both pixel buffers and nulls them; safe in every state, and twice.
void ReleaseBMPImage(BMPImage& image);

// Bytes one stored row of w pixels occupies at `bits` per pixel, padded to a multiple of 4;
// exact wherever it fits 32 bits, as it does for every size that ImageBytes accepted.
uint32_t RowBytes(uint32_t w, uint32_t bits);

// The overflow-checked size of a whole picture: sets rowBytes and imageBytes and returns 1 when
// the dimensions are not negative, height * row fits in 32 bits, and so do w * bits and the
// padded row unless there are no rows (rowBytes is then 0 where it does not fit); returns 0
// otherwise.
int ImageBytes(int32_t width, int32_t height, uint32_t bits, uint32_t& rowBytes,
               uint32_t& imageBytes);
