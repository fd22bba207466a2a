#include "bigblock.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <system_error>

#include <sys/mman.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {
constexpr size_t kBigPage = size_t(2) << 20;  // bytes in a big page
}

void BigBlockDeleter::operator()(void* p) const {
    if (mappedLength == 0)
        std::free(p);
    else
        munmap(static_cast<char*>(p) - mappedOffset, mappedLength);
}

void* allocateBigBytes(size_t bytes, BigBlockDeleter& deleter) {
    deleter = BigBlockDeleter();
    bytes = std::max<size_t>(bytes, 1);
    if (bytes > SIZE_MAX - 2 * kBigPage) return nullptr;
    if (bytes < 8 * kBigPage) return std::calloc(bytes, 1);
    // Anonymous mappings are zero-filled. The array starts on a big-page boundary.
    const size_t length = bytes + kBigPage;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(base) + kBigPage - 1) & ~(kBigPage - 1);
    madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // a hint: fine if refused
    deleter.mappedLength = length;
    deleter.mappedOffset = start - reinterpret_cast<uintptr_t>(base);
    return reinterpret_cast<void*>(start);
}

void prefault(void* p, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    const size_t page = 4096;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
    // In pieces: the kernel holds the address space's lock while it populates, and a thread
    // that maps memory meanwhile (a new thread's stack, a big buffer) waits for it.
    constexpr uintptr_t kPiece = uintptr_t(4) << 20;
    for (uintptr_t at = start; at < end; at += kPiece)  // (older kernels refuse it)
        if (madvise(reinterpret_cast<void*>(at), std::min(kPiece, end - at), MADV_POPULATE_WRITE) != 0) break;
#else
    (void)p, (void)bytes;
#endif
}

std::future<void> prefaultLater(void* p, size_t bytes) {
    try {
        return std::async(std::launch::async, [p, bytes] { prefault(p, bytes); });
    } catch (const std::system_error&) {
        return std::future<void>();
    }
}

void reuseBuffers() {
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
}
