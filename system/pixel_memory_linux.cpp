#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "system/pixel_memory.h"

// Each buffer is preceded by a header saying how to give it back. Whole-picture buffers are
// mapped with transparent huge pages asked for: a fresh buffer is otherwise faulted in 4 KiB at
// a time, which costs more than the pixel work itself. Small ones come from malloc.
namespace {

struct BufferHeader {
    void* base;          // what to free or unmap
    size_t mappedBytes;  // 0 when the buffer came from malloc
};
constexpr size_t kHeaderRoom = 64;  // keeps the pixels aligned
static_assert(sizeof(BufferHeader) <= kHeaderRoom);

// The header is copied in and out as bytes: the memory before the pixels holds no object.
void PutHeader(uint8_t* pixels, const BufferHeader& header) {
    std::memcpy(pixels - kHeaderRoom, &header, sizeof header);
}

BufferHeader HeaderOf(const uint8_t* pixels) {
    BufferHeader header;
    std::memcpy(&header, pixels - kHeaderRoom, sizeof header);
    return header;
}

uint8_t* FromMalloc(size_t bytes, bool zeroed) {
    if (bytes > SIZE_MAX - kHeaderRoom) return nullptr;
    void* base = zeroed ? std::calloc(1, bytes + kHeaderRoom) : std::malloc(bytes + kHeaderRoom);
    if (!base) return nullptr;
    uint8_t* pixels = static_cast<uint8_t*>(base) + kHeaderRoom;
    PutHeader(pixels, BufferHeader{base, 0});
    return pixels;
}

constexpr size_t kHugePage = size_t{2} << 20;

// The pixels start on a huge-page boundary with the header in the small page before them, so
// the header never drags a whole huge page in; a partial last huge page stays in small pages,
// as the mapping ends inside it. Fresh anonymous pages are zero, which the working buffer needs.
uint8_t* FromHugePages(size_t bytes) {
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    if (bytes > SIZE_MAX / 2 - 2 * kHugePage) return nullptr;
    const size_t used = (bytes + page - 1) / page * page;
    const size_t reserved = used + 2 * kHugePage;
    void* base =
        ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(base);
    const uintptr_t aligned = (start + page + kHugePage - 1) / kHugePage * kHugePage;
    uint8_t* pixels = static_cast<uint8_t*>(base) + (aligned - start);
    ::madvise(pixels, used, MADV_HUGEPAGE);  // only advice: small pages work as well
    PutHeader(pixels, BufferHeader{base, reserved});
    return pixels;
}

uint8_t* Allocate(size_t bytes, bool zeroed) {
    if (bytes >= kHugePage) {
        if (uint8_t* pixels = FromHugePages(bytes)) return pixels;
    }
    return FromMalloc(bytes, zeroed);
}

}  // namespace

uint8_t* AllocatePixels(size_t bytes) { return Allocate(bytes, false); }

uint8_t* AllocateZeroedPixels(size_t bytes) { return Allocate(bytes, true); }

void FreePixels(uint8_t* pixels) {
    if (!pixels) return;
    const BufferHeader header = HeaderOf(pixels);
    if (header.mappedBytes) {
        ::munmap(header.base, header.mappedBytes);
        return;
    }
    std::free(header.base);
}
