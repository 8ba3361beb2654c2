#include "bitmap/bmp_rle.h"

#include <cstring>

namespace {

// Second byte of a command whose first byte is 0.
constexpr uint8_t kEndOfLine = 0;
constexpr uint8_t kEndOfBitmap = 1;
constexpr uint8_t kDelta = 2;  // then two bytes: columns right, rows up

// Bytes a command takes, its literal indices and their padding included.
size_t CommandBytes(uint8_t first, uint8_t second) {
    if (first > 0 || second == kEndOfLine || second == kEndOfBitmap) return 2;
    if (second == kDelta) return 4;
    return 2 + size_t(second) + (second & 1);
}

}  // namespace

int FindRLE8End(const uint8_t* data, size_t size, size_t& at) {
    while (size - at >= 2) {
        const uint8_t first = data[at], second = data[at + 1];
        const size_t bytes = CommandBytes(first, second);
        if (size - at < bytes) return 0;
        at += bytes;
        if (first == 0 && second == kEndOfBitmap) return 1;
    }
    return 0;
}

int DecodeRLE8(const uint8_t* data, size_t size, uint8_t* rows, uint32_t width, uint32_t height,
               uint32_t stride) {
    // A run may reach into the row's padding (x up to stride), a move may rest at the end of a
    // row (x == width) or above the last row (y == height); every write is checked against
    // the stored row and the picture before it is made.
    uint64_t x = 0, y = 0;
    size_t at = 0;
    while (size - at >= 2) {
        const uint8_t first = data[at], second = data[at + 1];
        at += 2;
        if (first > 0) {  // a run of `first` pixels of index `second`
            if (y >= height || x + first > stride) return 0;
            std::memset(rows + y * stride + x, second, first);
            x += first;
            continue;
        }
        switch (second) {
            case kEndOfLine:
                x = 0;
                ++y;
                break;
            case kEndOfBitmap: return 1;
            case kDelta:
                if (size - at < 2) return 0;
                x += data[at];
                y += data[at + 1];
                at += 2;
                if (x > width || y > height) return 0;
                break;
            default: {  // `second` literal indices, padded to an even count
                const size_t count = second, padded = CommandBytes(first, second) - 2;
                if (size - at < padded || y >= height || x + count > stride) return 0;
                std::memcpy(rows + y * stride + x, data + at, count);
                x += count;
                at += padded;
            }
        }
    }
    return 0;  // no end-of-bitmap marker
}
