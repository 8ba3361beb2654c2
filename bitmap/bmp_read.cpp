#include "bitmap/bmp_read.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/bmp_rle.h"
#include "bitmap/byte_order.h"
#include "bitmap/byte_stream.h"
#include "bitmap/messages.h"
#include "system/files.h"
#include "system/pixel_memory.h"

namespace {

// Reads little-endian fields one after another; fields that lie beyond `size` read as 0.
struct FieldCursor {
    const uint8_t* bytes;
    uint32_t size;
    uint32_t at;
};

template <typename Field>
Field NextField(FieldCursor& c) {
    const uint32_t at = c.at;
    c.at += sizeof(Field);
    return c.at <= c.size ? LoadLE<Field>(c.bytes + at) : 0;
}

// What the headers say, and where the palette lies.
struct Headers {
    BITMAPFILEHEADER file;
    BITMAPINFOHEADER info;
    uint32_t paletteOffset;
    uint32_t paletteEntryBytes;
    uint32_t paletteEntries;  // as claimed; the file may hold fewer
};

bool IsKnownInfoSize(uint32_t size) {
    return std::find(std::begin(kKnownInfoHeaderSizes), std::end(kKnownInfoHeaderSizes), size) !=
           std::end(kKnownInfoHeaderSizes);
}

// Bytes of information header that the reader takes notice of for a given biSize.
uint32_t InfoHeaderBytes(uint32_t biSize) {
    if (biSize == kOS2InfoHeaderBytes || IsKnownInfoSize(biSize)) return biSize;
    return kInfoHeaderBytes;
}

void DecodeHeaders(const uint8_t* bytes, Headers& h) {
    FieldCursor c{bytes, kFileHeaderBytes, 0};
    h.file.bfType = NextField<uint16_t>(c);
    h.file.bfSize = NextField<uint32_t>(c);
    h.file.bfReserved1 = NextField<uint16_t>(c);
    h.file.bfReserved2 = NextField<uint16_t>(c);
    h.file.bfOffBits = NextField<uint32_t>(c);

    const uint32_t infoBytes = InfoHeaderBytes(LoadLE32(bytes + kFileHeaderBytes));
    c = FieldCursor{bytes + kFileHeaderBytes, infoBytes, 0};
    BITMAPINFOHEADER& info = h.info;
    info.biSize = NextField<uint32_t>(c);
    if (info.biSize == kOS2InfoHeaderBytes) {
        info.biWidth = NextField<uint16_t>(c);  // unsigned, so never top-down
        info.biHeight = NextField<uint16_t>(c);
        info.biPlanes = NextField<uint16_t>(c);
        info.biBitCount = NextField<uint16_t>(c);
        h.paletteEntryBytes = kOS2PaletteEntryBytes;
        // No colour count: the entries fill the room before the pixels, up to 256.
        const uint32_t room =
            h.file.bfOffBits - std::min(h.file.bfOffBits, kFileHeaderBytes + infoBytes);
        h.paletteEntries = std::min(kOS2MaxPaletteEntries, room / kOS2PaletteEntryBytes);
    } else {
        info.biWidth = int32_t(NextField<uint32_t>(c));
        info.biHeight = int32_t(NextField<uint32_t>(c));
        info.biPlanes = NextField<uint16_t>(c);
        info.biBitCount = NextField<uint16_t>(c);
        info.biCompression = NextField<uint32_t>(c);
        info.biSizeImage = NextField<uint32_t>(c);
        info.biXPelsPerMeter = int32_t(NextField<uint32_t>(c));
        info.biYPelsPerMeter = int32_t(NextField<uint32_t>(c));
        info.biClrUsed = NextField<uint32_t>(c);
        info.biClrImportant = NextField<uint32_t>(c);
        h.paletteEntryBytes = sizeof(RGBQUAD);
        h.paletteEntries = info.biClrUsed ? info.biClrUsed : kDefaultPaletteEntries;
    }
    h.paletteOffset = kFileHeaderBytes + infoBytes;
}

bool IsSourceDepth(uint32_t bits) { return bits == 8 || bits == 16 || bits == 24 || bits == 32; }

bool IsReadableCompression(uint32_t compression, uint32_t bits) {
    switch (compression) {
        case BI_RGB:
        case BI_BITFIELDS:
        case BI_ALPHABITFIELDS: return true;
        case BI_RLE8: return bits == 8;
        default: return false;
    }
}

bool Fail(const char* message) {
    std::fputs(message, stderr);
    return false;
}

// Entries that the file does not hold stay zero (black).
void ReadPalette(BMPImage& image, Input& in, const Headers& h) {
    const size_t end = h.paletteOffset + size_t(h.paletteEntries) * h.paletteEntryBytes;
    const size_t held = ReadFront(in, end);
    const uint32_t count =
        held > h.paletteOffset ? uint32_t((held - h.paletteOffset) / h.paletteEntryBytes) : 0;
    const uint8_t* entry = in.front.data() + h.paletteOffset;
    for (uint32_t i = 0; i < count; ++i, entry += h.paletteEntryBytes)
        image.palette[i] = RGBQUAD{entry[0], entry[1], entry[2], 0};  // the fourth byte is unused
}

// A mask is one unbroken run of bits (or empty), inside the pixel, and overlaps no other.
bool AreUsableMasks(const uint32_t (&masks)[3], uint32_t bits) {
    uint64_t seen = 0;
    for (int i = 0; i < 3; ++i) {
        const uint64_t m = masks[i];
        if (m == 0) continue;
        const uint64_t run = m >> std::countr_zero(m);
        if ((run & (run + 1)) != 0 || (m >> bits) != 0 || (seen & m) != 0) return false;
        seen |= m;
    }
    return true;
}

// Takes the colour masks of a 16- or 32-bit BITFIELDS file. Masks equal to the depth's usual
// layout, or absent, leave colourMasks zero so the converter keeps its fast path.
bool ReadColourMasks(BMPImage& image, Input& in, const Headers& h) {
    const uint32_t compression = h.info.biCompression;
    const bool bitfields = compression == BI_BITFIELDS || compression == BI_ALPHABITFIELDS;
    const bool present =
        h.info.biSize >= kInfoHeaderBytes + kMaskBytes || h.file.bfOffBits >= kHeaderBytesWithMasks;
    if (!bitfields || !present || (image.bitCount != 16 && image.bitCount != 32)) return true;

    if (ReadFront(in, kMaskOffset + kMaskBytes) < kMaskOffset + kMaskBytes)
        return Fail(kMsgReadError);
    const uint8_t* bytes = in.front.data() + kMaskOffset;
    const uint32_t masks[3] = {LoadLE32(bytes), LoadLE32(bytes + 4), LoadLE32(bytes + 8)};
    if (!AreUsableMasks(masks, image.bitCount)) return Fail(kMsgReadBadMasks);
    const bool usual =
        image.bitCount == 16
            ? masks[0] == kRed565Mask && masks[1] == kGreen565Mask && masks[2] == kBlue565Mask
            : masks[0] == kRed888Mask && masks[1] == kGreen888Mask && masks[2] == kBlue888Mask;
    if (!usual) std::copy(masks, masks + 3, image.colourMasks);
    return true;
}

// An RLE8 picture is bounded by the 32-bit size checks alone, and its data can claim a large
// blank picture in a few bytes; beyond this floor, its rows may be at most kRLE8MaxExpansion
// times its data (a run covers at most 255 pixels in 2 bytes). The data itself is read up to
// its end-of-bitmap marker, and no further than kRLE8MaxDataRatio times the rows (a real
// encoder takes at most 2 bytes a pixel, and 2 a row), so that a pipe never makes it read on.
constexpr uint64_t kRLE8FreeBytes = uint64_t{16} << 20;
constexpr uint64_t kRLE8MaxExpansion = 256;
constexpr uint64_t kRLE8MaxDataRatio = 4;

bool FitsRLE8Data(uint32_t pictureBytes, uint64_t dataBytes) {
    return pictureBytes <= std::max(kRLE8FreeBytes, dataBytes * kRLE8MaxExpansion);
}

// The RLE8 rows, once the data up to its end-of-bitmap marker is in memory.
bool ExpandRLE8(BMPImage& image, const uint8_t* data, size_t dataBytes, uint32_t pictureBytes) {
    if (!FitsRLE8Data(pictureBytes, dataBytes)) return Fail(kMsgReadBadRLE);
    image.pixels = AllocateZeroedPixels(pictureBytes);  // ReadBMP frees it on failure
    if (!image.pixels) return Fail(kMsgAllocRead);
    if (!DecodeRLE8(data, dataBytes, image.pixels, uint32_t(image.width), uint32_t(image.height),
                    image.stride))
        return Fail(kMsgReadBadRLE);
    return true;
}

bool ReadRLE8Rows(BMPImage& image, Input& in, uint32_t offBits, uint32_t pictureBytes) {
    if (in.length != kUnknownLength && offBits > in.length) return Fail(kMsgReadError);
    if (image.topDown ||
        (in.length != kUnknownLength && !FitsRLE8Data(pictureBytes, in.length - offBits)))
        return Fail(kMsgReadBadRLE);
    if (!SeekForward(in, offBits)) return Fail(kMsgReadError);

    const uint64_t limit = std::max(kRLE8FreeBytes, pictureBytes * kRLE8MaxDataRatio);
    Block data{};
    size_t end = 0;
    const Filled filled =
        FillUntil(in, offBits, size_t(std::min<uint64_t>(limit, SIZE_MAX)), data,
                  [&end](const Block& b) { return FindRLE8End(b.bytes, b.size, end); });
    bool ok = false;
    switch (filled) {
        case Filled::kDone: ok = ExpandRLE8(image, data.bytes, end, pictureBytes); break;
        // Data that ends before its end-of-bitmap marker is bad data; a read that fails is not.
        case Filled::kEnded: Fail(kMsgReadBadRLE); break;
        case Filled::kFailed: Fail(kMsgReadError); break;
        case Filled::kNoMemory: Fail(kMsgAllocRead); break;
    }
    FreePixels(data.bytes);
    return ok;
}

// FillUntil takes no memory past the end of a file, so a short file claiming a huge picture
// costs none.
bool ReadRawRows(BMPImage& image, Input& in, uint32_t offBits, uint32_t pictureBytes) {
    if (!SeekForward(in, offBits)) return Fail(kMsgReadError);
    Block rows{};
    const Filled filled =
        FillUntil(in, offBits, pictureBytes, rows,
                  [pictureBytes](const Block& b) { return b.size == pictureBytes; });
    if (filled == Filled::kDone) {
        image.pixels = rows.bytes;
        return true;
    }
    FreePixels(rows.bytes);
    return Fail(filled == Filled::kNoMemory ? kMsgAllocRead : kMsgReadError);
}

bool LoadBMP(BMPImage& image, Input& in) {
    if (ReadFront(in, kFileHeaderBytes + 4) < kFileHeaderBytes + 4) return Fail(kMsgReadError);
    const uint32_t infoBytes = InfoHeaderBytes(LoadLE32(in.front.data() + kFileHeaderBytes));
    if (ReadFront(in, kFileHeaderBytes + infoBytes) < kFileHeaderBytes + infoBytes)
        return Fail(kMsgReadError);
    Headers h{};
    DecodeHeaders(in.front.data(), h);
    const BITMAPINFOHEADER& info = h.info;

    image.bitCount = uint8_t(info.biBitCount);
    if (!IsSourceDepth(image.bitCount)) {
        std::fprintf(stderr, kMsgReadBitsUnsupported, int(image.bitCount));
        return false;
    }
    if (!IsReadableCompression(info.biCompression, image.bitCount)) {
        std::fprintf(stderr, kMsgReadCompressionUnsupported, info.biCompression);
        return false;
    }

    if (info.biHeight == INT32_MIN) return Fail(kMsgReadBadSize);
    image.width = info.biWidth;
    image.topDown = info.biHeight < 0;
    image.height = image.topDown ? -info.biHeight : info.biHeight;
    uint32_t sourceBytes{}, workingRow{}, workingBytes{};
    if (!ImageBytes(image.width, image.height, image.bitCount, image.stride, sourceBytes) ||
        !ImageBytes(image.width, image.height, 24, workingRow, workingBytes))
        return Fail(kMsgReadBadSize);

    if (image.bitCount == 8) {
        if (h.paletteEntries > kPaletteCapacity) return Fail(kMsgReadBadPalette);
        ReadPalette(image, in, h);
    }
    if (sourceBytes == 0) {  // no rows to read, and no pixel that masks would apply to
        image.pixels = AllocatePixels(0);
        if (!image.pixels) return Fail(kMsgAllocRead);
    } else {
        if (!ReadColourMasks(image, in, h)) return false;
        if (info.biCompression == BI_RLE8) {
            if (!ReadRLE8Rows(image, in, h.file.bfOffBits, sourceBytes)) return false;
        } else {
            if (!ReadRawRows(image, in, h.file.bfOffBits, sourceBytes)) return false;
        }
    }
    image.rgb24 = AllocateZeroedPixels(workingBytes);
    if (!image.rgb24) return Fail(kMsgAllocWrite);
    return true;
}

}  // namespace

int ReadBMPFrom(BMPImage& image, std::FILE* file) {
    Input in{file, InputLength(file), {}};
    const bool loaded = LoadBMP(image, in);
    if (!loaded) ReleaseBMPImage(image);
    return loaded;
}

int ReadBMP(BMPImage& image, const char* path) {
    std::FILE* file = OpenInputFile(path);
    if (!file) return Fail(kMsgNoSuchFile);
    const int loaded = ReadBMPFrom(image, file);
    std::fclose(file);
    return loaded;
}
