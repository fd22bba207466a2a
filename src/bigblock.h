// bigblock: large arrays taken straight from the system with 2 MiB pages where it offers
// them. Pages cost nothing until first written, and writing a fresh 4 KiB page can cost
// more than copying it (on a virtual machine each is a trip to the host): big pages save
// most of that on a volume of hundreds of megabytes. Small arrays come from calloc.
#pragma once

#include <cstddef>
#include <future>
#include <memory>

struct BigBlockDeleter {
    size_t mappedLength = 0;  // bytes of the mapping holding the array; 0: from calloc
    size_t mappedOffset = 0;  // bytes from the mapping's start to the array
    void operator()(void* p) const;
};
template <class T>
using BigArray = std::unique_ptr<T[], BigBlockDeleter>;

// bytes zero bytes (at least one), or null when they cannot be had; how they are to be
// given back goes into `deleter`.
void* allocateBigBytes(size_t bytes, BigBlockDeleter& deleter);

// n zero-filled elements of a trivial type, or null.
template <class T>
BigArray<T> allocateBig(size_t n) {
    BigBlockDeleter d;
    if (n > (size_t(-1) >> 2) / sizeof(T)) return BigArray<T>(nullptr, d);
    void* p = allocateBigBytes(n * sizeof(T), d);
    return BigArray<T>(static_cast<T*>(p), d);
}

// Makes the pages of [p, p + bytes) ready to be written (where the system can), without
// changing what they hold, so that a thread of its own pays for fresh memory before the
// writer comes; safe while another thread writes there.
void prefault(void* p, size_t bytes);
// prefault on a thread of its own; no future where no thread can be had (the writer then
// pays as it writes).
std::future<void> prefaultLater(void* p, size_t bytes);

// Lets buffers of up to 16 MB that are made and freed over and over (a page being
// decoded, the pictures of each redraw) come from the heap and be used again, instead of
// being taken from the system afresh and given back each time: first touching fresh
// memory can cost more than the work done in it (a window change with both views drawn
// took twice as long). The heap keeps up to 64 MB it no longer uses. Called once at start-up.
void reuseBuffers();
