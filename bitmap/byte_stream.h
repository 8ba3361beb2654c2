// Bytes in and out of the standard library's streams, for the reader and the writer: the input
// read once in file order, so that a pipe serves as well as a file, and the output buffered in
// large writes. Both go on where a signal interrupted a call (EINTR), as a handler installed
// without SA_RESTART (a timer, a profiler) makes them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "system/files.h"

// ---- Input

// The input, read once from where it stands. The bytes before the pixel rows are kept: a file's
// rows may begin among them.
struct Input {
    std::FILE* file;
    uint64_t length;  // of a file on disk; kUnknownLength for a pipe
    std::vector<uint8_t> front;
};

// Makes `front` hold the first `bytes` bytes of the input, or all of a shorter one; returns how
// many it holds.
size_t ReadFront(Input& in, size_t bytes);

// Positions the input for reading from `offset`: past the kept bytes by reading, never by
// seeking back, since a pipe cannot. False when the input ends first.
bool SeekForward(Input& in, uint64_t offset);

// A buffer of the input's bytes that grows with what arrives: a file of known length fills it
// whole at once, a pipe in steps, so that a short pipe claiming a huge picture costs little.
// Its memory comes from AllocatePixels, so that it can become a picture's rows.
struct Block {
    uint8_t* bytes;
    size_t size;      // filled
    size_t capacity;  // allocated
};

// Why FillUntil stopped.
enum class Filled {
    kDone,
    kEnded,   // the input ended, or the limit was reached, before `done`
    kFailed,  // reading failed (an I/O error)
    kNoMemory,
};

// Fills `block` with the bytes from file offset `offset` on, up to `limit` and never past the
// end of a file of known length, until `done(block)` says it has what it needs. The input must
// stand at the end of the kept bytes or at `offset`. Prints nothing.
template <typename Done>
Filled FillUntil(Input& in, uint64_t offset, size_t limit, Block& block, Done done);

// ---- Output

// The writer's stream: bytes are stored straight into a large buffer, which goes to the file in
// large writes. The first failed write is remembered, and later output discarded.
inline constexpr size_t kOutBufferBytes = size_t{256} << 10;

struct Output {
    std::FILE* file;
    uint8_t* buffer;  // kOutBufferBytes
    size_t used;
    uint64_t flushed;
    bool failed;
};

void Flush(Output& out);

// Room for the next n bytes of the file, n at most kOutBufferBytes.
uint8_t* Room(Output& out, size_t n);

void Put16(Output& out, uint32_t v);
void Put32(Output& out, uint32_t v);

// A large block, written past the buffer.
void PutBlock(Output& out, const uint8_t* data, size_t n);

// Bytes of the file so far.
uint64_t Position(const Output& out);

// ---- Internals of FillUntil

bool Grow(Block& block, size_t capacity);

// The capacity a block grows to next: twice what it holds, never past the limit, whatever the
// width of size_t.
constexpr size_t NextCapacity(size_t capacity, size_t limit) {
    return capacity >= limit / 2 ? limit : 2 * capacity;
}

size_t ReadAt(Input& in, uint64_t offset, uint8_t* into, size_t bytes);
inline constexpr size_t kFirstStreamStep = size_t{16} << 10;  // fuzzer inputs grow past it

template <typename Done>
Filled FillUntil(Input& in, uint64_t offset, size_t limit, Block& block, Done done) {
    if (in.length != kUnknownLength)
        limit = size_t(std::min<uint64_t>(limit, in.length > offset ? in.length - offset : 0));
    for (size_t step = std::min(limit, in.length == kUnknownLength ? kFirstStreamStep : limit);;
         step = NextCapacity(block.capacity, limit)) {
        if ((!block.bytes || step > block.capacity) && !Grow(block, step)) return Filled::kNoMemory;
        const size_t want = block.capacity - block.size;
        const size_t got = ReadAt(in, offset + block.size, block.bytes + block.size, want);
        block.size += got;
        if (done(block)) return Filled::kDone;
        if (got < want) return std::ferror(in.file) ? Filled::kFailed : Filled::kEnded;
        if (block.capacity == limit) return Filled::kEnded;
    }
}
