#include "bitmap/byte_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bitmap/byte_order.h"
#include "system/pixel_memory.h"

namespace {

// Moves up to `bytes` by calls of `transfer(done)`, each a fread or fwrite of what remains, and
// goes on after one that a signal cut short. Short only where the stream ended or failed.
template <typename Transfer>
size_t TransferAll(std::FILE* file, size_t bytes, Transfer transfer) {
    size_t done = 0;
    for (;;) {
        errno = 0;
        done += transfer(done);
        if (done == bytes || !std::ferror(file) || errno != EINTR) return done;
        std::clearerr(file);
    }
}

size_t ReadBytes(std::FILE* file, uint8_t* into, size_t bytes) {
    return TransferAll(file, bytes,
                       [&](size_t done) { return std::fread(into + done, 1, bytes - done, file); });
}

int WriteBytes(std::FILE* file, const uint8_t* data, size_t bytes) {
    return TransferAll(file, bytes, [&](size_t done) {
               return std::fwrite(data + done, 1, bytes - done, file);
           }) == bytes;
}

}  // namespace

size_t ReadFront(Input& in, size_t bytes) {
    const size_t held = in.front.size();
    if (bytes <= held) return held;
    in.front.resize(bytes);
    const size_t got = ReadBytes(in.file, in.front.data() + held, bytes - held);
    in.front.resize(held + got);
    return in.front.size();
}

bool SeekForward(Input& in, uint64_t offset) {
    uint8_t sink[1 << 16];
    for (uint64_t left = offset - std::min<uint64_t>(offset, in.front.size()); left > 0;) {
        const size_t step = size_t(std::min<uint64_t>(left, sizeof sink));
        if (ReadBytes(in.file, sink, step) != step) return false;
        left -= step;
    }
    return true;
}

// Takes the bytes from file offset `offset` on: first those among the kept bytes, then from the
// input. Returns the count taken, short only where the input ended.
size_t ReadAt(Input& in, uint64_t offset, uint8_t* into, size_t bytes) {
    size_t taken = 0;
    if (offset < in.front.size()) {
        taken = std::min(bytes, size_t(in.front.size() - offset));
        std::memcpy(into, in.front.data() + offset, taken);
    }
    return taken + ReadBytes(in.file, into + taken, bytes - taken);
}

// Grows `block` to hold `capacity` bytes, keeping its contents; false when memory runs out.
bool Grow(Block& block, size_t capacity) {
    uint8_t* bigger = AllocatePixels(capacity);
    if (!bigger) return false;
    if (block.size) std::memcpy(bigger, block.bytes, block.size);
    FreePixels(block.bytes);
    block.bytes = bigger;
    block.capacity = capacity;
    return true;
}

void Flush(Output& out) {
    if (out.used && !out.failed && !WriteBytes(out.file, out.buffer, out.used)) out.failed = true;
    out.flushed += out.used;
    out.used = 0;
}

uint8_t* Room(Output& out, size_t n) {
    if (kOutBufferBytes - out.used < n) Flush(out);
    uint8_t* room = out.buffer + out.used;
    out.used += n;
    return room;
}

void Put16(Output& out, uint32_t v) { StoreLE16(Room(out, 2), v); }
void Put32(Output& out, uint32_t v) { StoreLE32(Room(out, 4), v); }

void PutBlock(Output& out, const uint8_t* data, size_t n) {
    Flush(out);
    if (n && !out.failed && !WriteBytes(out.file, data, n)) out.failed = true;
    out.flushed += n;
}

uint64_t Position(const Output& out) { return out.flushed + out.used; }
