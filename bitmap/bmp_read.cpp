#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/bmp_rle.h"
#include "bitmap/byte_order.h"
#include "bitmap/messages.h"
#include "bitmap/pixel_memory.h"

namespace {

// Reads little-endian fields one after another; fields that lie beyond `size` read as 0.
struct FieldCursor {
    const uint8_t* bytes;
    uint32_t size;
    uint32_t at;
};

uint32_t Take(FieldCursor& c, uint32_t width) {
    const uint32_t at = c.at;
    c.at += width;
    if (c.at > c.size) return 0;
    return width == 2 ? LoadLE16(c.bytes + at) : LoadLE32(c.bytes + at);
}

// What the headers say, and where the palette lies.
struct Headers {
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    uint32_t paletteOffset;
    uint32_t paletteEntryBytes;
    uint32_t paletteEntries;  // as claimed; the file may hold fewer
};

int IsKnownInfoSize(uint32_t size) {
    return std::ranges::find(kKnownInfoHeaderSizes, size) !=
           std::ranges::end(kKnownInfoHeaderSizes);
}

// Bytes of information header that the reader takes notice of for a given biSize.
uint32_t InfoHeaderBytes(uint32_t biSize) {
    if (biSize == kOS2InfoHeaderBytes || IsKnownInfoSize(biSize)) return biSize;
    return kInfoHeaderBytes;
}

void DecodeHeaders(const uint8_t* bytes, Headers& h) {
    FieldCursor c{bytes, kFileHeaderBytes, 0};
    h.file.bfType = uint16_t(Take(c, 2));
    h.file.bfSize = Take(c, 4);
    h.file.bfReserved1 = uint16_t(Take(c, 2));
    h.file.bfReserved2 = uint16_t(Take(c, 2));
    h.file.bfOffBits = Take(c, 4);

    const uint32_t infoBytes = InfoHeaderBytes(LoadLE32(bytes + kFileHeaderBytes));
    c = FieldCursor{bytes + kFileHeaderBytes, infoBytes, 0};
    BITMAPINFOHEADER& info = h.info;
    info.biSize = Take(c, 4);
    if (info.biSize == kOS2InfoHeaderBytes) {
        info.biWidth = int32_t(Take(c, 2));  // unsigned, so never top-down
        info.biHeight = int32_t(Take(c, 2));
        info.biPlanes = uint16_t(Take(c, 2));
        info.biBitCount = uint16_t(Take(c, 2));
        h.paletteEntryBytes = kOS2PaletteEntryBytes;
        // No colour count: the entries fill the room before the pixels, up to 256.
        const uint32_t room = h.file.bfOffBits > kFileHeaderBytes + infoBytes
                                  ? h.file.bfOffBits - kFileHeaderBytes - infoBytes
                                  : 0;
        h.paletteEntries = std::min(kOS2MaxPaletteEntries, room / kOS2PaletteEntryBytes);
    } else {
        info.biWidth = int32_t(Take(c, 4));
        info.biHeight = int32_t(Take(c, 4));
        info.biPlanes = uint16_t(Take(c, 2));
        info.biBitCount = uint16_t(Take(c, 2));
        info.biCompression = Take(c, 4);
        info.biSizeImage = Take(c, 4);
        info.biXPelsPerMeter = int32_t(Take(c, 4));
        info.biYPelsPerMeter = int32_t(Take(c, 4));
        info.biClrUsed = Take(c, 4);
        info.biClrImportant = Take(c, 4);
        h.paletteEntryBytes = sizeof(RGBQUAD);
        h.paletteEntries = info.biClrUsed ? info.biClrUsed : kDefaultPaletteEntries;
    }
    h.paletteOffset = kFileHeaderBytes + infoBytes;
}

int IsSourceDepth(uint32_t bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

int IsReadableCompression(uint32_t compression, uint32_t bits) {
    switch (compression) {
        case BI_RGB:
        case BI_BITFIELDS:
        case BI_ALPHABITFIELDS: return 1;
        case BI_RLE8: return bits == 8;
        default: return 0;
    }
}

// The length of a seekable file, leaving it positioned at its start.
int FileLength(std::FILE* file, uint64_t& length) {
    if (std::fseek(file, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(file);
    if (end < 0) return 0;
    length = uint64_t(end);
    return std::fseek(file, 0, SEEK_SET) == 0;
}

// Reads `bytes` bytes at `offset`; 0 when the file holds fewer.
int ReadAt(std::FILE* file, uint64_t offset, void* into, size_t bytes) {
    return std::fseek(file, long(offset), SEEK_SET) == 0 &&
           std::fread(into, 1, bytes, file) == bytes;
}

// Entries that the file does not hold stay zero (black).
void ReadPalette(BMPImage& image, std::FILE* file, uint64_t fileBytes, const Headers& h) {
    if (fileBytes <= h.paletteOffset) return;
    const uint64_t held = (fileBytes - h.paletteOffset) / h.paletteEntryBytes;
    const uint32_t count = uint32_t(std::min<uint64_t>(h.paletteEntries, held));
    if (h.paletteEntryBytes == sizeof(RGBQUAD)) {
        ReadAt(file, h.paletteOffset, image.palette, size_t(count) * sizeof(RGBQUAD));
        return;
    }
    uint8_t triples[kOS2MaxPaletteEntries * kOS2PaletteEntryBytes];
    if (!ReadAt(file, h.paletteOffset, triples, size_t(count) * kOS2PaletteEntryBytes)) return;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* t = triples + size_t(i) * kOS2PaletteEntryBytes;
        image.palette[i] = RGBQUAD{t[0], t[1], t[2], 0};
    }
}

// A mask is one unbroken run of bits (or empty), inside the pixel, and overlaps no other.
int AreUsableMasks(const uint32_t masks[3], uint32_t bits) {
    uint64_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        const uint64_t m = masks[i];
        if (m == 0) continue;
        const uint64_t run = m >> std::countr_zero(m);
        if ((run & (run + 1)) != 0 || (m >> bits) != 0 || (seen & m) != 0) return 0;
        seen |= m;
    }
    return 1;
}

// Takes the colour masks of a 16- or 32-bit BITFIELDS file. Masks equal to the depth's usual
// layout, or absent, leave colourMasks zero so the converter keeps its fast path.
int ReadColourMasks(BMPImage& image, std::FILE* file, const Headers& h) {
    const uint32_t compression = h.info.biCompression;
    const bool bitfields = compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS;
    const bool present =
        h.info.biSize >= kInfoHeaderBytes + kMaskBytes || h.file.bfOffBits >= kHeaderBytesWithMasks;
    if (!bitfields || !present || (image.bitCount != 16 && image.bitCount != 32)) return 1;

    uint8_t bytes[kMaskBytes];
    if (!ReadAt(file, kMaskOffset, bytes, sizeof bytes)) {
        std::fputs(kMsgReadError, stderr);
        return 0;
    }
    const uint32_t masks[3] = {LoadLE32(bytes), LoadLE32(bytes + 4), LoadLE32(bytes + 8)};
    if (!AreUsableMasks(masks, image.bitCount)) {
        std::fputs(kMsgReadBadMasks, stderr);
        return 0;
    }
    const bool usual =
        image.bitCount == 16
            ? masks[0] == kRed565Mask && masks[1] == kGreen565Mask && masks[2] == kBlue565Mask
            : masks[0] == kRed888Mask && masks[1] == kGreen888Mask && masks[2] == kBlue888Mask;
    if (!usual) std::copy(masks, masks + 3, image.colourMasks);
    return 1;
}

// An RLE8 picture is bounded by the 32-bit size checks alone, and its data can claim a large
// blank picture in a few bytes; beyond this floor, its rows may be at most kRLE8MaxExpansion
// times its data (a run covers at most 255 pixels in 2 bytes).
constexpr uint64_t kRLE8FreeBytes = uint64_t{16} << 20;
constexpr uint64_t kRLE8MaxExpansion = 256;

int Fail(const char* message) {
    std::fputs(message, stderr);
    return 0;
}

int ReadRLE8Rows(BMPImage& image, std::FILE* file, uint64_t fileBytes, uint32_t offBits,
                 uint32_t rowBytes) {
    if (offBits > fileBytes) return Fail(kMsgReadError);
    const uint64_t dataBytes = fileBytes - offBits;
    if (image.topDown || rowBytes > std::max(kRLE8FreeBytes, dataBytes * kRLE8MaxExpansion))
        return Fail(kMsgReadBadRLE);
    uint8_t* data = AllocatePixels(size_t(dataBytes));
    image.pixels = AllocateZeroedPixels(rowBytes);  // ReadBMP releases it on failure
    int ok = 0;
    if (!data || !image.pixels)
        Fail(kMsgAllocRead);
    else if (!ReadAt(file, offBits, data, size_t(dataBytes)))
        Fail(kMsgReadError);
    else if (!DecodeRLE8(data, size_t(dataBytes), image.pixels, uint32_t(image.width),
                         uint32_t(image.height), image.stride))
        Fail(kMsgReadBadRLE);
    else
        ok = 1;
    FreePixels(data);
    return ok;
}

int ReadRawRows(BMPImage& image, std::FILE* file, uint64_t fileBytes, uint32_t offBits,
                uint32_t rowBytes) {
    // Checked before allocating, so a short file claiming a huge picture costs no memory.
    if (uint64_t(offBits) + rowBytes > fileBytes) return Fail(kMsgReadError);
    image.pixels = AllocatePixels(rowBytes);
    if (!image.pixels) return Fail(kMsgAllocRead);
    return ReadAt(file, offBits, image.pixels, rowBytes) ? 1 : Fail(kMsgReadError);
}

int LoadBMP(BMPImage& image, std::FILE* file) {
    uint64_t fileBytes = 0;
    uint8_t bytes[kFileHeaderBytes + kMaxInfoHeaderBytes] = {};
    if (!FileLength(file, fileBytes)) return Fail(kMsgReadError);
    const size_t got = std::fread(bytes, 1, sizeof bytes, file);
    if (got < kFileHeaderBytes + 4 ||
        got < kFileHeaderBytes + InfoHeaderBytes(LoadLE32(bytes + kFileHeaderBytes)))
        return Fail(kMsgReadError);
    Headers h{};
    DecodeHeaders(bytes, h);
    const BITMAPINFOHEADER& info = h.info;

    image.bitCount = uint8_t(info.biBitCount);
    if (!IsSourceDepth(image.bitCount)) {
        std::fprintf(stderr, kMsgReadBitsUnsupported, int(image.bitCount));
        return 0;
    }
    if (!IsReadableCompression(info.biCompression, image.bitCount)) {
        std::fprintf(stderr, kMsgReadCompressionUnsupported, info.biCompression);
        return 0;
    }

    if (info.biHeight == INT32_MIN) return Fail(kMsgReadBadSize);
    image.width = info.biWidth;
    image.topDown = info.biHeight < 0;
    image.height = image.topDown ? -info.biHeight : info.biHeight;
    uint32_t sourceBytes = 0, workingRow = 0, workingBytes = 0;
    if (!ImageBytes(image.width, image.height, image.bitCount, image.stride, sourceBytes) ||
        !ImageBytes(image.width, image.height, 24, workingRow, workingBytes))
        return Fail(kMsgReadBadSize);

    if (image.bitCount == 8) {
        if (h.paletteEntries > kPaletteCapacity) return Fail(kMsgReadBadPalette);
        ReadPalette(image, file, fileBytes, h);
    }
    if (!ReadColourMasks(image, file, h)) return 0;

    const int rowsRead = info.biCompression == BI_RLE8
                             ? ReadRLE8Rows(image, file, fileBytes, h.file.bfOffBits, sourceBytes)
                             : ReadRawRows(image, file, fileBytes, h.file.bfOffBits, sourceBytes);
    if (!rowsRead) return 0;
    image.rgb24 = AllocateZeroedPixels(workingBytes);
    return image.rgb24 ? 1 : Fail(kMsgAllocWrite);
}

}  // namespace

int ReadBMP(BMPImage& image, const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return Fail(kMsgNoSuchFile);
    const int loaded = LoadBMP(image, file);
    std::fclose(file);
    if (!loaded) ReleaseBMPImage(image);
    return loaded;
}
