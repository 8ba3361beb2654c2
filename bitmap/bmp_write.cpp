#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/byte_order.h"
#include "bitmap/messages.h"
#include "bitmap/pixel_rows.h"
#include "bitmap/system_files.h"

namespace {

constexpr size_t kOutBufferBytes = size_t{256} << 10;  // large writes, little memory

// Writes all `bytes`, or returns 0. A signal whose handler was installed without SA_RESTART
// interrupts a write that waits on a pipe or a terminal; the write then goes on from where it
// stopped.
int WriteBytes(std::FILE* file, const uint8_t* data, size_t bytes) {
    size_t put = 0;
    for (;;) {
        errno = 0;
        put += std::fwrite(data + put, 1, bytes - put, file);
        if (put == bytes) return 1;
        if (!std::ferror(file) || errno != EINTR) return 0;
        std::clearerr(file);
    }
}

// The writer's stream: pixels are stored straight into a large buffer, which goes to the file
// in large writes. The first failed write is remembered and later output discarded.
struct OutStream {
    std::FILE* file;
    uint8_t* buffer;
    size_t used;
    uint64_t flushed;
    int failed;
};

void Flush(OutStream& out) {
    if (out.used && !out.failed && !WriteBytes(out.file, out.buffer, out.used)) out.failed = 1;
    out.flushed += out.used;
    out.used = 0;
}

// Room for the next n bytes of the file, n at most kOutBufferBytes.
uint8_t* Room(OutStream& out, size_t n) {
    if (kOutBufferBytes - out.used < n) Flush(out);
    uint8_t* room = out.buffer + out.used;
    out.used += n;
    return room;
}

void Put16(OutStream& out, uint32_t v) { StoreLE16(Room(out, 2), v); }
void Put32(OutStream& out, uint32_t v) { StoreLE32(Room(out, 4), v); }

// Large blocks bypass the buffer. Only for the pixels: Position does not count them.
void PutBlock(OutStream& out, const uint8_t* data, size_t n) {
    Flush(out);
    if (n && !out.failed && !WriteBytes(out.file, data, n)) out.failed = 1;
}

int Position(const OutStream& out) { return int(out.flushed + out.used); }

uint32_t HeaderBytes(int bits) { return bits == 16 ? kHeaderBytesWithMasks : kHeaderBytes; }

void WriteBMPFileHeader(const BMPImage& image, OutStream& out, int bits) {
    const uint32_t headerBytes = HeaderBytes(bits);
    Put16(out, kBMPSignature);
    Put32(out, headerBytes + uint32_t(image.height) * RowBytes(uint32_t(image.width), bits));
    Put16(out, 0);
    Put16(out, 0);
    Put32(out, headerBytes);
}

// Turns every working row into `kBytes`-per-pixel file pixels with encode(bgr, dst, n), then
// adds the row padding. Rows are done in slices that fit the stream's buffer.
template <uint32_t kBytes>
void WriteEncodedRows(const BMPImage& image, OutStream& out, int bits,
                      void (*encode)(const uint8_t*, uint8_t*, uint32_t)) {
    const uint32_t width = uint32_t(image.width);
    const uint32_t height = uint32_t(image.height);
    const size_t workingRow = RowBytes(width, 24);
    const size_t padding = RowBytes(width, uint32_t(bits)) - size_t(width) * kBytes;
    constexpr uint32_t kSlice = kOutBufferBytes / kBytes;
    if (width == 0) return;  // a file may claim any number of empty rows
    for (uint32_t row = 0; row < height && !out.failed; ++row) {
        const uint8_t* src = image.rgb24 + row * workingRow;
        for (uint32_t done = 0; done < width;) {
            const uint32_t n = std::min(width - done, kSlice);
            encode(src + size_t(done) * 3, Room(out, size_t(n) * kBytes), n);
            done += n;
        }
        std::memset(Room(out, padding), 0, padding);
    }
}

void WriteBMPInfoHeader(const BMPImage& image, OutStream& out, int bits) {
    const uint32_t width = uint32_t(image.width);
    const uint32_t height = uint32_t(image.height);
    Put32(out, bits == 16 ? kInfoHeaderBytes + kMaskBytes : kInfoHeaderBytes);
    Put32(out, width);
    Put32(out, height);
    Put16(out, 1);
    Put16(out, uint32_t(bits));
    Put32(out, bits == 16 ? BI_BITFIELDS : BI_RGB);
    Put32(out, height * RowBytes(width, uint32_t(bits)));
    for (int i = 0; i < 4; ++i) Put32(out, 0);  // resolution, colours used and important
    if (bits == 16) {
        Put32(out, kRed565Mask);
        Put32(out, kGreen565Mask);
        Put32(out, kBlue565Mask);
    }
    const int expected = int(HeaderBytes(bits));
    if (Position(out) != expected)
        std::fprintf(stderr, kMsgInfoHeaderPosition, Position(out), expected);
}

void WriteBMPPixels(const BMPImage& image, OutStream& out, int bits) {
    switch (bits) {
        case 24:  // the working rows are already laid out as the file's
            PutBlock(out, image.rgb24, size_t(image.height) * RowBytes(uint32_t(image.width), 24));
            break;
        case 16:  // 5-6-5 by truncation
            WriteEncodedRows<2>(image, out, bits, RowLoops().encode565);
            break;
        default:  // 32: the fourth byte is opaque
            WriteEncodedRows<4>(image, out, bits, RowLoops().encodeBGRX);
            break;
    }
}
}  // namespace

int SaveBMP(const BMPImage& image, const char* path, int bits) {
    if (bits != 16 && bits != 24 && bits != 32) {
        std::fprintf(stderr, kMsgSaveBitsUnsupported, bits);
        return 0;
    }
    uint32_t rowBytes = 0, imageBytes = 0;
    if (!ImageBytes(image.width, image.height, uint32_t(bits), rowBytes, imageBytes) ||
        imageBytes > UINT32_MAX - HeaderBytes(bits)) {
        std::fprintf(stderr, kMsgSaveTooLarge, bits);
        return 0;
    }

    OutStream out{nullptr, static_cast<uint8_t*>(std::malloc(kOutBufferBytes)), 0, 0, 0};
    OutputFile output;
    if (!out.buffer || !OpenOutputFile(path, output)) {
        std::free(out.buffer);
        std::fprintf(stderr, kMsgCannotWrite, path);
        return 0;
    }
    out.file = output.file;

    WriteBMPFileHeader(image, out, bits);
    if (Position(out) != int(kFileHeaderBytes))
        std::fprintf(stderr, kMsgFileHeaderPosition, Position(out), int(kFileHeaderBytes));
    WriteBMPInfoHeader(image, out, bits);
    WriteBMPPixels(image, out, bits);
    Flush(out);
    std::free(out.buffer);

    if (!CommitOutputFile(output, !out.failed)) {
        std::fprintf(stderr, kMsgCannotWrite, path);
        return 0;
    }
    return 1;
}
