#include <cstdint>
#include <cstdio>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"
#include "bitmap/messages.h"
#include "bitmap/pixel_memory.h"

namespace {

uint16_t Take16(const uint8_t*& p) {
    const uint16_t v = LoadLE16(p);
    p += 2;
    return v;
}

uint32_t Take32(const uint8_t*& p) {
    const uint32_t v = LoadLE32(p);
    p += 4;
    return v;
}

BITMAPFILEHEADER DecodeFileHeader(const uint8_t* p) {
    BITMAPFILEHEADER h{};
    h.bfType = Take16(p);
    h.bfSize = Take32(p);
    h.bfReserved1 = Take16(p);
    h.bfReserved2 = Take16(p);
    h.bfOffBits = Take32(p);
    return h;
}

BITMAPINFOHEADER DecodeInfoHeader(const uint8_t* p) {
    BITMAPINFOHEADER h{};
    h.biSize = Take32(p);
    h.biWidth = int32_t(Take32(p));
    h.biHeight = int32_t(Take32(p));
    h.biPlanes = Take16(p);
    h.biBitCount = Take16(p);
    h.biCompression = Take32(p);
    h.biSizeImage = Take32(p);
    h.biXPelsPerMeter = int32_t(Take32(p));
    h.biYPelsPerMeter = int32_t(Take32(p));
    h.biClrUsed = Take32(p);
    h.biClrImportant = Take32(p);
    return h;
}

int IsSourceDepth(uint32_t bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// The length of a seekable file, leaving it positioned at its start.
int FileLength(std::FILE* file, uint64_t& length) {
    if (std::fseek(file, 0, SEEK_END) != 0) return 0;
    const long end = std::ftell(file);
    if (end < 0) return 0;
    length = uint64_t(end);
    return std::fseek(file, 0, SEEK_SET) == 0;
}

// Palette entries follow the headers. Entries the file does not hold stay zero (black), so
// the count read is clamped to what lies before the end of the file.
void ReadPalette(BMPImage& image, std::FILE* file, uint64_t fileBytes, uint32_t entries) {
    const uint64_t available = (fileBytes - kPaletteOffset) / sizeof(RGBQUAD);
    const size_t count = size_t(entries < available ? entries : available);
    if (count == 0 || std::fseek(file, long(kPaletteOffset), SEEK_SET) != 0) return;
    const size_t read = std::fread(image.palette, sizeof(RGBQUAD), count, file);
    (void)read;  // a short palette leaves the missing entries black
}

int Fail(const char* message) {
    std::fputs(message, stderr);
    return 0;
}

int LoadBMP(BMPImage& image, std::FILE* file) {
    uint64_t fileBytes = 0;
    uint8_t header[kHeaderBytes];
    if (!FileLength(file, fileBytes) || std::fread(header, 1, kHeaderBytes, file) != kHeaderBytes)
        return Fail(kMsgReadError);
    const BITMAPFILEHEADER fileHeader = DecodeFileHeader(header);
    const BITMAPINFOHEADER info = DecodeInfoHeader(header + kFileHeaderBytes);

    image.bitCount = uint8_t(info.biBitCount);
    if (!IsSourceDepth(image.bitCount)) {
        std::fprintf(stderr, kMsgReadBitsUnsupported, int(image.bitCount));
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
        const uint32_t entries = info.biClrUsed ? info.biClrUsed : kDefaultPaletteEntries;
        if (entries > kPaletteCapacity) return Fail(kMsgReadBadPalette);
        ReadPalette(image, file, fileBytes, entries);
    }

    // Checked before allocating, so a short file claiming a huge picture costs no memory.
    if (uint64_t(fileHeader.bfOffBits) + sourceBytes > fileBytes) return Fail(kMsgReadError);

    image.pixels = AllocatePixels(sourceBytes);
    if (!image.pixels) return Fail(kMsgAllocRead);
    image.rgb24 = AllocateZeroedPixels(workingBytes);
    if (!image.rgb24) return Fail(kMsgAllocWrite);

    if (std::fseek(file, long(fileHeader.bfOffBits), SEEK_SET) != 0 ||
        std::fread(image.pixels, 1, sourceBytes, file) != sourceBytes)
        return Fail(kMsgReadError);
    return 1;
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
