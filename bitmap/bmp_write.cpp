#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_stream.h"
#include "bitmap/messages.h"
#include "bitmap/pixel_rows.h"
#include "system/files.h"

namespace {

// Every size of the file, computed once by ImageBytes.
struct Layout {
    uint32_t width;
    uint32_t height;
    int bits;
    bool masks;             // 16 bits: BI_BITFIELDS, with the 5-6-5 masks after the header
    uint32_t headerBytes;   // file and information headers, masks included
    uint32_t rowBytes{};    // of a file row; 0 when there are no rows
    uint32_t imageBytes{};  // these three come from ImageBytes
    size_t workingRow{};    // of a working row
};

void WriteBMPFileHeader(const Layout& layout, Output& out) {
    Put16(out, kBMPSignature);
    Put32(out, layout.headerBytes + layout.imageBytes);
    Put16(out, 0);
    Put16(out, 0);
    Put32(out, layout.headerBytes);
}

// Turns every working row into `kBytes`-per-pixel file pixels with encode(bgr, dst, n), then
// adds the row padding. Rows are done in slices that fit the stream's buffer.
template <uint32_t kBytes>
void WriteEncodedRows(const BMPImage& image, const Layout& layout, Output& out,
                      void (*encode)(const uint8_t*, uint8_t*, uint32_t)) {
    if (layout.imageBytes == 0) return;  // a file may claim any number of empty rows
    const uint32_t width = layout.width;
    const size_t padding = layout.rowBytes - size_t(width) * kBytes;
    constexpr uint32_t kSlice = kOutBufferBytes / kBytes;
    for (uint32_t row = 0; row < layout.height && !out.failed; ++row) {
        const uint8_t* src = image.rgb24 + row * layout.workingRow;
        for (uint32_t done = 0; done < width;) {
            const uint32_t n = std::min(width - done, kSlice);
            encode(src + size_t(done) * 3, Room(out, size_t(n) * kBytes), n);
            done += n;
        }
        std::memset(Room(out, padding), 0, padding);
    }
}

void WriteBMPInfoHeader(const Layout& layout, Output& out) {
    Put32(out, layout.headerBytes - kFileHeaderBytes);  // the masks count as the header's
    Put32(out, layout.width);
    Put32(out, layout.height);
    Put16(out, 1);
    Put16(out, uint32_t(layout.bits));
    Put32(out, layout.masks ? BI_BITFIELDS : BI_RGB);
    Put32(out, layout.imageBytes);
    for (int i = 0; i < 4; ++i) Put32(out, 0);  // resolution, colours used and important
    if (layout.masks) {
        Put32(out, kRed565Mask);
        Put32(out, kGreen565Mask);
        Put32(out, kBlue565Mask);
    }
    const int expected = int(layout.headerBytes);
    if (Position(out) != uint64_t(expected))
        std::fprintf(stderr, kMsgInfoHeaderPosition, int(Position(out)), expected);
}

void WriteBMPPixels(const BMPImage& image, const Layout& layout, Output& out) {
    switch (layout.bits) {
        case 24:  // the working rows are already laid out as the file's
            PutBlock(out, image.rgb24, layout.imageBytes);
            break;
        case 16:  // 5-6-5 by truncation
            WriteEncodedRows<2>(image, layout, out, RowLoops().encode565);
            break;
        default:  // 32: the fourth byte is opaque
            WriteEncodedRows<4>(image, layout, out, RowLoops().encodeBGRX);
            break;
    }
}

}  // namespace

int SaveBMP(const BMPImage& image, const char* path, int bits) {
    if (bits != 16 && bits != 24 && bits != 32) {
        std::fprintf(stderr, kMsgSaveBitsUnsupported, bits);
        return 0;
    }
    Layout layout{uint32_t(image.width), uint32_t(image.height), bits, SavesMasks(bits),
                  SavedHeaderBytes(bits)};
    uint32_t workingRow{}, workingBytes{};
    if (!ImageBytes(image.width, image.height, uint32_t(bits), layout.rowBytes,
                    layout.imageBytes) ||
        layout.imageBytes > UINT32_MAX - layout.headerBytes ||
        !ImageBytes(image.width, image.height, 24, workingRow, workingBytes)) {
        std::fprintf(stderr, kMsgSaveTooLarge, bits);
        return 0;
    }
    layout.workingRow = workingRow;

    Output out{nullptr, static_cast<uint8_t*>(std::malloc(kOutBufferBytes)), 0, 0, false};
    OutputFile output;
    if (!out.buffer || !OpenOutputFile(path, output)) {
        std::free(out.buffer);
        std::fprintf(stderr, kMsgCannotWrite, path);
        return 0;
    }
    out.file = output.file;

    WriteBMPFileHeader(layout, out);
    if (Position(out) != kFileHeaderBytes)
        std::fprintf(stderr, kMsgFileHeaderPosition, int(Position(out)), int(kFileHeaderBytes));
    WriteBMPInfoHeader(layout, out);
    WriteBMPPixels(image, layout, out);
    Flush(out);
    std::free(out.buffer);

    if (!CommitOutputFile(output, !out.failed)) {
        std::fprintf(stderr, kMsgCannotWrite, path);
        return 0;
    }
    return 1;
}
