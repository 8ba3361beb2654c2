#include "bitmap/bmp_rle.h"

#include <cstring>

namespace {

// Second byte of a command whose first byte is 0.
constexpr uint8_t kEndOfLine = 0;
constexpr uint8_t kEndOfBitmap = 1;
constexpr uint8_t kDelta = 2;  // then two bytes: columns right, rows up

}  // namespace

int DecodeRLE8(const uint8_t* data, size_t size, uint8_t* rows, uint32_t width, uint32_t height,
               uint32_t stride) {
    // The position may rest at the end of a row (x == width) or above the last row
    // (y == height); every write is checked against both bounds before it is made.
    uint64_t x = 0, y = 0;
    size_t at = 0;
    while (size - at >= 2) {
        const uint8_t first = data[at], second = data[at + 1];
        at += 2;
        if (first > 0) {  // a run of `first` pixels of index `second`
            if (y >= height || x + first > width) return 0;
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
                const size_t count = second, padded = count + (count & 1);
                if (size - at < padded || y >= height || x + count > width) return 0;
                std::memcpy(rows + y * stride + x, data + at, count);
                x += count;
                at += padded;
            }
        }
    }
    return 0;  // no end-of-bitmap marker
}
